// Every listening socket of the host: the video listeners (QUIC datagrams and plain UDP), then
// the control listener (QUIC, else TLS over TCP) advertised on the local network, and beside a
// QUIC control listener a TLS-over-TCP fallback on the same port. Accepted control streams
// become PeerConnections handed to the owner; the server also picks the video connection.
//
// Bounds for a listener on a shared network: at most kMaxAwaitingHello peers wait for their
// hello at once, kMaxAwaitingHelloPerHost from one address (a new one closes the oldest waiting
// one, from the same address first); a TLS handshake must finish within kHandshakeTimeout and
// at most kMaxHandshakes run or wait to start at once (the oldest is dropped, accepting never
// pauses); UDP senders other than the chosen one leave no state behind.
//
// Answering a client hello costs the main thread key generation and a signature (a fraction
// of a millisecond each). An accepted connection therefore waits in line until its client has
// sent something, and at most kHandshakesPerTurn of those start their handshake per turn of the
// event loop, oldest first, so that a burst of connections does not hold up live sessions'
// traffic for tens of milliseconds. One that sends nothing within the handshake timeout is
// closed, like a handshake that stalls.
//
// A tablet that leaves the network without closing its connection is dropped by the system
// after controlUserTimeout (unacknowledged data, or unanswered keep-alive probes when idle),
// like the 35 s idle timeout of a QUIC control connection. An accept error (out of
// descriptors, a connection aborted before it was taken, ...) pauses a Qt listener; the server
// logs it and accepts again after a back-off growing from kAcceptRetryMin to kAcceptRetryMax,
// so a listener that reports running always accepts once the cause has gone.
//
// Threads: main thread only; every callback runs there.
#pragma once

#include "app/transport/peer_connection.h"
#include "app/transport/quic_listeners.h"
#include "app/transport/service_advertiser.h"
#include "app/transport/usb_connector.h"
#include "protocol/messages.h"
#include "protocol/result.h"

#include <QByteArray>
#include <QCoroTask>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>

class QSslServer;
class QSocketNotifier;
class QSslSocket;
class QTimer;
class QUdpSocket;

namespace velurio {

class SecretStore;

// One incoming video connection: a remote address and port on one of the video listeners.
struct VideoConnection {
    enum class Kind : std::uint8_t { quic, udp };
    Kind kind = Kind::udp;
    QHostAddress host;
    quint16 port = 0;
    bool operator==(const VideoConnection& other) const;
};

class SessionServer : public QObject {
    Q_OBJECT
  public:
    enum class Transport : std::uint8_t { quic, tcp, usb };
    static QString rawValue(Transport transport);
    static std::optional<Transport> transportFromRaw(const QString& raw);

    static constexpr int kMaxAwaitingHello = 32;
    static constexpr int kMaxAwaitingHelloPerHost = 4;
    static constexpr int kMaxHandshakes = 64;
    static constexpr int kHandshakesPerTurn = 4;
    static constexpr std::chrono::milliseconds kHandshakeTimeout{10'000};
    static constexpr std::chrono::milliseconds kControlUserTimeout{35'000};
    static constexpr std::chrono::milliseconds kAcceptRetryMin{50};
    static constexpr std::chrono::milliseconds kAcceptRetryMax{2'000};
    // Environment variable that overrides kControlUserTimeout, in milliseconds (for tests that
    // run the host as a whole process).
    static constexpr const char* kControlUserTimeoutVariable = "VELURIO_TCP_USER_TIMEOUT_MS";
    // kControlUserTimeout, or the variable's value when it holds a positive whole number.
    static std::chrono::milliseconds controlUserTimeoutFromEnvironment();

    static constexpr const char* kServiceType = "_velurio._tcp";
    static constexpr const char* kIdentityErrorPrefix = "Falha ao preparar identidade TLS: ";
    static constexpr const char* kListenerErrorPrefix = "Listener falhou: ";

    using IdentityProvider = std::function<QCoro::Task<Result<TLSCredentials, QString>>()>;
    // The device's own TLS identity, from the secret store (which must outlive the server).
    static IdentityProvider deviceIdentityProvider(SecretStore& store);

    // `usb` is the USB connector (one polling the system's usbmuxd when null).
    explicit SessionServer(IdentityProvider identityProvider,
                           std::unique_ptr<QUICBackend> quic = nullptr,
                           std::unique_ptr<ServiceAdvertiser> advertiser = nullptr,
                           QObject* parent = nullptr, USBConnector* usb = nullptr);
    ~SessionServer() override;

    // Published state.
    std::optional<Transport> transport() const { return m_transport; }
    bool isRunning() const { return m_isRunning; }
    const std::optional<QString>& lastError() const { return m_lastError; }

    std::optional<QString> deviceId;
    // The hello offered to tablets on a USB cable (set by the session coordinator); start()
    // hands it to the USB connector, which sends it on the discovery channel. The connector
    // runs while an offer is set, from start() to stop(); its peers reach onPeerAccepted with
    // Transport::usb.
    std::optional<HelloMessage> usbOffer;
    USBConnector& usb() { return *m_usb; }
    // Timings for the peers this server creates (tests shorten them).
    PeerTiming peerTiming;
    // Time a TLS handshake may take (kHandshakeTimeout; tests shorten it). Read at start().
    std::chrono::milliseconds handshakeTimeout = kHandshakeTimeout;
    // User timeout (and keep-alive within it) of accepted TCP control connections. Read at
    // start().
    std::chrono::milliseconds controlUserTimeout = controlUserTimeoutFromEnvironment();
    // Interface the listeners bind to; any address by default.
    QHostAddress bindAddress = QHostAddress::Any;

    std::function<bool(const VideoConnection&)> isVideoPeerAllowed;
    // Peers are children of the server, deleted after they close: keep them in a QPointer.
    std::function<void(PeerConnection*, Transport)> onPeerAccepted;
    std::function<void(const std::optional<VideoConnection>&)> onVideoConnectionChanged;

    // Brings the listeners up (asynchronously; watch stateChanged). Does nothing to running or
    // starting listeners; the USB connector's offer is refreshed on every call.
    void start();
    // Closes every listener and forgets the identity; back to stopped.
    void stop();

    void setVideoConnection(const std::optional<VideoConnection>& connection);
    const std::optional<VideoConnection>& videoConnection() const { return m_videoConnection; }
    // Sends one video datagram on the chosen video connection; false when there is none.
    bool sendVideoDatagram(const QByteArray& datagram);

    std::optional<quint16> quicVideoPort() const { return m_quicVideoPort; }
    std::optional<quint16> udpVideoPort() const { return m_udpVideoPort; }
    // Port of the control listener once running.
    std::optional<quint16> controlPort() const;
    // The name the control listener is advertised under (after any collision rename); empty
    // while not advertised.
    QString advertisedName() const {
        return m_advertiser ? m_advertiser->publishedName() : QString();
    }
    // Peers still waiting for their hello (bounded, see above).
    int awaitingHelloCount();

    // The advertised TXT record for the given values, in its specified order.
    static TxtRecord txtRecord(const std::optional<QString>& deviceId,
                               std::optional<quint16> quicVideoPort,
                               std::optional<quint16> udpVideoPort);
    // True when both endpoints exist and name the same host (ports ignored; an IPv4 address
    // equals its IPv6-mapped form).
    static bool hasSameRemoteHost(const std::optional<RemoteEndpoint>& a,
                                  const std::optional<RemoteEndpoint>& b);
    static QHostAddress normalisedHost(const QHostAddress& host);

  Q_SIGNALS:
    // transport, isRunning or lastError changed.
    void stateChanged();
    // Video datagrams were dropped on the QUIC video connection: the next frame should be a key
    // frame.
    void videoKeyframeNeeded();

  private:
    void startUSB();
    void identityLoaded(Result<TLSCredentials, QString> identity);
    void startVideoListeners();
    void videoListenerSettled(VideoConnection::Kind kind, std::optional<quint16> port);
    void startControlListener(bool quic);
    void startTCPFallback(quint16 port);
    QSslServer* makeTLSServer();
    void acceptPeers(QSslServer* server, Transport transport);
    // `remote`: the stream's remote end when it is not a socket (a QUIC stream).
    void adopt(QIODevice* stream, Transport transport,
               const std::optional<RemoteEndpoint>& remote = std::nullopt);
    void boundAwaitingHello(const QHostAddress& host);
    // Takes an accepted descriptor of `server` in line for its handshake.
    void queueHandshake(QSslServer* server, qintptr descriptor);
    // Starts the handshakes of the oldest kHandshakesPerTurn descriptors in line whose client
    // has spoken (once per turn while any such wait).
    void startQueuedHandshakes();
    // Closes the descriptors in line whose client said nothing within the handshake timeout.
    void expireQueuedHandshakes();
    void closeQueuedHandshake(std::size_t index);
    void readUDPVideo();
    void videoDatagram(VideoConnection connection, const QByteArray& datagram);
    void advertise();
    void setState(std::optional<Transport> transport, bool running, std::optional<QString> error);

    IdentityProvider m_identityProvider;
    USBConnector* m_usb;  // a child of the server
    std::unique_ptr<QUICBackend> m_quic;
    std::unique_ptr<ServiceAdvertiser> m_advertiser;

    std::optional<Transport> m_transport;
    bool m_isRunning = false;
    std::optional<QString> m_lastError;

    std::optional<TLSCredentials> m_tlsIdentity;
    bool m_loadingIdentity = false;
    std::uint64_t m_generation = 0;  // bumped by stop(): late completions are ignored

    QPointer<QSslServer> m_tcpFallbackListener;
    QPointer<QSslServer> m_tlsControlListener;
    std::unique_ptr<QUICControlListener> m_quicControlListener;
    std::unique_ptr<QUICVideoListener> m_quicVideoListener;
    QPointer<QUdpSocket> m_udpVideoListener;
    bool m_controlListenerStarted = false;

    int m_videoListenersPending = 0;
    std::set<VideoConnection::Kind> m_settledVideoListeners;
    std::optional<quint16> m_quicVideoPort;
    std::optional<quint16> m_udpVideoPort;
    std::optional<VideoConnection> m_videoConnection;

    struct Waiting {
        QPointer<PeerConnection> peer;
        QHostAddress host;
    };
    std::deque<Waiting> m_awaitingHello;
    // Sockets in their handshake, oldest first, and behind them the descriptors in line.
    std::deque<QPointer<QSslSocket>> m_handshakes;
    struct QueuedHandshake {
        QPointer<QSslServer> server;
        qintptr descriptor = -1;
        std::unique_ptr<QSocketNotifier> readable;  // null once the client has spoken
        QDeadlineTimer deadline;
    };
    std::deque<QueuedHandshake> m_queuedHandshakes;
    QTimer* m_handshakeStarter;  // a child; zero interval, runs while spoken-to descriptors wait
    QTimer* m_handshakeExpiry;   // a child; due at the deadline of the oldest one in line
};

}  // namespace velurio
