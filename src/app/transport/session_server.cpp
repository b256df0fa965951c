#include "app/transport/session_server.h"

#include "app/identity/device_tls_identity.h"
#include "app/identity/host_name.h"
#include "app/transport/tcp_liveness.h"
#include "app/transport/transport_log.h"
#include "platform/keychain/secret_store.h"
#include "protocol/video_datagram.h"

#include <QSocketNotifier>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>
#include <QTimer>
#include <QUdpSocket>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace velurio {

namespace {
// Largest datagram read from the UDP video listener; anything longer is no keep-alive.
constexpr qint64 kVideoReadBytes = 2'048;

QCoro::Task<Result<TLSCredentials, QString>> loadDeviceIdentity(SecretStore& store) {
    auto identity = co_await DeviceTLSIdentity::identity(store);
    if (!identity.ok()) {
        co_return fail(DeviceTLSIdentity::describe(identity.error()));
    }
    co_return TLSCredentials{identity->sslCertificate(), identity->sslKey()};
}

// The QSslServer of a control listener.
// - It hands every accepted descriptor to its owner (onIncoming) instead of starting TLS on it
//   at once; the owner calls startHandshake() when the handshake may begin. A TLS handshake
//   costs the main thread key generation and a signature, and QSslServer would otherwise
//   answer every waiting client hello of a burst of connections in one turn of the event loop.
//   startHandshake() returns the new socket, so that the server can also bound the sockets
//   still in their handshake (QSslServer only reports a handshake once the client has spoken,
//   and a silent client would otherwise hold its socket until the timeout).
// - Every accepted socket gets keep-alive and the user timeout before TLS starts on it.
// - An accept error pauses QTcpServer for good; this server accepts again after a back-off
//   (the cause, such as running out of descriptors, usually passes), and logs the error once
//   per run of failures. Resuming the same socket engine is not enough: the engine keeps the
//   first error it met, so every later empty accept queue would be reported as that error and
//   pause the listener again. The listening socket is handed to a fresh engine instead,
//   through a duplicate of its descriptor, which keeps the connections queued on it.
class ControlTlsServer final : public QSslServer {
  public:
    ControlTlsServer(TcpLiveness liveness, QObject* parent)
        : QSslServer(parent), m_liveness(liveness) {
        connect(this, &QTcpServer::acceptError, this, &ControlTlsServer::acceptFailed);
    }

    // Owns the descriptor: it either calls startHandshake() with it or closes it.
    std::function<void(qintptr)> onIncoming;
    // Starts TLS on an accepted descriptor with QSslServer's own handling (the handshake
    // timeout, dropping a client whose first byte is no TLS handshake); the new socket.
    QSslSocket* startHandshake(qintptr descriptor) {
        QSslServer::incomingConnection(descriptor);
        const QList<QSslSocket*> sockets = findChildren<QSslSocket*>(Qt::FindDirectChildrenOnly);
        return sockets.isEmpty() ? nullptr : sockets.last();  // children keep their creation order
    }

    // The listening socket could not be taken over after an accept error: nothing is accepted
    // any more. Called once, with a description for the log and the user.
    std::function<void(const QString&)> onLost;

  protected:
    void incomingConnection(qintptr descriptor) override {
        if (m_failing) {
            qCInfo(lcTransportServer) << "accepting connections again";
            m_failing = false;
        }
        m_retryDelay = SessionServer::kAcceptRetryMin;
        applyTcpLiveness(descriptor, m_liveness);
        // Every message is small and wanted at once (a pong, a piece of a stroke): without
        // this, one waits for the acknowledgement of the one before, a whole round trip on a
        // slow link.
        const int on = 1;
        ::setsockopt(static_cast<int>(descriptor), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (onIncoming) {
            onIncoming(descriptor);
        } else {
            startHandshake(descriptor);
        }
    }

  private:
    void acceptFailed(QAbstractSocket::SocketError error) {
        const std::chrono::milliseconds delay = m_retryDelay;
        m_retryDelay = std::min(m_retryDelay * 2, SessionServer::kAcceptRetryMax);
        if (!m_failing) {
            qCWarning(lcTransportServer)
                << "accepting paused by an error, retrying in" << delay.count() << "ms:" << error;
            m_failing = true;
        } else {
            qCDebug(lcTransportServer) << "accepting still fails:" << error;
        }
        QTimer::singleShot(delay, this, &ControlTlsServer::acceptAgain);
    }

    void acceptAgain() {
        if (!isListening()) {
            return;
        }
        const int duplicate = ::fcntl(static_cast<int>(socketDescriptor()), F_DUPFD_CLOEXEC, 0);
        if (duplicate < 0) {
            acceptFailed(QAbstractSocket::SocketResourceError);  // still out of descriptors
            return;
        }
        close();  // closes the old descriptor only: the socket lives on in the duplicate
        if (!setSocketDescriptor(duplicate)) {
            const QString description = errorString();
            ::close(duplicate);
            qCCritical(lcTransportServer) << "listener lost after an accept error:" << description;
            if (onLost) {
                onLost(description);
            }
        }
    }

    TcpLiveness m_liveness;
    std::chrono::milliseconds m_retryDelay = SessionServer::kAcceptRetryMin;
    bool m_failing = false;
};

bool isKeepalive(const QByteArray& datagram) {
    return datagram.size() == static_cast<qsizetype>(VideoControlDatagram::keepalive.size()) &&
           std::equal(VideoControlDatagram::keepalive.begin(),
                      VideoControlDatagram::keepalive.end(),
                      reinterpret_cast<const std::uint8_t*>(datagram.constData()));
}
}  // namespace

bool VideoConnection::operator==(const VideoConnection& other) const {
    return kind == other.kind && port == other.port &&
           SessionServer::normalisedHost(host) == SessionServer::normalisedHost(other.host);
}

QString SessionServer::rawValue(Transport transport) {
    switch (transport) {
        case Transport::quic:
            return QStringLiteral("QUIC");
        case Transport::tcp:
            return QStringLiteral("TCP");
        case Transport::usb:
            return QStringLiteral("USB");
    }
    return {};
}

std::optional<SessionServer::Transport> SessionServer::transportFromRaw(const QString& raw) {
    for (Transport t : {Transport::quic, Transport::tcp, Transport::usb}) {
        if (rawValue(t) == raw) {
            return t;
        }
    }
    return std::nullopt;
}

std::chrono::milliseconds SessionServer::controlUserTimeoutFromEnvironment() {
    const QByteArray value = qgetenv(kControlUserTimeoutVariable);
    if (value.isEmpty()) {
        return kControlUserTimeout;
    }
    bool ok = false;
    const qlonglong ms = value.toLongLong(&ok);
    if (!ok || ms <= 0 || ms > 0x7FFFFFFF) {
        qCWarning(lcTransportServer).nospace()
            << kControlUserTimeoutVariable << " is not a positive number of milliseconds (" << value
            << "); using " << kControlUserTimeout.count() << " ms";
        return kControlUserTimeout;
    }
    return std::chrono::milliseconds(ms);
}

SessionServer::IdentityProvider SessionServer::deviceIdentityProvider(SecretStore& store) {
    return [&store] { return loadDeviceIdentity(store); };
}

SessionServer::SessionServer(IdentityProvider identityProvider, std::unique_ptr<QUICBackend> quic,
                             std::unique_ptr<ServiceAdvertiser> advertiser, QObject* parent,
                             USBConnector* usb)
    : QObject(parent),
      m_identityProvider(std::move(identityProvider)),
      m_usb(usb != nullptr ? usb : new USBConnector(nullptr, USBMuxAddress::fromEnvironment())),
      m_quic(quic ? std::move(quic) : std::make_unique<UnavailableQUICBackend>()),
      m_advertiser(advertiser ? std::move(advertiser) : makePlatformServiceAdvertiser()),
      m_handshakeStarter(new QTimer(this)),
      m_handshakeExpiry(new QTimer(this)) {
    m_usb->setParent(this);
    m_handshakeStarter->setInterval(0);
    connect(m_handshakeStarter, &QTimer::timeout, this, &SessionServer::startQueuedHandshakes);
    m_handshakeExpiry->setSingleShot(true);
    connect(m_handshakeExpiry, &QTimer::timeout, this, &SessionServer::expireQueuedHandshakes);
}

SessionServer::~SessionServer() {
    stop();
}

QHostAddress SessionServer::normalisedHost(const QHostAddress& host) {
    bool isV4 = false;
    const quint32 v4 = host.toIPv4Address(&isV4);
    if (isV4) {
        return QHostAddress(v4);  // also unwraps ::ffff:a.b.c.d
    }
    QHostAddress plain(host);
    plain.setScopeId(QString());
    return plain;
}

bool SessionServer::hasSameRemoteHost(const std::optional<RemoteEndpoint>& a,
                                      const std::optional<RemoteEndpoint>& b) {
    if (!a || !b || a->host.isNull() || b->host.isNull()) {
        return false;
    }
    return normalisedHost(a->host) == normalisedHost(b->host);
}

TxtRecord SessionServer::txtRecord(const std::optional<QString>& deviceId,
                                   std::optional<quint16> quicVideoPort,
                                   std::optional<quint16> udpVideoPort) {
    TxtRecord txt;
    txt.emplace_back("v", "1");
    txt.emplace_back("role", "mac");
    if (deviceId) {
        txt.emplace_back("device_id", deviceId->toUtf8());
    }
    if (quicVideoPort || udpVideoPort) {
        txt.emplace_back("vport",
                         QByteArray::number(quicVideoPort ? *quicVideoPort : *udpVideoPort));
        txt.emplace_back("vquic", quicVideoPort ? "1" : "0");
    }
    if (udpVideoPort) {
        txt.emplace_back("vudp", QByteArray::number(*udpVideoPort));
    }
    return txt;
}

void SessionServer::setState(std::optional<Transport> transport, bool running,
                             std::optional<QString> error) {
    const bool changed = transport != m_transport || running != m_isRunning || error != m_lastError;
    m_transport = transport;
    m_isRunning = running;
    m_lastError = std::move(error);
    if (changed) {
        Q_EMIT stateChanged();
    }
}

void SessionServer::start() {
    startUSB();
    if (m_controlListenerStarted || m_tlsIdentity || m_loadingIdentity) {
        return;
    }
    m_loadingIdentity = true;
    const std::uint64_t generation = m_generation;
    QCoro::connect(m_identityProvider(), this,
                   [this, generation](Result<TLSCredentials, QString> identity) {
                       if (generation != m_generation) {
                           return;  // stopped meanwhile
                       }
                       m_loadingIdentity = false;
                       identityLoaded(std::move(identity));
                   });
}

void SessionServer::identityLoaded(Result<TLSCredentials, QString> identity) {
    if (!identity.ok()) {
        qCWarning(lcTransportServer).noquote().nospace()
            << "Velurio: " << kIdentityErrorPrefix << identity.error();
        setState(m_transport, m_isRunning,
                 QString::fromUtf8(kIdentityErrorPrefix) + identity.error());
        return;
    }
    m_tlsIdentity = std::move(identity).value();
    startVideoListeners();
}

void SessionServer::startVideoListeners() {
    m_videoListenersPending = 0;
    const std::uint64_t generation = m_generation;

    auto quic = m_quic->makeVideoListener(*m_tlsIdentity);
    if (quic.ok()) {
        ++m_videoListenersPending;
        m_quicVideoListener = std::move(quic).value();
        QUICVideoListener* listener = m_quicVideoListener.get();
        connect(listener, &QUICVideoListener::ready, this,
                [this](quint16 port) { videoListenerSettled(VideoConnection::Kind::quic, port); });
        connect(listener, &QUICVideoListener::failed, this, [this](const QString& description) {
            qCWarning(lcTransportServer) << "QUIC video listener failed:" << description;
            videoListenerSettled(VideoConnection::Kind::quic, std::nullopt);
        });
        connect(
            listener, &QUICVideoListener::datagramReceived, this,
            [this](const QHostAddress& host, quint16 port, const QByteArray& datagram) {
                videoDatagram(VideoConnection{VideoConnection::Kind::quic, host, port}, datagram);
            });
        connect(
            listener, &QUICVideoListener::connectionClosed, this,
            [this](const QHostAddress& host, quint16 port) {
                if (m_videoConnection == VideoConnection{VideoConnection::Kind::quic, host, port}) {
                    setVideoConnection(std::nullopt);
                }
            });
        connect(listener, &QUICVideoListener::keyframeNeeded, this,
                &SessionServer::videoKeyframeNeeded);
        listener->start();
    } else {
        qCInfo(lcTransportServer) << "no QUIC video listener:" << quic.error();
    }

    auto* udp = new QUdpSocket(this);
    ++m_videoListenersPending;
    std::optional<quint16> udpPort;
    if (udp->bind(bindAddress, 0)) {
        m_udpVideoListener = udp;
        udpPort = udp->localPort();
        connect(udp, &QUdpSocket::readyRead, this, &SessionServer::readUDPVideo);
    } else {
        qCWarning(lcTransportServer) << "UDP video listener failed:" << udp->errorString();
        udp->deleteLater();
    }
    // Settles from the event loop, like a listener that reports its state later.
    QTimer::singleShot(0, this, [this, generation, udpPort] {
        if (generation == m_generation) {
            videoListenerSettled(VideoConnection::Kind::udp, udpPort);
        }
    });
}

void SessionServer::videoListenerSettled(VideoConnection::Kind kind, std::optional<quint16> port) {
    if (!m_settledVideoListeners.insert(kind).second) {
        return;
    }
    if (port) {
        (kind == VideoConnection::Kind::quic ? m_quicVideoPort : m_udpVideoPort) = port;
    }
    if (static_cast<int>(m_settledVideoListeners.size()) >= m_videoListenersPending &&
        !m_controlListenerStarted) {
        startControlListener(true);
    }
}

QSslServer* SessionServer::makeTLSServer() {
    auto* server = new ControlTlsServer(TcpLiveness::forUserTimeout(controlUserTimeout), this);
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(m_tlsIdentity->certificate);
    configuration.setPrivateKey(m_tlsIdentity->privateKey);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);  // every tablet may connect
    // Verifying no peer, the server needs no CA certificates; without this, every handshake
    // would look its own certificate's issuer up in the system's CA directory.
    configuration.setCaCertificates({});
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    server->setSslConfiguration(configuration);
    server->setHandshakeTimeout(static_cast<int>(handshakeTimeout.count()));
    // Handshaking sockets count against this limit; queueHandshake() keeps them below it so
    // that accepting never pauses.
    server->setMaxPendingConnections(kMaxHandshakes + 16);
    server->onIncoming = [this, server](qintptr descriptor) { queueHandshake(server, descriptor); };
    // Losing the TLS fallback beside a QUIC listener is ignored, as failing to create it is.
    server->onLost = [this, server](const QString& description) {
        if (server == m_tlsControlListener) {
            if (m_advertiser) {
                m_advertiser->withdraw();
            }
            setState(std::nullopt, false, QString::fromUtf8(kListenerErrorPrefix) + description);
        }
    };
    return server;
}

void SessionServer::startControlListener(bool quic) {
    m_controlListenerStarted = true;
    const std::uint64_t generation = m_generation;
    if (quic) {
        auto made = m_quic->makeControlListener(*m_tlsIdentity);
        if (!made.ok()) {
            qCInfo(lcTransportServer)
                << "no QUIC control listener, using TLS over TCP:" << made.error();
            startControlListener(false);
            return;
        }
        m_quicControlListener = std::move(made).value();
        QUICControlListener* listener = m_quicControlListener.get();
        connect(listener, &QUICControlListener::ready, this, [this](quint16 port) {
            startTCPFallback(port);
            setState(Transport::quic, true, std::nullopt);
            advertise();
        });
        connect(listener, &QUICControlListener::failed, this,
                [this, generation](const QString& description) {
                    qCWarning(lcTransportServer)
                        << "QUIC control listener failed, retrying over TLS/TCP:" << description;
                    m_quicControlListener.release()->deleteLater();
                    if (generation == m_generation) {
                        startControlListener(false);
                    }
                });
        connect(listener, &QUICControlListener::newStream, this,
                [this](QIODevice* stream, const RemoteEndpoint& remote) {
                    adopt(stream, Transport::quic, remote);
                });
        listener->start();
        return;
    }

    QSslServer* server = makeTLSServer();
    if (!server->listen(bindAddress, 0)) {
        const QString description = server->errorString();
        delete server;
        m_controlListenerStarted = false;
        qCWarning(lcTransportServer).noquote().nospace()
            << "Velurio: " << kListenerErrorPrefix << description;
        setState(std::nullopt, false, QString::fromUtf8(kListenerErrorPrefix) + description);
        return;
    }
    m_tlsControlListener = server;
    acceptPeers(server, Transport::tcp);
    setState(Transport::tcp, true, std::nullopt);
    advertise();
}

void SessionServer::startTCPFallback(quint16 port) {
    if (m_tcpFallbackListener != nullptr || port == 0) {
        return;
    }
    QSslServer* server = makeTLSServer();
    if (!server->listen(bindAddress, port)) {
        qCInfo(lcTransportServer) << "TLS/TCP fallback not available:" << server->errorString();
        delete server;
        return;
    }
    m_tcpFallbackListener = server;
    acceptPeers(server, Transport::tcp);
}

std::optional<quint16> SessionServer::controlPort() const {
    if (m_tlsControlListener != nullptr) {
        return m_tlsControlListener->serverPort();
    }
    if (m_quicControlListener && m_isRunning) {
        return m_quicControlListener->port();
    }
    return std::nullopt;
}

void SessionServer::acceptPeers(QSslServer* server, Transport transport) {
    connect(server, &QTcpServer::pendingConnectionAvailable, this, [this, server, transport] {
        while (server->hasPendingConnections()) {
            if (QTcpSocket* socket = server->nextPendingConnection()) {
                adopt(socket, transport);
            }
        }
    });
}

void SessionServer::queueHandshake(QSslServer* server, qintptr descriptor) {
    std::erase_if(m_handshakes, [](const QPointer<QSslSocket>& s) {
        return s == nullptr || s->isEncrypted() || s->state() == QAbstractSocket::UnconnectedState;
    });
    while (static_cast<int>(m_handshakes.size() + m_queuedHandshakes.size()) >= kMaxHandshakes) {
        if (!m_handshakes.empty()) {
            QPointer<QSslSocket> oldest = m_handshakes.front();
            m_handshakes.pop_front();
            if (oldest != nullptr && !oldest->isEncrypted()) {
                // Deleting it is what makes QSslServer stop counting it.
                oldest->abort();
                oldest->deleteLater();
            }
        } else {
            closeQueuedHandshake(0);
        }
    }
    auto readable = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read);
    connect(readable.get(), &QSocketNotifier::activated, this, [this, descriptor] {
        const auto it = std::find_if(m_queuedHandshakes.begin(), m_queuedHandshakes.end(),
                                     [descriptor](const QueuedHandshake& queued) {
                                         return queued.descriptor == descriptor;
                                     });
        if (it != m_queuedHandshakes.end() && it->readable) {
            // Deleted later: this runs inside its signal.
            it->readable->setEnabled(false);
            it->readable.release()->deleteLater();
            m_handshakeStarter->start();
        }
    });
    m_queuedHandshakes.push_back({server, descriptor, std::move(readable),
                                  QDeadlineTimer(handshakeTimeout, Qt::PreciseTimer)});
    if (!m_handshakeExpiry->isActive()) {
        m_handshakeExpiry->start(handshakeTimeout);
    }
}

void SessionServer::startQueuedHandshakes() {
    int started = 0;
    for (std::size_t i = 0; i < m_queuedHandshakes.size() && started < kHandshakesPerTurn;) {
        QueuedHandshake& queued = m_queuedHandshakes[i];
        if (queued.readable) {
            ++i;  // its client has not spoken yet
            continue;
        }
        auto* server = static_cast<ControlTlsServer*>(queued.server.data());
        const qintptr descriptor = queued.descriptor;
        m_queuedHandshakes.erase(m_queuedHandshakes.begin() + static_cast<std::ptrdiff_t>(i));
        if (server == nullptr) {
            ::close(static_cast<int>(descriptor));  // its listener is gone
            continue;
        }
        if (QSslSocket* socket = server->startHandshake(descriptor)) {
            m_handshakes.emplace_back(socket);
        }
        ++started;
    }
    if (std::none_of(m_queuedHandshakes.begin(), m_queuedHandshakes.end(),
                     [](const QueuedHandshake& queued) { return queued.readable == nullptr; })) {
        m_handshakeStarter->stop();
    }
}

void SessionServer::expireQueuedHandshakes() {
    int closed = 0;
    for (; !m_queuedHandshakes.empty() && m_queuedHandshakes.front().deadline.hasExpired();
         ++closed) {
        closeQueuedHandshake(0);
    }
    if (closed > 0) {
        qCDebug(lcTransportServer) << "closed" << closed << "connections that sent nothing";
    }
    if (!m_queuedHandshakes.empty()) {
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(
            m_queuedHandshakes.front().deadline.remainingTimeAsDuration());
        m_handshakeExpiry->start(std::max(remaining, std::chrono::milliseconds(1)));
    }
}

void SessionServer::closeQueuedHandshake(std::size_t index) {
    QueuedHandshake& queued = m_queuedHandshakes[index];
    queued.readable.reset();  // before its descriptor goes
    ::close(static_cast<int>(queued.descriptor));
    m_queuedHandshakes.erase(m_queuedHandshakes.begin() + static_cast<std::ptrdiff_t>(index));
}

int SessionServer::awaitingHelloCount() {
    std::erase_if(m_awaitingHello, [](const Waiting& w) {
        return w.peer == nullptr || w.peer->state() != PeerConnection::State::awaitingHello;
    });
    return static_cast<int>(m_awaitingHello.size());
}

void SessionServer::boundAwaitingHello(const QHostAddress& host) {
    awaitingHelloCount();  // drops peers that are no longer waiting
    const auto sameHost = [&host](const Waiting& w) { return w.host == host; };
    const auto fromHost = std::count_if(m_awaitingHello.begin(), m_awaitingHello.end(), sameHost);
    auto victim = m_awaitingHello.end();
    if (fromHost >= kMaxAwaitingHelloPerHost) {
        victim = std::find_if(m_awaitingHello.begin(), m_awaitingHello.end(), sameHost);
    } else if (static_cast<int>(m_awaitingHello.size()) >= kMaxAwaitingHello) {
        victim = std::find_if(m_awaitingHello.begin(), m_awaitingHello.end(), sameHost);
        if (victim == m_awaitingHello.end()) {
            victim = m_awaitingHello.begin();
        }
    }
    if (victim != m_awaitingHello.end()) {
        QPointer<PeerConnection> peer = victim->peer;
        m_awaitingHello.erase(victim);
        if (peer != nullptr) {
            qCDebug(lcTransportServer)
                << "too many connections awaiting hello; closing the oldest one";
            peer->close(true);
        }
    }
}

void SessionServer::adopt(QIODevice* stream, Transport transport,
                          const std::optional<RemoteEndpoint>& remote) {
    QHostAddress host;
    if (remote) {
        host = normalisedHost(remote->host);
    } else if (auto* socket = qobject_cast<QAbstractSocket*>(stream)) {
        host = normalisedHost(socket->peerAddress());
    }
    boundAwaitingHello(host);
    auto* peer = new PeerConnection(stream, false, peerTiming, this);
    if (remote) {
        peer->setRemoteEndpoint(*remote);
    }
    connect(peer, &PeerConnection::finished, peer, &QObject::deleteLater);
    m_awaitingHello.push_back({peer, host});
    QPointer<PeerConnection> guard(peer);
    if (onPeerAccepted) {
        onPeerAccepted(peer, transport);
    }
    if (guard != nullptr) {
        peer->start();
    }
}

void SessionServer::readUDPVideo() {
    QUdpSocket* udp = m_udpVideoListener.data();
    char buffer[kVideoReadBytes];
    while (udp != nullptr && udp->hasPendingDatagrams()) {
        QHostAddress host;
        quint16 port = 0;
        const qint64 size = udp->readDatagram(buffer, kVideoReadBytes, &host, &port);
        if (size < 0) {
            break;
        }
        videoDatagram(VideoConnection{VideoConnection::Kind::udp, host, port},
                      QByteArray::fromRawData(buffer, static_cast<qsizetype>(size)));
        udp = m_udpVideoListener.data();  // a callback may have stopped the server
    }
}

void SessionServer::videoDatagram(VideoConnection connection, const QByteArray& datagram) {
    if (!isKeepalive(datagram)) {
        return;
    }
    if (isVideoPeerAllowed && isVideoPeerAllowed(connection)) {
        setVideoConnection(connection);
    }
}

void SessionServer::setVideoConnection(const std::optional<VideoConnection>& connection) {
    if (connection == m_videoConnection) {
        return;
    }
    const std::optional<VideoConnection> old = m_videoConnection;
    m_videoConnection = connection;
    if (old && old->kind == VideoConnection::Kind::quic && m_quicVideoListener) {
        m_quicVideoListener->closeConnection(old->host, old->port);
    }
    if (onVideoConnectionChanged) {
        onVideoConnectionChanged(m_videoConnection);
    }
}

bool SessionServer::sendVideoDatagram(const QByteArray& datagram) {
    if (!m_videoConnection) {
        return false;
    }
    if (m_videoConnection->kind == VideoConnection::Kind::udp) {
        return m_udpVideoListener != nullptr &&
               m_udpVideoListener->writeDatagram(datagram, m_videoConnection->host,
                                                 m_videoConnection->port) == datagram.size();
    }
    return m_quicVideoListener && m_quicVideoListener->sendDatagram(
                                      m_videoConnection->host, m_videoConnection->port, datagram);
}

void SessionServer::advertise() {
    const auto port = controlPort();
    if (!m_advertiser || !port) {
        return;
    }
    const QString name = HostName::localizedHostName();
    m_advertiser->publish(name, kServiceType, *port,
                          txtRecord(deviceId, m_quicVideoPort, m_udpVideoPort));
}

void SessionServer::startUSB() {
    m_usb->offer = usbOffer;
    m_usb->peerTiming = peerTiming;
    QPointer<SessionServer> self(this);
    m_usb->onPeerAccepted = [self](PeerConnection* peer) {
        if (self != nullptr && self->onPeerAccepted) {
            self->onPeerAccepted(peer, Transport::usb);
        }
    };
    if (usbOffer) {
        m_usb->start();
    }
}

void SessionServer::stop() {
    m_usb->stop();
    ++m_generation;
    m_loadingIdentity = false;
    if (m_advertiser) {
        m_advertiser->withdraw();
    }
    delete m_tcpFallbackListener.data();
    delete m_tlsControlListener.data();
    m_quicControlListener.reset();
    m_quicVideoListener.reset();
    delete m_udpVideoListener.data();
    m_controlListenerStarted = false;
    m_handshakes.clear();
    m_handshakeStarter->stop();
    m_handshakeExpiry->stop();
    while (!m_queuedHandshakes.empty()) {
        closeQueuedHandshake(0);
    }
    m_tlsIdentity.reset();
    m_videoListenersPending = 0;
    m_settledVideoListeners.clear();
    m_quicVideoPort.reset();
    m_udpVideoPort.reset();
    setVideoConnection(std::nullopt);
    setState(std::nullopt, false, m_lastError);
}

}  // namespace velurio
