// SessionServer over real loopback sockets: start-up order and state, the TLS control listener
// with the device identity, the advertised record, the choice of the video connection, the
// bounds on connections awaiting hello and on handshakes, and stop().
#include "app/transport/session_server.h"

#include "platform/keychain/file_secret_store.h"
#include "protocol/video_datagram.h"
#include "transport_test_support.h"

#include <gtest/gtest.h>

#include <QNetworkDatagram>
#include <QProcess>
#include <QSslServer>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QUdpSocket>

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
