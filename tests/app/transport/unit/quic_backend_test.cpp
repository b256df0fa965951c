// The session server on the QUIC engine backend over real loopback UDP: a control stream
// becomes a PeerConnection that carries the remote end of its connection, a client with another
// ALPN is refused and the listener carries on, the QUIC video connection is chosen by its
// keep-alive from the peer's host and carries each video datagram as one QUIC datagram, a
// datagram the path cannot carry asks for a key frame, and the advertised record names the
// QUIC video port.
#include "app/transport/quic_udp_driver.h"
#include "app/transport/session_server.h"
#include "platform/keychain/file_secret_store.h"
#include "platform/quic/quic_client_engine.h"
#include "protocol/video_datagram.h"
#include "transport_test_support.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

namespace velurio::test {
namespace {

using namespace std::chrono_literals;

class NoAdvertiser final : public ServiceAdvertiser {
  public:
    explicit NoAdvertiser(TxtRecord* txt) : m_txt(txt) {}
    void publish(const QString&, const QByteArray&, quint16, const TxtRecord& txt) override {
        *m_txt = txt;
    }
    void withdraw() override {}
    QString publishedName() const override { return {}; }

  private:
    TxtRecord* m_txt;
};

// A tablet's QUIC client on its own UDP socket.
struct Client {
    std::unique_ptr<QuicUdpDriver> driver;
    QuicClientEngine* engine = nullptr;
    QuicConnectionHandle handle = 0;
    bool established = false;
    std::optional<QuicConnectionClosed> closed;
    std::vector<QByteArray> datagrams;

    Client(quint16 port, const std::string& alpn, std::uint64_t datagramFrameSize = 0) {
        auto made = QuicClientEngine::create();
        driver = std::make_unique<QuicUdpDriver>(std::move(made).value());
        engine = static_cast<QuicClientEngine*>(&driver->engine());
        EXPECT_TRUE(driver->bind(QHostAddress::LocalHost, 0, nullptr));
        driver->onEvent = [this](const QuicEvent& event) {
            if (std::holds_alternative<QuicConnectionEstablished>(event)) {
                established = true;
            } else if (const auto* c = std::get_if<QuicConnectionClosed>(&event)) {
                closed = *c;
            } else if (const auto* d = std::get_if<QuicDatagramReceived>(&event)) {
                datagrams.emplace_back(reinterpret_cast<const char*>(d->bytes.data()),
                                       static_cast<qsizetype>(d->bytes.size()));
            }
        };
        QuicConnectOptions options;
        options.local = driver->localEndpointFor(QHostAddress::LocalHost);
        options.remote = QuicUdpDriver::toEndpoint(QHostAddress::LocalHost, port);
        options.alpn = alpn;
        options.maxDatagramFrameSize = datagramFrameSize;
        handle = engine->connect(options, QuicUdpDriver::now()).value();
        driver->flush();
    }
    quint16 port() const { return driver->localPort(); }
    void sendDatagram(std::span<const std::uint8_t> bytes) {
        engine->sendDatagram(handle, bytes, QuicUdpDriver::now());
        driver->flush();
    }
};

class QuicBackendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ensureApplication();
        store = std::make_unique<FileSecretStore>(dir.path() + QStringLiteral("/secrets.json"));
        server = std::make_unique<SessionServer>(SessionServer::deviceIdentityProvider(*store),
                                                 makePlatformQUICBackend(QHostAddress::LocalHost),
                                                 std::make_unique<NoAdvertiser>(&txt));
        server->bindAddress = QHostAddress::LocalHost;
        server->peerTiming.helloTimeout = 10s;
        server->onPeerAccepted = [this](PeerConnection* peer, SessionServer::Transport transport) {
            peers.emplace_back(peer);
            transports.push_back(transport);
            peer->onHello = [](PeerConnection*, const HelloMessage&,
                               PeerConnection::HelloDecision decide) { decide(true); };
        };
        server->start();
        ASSERT_TRUE(waitUntil([&] { return server->isRunning() || server->lastError(); }));
        ASSERT_EQ(server->transport(), SessionServer::Transport::quic);
    }

    QTemporaryDir dir;
    std::unique_ptr<FileSecretStore> store;
    TxtRecord txt;
    std::unique_ptr<SessionServer> server;
    std::vector<QPointer<PeerConnection>> peers;
    std::vector<SessionServer::Transport> transports;
};

QByteArray txtValue(const TxtRecord& txt, const char* key) {
    for (const auto& [k, v] : txt) {
        if (k == key) {
            return v;
        }
    }
    return {};
}

TEST_F(QuicBackendTest, ControlStreamBecomesAPeerWithItsRemoteEndAndTalksFramedMessages) {
    // Advertised: the QUIC video port first, the UDP one beside it.
    ASSERT_TRUE(server->quicVideoPort());
    EXPECT_EQ(txtValue(txt, "vport"), QByteArray::number(*server->quicVideoPort()));
    EXPECT_EQ(txtValue(txt, "vquic"), "1");
    EXPECT_EQ(txtValue(txt, "vudp"), QByteArray::number(*server->udpVideoPort()));

    Client tablet(*server->controlPort(), "velurio");
    ASSERT_TRUE(waitUntil([&] { return tablet.established; }));
    const std::int64_t stream = tablet.engine->openBidiStream(tablet.handle).value();
    QuicStreamDevice* device = tablet.driver->openDevice(
        tablet.handle, stream, RemoteEndpoint{QHostAddress::LocalHost, *server->controlPort()});
    std::unique_ptr<QuicStreamDevice> owned(device);
    HelloMessage hello;
    hello.role = PeerRole::ipad;
    hello.sessionId = "s";
    const Bytes framed = frameOf(hello);
    device->write(reinterpret_cast<const char*>(framed.data()), static_cast<qint64>(framed.size()));

    ASSERT_TRUE(waitUntil([&] {
        return !peers.empty() && peers[0] != nullptr &&
               peers[0]->state() == PeerConnection::State::active;
    }));
    EXPECT_EQ(transports[0], SessionServer::Transport::quic);
    const auto remote = peers[0]->remoteEndpoint();
    ASSERT_TRUE(remote);
    EXPECT_EQ(SessionServer::normalisedHost(remote->host), QHostAddress(QHostAddress::LocalHost));
    EXPECT_EQ(remote->port, tablet.port());

    // The host's ping arrives on the stream; an end from the tablet closes the peer.
    ASSERT_TRUE(waitUntil([&] { return device->bytesAvailable() > 0; }, 5s));
    WireFrameParser parser;
    const QByteArray received = device->readAll();
    const auto frames =
        parser.ingest(std::span(reinterpret_cast<const std::uint8_t*>(received.constData()),
                                static_cast<std::size_t>(received.size())));
    ASSERT_FALSE(frames.empty());
    const Bytes end = frameOf(EndMessage{SessionEndReason::userEnded});
    device->write(reinterpret_cast<const char*>(end.data()), static_cast<qint64>(end.size()));
    EXPECT_TRUE(waitUntil([&] { return peers[0] == nullptr; }));
    // The host closes the connection once its side of the stream is done.
    EXPECT_TRUE(waitUntil([&] { return tablet.closed.has_value(); }, 5s));
}

TEST_F(QuicBackendTest, ClientWithAnotherAlpnIsRefusedAndTheListenerCarriesOn) {
    Client stranger(*server->controlPort(), "h3");
    ASSERT_TRUE(waitUntil([&] { return stranger.closed.has_value(); }));
    EXPECT_FALSE(stranger.established);
    EXPECT_EQ(stranger.closed->reason, QuicCloseReason::handshakeFailed);
    EXPECT_EQ(stranger.closed->errorCode, 0x178U);  // TLS no_application_protocol
    EXPECT_TRUE(peers.empty());
    // The video ALPN is not the control listener's either.
    Client video(*server->controlPort(), "velurio-video", 1450);
    ASSERT_TRUE(waitUntil([&] { return video.closed.has_value(); }));
    EXPECT_FALSE(video.established);

    Client tablet(*server->controlPort(), "velurio");
    EXPECT_TRUE(waitUntil([&] { return tablet.established; }));
    EXPECT_TRUE(server->isRunning());
}

TEST_F(QuicBackendTest, KeepaliveChoosesTheQuicVideoConnectionThatThenCarriesDatagrams) {
    std::optional<RemoteEndpoint> peerEnd = RemoteEndpoint{QHostAddress::LocalHost, 1};
    server->isVideoPeerAllowed = [&](const VideoConnection& connection) {
        return SessionServer::hasSameRemoteHost(RemoteEndpoint{connection.host, connection.port},
                                                peerEnd);
    };
    int changes = 0;
    server->onVideoConnectionChanged = [&](const std::optional<VideoConnection>&) { ++changes; };
    int keyframes = 0;
    QObject::connect(server.get(), &SessionServer::videoKeyframeNeeded, [&] { ++keyframes; });

    Client video(*server->quicVideoPort(), "velurio-video", 1450);
    ASSERT_TRUE(waitUntil([&] { return video.established; }));
    // Something other than the keep-alive chooses nothing.
    const std::array<std::uint8_t, 3> other{1, 2, 3};
    video.sendDatagram(other);
    settle(100ms);
    EXPECT_FALSE(server->videoConnection());
    video.sendDatagram(VideoControlDatagram::keepalive);
    ASSERT_TRUE(waitUntil([&] { return server->videoConnection().has_value(); }));
    EXPECT_EQ(server->videoConnection()->kind, VideoConnection::Kind::quic);
    EXPECT_EQ(server->videoConnection()->port, video.port());
    video.sendDatagram(VideoControlDatagram::keepalive);
    settle(100ms);
    EXPECT_EQ(changes, 1);

    // Once path MTU discovery has run, a 1220-byte video datagram is one QUIC datagram.
    settle(300ms);
    const QByteArray frame(1220, 'v');
    EXPECT_TRUE(server->sendVideoDatagram(frame));
    ASSERT_TRUE(waitUntil([&] { return !video.datagrams.empty(); }));
    EXPECT_EQ(video.datagrams.front(), frame);
    EXPECT_EQ(keyframes, 0);

    // One the path cannot carry is dropped and asks for a key frame.
    EXPECT_FALSE(server->sendVideoDatagram(QByteArray(1449, 'x')));
    EXPECT_EQ(keyframes, 1);

    // The tablet going away forgets the video connection.
    video.engine->close(video.handle, 0, "", QuicUdpDriver::now());
    video.driver->flush();
    EXPECT_TRUE(waitUntil([&] { return !server->videoConnection().has_value(); }));
}

TEST_F(QuicBackendTest, KeepaliveFromAnotherHostChoosesNothing) {
    const std::optional<RemoteEndpoint> peerEnd = RemoteEndpoint{QHostAddress("192.0.2.7"), 1};
    server->isVideoPeerAllowed = [&](const VideoConnection& connection) {
        return SessionServer::hasSameRemoteHost(RemoteEndpoint{connection.host, connection.port},
                                                peerEnd);
    };
    Client video(*server->quicVideoPort(), "velurio-video", 1450);
    ASSERT_TRUE(waitUntil([&] { return video.established; }));
    video.sendDatagram(VideoControlDatagram::keepalive);
    settle(200ms);
    EXPECT_FALSE(server->videoConnection());
}

}  // namespace
}  // namespace velurio::test

namespace velurio::test {
namespace {

TEST_F(QuicBackendTest, PeerThatFloodsWhileItsHelloIsUndecidedIsClosed) {
    // The decision never comes, so the peer reads nothing after the hello.
    server->onPeerAccepted = [this](PeerConnection* peer, SessionServer::Transport) {
        peers.emplace_back(peer);
        peer->onHello = [](PeerConnection*, const HelloMessage&, PeerConnection::HelloDecision) {};
    };
    Client tablet(*server->controlPort(), "velurio");
    ASSERT_TRUE(waitUntil([&] { return tablet.established; }));
    const std::int64_t stream = tablet.engine->openBidiStream(tablet.handle).value();
    std::unique_ptr<QuicStreamDevice> device(tablet.driver->openDevice(
        tablet.handle, stream, RemoteEndpoint{QHostAddress::LocalHost, *server->controlPort()}));
    HelloMessage hello;
    hello.role = PeerRole::ipad;
    const Bytes framed = frameOf(hello);
    device->write(reinterpret_cast<const char*>(framed.data()), static_cast<qint64>(framed.size()));
    const QByteArray flood(6 * 1024 * 1024, 'x');
    device->write(flood);

    ASSERT_TRUE(waitUntil([&] { return tablet.closed.has_value(); }, 20s));
    EXPECT_TRUE(tablet.closed->applicationError);
    EXPECT_EQ(tablet.closed->errorCode, 1U);
    EXPECT_TRUE(server->isRunning());
}

}  // namespace
}  // namespace velurio::test

namespace velurio::test {
namespace {

TEST_F(QuicBackendTest, StoppingTheServerClosesItsQuicPeersWithNotification) {
    Client tablet(*server->controlPort(), "velurio");
    ASSERT_TRUE(waitUntil([&] { return tablet.established; }));
    const std::int64_t stream = tablet.engine->openBidiStream(tablet.handle).value();
    std::unique_ptr<QuicStreamDevice> device(tablet.driver->openDevice(
        tablet.handle, stream, RemoteEndpoint{QHostAddress::LocalHost, *server->controlPort()}));
    HelloMessage hello;
    hello.role = PeerRole::ipad;
    const Bytes framed = frameOf(hello);
    device->write(reinterpret_cast<const char*>(framed.data()), static_cast<qint64>(framed.size()));
    ASSERT_TRUE(waitUntil([&] {
        return !peers.empty() && peers[0] != nullptr &&
               peers[0]->state() == PeerConnection::State::active;
    }));
    bool notified = false;
    peers[0]->onClosed = [&](PeerConnection*) { notified = true; };

    server->stop();
    EXPECT_TRUE(waitUntil([&] { return notified; }));
    // The tablet is told at once rather than finding out by its idle timeout.
    EXPECT_TRUE(waitUntil([&] { return tablet.closed.has_value(); }));
    EXPECT_EQ(tablet.closed->reason, QuicCloseReason::closedByPeer);
}

}  // namespace
}  // namespace velurio::test
