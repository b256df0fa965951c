// Which hellos the coordinator accepts, and that every hello gets its answer.
#include "app/identity/platform_keys.h"
#include "session_test_support.h"

namespace velurio::test {
namespace {

// A refused tablet hears exactly `end` "error", nothing else, and is let go; the session is
// untouched and nothing it sent is drawn.
void expectRefused(SessionRig& rig, TestTablet& tablet, const char* what) {
    SCOPED_TRACE(what);
    ASSERT_TRUE(waitUntil([&] { return tablet.disconnected; }));
    const auto conversation = tablet.conversation();
    ASSERT_EQ(conversation.size(), 1u);
    ASSERT_TRUE(conversation[0].is<EndMessage>());
    EXPECT_EQ(conversation[0].get<EndMessage>()->reason, SessionEndReason::error);
    EXPECT_FALSE(rig.coordinator->connectionState().has_value());
    EXPECT_TRUE(rig.coordinator->strokeStore().strokes().empty());
    EXPECT_TRUE(rig.coordinator->strokeStore().activeStrokes().empty());
}

StrokeMessage strokeBegin(const std::string& id) {
    StrokeMessage m;
    m.id = id;
    m.op = StrokeOp::begin;
    m.tool = "pen";
    m.color = "#FF4D2E";
    m.width = 4;
    m.pts = {{0.1, 0.1, 0.5, 0, 0}, {0.2, 0.2, 0.5, 0, 8}};
    return m;
}

TEST(HelloValidation, RefusesForgedExpiredUnpairedAndMalformedHellosAndAcceptsAGoodOne) {
    SessionRig rig;
    ASSERT_TRUE(rig.signedIn && rig.listening);
    const TabletCredentials tablet = rig.pairTablet();
    ASSERT_FALSE(tablet.attestation.isEmpty());
    ASSERT_FALSE(tablet.pairingToken.isEmpty());
    const qint64 inAnHour = QDateTime::currentSecsSinceEpoch() + 3600;

    {  // An attestation signed by another key.
        const auto other = P256PrivateKey::generate();
        HelloMessage hello = tablet.hello();
        hello.attestation = PlatformKeyFiles::attestation(other.value(), inAnHour).toStdString();
        auto t = rig.connectTablet();
        t->send(hello);
        expectRefused(rig, *t, "forged attestation");
    }
    {  // The platform's own signature, expired.
        HelloMessage hello = tablet.hello();
        hello.attestation =
            PlatformKeyFiles::attestation(*rig.keys.key, QDateTime::currentSecsSinceEpoch() - 5)
                .toStdString();
        auto t = rig.connectTablet();
        t->send(hello);
        expectRefused(rig, *t, "expired attestation");
    }
    {  // A good attestation with a pairing token the platform does not know.
        HelloMessage hello = tablet.hello();
        hello.token = "pt_unknown";
        auto t = rig.connectTablet();
        t->send(hello);
        expectRefused(rig, *t, "unknown pairing token");
    }
    {  // A protocol version this host does not speak.
        HelloMessage hello = tablet.hello();
        hello.v = 2;
        auto t = rig.connectTablet();
        t->send(hello);
        expectRefused(rig, *t, "version 2");
    }
    {  // Ink before the hello.
        auto t = rig.connectTablet();
        t->send(strokeBegin("i-1"), WireChannel::ink);
        t->send(tablet.hello());
        expectRefused(rig, *t, "stroke before hello");
    }
    // No refused hello asked the platform to start anything.
    EXPECT_TRUE(rig.requestsTo("POST", "/api/sessions/start").empty());

    // The same credentials, unaltered, are accepted.
    auto good = rig.activeTablet(tablet.hello());
    EXPECT_TRUE(good->ends().empty());
}

TEST(HelloValidation, ABuildWithoutAPlatformKeyRefusesEveryTablet) {
    SessionRig rig;
    ASSERT_TRUE(rig.signedIn && rig.listening);
    const TabletCredentials tablet = rig.pairTablet();
    // No development override and (in the test build) no embedded key.
    qputenv("VELURIO_PLATFORM_PUBKEY_FILE", "");
    qunsetenv("VELURIO_PLATFORM_PUBKEY_FILE");
    if (PlatformKeys::source() == PlatformKeys::Source::embedded)
        GTEST_SKIP() << "this build embeds a platform key";
    ASSERT_EQ(PlatformKeys::source(), PlatformKeys::Source::none);
    auto t = rig.connectTablet();
    t->send(tablet.hello());
    expectRefused(rig, *t, "no platform key");
    EXPECT_TRUE(rig.requestsTo("POST", "/api/pairing/sessions/validate").empty());
}

TEST(HelloValidation, AHelloStillBeingCheckedIsAnsweredAtShutdownNotAtItsTimeout) {
    SessionRig rig;
    ASSERT_TRUE(rig.signedIn && rig.listening);
    const TabletCredentials credentials = rig.pairTablet();
    // The platform takes its time over the pairing token (longer than the test needs to shut
    // down; the answer still comes, so the check waiting on it ends before the rig goes).
    rig.platform.addFault(
        {{QStringLiteral("method"), QStringLiteral("POST")},
         {QStringLiteral("path"), QStringLiteral("/api/pairing/sessions/validate")},
         {QStringLiteral("delayMs"), 3000}});
    auto waiting = rig.connectTablet();
    waiting->send(credentials.hello("iPad em espera"));
    ASSERT_TRUE(waitUntil(
        [&] { return !rig.requestsTo("POST", "/api/pairing/sessions/validate").empty(); }));
    settle(100ms);
    EXPECT_TRUE(waiting->conversation().empty());

    bool done = false;
    QCoro::connect(rig.coordinator->shutdown(), rig.coordinator.get(), [&] { done = true; });
    // Well before the 20-second hello timeout.
    ASSERT_TRUE(waitUntil([&] { return waiting->disconnected; }, 5s));
    EXPECT_EQ(waiting->ends(), std::vector{SessionEndReason::error});
    EXPECT_TRUE(waitUntil([&] { return done; }));
    EXPECT_FALSE(rig.coordinator->server().isRunning());
    settle(3500ms);  // the late answer arrives and the check ends, changing nothing
    EXPECT_FALSE(rig.coordinator->server().isRunning());
}

}  // namespace
}  // namespace velurio::test
