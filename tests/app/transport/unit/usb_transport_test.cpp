// The USB path on real sockets: video batches over TLS counted on what left the host, the
// tunnel between a device stream and its loopback listener, and the connector driven by the
// usbmuxd stand-in with an in-process tablet listener.
#include "app/clock/scheduler.h"
#include "app/transport/peer_connection.h"
#include "app/transport/usb_connector.h"
#include "app/transport/usbmux_tunnel.h"
#include "usb_test_support.h"

#include <gtest/gtest.h>

#include <QLocalServer>
#include <QLocalSocket>
#include <QUuid>

#include <set>

namespace velurio::test {
namespace {

using namespace std::chrono_literals;

HelloMessage macOffer() {
    HelloMessage hello;
    hello.sessionId = "offer-template";
    hello.role = PeerRole::mac;
    hello.deviceId = "mac-1";
    hello.deviceName = "Mac de Ana";
    return hello;
}

// A USB peer on the client side of a TLS loopback connection, accepted, and the tablet's raw
// socket (not read unless a test reads it).
struct ActiveTLSPeer {
    TabletTLSServer tablet;
    std::unique_ptr<PeerConnection> peer;
    int readyCalls = 0;
    bool encryptedAtReady = false;
    int backpressure = 0;

    ActiveTLSPeer() {
        tablet.autoRead = false;
        auto* socket = new QSslSocket();
        socket->setPeerVerifyMode(QSslSocket::VerifyNone);
        PeerTiming timing;
        timing.pingInterval = 1h;  // nothing but video on the stream
        peer = std::make_unique<PeerConnection>(socket, true, timing);
        peer->onReady = [this, socket] {
            ++readyCalls;
            encryptedAtReady = socket->isEncrypted();
        };
        peer->onHello = [](PeerConnection*, const HelloMessage&,
                           PeerConnection::HelloDecision decide) { decide(true); };
        peer->onVideoBackpressure = [this] { ++backpressure; };
        peer->start();
        socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), tablet.port());
        waitUntil([&] { return !tablet.sockets.empty() && tablet.sockets[0]->isEncrypted(); });
        const Bytes hello = frameOf(tabletHello("s-usb"));
        tablet.sockets[0]->write(reinterpret_cast<const char*>(hello.data()),
                                 static_cast<qint64>(hello.size()));
        waitUntil([&] { return peer->state() == PeerConnection::State::active; });
    }
    QSslSocket* tabletSocket() const { return tablet.sockets.at(0); }
};

std::vector<Bytes> batch(std::size_t datagrams, std::uint8_t fill) {
    return std::vector<Bytes>(datagrams, Bytes(1'200, fill));
}

TEST(USBVideoOverTLS, ReadyComesWithTheHandshakeNotTheTCPConnect) {
    ensureApplication();
    ActiveTLSPeer link;
    ASSERT_EQ(link.peer->state(), PeerConnection::State::active);
    EXPECT_EQ(link.readyCalls, 1);
    EXPECT_TRUE(link.encryptedAtReady);
}

TEST(USBVideoOverTLS, ABatchIsInFlightUntilItsEncryptedBytesLeftSoASlowReaderCausesDrops) {
    ensureApplication();
    ActiveTLSPeer link;
    ASSERT_EQ(link.peer->state(), PeerConnection::State::active);

    // Far more than the loopback socket buffers hold while the tablet reads nothing.
    link.peer->sendUSBVideo(batch(16'000, 1));
    ASSERT_TRUE(link.peer->sendingVideo());
    settle(300ms);
    // Encrypting the batch is not sending it: it is still in flight.
    EXPECT_TRUE(link.peer->sendingVideo());
    link.peer->sendUSBVideo(batch(10, 2));
    link.peer->sendUSBVideo(batch(10, 3));
    EXPECT_TRUE(link.peer->needsUSBKeyframe());
    EXPECT_EQ(link.backpressure, 0);

    // The tablet catches up: the batch completes, one key frame is asked for, and the next
    // batch goes out.
    TabletEnd reader(link.tabletSocket());
    Q_EMIT link.tabletSocket()->readyRead();  // what waits in its buffer already
    ASSERT_TRUE(waitUntil([&] { return !link.peer->sendingVideo(); }, 30s));
    EXPECT_EQ(link.backpressure, 1);
    EXPECT_FALSE(link.peer->needsUSBKeyframe());
    link.peer->sendUSBVideo(batch(2, 4));
    EXPECT_TRUE(link.peer->sendingVideo());
    ASSERT_TRUE(waitUntil([&] { return !link.peer->sendingVideo(); }));
    ASSERT_TRUE(waitUntil(
        [&] { return !reader.payloads.empty() && reader.payloads.back() == Bytes(1'200, 4); }));
    EXPECT_EQ(link.backpressure, 1);
    // Nothing of the dropped batches reached the tablet.
    EXPECT_EQ(std::count_if(reader.payloads.begin(), reader.payloads.end(),
                            [](const Bytes& p) { return p.front() == 2 || p.front() == 3; }),
              0);
}

TEST(USBVideoOverPlainStream, AMissedWrittenSignalDoesNotKeepLaterBatchesOut) {
    ensureApplication();
    LoopbackPair pair;
    PeerTiming timing;
    timing.pingInterval = 1h;
    PeerConnection peer(pair.host, true, timing);
    TabletEnd tablet(pair.tablet);
    peer.onHello = [](PeerConnection*, const HelloMessage&, PeerConnection::HelloDecision decide) {
        decide(true);
    };
    int backpressure = 0;
    peer.onVideoBackpressure = [&] { ++backpressure; };
    peer.start();
    tablet.send(tabletHello("s-usb"));
    ASSERT_TRUE(waitUntil([&] { return peer.state() == PeerConnection::State::active; }));

    // The batch leaves while the stream's signals are blocked: no bytesWritten reaches the
    // peer, as when Qt skips a nested emission.
    pair.host->blockSignals(true);
    peer.sendUSBVideo(batch(2, 1));
    ASSERT_TRUE(waitUntil([&] { return pair.host->bytesToWrite() == 0; }));
    settle(50ms);
    pair.host->blockSignals(false);
    ASSERT_TRUE(peer.sendingVideo());

    peer.sendUSBVideo(batch(2, 2));  // not dropped: the stream holds nothing of the first one
    EXPECT_FALSE(peer.needsUSBKeyframe());
    EXPECT_EQ(backpressure, 0);
    ASSERT_TRUE(waitUntil([&] { return tablet.payloads.size() == 4; }));
    EXPECT_EQ(tablet.payloads.back(), Bytes(1'200, 2));
}

// --- The tunnel --------------------------------------------------------------------------------

// A device stream: a USBMuxSocket connected to a local server standing in for the device.
struct DeviceStream {
    QTemporaryDir dir;
    QLocalServer server;
    std::unique_ptr<USBMuxSocket> socket;
    QLocalSocket* device = nullptr;

    DeviceStream() {
        const QString path = dir.filePath(QStringLiteral("device"));
        server.listen(path);
        auto opened = USBMuxSocket::open(USBMuxAddress::unixSocket(path.toStdString()));
        socket = std::move(opened).value();
        (void)socket->setTimeouts(0ms);  // as a connected device stream has
        waitUntil([&] { return server.hasPendingConnections(); });
        device = server.nextPendingConnection();
    }
};

TEST(USBMuxTunnelTest, CarriesBothWaysForOneLocalConnectionAndClosesOnceWhenTheDeviceEnds) {
    ensureApplication();
    DeviceStream stream;
    USBMuxTunnel tunnel(std::move(stream.socket), QStringLiteral("t"));
    std::optional<quint16> readyPort;
    int closed = 0;
    tunnel.onReady = [&](quint16 port) { readyPort = port; };
    tunnel.onClosed = [&] { ++closed; };
    tunnel.start();
    ASSERT_TRUE(waitUntil([&] { return readyPort.has_value(); }));
    EXPECT_EQ(tunnel.port(), readyPort);

    QTcpSocket local;
    local.connectToHost(QHostAddress::LocalHost, *readyPort);
    ASSERT_TRUE(waitUntil([&] { return tunnel.hasConnection(); }));

    // A second local connection is refused while the first lives.
    QTcpSocket intruder;
    bool intruderClosed = false;
    QObject::connect(&intruder, &QTcpSocket::disconnected, [&] { intruderClosed = true; });
    intruder.connectToHost(QHostAddress::LocalHost, *readyPort);
    ASSERT_TRUE(waitUntil([&] { return intruderClosed; }));

    // Local to device, more than one chunk.
    const QByteArray up(3 * static_cast<int>(USBMuxTunnel::kChunkBytes) + 17, 'u');
    local.write(up);
    QByteArray atDevice;
    ASSERT_TRUE(waitUntil([&] {
        atDevice += stream.device->readAll();
        return atDevice.size() >= up.size();
    }));
    EXPECT_EQ(atDevice, up);

    // Device to local.
    const QByteArray down(200'000, 'd');
    stream.device->write(down);
    QByteArray atLocal;
    ASSERT_TRUE(waitUntil([&] {
        atLocal += local.readAll();
        return atLocal.size() >= down.size();
    }));
    EXPECT_EQ(atLocal, down);

    // The device goes away: the tunnel ends, the local connection with it, onClosed once.
    stream.device->disconnectFromServer();
    ASSERT_TRUE(waitUntil([&] { return tunnel.isClosed(); }));
    ASSERT_TRUE(waitUntil([&] { return local.state() == QAbstractSocket::UnconnectedState; }));
    tunnel.close();
    settle();
    EXPECT_EQ(closed, 1);
}

TEST(USBMuxTunnelTest, TheLocalSideEndingClosesTheDeviceStream) {
    ensureApplication();
    DeviceStream stream;
    USBMuxTunnel tunnel(std::move(stream.socket), QStringLiteral("t"));
    std::optional<quint16> readyPort;
    int closed = 0;
    tunnel.onReady = [&](quint16 port) { readyPort = port; };
    tunnel.onClosed = [&] { ++closed; };
    tunnel.start();
    ASSERT_TRUE(waitUntil([&] { return readyPort.has_value(); }));
    auto* local = new QTcpSocket();
    local->connectToHost(QHostAddress::LocalHost, *readyPort);
    ASSERT_TRUE(waitUntil([&] { return tunnel.hasConnection(); }));
    local->write("last words");
    local->disconnectFromHost();
    QByteArray atDevice;
    bool deviceEnded = false;
    QObject::connect(stream.device, &QLocalSocket::disconnected, [&] { deviceEnded = true; });
    ASSERT_TRUE(waitUntil([&] {
        atDevice += stream.device->readAll();
        return deviceEnded;
    }));
    EXPECT_EQ(atDevice, QByteArray("last words"));
    EXPECT_EQ(closed, 1);
    delete local;
}

#ifdef VELURIO_USBMUXD_TOOL
// --- The connector against the usbmuxd stand-in ----------------------------------------------

class USBConnectorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ensureApplication();
        tablet = std::make_unique<TabletTLSServer>();
        mux = std::make_unique<USBMuxStandIn>(tablet->port(), QStringList{"1 TABLET-1"});
        ASSERT_GT(mux->count("listening"), 0);
        connector = std::make_unique<USBConnector>(&scheduler, mux->address());
        PeerTiming timing;
        timing.pingInterval = 1h;
        connector->peerTiming = timing;
        connector->onPeerAccepted = [this](PeerConnection* peer) {
            peers.emplace_back(peer);
            usbFlags.push_back(peer->isUSB());
            peer->onHello = [this](PeerConnection*, const HelloMessage& hello,
                                   PeerConnection::HelloDecision decide) {
                hellos.push_back(hello);
                decide(true);
            };
            peer->onClosed = [this](PeerConnection*) { ++closedWithNotification; };
        };
        QObject::connect(connector.get(), &USBConnector::polled, [this](int) { ++polls; });
    }
    void TearDown() override {
        connector.reset();
        mux.reset();
    }
    // Runs the next poll and waits until its list has been applied.
    void nextPoll() {
        // The round before must be over (its connects answered) for the next one to be due.
        ASSERT_TRUE(waitUntil([&] { return scheduler.pending() > 0; }));
        const int before = polls;
        scheduler.advance(USBConnector::kPollInterval);
        ASSERT_TRUE(waitUntil([&] { return polls > before; }));
        settle(100ms);  // the connects that poll starts
    }
    std::vector<HelloMessage> offersReceived() const {
        std::vector<HelloMessage> offers;
        for (const auto& end : tablet->ends) {
            for (std::size_t i = 0; i < end->messages.size(); ++i) {
                if (end->channels[i] == WireChannel::usbDiscovery) {
                    if (const auto* hello = end->messages[i].get<HelloMessage>()) {
                        offers.push_back(*hello);
                    }
                }
            }
        }
        return offers;
    }

    ManualScheduler scheduler;
    std::unique_ptr<TabletTLSServer> tablet;
    std::unique_ptr<USBMuxStandIn> mux;
    std::unique_ptr<USBConnector> connector;
    std::vector<QPointer<PeerConnection>> peers;
    std::vector<bool> usbFlags;
    std::vector<HelloMessage> hellos;
    int closedWithNotification = 0;
    int polls = 0;
};

TEST_F(USBConnectorTest, AnAttachedTabletGetsTheOfferAndItsHelloIsHandledLikeAnyPeer) {
    connector->offer = macOffer();
    connector->start();
    ASSERT_TRUE(waitUntil([&] { return offersReceived().size() == 1; }));
    const HelloMessage offer = offersReceived()[0];
    EXPECT_EQ(offer.role, PeerRole::mac);
    EXPECT_EQ(offer.deviceName, "Mac de Ana");
    EXPECT_NE(offer.sessionId, "offer-template");
    EXPECT_FALSE(QUuid::fromString(QString::fromStdString(offer.sessionId)).isNull());
    ASSERT_EQ(peers.size(), 1u);
    EXPECT_TRUE(usbFlags[0]);
    EXPECT_EQ(connector->trackedDevices(), std::vector<std::uint32_t>{1});

    tablet->ends[0]->send(tabletHello("s-usb"));
    ASSERT_TRUE(waitUntil(
        [&] { return peers[0] != nullptr && peers[0]->state() == PeerConnection::State::active; }));
    ASSERT_EQ(hellos.size(), 1u);
    EXPECT_EQ(hellos[0].deviceName, "iPad de Ana");

    // Later polls leave a connected device alone.
    nextPoll();
    nextPoll();
    EXPECT_EQ(peers.size(), 1u);
    EXPECT_EQ(mux->count("connect 1 49271 ok"), 1);
}

TEST_F(USBConnectorTest, DetachingClosesThePeerWithinOnePollAndReattachingGetsAFreshSessionId) {
    connector->offer = macOffer();
    connector->start();
    ASSERT_TRUE(waitUntil([&] { return offersReceived().size() == 1; }));
    tablet->ends[0]->send(tabletHello("s-usb"));
    ASSERT_TRUE(waitUntil(
        [&] { return peers[0] != nullptr && peers[0]->state() == PeerConnection::State::active; }));

    mux->command("detach 1");
    ASSERT_TRUE(waitUntil([&] { return mux->count("detached 1") > 0; }));
    nextPoll();
    ASSERT_TRUE(waitUntil([&] { return closedWithNotification == 1; }));
    EXPECT_TRUE(connector->trackedDevices().empty());

    const int attached = mux->count("attached 1");
    mux->command("attach 1 TABLET-1");
    ASSERT_TRUE(waitUntil([&] { return mux->count("attached 1") > attached; }));
    nextPoll();
    ASSERT_TRUE(waitUntil([&] { return offersReceived().size() == 2; }));
    EXPECT_NE(offersReceived()[0].sessionId, offersReceived()[1].sessionId);
    EXPECT_EQ(closedWithNotification, 1);
}

TEST_F(USBConnectorTest, ARefusingDeviceIsRetriedEveryPollWithoutALogLine) {
    static std::vector<QString> logged;
    logged.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext& context, const QString& m) {
            if (QString::fromLatin1(context.category).startsWith("velurio.transport")) {
                logged.push_back(m);
            }
        });
    mux->command("detach 1");
    mux->command("attach 2 TABLET-2 refuse");
    ASSERT_TRUE(waitUntil([&] { return mux->count("attached 2") > 0; }));
    connector->offer = macOffer();
    connector->start();
    ASSERT_TRUE(waitUntil([&] { return mux->count("connect 2 49271 refused") == 1; }));
    nextPoll();
    nextPoll();
    ASSERT_TRUE(waitUntil([&] { return mux->count("connect 2 49271 refused") == 3; }));
    EXPECT_TRUE(connector->trackedDevices().empty());
    EXPECT_TRUE(peers.empty());
    qInstallMessageHandler(previous);
    EXPECT_TRUE(logged.empty()) << logged.front().toStdString();
}

TEST_F(USBConnectorTest, WithoutAnOfferNothingConnects) {
    connector->start();
    ASSERT_TRUE(waitUntil([&] { return polls == 1; }));
    nextPoll();
    nextPoll();
    EXPECT_EQ(mux->count("connect"), 0);
    EXPECT_TRUE(peers.empty());
}

TEST_F(USBConnectorTest, StopClosesEveryPeerAndNothingChangesAfterIt) {
    connector->offer = macOffer();
    connector->start();
    ASSERT_TRUE(waitUntil([&] { return offersReceived().size() == 1; }));
    connector->stop();
    EXPECT_EQ(closedWithNotification, 1);
    EXPECT_TRUE(connector->trackedDevices().empty());
    EXPECT_FALSE(connector->isRunning());
    EXPECT_EQ(scheduler.pending(), 0u);

    // A poll already on its way when stopping changes nothing either.
    connector->start();
    connector->stop();
    settle(300ms);
    scheduler.advance(10s);
    settle(100ms);
    EXPECT_TRUE(connector->trackedDevices().empty());
    EXPECT_EQ(peers.size(), 1u);
    EXPECT_EQ(mux->count("connect 1 49271 ok"), 1);
}
#endif

}  // namespace
}  // namespace velurio::test
