// PeerConnection over a real loopback TCP stream: the hello handshake and its checks, the
// hello timer, message dispatch, pings and pongs, USB video batches and closing.
#include "app/transport/peer_connection.h"

#include "transport_test_support.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>

namespace velurio::test {
namespace {

using namespace std::chrono_literals;

StrokeMessage stroke(std::string id) {
    StrokeMessage message;
    message.id = std::move(id);
    message.tool = "pen";
    message.color = "#FF3B30";
    message.width = 4;
    message.pts = {{0.1, 0.2, 1, 0, 5}};
    return message;
}

class PeerConnectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ensureApplication();
        pair = std::make_unique<LoopbackPair>();
    }

    // A peer on the host side of a fresh pair, with short timers.
    void makePeer(bool isUSB = false, PeerTiming timing = shortTiming()) {
        peer = std::make_unique<PeerConnection>(pair->host, isUSB, std::move(timing));
        tablet = std::make_unique<TabletEnd>(pair->tablet);
        peer->onClosed = [this](PeerConnection*) { ++closedCount; };
        peer->onStroke = [this](PeerConnection*, const StrokeMessage& m) {
            strokes.push_back(m.id);
        };
        peer->onPong = [this](PeerConnection*, double rtt) { rtts.push_back(rtt); };
    }
    // Hello timers long enough never to fire on a loaded machine, unless a test shortens them.
    static PeerTiming shortTiming() {
        PeerTiming timing;
        timing.helloTimeout = 10s;
        timing.helloTimeoutUSB = 20s;
        timing.pingInterval = 30ms;
        return timing;
    }
    static PeerTiming timing(std::chrono::milliseconds hello, std::chrono::milliseconds helloUSB) {
        PeerTiming t = shortTiming();
        t.helloTimeout = hello;
        t.helloTimeoutUSB = helloUSB;
        return t;
    }
    void acceptEveryHello() {
        peer->onHello = [this](PeerConnection*, const HelloMessage& hello,
                               PeerConnection::HelloDecision decide) {
            hellos.push_back(hello);
            decide(true);
        };
    }
    std::vector<SessionEndReason> endReasons() const {
        std::vector<SessionEndReason> out;
        for (const EndMessage& end : tablet->received<EndMessage>()) {
            out.push_back(end.reason.value_or(SessionEndReason::userEnded));
        }
        return out;
    }

    std::unique_ptr<LoopbackPair> pair;
    std::unique_ptr<PeerConnection> peer;
    std::unique_ptr<TabletEnd> tablet;
    std::vector<HelloMessage> hellos;
    std::vector<std::string> strokes;
    std::vector<double> rtts;
    int closedCount = 0;
};

TEST_F(PeerConnectionTest, SilentPeerIsSentTimeoutAndClosed) {
    makePeer(false, timing(60ms, 10s));
    acceptEveryHello();
    peer->start();
    ASSERT_TRUE(waitUntil([&] { return tablet->disconnected; }));
    EXPECT_EQ(endReasons(), std::vector{SessionEndReason::timeout});
    EXPECT_EQ(peer->state(), PeerConnection::State::closed);
    EXPECT_EQ(closedCount, 1);
}

TEST_F(PeerConnectionTest, USBPeerGetsTheLongerHelloTimeout) {
    makePeer(/*isUSB=*/true, timing(60ms, 1'000ms));
    acceptEveryHello();
    peer->start();
    settle(150ms);  // well past the LAN timeout, well short of the USB one
    EXPECT_EQ(peer->state(), PeerConnection::State::awaitingHello);
    ASSERT_TRUE(waitUntil([&] { return tablet->disconnected; }));
    EXPECT_EQ(endReasons(), std::vector{SessionEndReason::timeout});
}

TEST_F(PeerConnectionTest, AcceptedHelloStopsTheTimerAndStoresTheHelloFields) {
    makePeer(false, timing(300ms, 10s));
    acceptEveryHello();
    bool accepted = false;
    peer->onHelloAccepted = [&](PeerConnection*) { accepted = true; };
    peer->start();
    HelloMessage hello = tabletHello();
    hello.resume = true;
    bool resumed = false;
    peer->onResume = [&](PeerConnection*) { resumed = true; };
    tablet->send(hello);
    ASSERT_TRUE(waitUntil([&] { return accepted; }));
    settle(400ms);  // the hello timer would have fired by now
    EXPECT_EQ(peer->state(), PeerConnection::State::active);
    EXPECT_TRUE(endReasons().empty());
    EXPECT_TRUE(resumed);
    EXPECT_EQ(peer->helloToken(), "pairing-token");
    EXPECT_EQ(peer->sessionId(), "s-1");
    EXPECT_EQ(peer->remoteDeviceId(), "ipad-1");
    EXPECT_EQ(peer->remoteDeviceName(), "iPad de Ana");
    EXPECT_TRUE(peer->isResume());
}

TEST_F(PeerConnectionTest, HelloProblemsAreAnsweredWithErrorBeforeAnyDecision) {
    // Each case on its own pair: version 2; a stroke first; no decision-maker set; refused.
    for (int variant = 0; variant < 4; ++variant) {
        SCOPED_TRACE(variant);
        if (variant > 0) {
            pair = std::make_unique<LoopbackPair>();
            hellos.clear();
            closedCount = 0;
        }
        makePeer();
        if (variant != 2) {
            peer->onHello = [this, variant](PeerConnection*, const HelloMessage& hello,
                                            PeerConnection::HelloDecision decide) {
                hellos.push_back(hello);
                decide(variant != 3);
            };
        }
        peer->start();
        HelloMessage hello = tabletHello();
        if (variant == 0) {
            hello.v = 2;
        }
        if (variant == 1) {
            tablet->send(stroke("early"));
        }
        tablet->send(hello);
        ASSERT_TRUE(waitUntil([&] { return tablet->disconnected; }));
        EXPECT_EQ(endReasons(), std::vector{SessionEndReason::error});
        EXPECT_EQ(closedCount, 1);
        EXPECT_TRUE(strokes.empty());
        // The version is checked before the decision-maker is asked; a refused hello was asked.
        EXPECT_EQ(hellos.size(), variant == 3 ? 1U : 0U);
        peer.reset();
        tablet.reset();
    }
}

TEST_F(PeerConnectionTest, FramesAfterAPendingHelloWaitForTheDecisionAndKeepTheirOrder) {
    makePeer();
    PeerConnection::HelloDecision pending;
    peer->onHello = [&](PeerConnection*, const HelloMessage&,
                        PeerConnection::HelloDecision decide) { pending = std::move(decide); };
    peer->start();
    // Hello, then two strokes, then a ping — all in one write.
    Bytes burst = frameOf(tabletHello());
    for (const Bytes& frame : {frameOf(stroke("a"), WireChannel::ink), frameOf(stroke("b")),
                               frameOf(PingMessage{7, 99})}) {
        burst.insert(burst.end(), frame.begin(), frame.end());
    }
    tablet->send(burst);
    ASSERT_TRUE(waitUntil([&] { return static_cast<bool>(pending); }));
    settle();
    EXPECT_TRUE(strokes.empty());
    pending(true);
    pending(false);  // a second answer changes nothing
    ASSERT_TRUE(
        waitUntil([&] { return strokes.size() == 2 && !tablet->received<PongMessage>().empty(); }));
    EXPECT_EQ(strokes, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(tablet->received<PongMessage>().front(), (PongMessage{7, 99}));
    EXPECT_EQ(peer->state(), PeerConnection::State::active);
}

TEST_F(PeerConnectionTest, DecisionAfterTheTimeoutChangesNothing) {
    makePeer(false, timing(60ms, 10s));
    PeerConnection::HelloDecision pending;
    bool accepted = false;
    peer->onHello = [&](PeerConnection*, const HelloMessage&,
                        PeerConnection::HelloDecision decide) { pending = std::move(decide); };
    peer->onHelloAccepted = [&](PeerConnection*) { accepted = true; };
    peer->start();
    tablet->send(tabletHello());
    ASSERT_TRUE(waitUntil([&] { return tablet->disconnected; }));
    ASSERT_TRUE(static_cast<bool>(pending));
    pending(true);
    EXPECT_FALSE(accepted);
    EXPECT_EQ(peer->state(), PeerConnection::State::closed);
    EXPECT_EQ(endReasons(), std::vector{SessionEndReason::timeout});
    EXPECT_EQ(closedCount, 1);
}

TEST_F(PeerConnectionTest, GarbageAfterAcceptanceIsIgnoredAndEveryChannelIsDecoded) {
    makePeer();
    acceptEveryHello();
    std::vector<std::string> undone;
    bool cleared = false;
    std::uint32_t selected = 0;
    peer->onUndoRequested = [&](PeerConnection*, const std::string& id) { undone.push_back(id); };
    peer->onClearRequested = [&](PeerConnection*) { cleared = true; };
    peer->onSelectDisplay = [&](PeerConnection*, std::uint32_t id) { selected = id; };
    peer->start();
    tablet->send(tabletHello());
    tablet->send(frameOfText("{\"t\":\"stroke\",garbage"));
    tablet->send(frameOfText("{\"t\":\"no_such_type\"}"));
    tablet->send(frameOf(stroke("after-garbage"), WireChannel::video));
    tablet->send(frameOf(UndoMessage{"x"}, WireChannel::usbDiscovery));
    tablet->send(frameOf(SelectDisplayMessage{42}, WireChannel::ink));
    CapabilitiesMessage caps;
    caps.videoCodec = "hevc";
    tablet->send(caps);
    tablet->send(ClearMessage{});
    ASSERT_TRUE(waitUntil([&] { return cleared; }));
    EXPECT_EQ(strokes, std::vector<std::string>{"after-garbage"});
    EXPECT_EQ(undone, std::vector<std::string>{"x"});
    EXPECT_EQ(selected, 42U);
    ASSERT_TRUE(peer->remoteCapabilities().has_value());
    EXPECT_EQ(peer->remoteCapabilities()->videoCodec, "hevc");
    EXPECT_EQ(peer->state(), PeerConnection::State::active);
    EXPECT_EQ(closedCount, 0);
}

TEST_F(PeerConnectionTest, PingsCarryTheClockAndPongsGiveRoundTrips) {
    std::int64_t now = 1'000;
    PeerTiming clocked = shortTiming();
    clocked.nowMs = [&now] { return now; };
    makePeer(false, clocked);
    acceptEveryHello();
    peer->start();
    tablet->send(tabletHello());
    ASSERT_TRUE(waitUntil([&] { return tablet->received<PingMessage>().size() >= 2; }));
    const auto pings = tablet->received<PingMessage>();
    EXPECT_EQ(pings[0].seq, 1U);
    EXPECT_EQ(pings[1].seq, 2U);
    EXPECT_EQ(pings[0].ts, 1'000);
    now = 1'250;
    tablet->send(PongMessage{1, 1'000});
    tablet->send(PongMessage{2, 5'000});  // from the future: no sample
    tablet->send(PongMessage{3, 1'250});  // zero is a sample
    ASSERT_TRUE(waitUntil([&] { return rtts.size() >= 2; }));
    settle();
    EXPECT_EQ(rtts, (std::vector<double>{250.0, 0.0}));

    // A send time so far back that now minus it does not fit in 64 bits is no sample either;
    // the link stays and the next pong counts.
    tablet->send(PongMessage{4, std::numeric_limits<std::int64_t>::min()});
    tablet->send(PongMessage{5, std::numeric_limits<std::int64_t>::min() + 1'000});
    tablet->send(PongMessage{6, 1'200});
    ASSERT_TRUE(waitUntil([&] { return rtts.size() >= 3; }));
    settle();
    EXPECT_EQ(rtts, (std::vector<double>{250.0, 0.0, 50.0}));
    EXPECT_EQ(peer->state(), PeerConnection::State::active);
}

TEST_F(PeerConnectionTest, PingFromTheTabletIsEchoed) {
    PeerTiming slowPings = shortTiming();
    slowPings.pingInterval = 10s;
    makePeer(false, slowPings);
    acceptEveryHello();
    peer->start();
    tablet->send(tabletHello());
    tablet->send(PingMessage{4'294'967'295U, -17});
    ASSERT_TRUE(waitUntil([&] { return !tablet->received<PongMessage>().empty(); }));
    EXPECT_EQ(tablet->received<PongMessage>().front(), (PongMessage{4'294'967'295U, -17}));
    EXPECT_EQ(tablet->channels.front(), WireChannel::control);
}

TEST_F(PeerConnectionTest, EndFromTheTabletClosesWithoutAnswer) {
    makePeer();
    acceptEveryHello();
    peer->start();
    tablet->send(tabletHello());
    tablet->send(EndMessage{SessionEndReason::userEnded});
    ASSERT_TRUE(waitUntil([&] { return tablet->disconnected; }));
    EXPECT_EQ(closedCount, 1);
    EXPECT_TRUE(endReasons().empty());
}

TEST_F(PeerConnectionTest, MessagesBeforeEndOfStreamAreHandledThenThePeerCloses) {
    makePeer();
    acceptEveryHello();
    peer->start();
    Bytes burst = frameOf(tabletHello());
    const Bytes s = frameOf(stroke("last"));
    burst.insert(burst.end(), s.begin(), s.end());
    tablet->send(burst);
    pair->tablet->disconnectFromHost();
    ASSERT_TRUE(waitUntil([&] { return closedCount == 1; }));
    EXPECT_EQ(strokes, std::vector<std::string>{"last"});
}

TEST_F(PeerConnectionTest, CloseTwiceNotifiesOnce) {
    makePeer();
    acceptEveryHello();
    peer->start();
    peer->close(true);
    peer->close(true);
    peer->close(false);
    EXPECT_EQ(closedCount, 1);
    ASSERT_TRUE(waitUntil([&] { return tablet->disconnected; }));
    EXPECT_EQ(closedCount, 1);
}

TEST_F(PeerConnectionTest, SecondUSBBatchWhileOneIsInFlightIsDroppedAndAsksForAKeyFrameOnce) {
    makePeer(/*isUSB=*/true);
    acceptEveryHello();
    int backpressure = 0;
    peer->onVideoBackpressure = [&] { ++backpressure; };
    peer->start();
    tablet->send(tabletHello());
    ASSERT_TRUE(waitUntil([&] { return peer->state() == PeerConnection::State::active; }));
    const Bytes first(1'220, 0xAA);
    const Bytes second(1'220, 0xBB);
    peer->sendUSBVideo({first, first});
    peer->sendUSBVideo({second});
    peer->sendUSBVideo({second});
    EXPECT_TRUE(peer->sendingVideo());
    EXPECT_TRUE(peer->needsUSBKeyframe());
    ASSERT_TRUE(waitUntil([&] { return !peer->sendingVideo(); }));
    settle();
    EXPECT_EQ(backpressure, 1);
    // Only the first batch arrived, as two video frames.
    std::size_t videoFrames = 0;
    for (std::size_t i = 0; i < tablet->channels.size(); ++i) {
        if (tablet->channels[i] == WireChannel::video) {
            ++videoFrames;
            EXPECT_EQ(tablet->payloads[i], first);
        }
    }
    EXPECT_EQ(videoFrames, 2U);
    // The link is free again: the next batch goes out and asks for nothing.
    peer->sendUSBVideo({second});
    ASSERT_TRUE(waitUntil([&] { return !peer->sendingVideo(); }));
    EXPECT_EQ(backpressure, 1);
}

TEST_F(PeerConnectionTest, VideoIsNeverSentOffUSBOrBeforeAcceptance) {
    makePeer(/*isUSB=*/false);
    acceptEveryHello();
    peer->start();
    tablet->send(tabletHello());
    ASSERT_TRUE(waitUntil([&] { return peer->state() == PeerConnection::State::active; }));
    peer->sendUSBVideo({Bytes(100, 1)});
    EXPECT_FALSE(peer->sendingVideo());
}

}  // namespace
}  // namespace velurio::test
