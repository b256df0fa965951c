// A tablet that vanishes from the network without closing its connection: the host's pings go
// unacknowledged and the system drops the connection once the user timeout runs out, so the
// session learns of it in seconds rather than after ~15 minutes of retransmissions.
//
// The tablet is velurio-peer (another process) in a network namespace of its own, joined to the
// host's by a veth pair, and its packets are dropped with tc there (private_netns.sh sets both
// namespaces up), so this runs as its own CTest test
// (transport.vanished_tablet, with the timeout shortened through the environment variable the
// host reads); elsewhere it is skipped.
#include "app/transport/session_server.h"
#include "system_tool.h"
#include "transport_host_harness.h"
#include "transport_test_support.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#ifdef VELURIO_PEER_PATH

namespace velurio::test {
namespace {

using namespace std::chrono_literals;

// Arguments that run a program in the tablet's network namespace.
QStringList inTabletNamespace(const QStringList& command) {
    return QStringList{QStringLiteral("-t"), qEnvironmentVariable("VELURIO_TABLET_NETNS_PID"),
                       QStringLiteral("-n")} +
           command;
}

// Runs tc in the tablet's namespace; true when it succeeded.
bool tcInTheTabletNamespace(const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(systemTool(QStringLiteral("nsenter")),
                  inTabletNamespace(QStringList{systemTool(QStringLiteral("tc"))} + arguments));
    return process.waitForFinished(10'000) && process.exitStatus() == QProcess::NormalExit &&
           process.exitCode() == 0;
}

// From now on the tablet sends nothing: a queue of length zero on its interface takes no
// packet, so the host's data is never acknowledged, as when a tablet leaves the network.
bool silenceTheTablet() {
    return tcInTheTabletNamespace(
        {"qdisc", "add", "dev", "velurio-tablet", "root", "pfifo", "limit", "0"});
}

// The tablet's packets flow again.
bool unsilenceTheTablet() {
    return tcInTheTabletNamespace({"qdisc", "del", "dev", "velurio-tablet", "root"});
}

// Starts velurio-peer in the tablet's namespace against the host's control port.
void startTablet(QProcess& tablet, const QTemporaryDir& dir, const HostHarness& host) {
    tablet.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    tablet.start(
        systemTool(QStringLiteral("nsenter")),
        inTabletNamespace({QStringLiteral(VELURIO_PEER_PATH), "--log", dir.filePath("tablet.jsonl"),
                           "--host", qEnvironmentVariable("VELURIO_TABLET_HOST_ADDRESS"), "--port",
                           QString::number(*host.server->controlPort()), "--token", "tok",
                           "--duration-ms", "120000"}));
}

TEST(VanishedTablet, IsClosedOnceTheUserTimeoutRunsOut) {
    if (qEnvironmentVariable("VELURIO_PRIVATE_NETNS") != QStringLiteral("1")) {
        GTEST_SKIP() << "runs as transport.vanished_tablet";
    }
    ensureApplication();
    QTemporaryDir dir;
    HostHarness host(dir.path(), [](SessionServer& server) {
        server.bindAddress = QHostAddress(qEnvironmentVariable("VELURIO_TABLET_HOST_ADDRESS"));
    });
    ASSERT_TRUE(host.server->isRunning());
    // The host took the timeout from the environment, as the app does.
    ASSERT_EQ(host.server->controlUserTimeout, 2'000ms);

    QProcess tablet;
    startTablet(tablet, dir, host);
    ASSERT_TRUE(tablet.waitForStarted(5'000));
    ASSERT_TRUE(waitUntil([&] { return host.active != nullptr && host.pongs >= 2; }));

    ASSERT_TRUE(silenceTheTablet());
    QElapsedTimer vanished;
    vanished.start();
    const bool closed = waitUntil([&] { return host.activeClosed; }, 30s);
    const qint64 afterMs = vanished.elapsed();
    tablet.kill();
    tablet.waitForFinished();
    ASSERT_TRUE(closed) << "the vanished tablet is still connected after " << afterMs << " ms";
    // Closed by the timeout, not by anything that happened at once.
    EXPECT_GE(afterMs, 1'500);
    std::printf("vanished tablet closed after %lld ms (user timeout 2000 ms)\n",
                static_cast<long long>(afterMs));
}

// A blackout shorter than the user timeout: nothing the tablet sends gets through for 5 s, then
// everything does again. The session stays, the pings answered late show the spike, and the
// tablet answers every ping after it.
TEST(Blackout, AFiveSecondBlackoutShorterThanTheUserTimeoutKeepsTheSession) {
    if (qEnvironmentVariable("VELURIO_PRIVATE_NETNS") != QStringLiteral("1")) {
        GTEST_SKIP() << "runs as transport.blackout";
    }
    ensureApplication();
    QTemporaryDir dir;
    HostHarness host(dir.path(), [](SessionServer& server) {
        server.bindAddress = QHostAddress(qEnvironmentVariable("VELURIO_TABLET_HOST_ADDRESS"));
        server.peerTiming.pingInterval = 200ms;
    });
    ASSERT_TRUE(host.server->isRunning());
    ASSERT_GT(host.server->controlUserTimeout, 6'000ms);

    QProcess tablet;
    startTablet(tablet, dir, host);
    ASSERT_TRUE(tablet.waitForStarted(5'000));
    ASSERT_TRUE(waitUntil([&] { return host.active != nullptr && host.pongs >= 3; }));
    const double rttBefore = host.maxRttMs;

    ASSERT_TRUE(silenceTheTablet());
    settle(5'000ms);
    const int pongsInBlackout = host.pongs;
    ASSERT_TRUE(unsilenceTheTablet());
    QElapsedTimer back;
    back.start();
    ASSERT_TRUE(waitUntil([&] { return host.pongs > pongsInBlackout + 5; }, 20s))
        << "no answers after the blackout";
    const qint64 recoveredMs = back.elapsed();
    EXPECT_FALSE(host.activeClosed);
    EXPECT_NE(host.active, nullptr);
    tablet.kill();
    tablet.waitForFinished();
    // The pings sent during the blackout came back late: the round trip shows the gap.
    EXPECT_GT(host.maxRttMs, 2'000);
    std::printf(
        "blackout 5 s: session kept, longest round trip %.0f ms (before %.0f ms), answers "
        "again %lld ms after the end\n",
        host.maxRttMs, rttBefore, static_cast<long long>(recoveredMs));
}

}  // namespace
}  // namespace velurio::test

#endif
