// One connected tablet on one stream (TLS over TCP, the local leg of the USB tunnel, or a QUIC
// stream presented as a QIODevice).
//
// The peer cuts the byte stream into wire frames, decodes every payload as a control message
// whatever its channel, runs the hello handshake with its timer, pings once a second once
// accepted, and turns each accepted message into a callback. It holds no session policy: the
// hello decision is asked of the owner through onHello.
//
// Threads: everything, callbacks included, runs on the thread that owns the object (the main
// thread). Callbacks may close or replace the peer; they must not delete it synchronously
// (use deleteLater).
#pragma once

#include "app/transport/remote_endpoint.h"
#include "protocol/messages.h"
#include "protocol/wire_framing.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QUuid>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

class QIODevice;
class QAbstractSocket;

namespace velurio {

// Timings a test can shorten. nowMs is the monotonic clock in milliseconds that pings carry
// and round trips are measured on.
struct PeerTiming {
    std::chrono::milliseconds helloTimeout{30'000};
    std::chrono::milliseconds helloTimeoutUSB{120'000};
    std::chrono::milliseconds pingInterval{1'000};
    std::function<std::int64_t()> nowMs;  // empty: the steady clock

    static std::int64_t monotonicNowMs();
};

class PeerConnection : public QObject {
    Q_OBJECT
  public:
    enum class State : std::uint8_t { awaitingHello, active, closed };

    // Largest read taken from the stream at once.
    static constexpr qint64 kReceiveMaxBytes = 65'536;

    // Takes ownership of `stream` (reparented to this peer). Does not start it.
    PeerConnection(QIODevice* stream, bool isUSB, PeerTiming timing = {},
                   QObject* parent = nullptr);
    ~PeerConnection() override;

    QUuid id() const { return m_id; }
    bool isUSB() const { return m_isUSB; }
    State state() const { return m_state; }

    // The hello's fields once accepted.
    const std::optional<std::string>& helloToken() const { return m_helloToken; }
    const std::optional<std::string>& sessionId() const { return m_sessionId; }
    bool isResume() const { return m_isResume; }
    const std::optional<std::string>& remoteDeviceId() const { return m_remoteDeviceId; }
    const std::optional<std::string>& remoteDeviceName() const { return m_remoteDeviceName; }
    const std::optional<CapabilitiesMessage>& remoteCapabilities() const {
        return m_remoteCapabilities;
    }
    std::uint32_t pingSeq() const { return m_pingSeq; }
    bool sendingVideo() const { return m_sendingVideo; }
    bool needsUSBKeyframe() const { return m_needsUSBKeyframe; }

    // Host and port of the stream's remote end: the one given with setRemoteEndpoint(), else
    // the socket's; empty for a stream that is neither or not connected.
    std::optional<RemoteEndpoint> remoteEndpoint() const;
    // For streams that are not sockets (a QUIC stream): the connection's remote end.
    void setRemoteEndpoint(const RemoteEndpoint& remote) { m_remoteEndpoint = remote; }

    // The owner's hello decision. It calls `decide` exactly once, now or later (later calls are
    // ignored; a call after the peer is gone is harmless). Frames that follow the hello in the
    // same read wait for the decision.
    using HelloDecision = std::function<void(bool accepted)>;
    std::function<void(PeerConnection*, const HelloMessage&, HelloDecision)> onHello;

    // The stream can carry messages: connected, and for TLS the handshake done.
    std::function<void()> onReady;
    std::function<void(PeerConnection*)> onHelloAccepted;
    std::function<void(PeerConnection*, const StrokeMessage&)> onStroke;
    std::function<void(PeerConnection*, const ToolStateMessage&)> onToolState;
    std::function<void(PeerConnection*, const std::string&)> onUndoRequested;
    std::function<void(PeerConnection*, const std::string&)> onRedoRequested;
    std::function<void(PeerConnection*)> onClearRequested;
    std::function<void(PeerConnection*, std::uint32_t)> onSelectDisplay;
    std::function<void(PeerConnection*, double)> onPong;  // round trip in milliseconds
    std::function<void(PeerConnection*)> onClosed;
    std::function<void(PeerConnection*)> onResume;
    std::function<void()> onVideoBackpressure;

    // Starts the hello timer and the receive loop. Set every callback first.
    void start();

    void sendControl(const SessionMessage& message);
    void sendInk(const SessionMessage& message);
    void sendEnd(SessionEndReason reason);
    // USB only, once active: one batch of video datagrams as `video` frames in one write. While
    // a batch is in flight a new one is dropped, and onVideoBackpressure (ask for a key frame)
    // follows once the link is free. A batch is in flight until its bytes have left the host:
    // over TLS, until their encrypted form has been written to the socket, not merely
    // encrypted, so a slow cable drops batches instead of queueing them.
    void sendUSBVideo(const std::vector<Bytes>& datagrams);
    void sendUSBDiscovery(std::span<const std::uint8_t> payload);

    // Ends the connection; idempotent. With notify, calls onClosed (once, ever).
    void close(bool notify);

  Q_SIGNALS:
    // Emitted once when the peer reaches `closed`, with or without notification, after onClosed.
    // Owners that keep peers (the server) release them on it.
    void finished();

  private:
    void send(const SessionMessage& message, WireChannel channel);
    bool writeBytes(const Bytes& bytes);
    void scheduleReceive();
    void receive();
    // Handles one payload; false when handling must pause for the hello decision.
    bool handle(const Bytes& payload);
    bool handleHello(const HelloMessage& hello);
    void finishHello(bool accepted, const HelloMessage& hello);
    void handleActive(const SessionMessage& message);
    void startPinging();
    void sendPing();
    void onBytesWritten(qint64 bytes);
    void scheduleVideoCheck();
    // Ends the video send in flight once its bytes have left the host (see sendUSBVideo).
    void checkVideoSent();
    void streamEnded();
    std::int64_t nowMs() const;

    QUuid m_id;
    bool m_isUSB;
    PeerTiming m_timing;
    QPointer<QIODevice> m_stream;
    QAbstractSocket* m_socket = nullptr;  // m_stream as a socket, when it is one
    std::optional<RemoteEndpoint> m_remoteEndpoint;
    State m_state = State::awaitingHello;
    WireFrameParser m_parser;

    std::optional<std::string> m_helloToken;
    std::optional<std::string> m_sessionId;
    bool m_isResume = false;
    std::optional<std::string> m_remoteDeviceId;
    std::optional<std::string> m_remoteDeviceName;
    std::optional<CapabilitiesMessage> m_remoteCapabilities;
    std::uint32_t m_pingSeq = 0;

    QTimer* m_helloTimer = nullptr;
    QTimer* m_pingTimer = nullptr;

    // Frames already cut but not handled because a hello decision is pending.
    std::vector<WireFrame> m_pendingFrames;
    bool m_awaitingDecision = false;
    bool m_inHelloCall = false;
    std::uint64_t m_decisionGeneration = 0;
    bool m_receiveScheduled = false;
    bool m_streamEnded = false;

    bool m_sendingVideo = false;
    bool m_needsUSBKeyframe = false;
    bool m_videoCheckScheduled = false;
    qint64 m_bytesQueued = 0;       // total bytes handed to the stream
    qint64 m_videoSendEnd = 0;      // m_bytesQueued after the in-flight video batch
    qint64 m_encryptedWritten = 0;  // TLS: total encrypted bytes reported written
    // TLS: m_encryptedWritten at which the batch has left, fixed once it is all encrypted.
    std::optional<qint64> m_videoEncryptedEnd;
};

}  // namespace velurio
