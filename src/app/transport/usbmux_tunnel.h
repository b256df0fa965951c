// Bridges one device stream from usbmuxd (a connected USBMuxSocket) to a TCP listener on
// 127.0.0.1, so that the rest of the host reaches a tablet on a cable like any network peer.
//
// The listener accepts exactly one local connection; any further one is refused while the tunnel
// lives. Two pumps then move the bytes, each with one blocking call in flight on its own named
// worker thread:
//   device -> local: read up to kChunkBytes from the device; write them to the local
//     connection; read again only once the local connection has taken them all (so a slow local
//     reader holds the device back instead of growing a buffer);
//   local -> device: take up to kChunkBytes the local connection received; write them to the
//     device; take more only once that write has returned.
// The first failure or end of stream on either side, a listener failure, or close() ends the
// tunnel for good: the device socket is shut down, the listener and the local connection are
// closed and onClosed is called once. A tunnel is not reused.
//
// Threads: main thread (the blocking calls run on the two workers). Lifetime: owned by its
// creator; destroy it after close() (the destructor closes without calling onClosed, and waits
// for the workers, whose calls return at once once the socket is shut down). Callbacks may
// close the tunnel but must not destroy it synchronously (deleteLater).
#pragma once

#include "app/transport/blocking_worker.h"
#include "usbmux/usbmux_socket.h"

#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace velurio {

class USBMuxTunnel : public QObject {
    Q_OBJECT
  public:
    static constexpr std::size_t kChunkBytes = 65'536;
    // Kernel buffering asked for on each end of the loopback leg (the local connection's
    // receive side here, the TLS client's send side in the connector): the loopback leg should
    // hold little, so that a slow cable is felt by the sender at once instead of after
    // megabytes of queued video.
    static constexpr int kLoopbackBufferBytes = 64 * 1024;

    // Takes the device stream; `name` labels the worker threads (e.g. the device id).
    explicit USBMuxTunnel(std::shared_ptr<USBMuxSocket> socket, const QString& name = {},
                          QObject* parent = nullptr);
    ~USBMuxTunnel() override;

    // Listens on 127.0.0.1 on a free port; onReady(port) follows from the event loop, or
    // onClosed when the listener cannot be opened.
    void start();
    void close();

    bool isClosed() const { return m_closed; }
    std::optional<quint16> port() const { return m_port; }
    // True while a local connection is held.
    bool hasConnection() const { return m_connection != nullptr; }

    std::function<void(quint16 port)> onReady;
    std::function<void()> onClosed;

  private:
    void accept();
    void readDevice();
    void deviceRead(std::optional<std::vector<std::uint8_t>> bytes);
    void localWritten();
    void pumpToDevice();
    void finish(bool notify);

    std::shared_ptr<USBMuxSocket> m_socket;
    QTcpServer* m_listener = nullptr;
    QPointer<QTcpSocket> m_connection;
    std::optional<quint16> m_port;
    bool m_closed = false;
    bool m_deviceReadInFlight = false;
    bool m_waitingForLocalWrite = false;
    bool m_deviceWriteInFlight = false;
    bool m_localEnded = false;
    // Last: destroyed (joined) first, while the fields their results refer to still exist.
    std::unique_ptr<BlockingWorker> m_reader;
    std::unique_ptr<BlockingWorker> m_writer;
};

}  // namespace velurio
