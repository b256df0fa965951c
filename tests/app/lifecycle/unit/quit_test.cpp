// Quitting with a tablet connected: the shutdown runs once however often quit is asked for,
// the tablet is told, and the platform session is ended before the event loop is let go.
#include "app/lifecycle/app_delegate.h"
#include "session_test_support.h"

namespace velurio::test {
namespace {

TEST(Quit, AskedTwiceItShutsDownOnceTellsTheTabletAndEndsThePlatformSession) {
    SessionRig rig;
    ASSERT_TRUE(rig.signedIn && rig.listening);
    auto tablet = rig.activeTablet(rig.pairTablet().hello());
    auto video = rig.openVideo();
    ASSERT_TRUE(waitUntil([&] { return rig.coordinator->platformSessionId().has_value(); }));

    AppDelegate delegate(std::move(rig.coordinator));
    SessionCoordinator& coordinator = *delegate.coordinator();
    delegate.requestQuit();
    delegate.requestQuit();
    EXPECT_TRUE(delegate.isTerminating());
    ASSERT_TRUE(waitUntil([&] { return tablet->disconnected; }));
    EXPECT_EQ(tablet->ends(), std::vector{SessionEndReason::userEnded});
    ASSERT_TRUE(waitUntil([&] { return !coordinator.platformSessionId().has_value(); }));
    settle();
    EXPECT_EQ(rig.requestsTo("POST", "/end").size(), 1u);
    EXPECT_FALSE(coordinator.server().isRunning());
    EXPECT_FALSE(coordinator.capture().isCapturing());
}

}  // namespace
}  // namespace velurio::test
