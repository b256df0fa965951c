// Drives one sans-I/O QUIC engine (server or client) with one QUdpSocket and one single-shot
// timer, and presents the streams of its connections as QIODevices.
//
// After every engine call the driver sends the engine's datagrams, hands its events out and
// re-arms the timer for the engine's next deadline. Stream events go to the stream's device
// first; every event then reaches onEvent.
//
// A QuicStreamDevice accepts every write: what the stream's send buffer does not take waits in
// the driver (at most kMaxPendingStreamBytes per stream, beyond which the peer is taken to have
// stopped reading and the connection is closed) and goes out as the peer acknowledges;
// bytesWritten() reports what the engine took. Closing the device finishes the stream after
// what was written before it and closes the connection once the peer has acknowledged it all,
// or after kCloseLinger. Received bytes wait in the device until read; the engine reopens its
// flow-control window as soon as it hands them over, so a peer that keeps sending while nobody
// reads (a tablet flooding before its hello is decided) would grow that buffer without end:
// beyond kMaxUnreadStreamBytes the connection is closed.
//
// Threads: the thread that created the driver (the main thread). Lifetime: devices are owned by
// whoever receives them; a device outliving its driver reads as ended and accepts no writes.
// Destroying the driver closes every connection (the peers are told).
#pragma once

#include "app/transport/remote_endpoint.h"
#include "platform/quic/quic_engine.h"

#include <QByteArray>
#include <QHostAddress>
#include <QIODevice>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <functional>
#include <map>
#include <memory>

class QUdpSocket;

namespace velurio {

class QuicUdpDriver;

class QuicStreamDevice final : public QIODevice {
    Q_OBJECT
  public:
    ~QuicStreamDevice() override;

    QuicConnectionHandle connection() const { return m_connection; }
    std::int64_t streamId() const { return m_streamId; }
    const RemoteEndpoint& remote() const { return m_remote; }

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;
    qint64 bytesToWrite() const override;
    void close() override;

  protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

  private:
    friend class QuicUdpDriver;
    QuicStreamDevice(QuicUdpDriver* driver, QuicConnectionHandle connection, std::int64_t streamId,
                     RemoteEndpoint remote);
    void received(const std::vector<std::uint8_t>& bytes, bool fin);
    void ended();

    QPointer<QuicUdpDriver> m_driver;
    QuicConnectionHandle m_connection;
    std::int64_t m_streamId;
    RemoteEndpoint m_remote;
    QByteArray m_readBuffer;
    bool m_ended = false;
};

class QuicUdpDriver final : public QObject {
    Q_OBJECT
  public:
    static constexpr qsizetype kMaxPendingStreamBytes = 8 * 1024 * 1024;
    static constexpr qsizetype kMaxUnreadStreamBytes = 4 * 1024 * 1024;
    static constexpr std::chrono::milliseconds kCloseLinger{2'000};

    explicit QuicUdpDriver(std::unique_ptr<QuicEngine> engine, QObject* parent = nullptr);
    ~QuicUdpDriver() override;

    // Binds the socket (again, before any connection: a bound socket is closed first); false
    // with the socket's error text.
    bool bind(const QHostAddress& address, quint16 port, QString* error);
    quint16 localPort() const;
    // The local endpoint this driver tells the engine for datagrams from `remote`'s family.
    QuicEndpoint localEndpointFor(const QHostAddress& remote) const;

    QuicEngine& engine() { return *m_engine; }
    // Sends the engine's output, dispatches its events and re-arms the timer. Call after every
    // engine call that takes a time.
    void flush();

    // A device for an open stream (at most one per connection); the caller owns it.
    QuicStreamDevice* openDevice(QuicConnectionHandle connection, std::int64_t streamId,
                                 const RemoteEndpoint& remote);

    // Every event, after stream events have reached their device. Set by the driver's owner.
    std::function<void(const QuicEvent&)> onEvent;

    static QuicTime now() { return QuicClock::now(); }
    // IPv4 (also an IPv6-mapped IPv4 address) or IPv6.
    static QuicEndpoint toEndpoint(const QHostAddress& host, quint16 port);
    static RemoteEndpoint toRemote(const QuicEndpoint& endpoint);

  private:
    friend class QuicStreamDevice;
    struct Stream {
        std::int64_t streamId = 0;
        QPointer<QuicStreamDevice> device;
        QByteArray pending;
        bool closing = false;
        bool finSent = false;
        QuicTime closingSince{};
    };

    void readDatagrams();
    void dispatch(const QuicEvent& event);
    void write(QuicConnectionHandle connection, const char* data, qint64 size);
    void closeStream(QuicConnectionHandle connection);
    // Offers the pending bytes (and the fin) to the engine.
    void pump(QuicConnectionHandle connection);
    void checkLingering();
    void armTimer();

    std::unique_ptr<QuicEngine> m_engine;
    QUdpSocket* m_socket = nullptr;
    QHostAddress m_boundAddress;
    QTimer m_timer;
    QTimer m_lingerTimer;
    std::map<QuicConnectionHandle, Stream> m_streams;
    bool m_flushing = false;
    bool m_flushAgain = false;
};

}  // namespace velurio
