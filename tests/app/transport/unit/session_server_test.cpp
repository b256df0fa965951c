// SessionServer over real loopback sockets: start-up order and state, the TLS control listener
// with the device identity, the advertised record, the choice of the video connection, the
// bounds on connections awaiting hello and on handshakes (and how many start per turn), accepted
// sockets' liveness options, accepting again after an accept error, and stop().
#include "app/transport/session_server.h"

#include "app/transport/tcp_liveness.h"
#include "platform/keychain/file_secret_store.h"
#include "protocol/video_datagram.h"
#include "transport_test_support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QProcess>
#include <QSslServer>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace velurio::test {
namespace {

using namespace std::chrono_literals;

QByteArray keepalive() {
    return QByteArray(reinterpret_cast<const char*>(VideoControlDatagram::keepalive.data()),
                      static_cast<qsizetype>(VideoControlDatagram::keepalive.size()));
}

// Records what the server publishes.
class RecordingAdvertiser final : public ServiceAdvertiser {
  public:
    struct Published {
        QString name;
        QByteArray type;
        quint16 port;
        TxtRecord txt;
    };
    explicit RecordingAdvertiser(std::vector<Published>* out) : m_out(out) {}
    void publish(const QString& name, const QByteArray& type, quint16 port,
                 const TxtRecord& txt) override {
        m_out->push_back({name, type, port, txt});
    }
    void withdraw() override {}
    QString publishedName() const override { return {}; }

  private:
    std::vector<Published>* m_out;
};

// A QUIC backend whose listeners settle as told, for the fallback paths of the state machine.
class ScriptedQUICBackend final : public QUICBackend {
  public:
    std::optional<quint16> videoPort;    // empty: the video listener fails
    std::optional<quint16> controlPort;  // empty: the control listener fails

    class Video final : public QUICVideoListener {
      public:
        explicit Video(std::optional<quint16> port) : m_port(port) {}
        void start() override {
            QTimer::singleShot(0, this, [this] {
                if (m_port) {
                    Q_EMIT ready(*m_port);
                } else {
                    Q_EMIT failed(QStringLiteral("no"));
                }
            });
        }
        bool sendDatagram(const QHostAddress&, quint16, const QByteArray&) override { return true; }
        void closeConnection(const QHostAddress&, quint16) override {}
        std::optional<quint16> m_port;
    };
    class Control final : public QUICControlListener {
      public:
        explicit Control(std::optional<quint16> port) : m_port(port) {}
        void start() override {
            QTimer::singleShot(0, this, [this] {
                if (m_port) {
                    Q_EMIT ready(*m_port);
                } else {
                    Q_EMIT failed(QStringLiteral("no"));
                }
            });
        }
        quint16 port() const override { return m_port.value_or(0); }
        std::optional<quint16> m_port;
    };
    Result<std::unique_ptr<QUICVideoListener>, QString> makeVideoListener(
        const TLSCredentials&) override {
        return std::unique_ptr<QUICVideoListener>(std::make_unique<Video>(videoPort));
    }
    Result<std::unique_ptr<QUICControlListener>, QString> makeControlListener(
        const TLSCredentials&) override {
        return std::unique_ptr<QUICControlListener>(std::make_unique<Control>(controlPort));
    }
};

class SessionServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ensureApplication();
        store = std::make_unique<FileSecretStore>(dir.path() + QStringLiteral("/secrets.json"));
    }

    std::unique_ptr<SessionServer> makeServer(std::unique_ptr<QUICBackend> quic = nullptr) {
        auto server = std::make_unique<SessionServer>(
            SessionServer::deviceIdentityProvider(*store), std::move(quic),
            std::make_unique<RecordingAdvertiser>(&published));
        server->bindAddress = QHostAddress::Any;
        server->peerTiming.helloTimeout = 10s;  // no test here waits for it
        server->onPeerAccepted = [this](PeerConnection* peer, SessionServer::Transport transport) {
            peers.emplace_back(peer);
            transports.push_back(transport);
        };
        return server;
    }
    static void startAndWait(SessionServer& server) {
        server.start();
        ASSERT_TRUE(
            waitUntil([&] { return server.isRunning() || server.lastError().has_value(); }));
    }

    // A TLS client that accepts the self-signed certificate (the tablet pins nothing).
    static std::unique_ptr<QSslSocket> connectTablet(
        quint16 port, const QHostAddress& from = QHostAddress::LocalHost) {
        auto socket = std::make_unique<QSslSocket>();
        socket->setPeerVerifyMode(QSslSocket::VerifyNone);
        if (from != QHostAddress::LocalHost) {
            socket->bind(from, 0);
        }
        socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        return socket;
    }

    QTemporaryDir dir;
    std::unique_ptr<FileSecretStore> store;
    std::vector<RecordingAdvertiser::Published> published;
    std::vector<QPointer<PeerConnection>> peers;
    std::vector<SessionServer::Transport> transports;
};

TEST_F(SessionServerTest,
       WithoutQuicTheControlListenerIsTLSOverTCPAndPresentsTheDeviceCertificate) {
    auto server = makeServer();
    server->deviceId = QStringLiteral("mac-123");
    startAndWait(*server);
    ASSERT_TRUE(server->isRunning());
    EXPECT_EQ(server->transport(), SessionServer::Transport::tcp);
    EXPECT_FALSE(server->lastError().has_value());
    ASSERT_TRUE(server->udpVideoPort().has_value());
    EXPECT_FALSE(server->quicVideoPort().has_value());

    // The record names the UDP port as the video port, in the specified key order.
    ASSERT_EQ(published.size(), 1U);
    EXPECT_EQ(published[0].type, "_velurio._tcp");
    EXPECT_EQ(published[0].port, server->controlPort());
    const QByteArray udp = QByteArray::number(*server->udpVideoPort());
    EXPECT_EQ(published[0].txt, (TxtRecord{{"v", "1"},
                                           {"role", "mac"},
                                           {"device_id", "mac-123"},
                                           {"vport", udp},
                                           {"vquic", "0"},
                                           {"vudp", udp}}));

    auto tablet = connectTablet(*server->controlPort());
    ASSERT_TRUE(waitUntil([&] { return tablet->isEncrypted() && !peers.empty(); }));
    EXPECT_FALSE(tablet->peerCertificate().isNull());
    EXPECT_EQ(tablet->peerCertificate().subjectInfo(QSslCertificate::CommonName).value(0),
              QStringLiteral("Velurio Mac"));
    EXPECT_EQ(transports, std::vector{SessionServer::Transport::tcp});
    EXPECT_EQ(peers[0]->state(), PeerConnection::State::awaitingHello);
}

TEST_F(SessionServerTest, OpensslClientCompletesAHandshakeAndSeesTheDeviceCertificate) {
    auto server = makeServer();
    startAndWait(*server);
    QProcess openssl;
    openssl.start(
        QStringLiteral("openssl"),
        {QStringLiteral("s_client"), QStringLiteral("-connect"),
         QStringLiteral("127.0.0.1:%1").arg(*server->controlPort()), QStringLiteral("-showcerts")});
    ASSERT_TRUE(openssl.waitForStarted(5'000));
    openssl.closeWriteChannel();  // end of input: s_client quits after the handshake
    ASSERT_TRUE(waitUntil([&] { return openssl.state() == QProcess::NotRunning; }));
    const QByteArray output = openssl.readAllStandardOutput();
    EXPECT_TRUE(output.contains("CN = Velurio Mac")) << output.toStdString();
    EXPECT_TRUE(output.contains("Verify return code: 18 (self-signed certificate)"))
        << output.toStdString();
    // The certificate it was shown is the one in the store.
    const auto shown = QSslCertificate::fromData(output, QSsl::Pem);
    ASSERT_EQ(shown.size(), 1);
    auto provider = SessionServer::deviceIdentityProvider(*store);
    std::optional<Result<TLSCredentials, QString>> stored;
    QCoro::connect(provider(), server.get(),
                   [&](Result<TLSCredentials, QString> r) { stored.emplace(std::move(r)); });
    ASSERT_TRUE(waitUntil([&] { return stored.has_value(); }));
    ASSERT_TRUE(stored->ok());
    EXPECT_EQ(shown.front(), stored->value().certificate);
}

TEST_F(SessionServerTest, IdentityFailureIsReportedWithItsPrefixAndNoListenerStarts) {
    SessionServer server([]() -> QCoro::Task<Result<TLSCredentials, QString>> {
        co_return fail(QStringLiteral("chaveiro trancado"));
    });
    server.start();
    ASSERT_TRUE(waitUntil([&] { return server.lastError().has_value(); }));
    EXPECT_EQ(*server.lastError(),
              QStringLiteral("Falha ao preparar identidade TLS: chaveiro trancado"));
    EXPECT_FALSE(server.isRunning());
    EXPECT_FALSE(server.transport().has_value());
    EXPECT_FALSE(server.udpVideoPort().has_value());
}

TEST_F(SessionServerTest, StartTwiceCreatesNoSecondListener) {
    auto server = makeServer();
    server->start();
    server->start();  // while the identity loads
    ASSERT_TRUE(waitUntil([&] { return server->isRunning(); }));
    const auto port = server->controlPort();
    server->start();  // while running
    settle();
    EXPECT_EQ(server->findChildren<QSslServer*>().size(), 1);
    EXPECT_EQ(server->findChildren<QUdpSocket*>().size(), 1);
    EXPECT_EQ(server->controlPort(), port);
    EXPECT_EQ(published.size(), 1U);
}

TEST_F(SessionServerTest, QuicVideoPortIsAdvertisedFirstAndAFailedQuicControlFallsBackToTCP) {
    auto quic = std::make_unique<ScriptedQUICBackend>();
    quic->videoPort = 40001;
    auto server = makeServer(std::move(quic));
    startAndWait(*server);
    EXPECT_EQ(server->transport(), SessionServer::Transport::tcp);
    ASSERT_EQ(published.size(), 1U);
    const QByteArray udp = QByteArray::number(*server->udpVideoPort());
    EXPECT_EQ(published[0].txt,
              (TxtRecord{
                  {"v", "1"}, {"role", "mac"}, {"vport", "40001"}, {"vquic", "1"}, {"vudp", udp}}));
}

TEST_F(SessionServerTest, ReadyQuicControlListenerGetsATLSFallbackOnTheSamePort) {
    // Find a free TCP port for the pretend QUIC listener.
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::Any, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    auto quic = std::make_unique<ScriptedQUICBackend>();
    quic->controlPort = port;
    auto server = makeServer(std::move(quic));
    startAndWait(*server);
    EXPECT_EQ(server->transport(), SessionServer::Transport::quic);
    auto tablet = connectTablet(port);
    ASSERT_TRUE(waitUntil([&] { return !peers.empty(); }));
    EXPECT_EQ(transports, std::vector{SessionServer::Transport::tcp});
}

TEST_F(SessionServerTest, KeepaliveChoosesTheVideoConnectionOnlyFromTheActivePeersHost) {
    auto server = makeServer();
    startAndWait(*server);
    // The active peer's control connection comes from 127.0.0.1.
    const std::optional<RemoteEndpoint> peerEndpoint =
        RemoteEndpoint{QHostAddress(QStringLiteral("127.0.0.1")), 50000};
    server->isVideoPeerAllowed = [&](const VideoConnection& c) {
        return SessionServer::hasSameRemoteHost(RemoteEndpoint{c.host, c.port}, peerEndpoint);
    };
    std::vector<std::optional<VideoConnection>> changes;
    server->onVideoConnectionChanged = [&](const std::optional<VideoConnection>& c) {
        changes.push_back(c);
    };
    const quint16 videoPort = *server->udpVideoPort();

    QUdpSocket other;
    ASSERT_TRUE(other.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0));
    other.writeDatagram(keepalive(), QHostAddress::LocalHost, videoPort);
    QUdpSocket tablet;
    ASSERT_TRUE(tablet.bind(QHostAddress::LocalHost, 0));
    tablet.writeDatagram(QByteArray("velurio-video-v2"), QHostAddress::LocalHost,
                         videoPort);  // not the keep-alive
    tablet.writeDatagram(keepalive() + "x", QHostAddress::LocalHost, videoPort);
    settle(100ms);
    EXPECT_TRUE(changes.empty());

    tablet.writeDatagram(keepalive(), QHostAddress::LocalHost, videoPort);
    ASSERT_TRUE(waitUntil([&] { return !changes.empty(); }));
    tablet.writeDatagram(keepalive(), QHostAddress::LocalHost,
                         videoPort);  // again: nothing changes
    settle(100ms);
    ASSERT_EQ(changes.size(), 1U);
    ASSERT_TRUE(changes[0].has_value());
    EXPECT_EQ(changes[0]->port, tablet.localPort());
    EXPECT_EQ(SessionServer::normalisedHost(changes[0]->host),
              QHostAddress(QStringLiteral("127.0.0.1")));

    // Video goes to that connection.
    ASSERT_TRUE(server->sendVideoDatagram(QByteArray(1'220, 'v')));
    ASSERT_TRUE(waitUntil([&] { return tablet.hasPendingDatagrams(); }));
    EXPECT_EQ(tablet.receiveDatagram().data().size(), 1'220);

    // stop() forgets it and says so.
    server->stop();
    ASSERT_EQ(changes.size(), 2U);
    EXPECT_FALSE(changes[1].has_value());
    EXPECT_FALSE(server->isRunning());
    EXPECT_FALSE(server->transport().has_value());
    EXPECT_FALSE(server->udpVideoPort().has_value());
}

TEST(SessionServerHosts, AnIPv4AddressAndItsMappedFormAreTheSameHostAndPortsDoNotMatter) {
    const QHostAddress v4(QStringLiteral("192.168.1.20"));
    const QHostAddress mapped(QStringLiteral("::ffff:192.168.1.20"));
    EXPECT_TRUE(SessionServer::hasSameRemoteHost(RemoteEndpoint{v4, 1}, RemoteEndpoint{mapped, 2}));
    EXPECT_FALSE(SessionServer::hasSameRemoteHost(
        RemoteEndpoint{v4, 1}, RemoteEndpoint{QHostAddress(QStringLiteral("192.168.1.21")), 1}));
    EXPECT_FALSE(SessionServer::hasSameRemoteHost(std::nullopt, RemoteEndpoint{v4, 1}));
    EXPECT_FALSE(SessionServer::hasSameRemoteHost(RemoteEndpoint{QHostAddress(), 1},
                                                  RemoteEndpoint{QHostAddress(), 1}));
    const VideoConnection a{VideoConnection::Kind::udp, v4, 5};
    const VideoConnection b{VideoConnection::Kind::udp, mapped, 5};
    EXPECT_TRUE(a == b);
    EXPECT_EQ(SessionServer::transportFromRaw(QStringLiteral("USB")),
              SessionServer::Transport::usb);
    EXPECT_FALSE(SessionServer::transportFromRaw(QStringLiteral("usb")).has_value());
}

TEST_F(SessionServerTest, AFloodOfConnectionsAwaitingHelloClosesTheOldestFromTheSameHostFirst) {
    auto server = makeServer();
    startAndWait(*server);
    const quint16 port = *server->controlPort();
    std::vector<std::unique_ptr<QSslSocket>> tablets;
    // Five from 127.0.0.9: the fifth closes the first of them.
    for (int i = 0; i < 5; ++i) {
        tablets.push_back(connectTablet(port, QHostAddress(QStringLiteral("127.0.0.9"))));
        ASSERT_TRUE(waitUntil([&] { return peers.size() == static_cast<std::size_t>(i + 1); }));
    }
    EXPECT_TRUE(peers[0] == nullptr || peers[0]->state() == PeerConnection::State::closed);
    EXPECT_EQ(server->awaitingHelloCount(), 4);
    // Fill to the global bound from other hosts, then one more from yet another host.
    for (int i = 0; i < 29; ++i) {
        tablets.push_back(
            connectTablet(port, QHostAddress(QStringLiteral("127.0.1.%1").arg(i + 1))));
    }
    ASSERT_TRUE(waitUntil([&] { return peers.size() == 34U; }));
    EXPECT_EQ(server->awaitingHelloCount(), 32);
    // Peer 1 (oldest still waiting, from 127.0.0.9) goes, not a peer of another host.
    EXPECT_TRUE(peers[1] == nullptr || peers[1]->state() == PeerConnection::State::closed);
    tablets.push_back(connectTablet(port, QHostAddress(QStringLiteral("127.0.2.1"))));
    ASSERT_TRUE(waitUntil([&] { return peers.size() == 35U; }));
    EXPECT_EQ(server->awaitingHelloCount(), 32);
    EXPECT_TRUE(peers[2] == nullptr || peers[2]->state() == PeerConnection::State::closed);
    EXPECT_EQ(peers[5]->state(), PeerConnection::State::awaitingHello);
}

TEST_F(SessionServerTest, StalledHandshakesDoNotStopARealTabletFromConnecting) {
    auto server = makeServer();
    startAndWait(*server);
    const quint16 port = *server->controlPort();
    auto* tls = server->findChild<QSslServer*>();
    ASSERT_NE(tls, nullptr);
    EXPECT_EQ(tls->handshakeTimeout(), 10'000);
    // More plain TCP connections than handshakes allowed: none ever says a word of TLS.
    std::vector<std::unique_ptr<QTcpSocket>> stalled;
    for (int i = 0; i < SessionServer::kMaxHandshakes * 4; ++i) {
        stalled.push_back(std::make_unique<QTcpSocket>());
        stalled.back()->connectToHost(QHostAddress::LocalHost, port);
    }
    settle(200ms);
    auto tablet = connectTablet(port);
    ASSERT_TRUE(waitUntil([&] { return tablet->isEncrypted() && !peers.empty(); }, 5s));
    // The oldest stalled ones were dropped.
    ASSERT_TRUE(waitUntil(
        [&] { return stalled.front()->state() == QAbstractSocket::UnconnectedState; }, 5s));
}

// Answering client hellos is the main thread's costliest work for a connection: a burst of
// them is answered a few per turn of the event loop, and every one of them still completes.
TEST_F(SessionServerTest, ABurstOfClientHellosIsAnsweredAFewPerTurnAndAllComplete) {
    auto server = makeServer();
    startAndWait(*server);
    const quint16 port = *server->controlPort();
    auto* tls = server->findChild<QSslServer*>();
    ASSERT_NE(tls, nullptr);
    constexpr int kClients = 24;
    std::vector<std::unique_ptr<QSslSocket>> clients;
    int encrypted = 0;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<QSslSocket>());
        clients.back()->setPeerVerifyMode(QSslSocket::VerifyNone);
        QObject::connect(clients.back().get(), &QSslSocket::encrypted,
                         [&encrypted] { ++encrypted; });
        clients.back()->connectToHost(QHostAddress::LocalHost, port);
    }
    ASSERT_TRUE(waitUntil([&] {
        return std::all_of(clients.begin(), clients.end(), [](const auto& c) {
            return c->state() == QAbstractSocket::ConnectedState;
        });
    }));
    settle(50ms);  // all of them accepted and waiting for their client to speak

    // Handshakes started between two runs of a timer that runs once per turn.
    int started = 0;
    int startedAtTick = 0;
    int mostPerTick = 0;
    QObject::connect(tls, &QSslServer::startedEncryptionHandshake, [&started] { ++started; });
    QTimer everyTurn;
    QObject::connect(&everyTurn, &QTimer::timeout, [&] {
        mostPerTick = std::max(mostPerTick, started - startedAtTick);
        startedAtTick = started;
    });
    everyTurn.start(0);
    for (const auto& client : clients) {
        client->startClientEncryption();  // every client hello sent at once
    }
    EXPECT_TRUE(waitUntil([&] { return encrypted == kClients && peers.size() == kClients; }))
        << encrypted << " encrypted, " << peers.size() << " peers";
    EXPECT_EQ(started, kClients);
    // The timer and the server's own turns may interleave either way: twice the bound at most.
    EXPECT_LE(mostPerTick, 2 * SessionServer::kHandshakesPerTurn);
}

TEST_F(SessionServerTest, AConnectionThatNeverSpeaksIsClosedAfterTheHandshakeTimeout) {
    auto server = makeServer();
    server->handshakeTimeout = 300ms;
    startAndWait(*server);
    QTcpSocket silent;
    QElapsedTimer elapsed;
    elapsed.start();
    silent.connectToHost(QHostAddress::LocalHost, *server->controlPort());
    ASSERT_TRUE(waitUntil([&] { return silent.state() == QAbstractSocket::ConnectedState; }));
    ASSERT_TRUE(waitUntil([&] { return silent.state() == QAbstractSocket::UnconnectedState; }, 5s));
    EXPECT_GE(elapsed.elapsed(), 250);
    // It left nothing behind: a tablet still gets through.
    auto tablet = connectTablet(*server->controlPort());
    EXPECT_TRUE(waitUntil([&] { return tablet->isEncrypted() && peers.size() == 1; }, 5s));
}

}  // namespace
}  // namespace velurio::test

namespace velurio::test {
namespace {

// Without any Avahi daemon (here: no system bus at all) the listeners run and the log says why
// the host is not advertised.
TEST(SessionServerWithoutAdvertisement, RunsAndSaysSoInTheLog) {
    ensureApplication();
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/velurio-no-system-bus");
    QStringList logged;
    static QStringList* sink = nullptr;
    sink = &logged;
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& message) {
            sink->append(message);
        });
    QTemporaryDir dir;
    FileSecretStore store(dir.path() + QStringLiteral("/secrets.json"));
    SessionServer server(SessionServer::deviceIdentityProvider(store));
    server.bindAddress = QHostAddress::LocalHost;
    server.start();
    const bool running = waitUntil([&] { return server.isRunning(); });
    qInstallMessageHandler(previous);
    ASSERT_TRUE(running);
    EXPECT_EQ(server.transport(), SessionServer::Transport::tcp);
    EXPECT_TRUE(server.advertisedName().isEmpty());
    EXPECT_TRUE(std::any_of(logged.begin(), logged.end(), [](const QString& line) {
        return line.startsWith(QStringLiteral("Velurio: ")) &&
               line.contains(QStringLiteral("anúncio"));
    })) << logged.join('\n').toStdString();
}

}  // namespace
}  // namespace velurio::test

namespace velurio::test {
namespace {

int intOption(qintptr descriptor, int level, int name) {
    int value = -1;
    socklen_t size = sizeof value;
    if (::getsockopt(static_cast<int>(descriptor), level, name, &value, &size) != 0) {
        return -1;
    }
    return value;
}

// Every accepted control socket carries the user timeout and keep-alive probes that fit in it,
// so a tablet that leaves the network is dropped by the system instead of after ~15 minutes.
TEST_F(SessionServerTest, AcceptedControlSocketsGetTheUserTimeoutKeepAliveAndNoDelay) {
    EXPECT_EQ(SessionServer::kControlUserTimeout, 35s);
    if (qEnvironmentVariableIsEmpty(SessionServer::kControlUserTimeoutVariable)) {
        EXPECT_EQ(makeServer()->controlUserTimeout, 35s);
    }
    auto server = makeServer();
    server->controlUserTimeout = 7'000ms;
    startAndWait(*server);
    auto tablet = connectTablet(*server->controlPort());
    ASSERT_TRUE(waitUntil([&] { return tablet->isEncrypted() && !peers.empty(); }));
    const QList<QSslSocket*> accepted = server->findChildren<QSslSocket*>();
    ASSERT_EQ(accepted.size(), 1);
    const qintptr fd = accepted.front()->socketDescriptor();
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), 7'000);
    EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    // Four probes a second apart after 3 s of silence: a silent tablet goes after about 7 s.
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 4);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 1);
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 3);

    // Small messages leave at once, not behind the acknowledgement of the one before.
    EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);

    // The variable the app reads: a positive whole number of milliseconds, else the default.
    const QByteArray saved = qgetenv(SessionServer::kControlUserTimeoutVariable);
    for (const auto& [text, expected] : {std::pair{"1500", 1'500ms}, std::pair{"0", 35'000ms},
                                         std::pair{"-3", 35'000ms}, std::pair{"2s", 35'000ms}}) {
        qputenv(SessionServer::kControlUserTimeoutVariable, text);
        EXPECT_EQ(SessionServer::controlUserTimeoutFromEnvironment(), expected) << text;
    }
    if (saved.isNull()) {
        qunsetenv(SessionServer::kControlUserTimeoutVariable);
    } else {
        qputenv(SessionServer::kControlUserTimeoutVariable, saved);
    }

    const TcpLiveness standard = TcpLiveness::forUserTimeout(35s);
    EXPECT_EQ(standard.keepAliveIdle + standard.keepAliveProbes * standard.keepAliveInterval, 35s);
    const TcpLiveness tiny = TcpLiveness::forUserTimeout(500ms);
    EXPECT_EQ(tiny.keepAliveIdle, 1s);
    EXPECT_EQ(tiny.keepAliveInterval, 1s);
}

// Fills every free descriptor up to a lowered limit; the destructor frees them and restores
// the limit, whatever the test's outcome.
class DescriptorExhaustion {
  public:
    DescriptorExhaustion() {
        ::getrlimit(RLIMIT_NOFILE, &m_saved);
        int highest = 0;
        for (const QString& entry :
             QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::System)) {
            highest = std::max(highest, entry.toInt());
        }
        rlimit lowered = m_saved;
        lowered.rlim_cur = static_cast<rlim_t>(highest) + 32;
        m_lowered = ::setrlimit(RLIMIT_NOFILE, &lowered) == 0;
        for (;;) {
            const int fd = ::dup(STDERR_FILENO);
            if (fd < 0) {
                m_exhausted = errno == EMFILE;
                break;
            }
            m_taken.push_back(fd);
        }
    }
    ~DescriptorExhaustion() { release(); }
    DescriptorExhaustion(const DescriptorExhaustion&) = delete;
    DescriptorExhaustion& operator=(const DescriptorExhaustion&) = delete;

    bool exhausted() const { return m_lowered && m_exhausted; }
    void release() {
        for (int fd : m_taken) {
            ::close(fd);
        }
        m_taken.clear();
        if (m_lowered) {
            ::setrlimit(RLIMIT_NOFILE, &m_saved);
            m_lowered = false;
        }
    }

  private:
    rlimit m_saved{};
    bool m_lowered = false;
    bool m_exhausted = false;
    std::vector<int> m_taken;
};

TEST_F(SessionServerTest, AcceptingResumesAfterRunningOutOfDescriptors) {
    auto server = makeServer();
    startAndWait(*server);
    const quint16 port = *server->controlPort();
    auto* tls = server->findChild<QSslServer*>();
    ASSERT_NE(tls, nullptr);
    int acceptErrors = 0;
    QObject::connect(tls, &QTcpServer::acceptError, tls, [&] { ++acceptErrors; });
    QStringList logged;
    static QStringList* sink = nullptr;
    sink = &logged;
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext& context, const QString& message) {
            sink->append(QString::fromLatin1(context.category) + QStringLiteral(": ") + message);
        });

    // A tablet whose connection is complete in the kernel, waiting in the listener's queue
    // while the host has no descriptor left to take it with.
    const int waiting = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(waiting, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(waiting, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    {
        DescriptorExhaustion exhaustion;
        ASSERT_TRUE(exhaustion.exhausted());
        const bool failed = waitUntil([&] { return acceptErrors >= 1; }, 5s);
        settle(300ms);  // several attempts to accept again, all still out of descriptors
        exhaustion.release();
        ASSERT_TRUE(failed) << "no accept error while out of descriptors";
    }
    EXPECT_TRUE(server->isRunning());

    // Descriptors are back: the waiting tablet is taken and completes its handshake, and a new
    // tablet gets through too.
    QSslSocket waitingTablet;
    waitingTablet.setPeerVerifyMode(QSslSocket::VerifyNone);
    ASSERT_TRUE(waitingTablet.setSocketDescriptor(waiting));
    waitingTablet.startClientEncryption();
    EXPECT_TRUE(waitUntil([&] { return waitingTablet.isEncrypted() && peers.size() == 1; }, 5s));
    auto tablet = connectTablet(port);
    EXPECT_TRUE(waitUntil([&] { return tablet->isEncrypted() && peers.size() == 2; }, 5s));
    settle(200ms);
    qInstallMessageHandler(previous);
    const auto warned = std::count_if(logged.begin(), logged.end(), [](const QString& line) {
        return line.startsWith(QStringLiteral("velurio.transport.server: accepting paused"));
    });
    EXPECT_EQ(warned, 1) << logged.join('\n').toStdString();
}

}  // namespace
}  // namespace velurio::test
