// A tablet's session over a bad network, as a presenter on a busy Wi-Fi meets it: the tablet in
// a network namespace of its own, joined to the host's by a link that drops everything for a
// while, delays every packet, loses video datagrams, or loses the tablet altogether
// (tests/support/impaired_link.sh). A window paints a frame counter 30 times a second, so the
// screen keeps changing and the tablet can tell which moment each decoded picture shows.
//
// These run as their own CTest test (e2e.impaired_link); elsewhere they are skipped.
#include "e2e_harness.h"
#include "system_tool.h"

#include <QImage>

#include <cstdio>
#include <ctime>

namespace velurio::e2e {
namespace {

using velurio::test::systemTool;

using velurio::testing::near;
using velurio::testing::screenshot;
using velurio::testing::settle;
using velurio::testing::waitForScreen;

qint64 monotonicUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<qint64>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1'000;
}

bool isFrame(const QJsonObject& e) {
    return e.value(QStringLiteral("event")) == QStringLiteral("frame");
}
bool isDecoded(const QJsonObject& e) {
    return isFrame(e) && e.value(QStringLiteral("decoded")).toBool();
}
bool isKey(const QJsonObject& e) {
    return isFrame(e) && e.value(QStringLiteral("key")).toBool();
}
qint64 receivedUs(const QJsonObject& e) {
    return e.value(QStringLiteral("received_us")).toInteger();
}

class ImpairedLinkTest : public EndToEndTest {
  protected:
    void SetUp() override {
        if (qEnvironmentVariable("VELURIO_LINK_CONTROL").isEmpty()) {
            GTEST_SKIP() << "runs as e2e.impaired_link (through tests/support/impaired_link.sh)";
        }
        // The tablet reaches the platform across the link too; its control endpoints stay
        // local to this namespace.
        m_platformArguments = {QStringLiteral("--host"), QStringLiteral("0.0.0.0")};
        m_tabletPlatformHost = hostAddress();
        m_tabletLauncher = {systemTool(QStringLiteral("nsenter")), QStringLiteral("-t"),
                            qEnvironmentVariable("VELURIO_TABLET_NETNS_PID"), QStringLiteral("-n")};
        EndToEndTest::SetUp();
    }
    void TearDown() override {
        if (m_painter.state() != QProcess::NotRunning) {
            m_painter.kill();
            m_painter.waitForFinished(5'000);
        }
        if (!qEnvironmentVariable("VELURIO_LINK_CONTROL").isEmpty())
            link("restore");
        EndToEndTest::TearDown();
    }

    static QString hostAddress() { return qEnvironmentVariable("VELURIO_TABLET_HOST_ADDRESS"); }

    // Changes the link ("blackout", "delay 750", "loss 2 udp", "restore") and waits until the
    // relay applied it.
    void link(const QByteArray& command) {
        const int before = appliedCommands();
        QFile control(qEnvironmentVariable("VELURIO_LINK_CONTROL"));
        ASSERT_TRUE(control.open(QIODevice::WriteOnly));
        control.write(command + '\n');
        control.close();
        ASSERT_TRUE(
            velurio::testing::waitFor([&] { return appliedCommands() > before; }, 5'000, 10))
            << "the link did not take " << command.toStdString();
    }
    static int appliedCommands() {
        QFile status(qEnvironmentVariable("VELURIO_LINK_STATUS"));
        status.open(QIODevice::ReadOnly);
        return static_cast<int>(status.readAll().count("applied "));
    }

    // A tablet that finds the host over mDNS but reaches it across the link, with video.
    std::unique_ptr<Tablet> tabletOverTheLink(const QString& name, const QString& code,
                                              QStringList extra = {}) {
        extra << QStringLiteral("--host") << hostAddress() << QStringLiteral("--read-code");
        return tablet(name, code, extra);
    }

    // Paints the frame counter, 30 times a second, for `seconds`.
    void startPainting(int seconds) {
        m_painter.setProcessChannelMode(QProcess::ForwardedChannels);
        m_painter.start(
            QStringLiteral("python3"),
            {QStringLiteral(VELURIO_FRAME_CODE_SCRIPT), QStringLiteral("--fps"),
             QStringLiteral("30"), QStringLiteral("--seconds"), QString::number(seconds),
             QStringLiteral("--log"), path(QStringLiteral("painted.jsonl"))});
        ASSERT_TRUE(m_painter.waitForStarted(5'000));
    }
    // When each counter value was painted (monotonic, µs).
    QHash<int, qint64> paintedAt() const {
        QHash<int, qint64> at;
        QFile file(path(QStringLiteral("painted.jsonl")));
        file.open(QIODevice::ReadOnly);
        while (!file.atEnd()) {
            const QJsonObject line = QJsonDocument::fromJson(file.readLine()).object();
            at.insert(line.value(QStringLiteral("code")).toInt(),
                      line.value(QStringLiteral("painted_us")).toInteger());
        }
        return at;
    }
    // The first decoded picture received after `sinceUs` that shows a moment painted after
    // `sinceUs`: from then on the tablet's picture is current again.
    std::optional<QJsonObject> currentPictureAfter(const Tablet& tablet, qint64 sinceUs,
                                                   int timeoutMs) {
        std::optional<QJsonObject> found;
        velurio::testing::waitFor(
            [&] {
                const QHash<int, qint64> painted = paintedAt();
                for (const QJsonObject& e : tablet.events()) {
                    if (isDecoded(e) && receivedUs(e) > sinceUs &&
                        painted.value(e.value(QStringLiteral("code")).toInt(), 0) > sinceUs) {
                        found = e;
                        return true;
                    }
                }
                return false;
            },
            timeoutMs, 100);
        return found;
    }
    // Established TCP connections of this namespace to the tablet, other than the platform's
    // (IPv4, or IPv4 mapped into IPv6 on a dual-stack listener).
    int connectionsToTheTablet() const {
        const QByteArray tablet = "02004D0A";  // 10.77.0.2, as the kernel writes it
        const QByteArray platformPort =
            QByteArray::number(m_platform->baseURL().port(), 16).toUpper().rightJustified(4, '0');
        int count = 0;
        for (const QString& table :
             {QStringLiteral("/proc/net/tcp"), QStringLiteral("/proc/net/tcp6")}) {
            QFile tcp(table);
            tcp.open(QIODevice::ReadOnly);
            for (const QByteArray& line : tcp.readAll().split('\n')) {
                const QList<QByteArray> fields = line.simplified().split(' ');
                if (fields.size() > 3 && fields[2].split(':').value(0).endsWith(tablet) &&
                    fields[3] == "01" && !fields[1].endsWith(":" + platformPort)) {
                    ++count;
                }
            }
        }
        return count;
    }

    QProcess m_painter;
};

const QString kValidate = QStringLiteral("POST /api/pairing/sessions/validate");

// Nothing gets through for 5 s, less than the time the host gives an unanswering tablet: the
// session simply goes on. The pings sent meanwhile come back late (the pin shows the spike), and
// the next key frame makes the tablet's picture current again.
TEST_F(ImpairedLinkTest, AFiveSecondBlackoutKeepsTheSessionAndAKeyFrameRepairsThePicture) {
    ASSERT_FALSE(startHost().isEmpty());
    startPainting(60);
    auto a = tabletOverTheLink(
        QStringLiteral("A"), shownCode(),
        {QStringLiteral("--stay"), QStringLiteral("--strokes"), QStringLiteral("2"),
         QStringLiteral("--stroke-color"), QStringLiteral("#2E9BFF")});
    ASSERT_TRUE(a->waitFor(isDecoded, 30'000));
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("strokes_sent")));
    settle(2'000);
    const QRect pinText(1680, 25, 120, 40);  // the pin's latency text, top right
    const QImage pinBefore = screenshot().copy(pinText);

    link("blackout");
    settle(5'000);
    link("restore");
    const qint64 backUs = monotonicUs();
    // The late answers show on the pin for a moment.
    const QImage spike =
        waitForScreen([&](const QImage& image) { return image.copy(pinText) != pinBefore; }, 4'000);
    saveForDocs(spike, QStringLiteral("blackout-host-screen-with-pin.png"));

    const auto key = a->waitFor(
        [&](const QJsonObject& e) { return isKey(e) && isDecoded(e) && receivedUs(e) > backUs; });
    ASSERT_TRUE(key) << "no key frame after the blackout";
    const auto current = currentPictureAfter(*a, backUs, 10'000);
    ASSERT_TRUE(current) << "the tablet's picture stays old after the blackout";
    a->command("png " + path(QStringLiteral("after-blackout.png")).toUtf8());
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("png")));
    saveForDocs(QImage(path(QStringLiteral("after-blackout.png"))),
                QStringLiteral("blackout-tablet-decoded-frame.png"));

    EXPECT_EQ(a->count(QStringLiteral("accepted")), 1) << "the session was not kept";
    EXPECT_EQ(a->count(QStringLiteral("closed")), 0);
    const QJsonObject rtt = hostStats().value(QStringLiteral("rtt")).toObject();
    EXPECT_GT(rtt.value(QStringLiteral("max")).toDouble(), 2'000) << "no latency spike seen";
    std::printf(
        "blackout 5 s: session kept; key frame %lld ms and a current picture %lld ms "
        "after the link came back; host round trips %s\n",
        (receivedUs(*key) - backUs) / 1000, (receivedUs(*current) - backUs) / 1000,
        QJsonDocument(rtt).toJson(QJsonDocument::Compact).constData());
}

// The screen changes while no video gets through (the control stream still does) and then
// stays still: the frames that showed the change are lost, and nothing changes afterwards to
// bring another. The still screen is sent again as a key frame 1, 3, 7... s after the change, so
// the tablet's picture is right again soon after video flows.
TEST_F(ImpairedLinkTest, AScreenThatGoesStillWhileVideoIsLostReachesTheTabletAfterwards) {
    ASSERT_FALSE(startHost().isEmpty());
    startPainting(60);
    auto a = tabletOverTheLink(QStringLiteral("A"), shownCode(), {QStringLiteral("--stay")});
    ASSERT_TRUE(a->waitFor(isDecoded, 30'000));
    settle(1'000);

    link("loss 100 udp");
    m_painter.kill();  // the counter's window goes: the last change
    m_painter.waitForFinished(5'000);
    settle(4'000);
    link("restore");
    const qint64 backUs = monotonicUs();
    const auto key = a->waitFor(
        [&](const QJsonObject& e) { return isKey(e) && isDecoded(e) && receivedUs(e) > backUs; },
        15'000);
    ASSERT_TRUE(key) << "the tablet still shows the screen from before";
    a->command("png " + path(QStringLiteral("still.png")).toUtf8());
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("png")));
    const QImage picture(path(QStringLiteral("still.png")));
    ASSERT_FALSE(picture.isNull());
    EXPECT_FALSE(near(picture.pixel(120, 120), Qt::white)) << "the counter's window is still shown";
    std::printf("screen still since video was lost: right picture %lld ms after video flowed\n",
                (receivedUs(*key) - backUs) / 1000);
}

// A cut longer than that: the host closes the connection once its data goes unacknowledged for
// the user timeout (3 s here) and waits for the tablet; the tablet, back on the network, resumes
// with its session id, without the platform, gets its strokes replayed and a key frame.
TEST_F(ImpairedLinkTest, ACutLongerThanTheTimeoutClosesAndTheTabletResumes) {
    m_environment.insert(QStringLiteral("VELURIO_TCP_USER_TIMEOUT_MS"), QStringLiteral("3000"));
    ASSERT_FALSE(startHost().isEmpty());
    startPainting(60);
    auto a = tabletOverTheLink(
        QStringLiteral("A"), shownCode(),
        {QStringLiteral("--stay"), QStringLiteral("--strokes"), QStringLiteral("3"),
         QStringLiteral("--stroke-color"), QStringLiteral("#FFC224"), QStringLiteral("--stroke-at"),
         QStringLiteral("0.2,0.5")});
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("strokes_sent"), 30'000));
    ASSERT_TRUE(a->waitFor(isDecoded));
    ASSERT_EQ(connectionsToTheTablet(), 1);
    const int validations = platformCalls(kValidate);

    link("blackout");
    const qint64 cutUs = monotonicUs();
    ASSERT_TRUE(
        velurio::testing::waitFor([&] { return connectionsToTheTablet() == 0; }, 30'000, 100))
        << "the host kept the connection to a tablet that no longer answers";
    const qint64 closedAfterMs = (monotonicUs() - cutUs) / 1000;
    settle(static_cast<int>(std::max<qint64>(0, 10'000 - closedAfterMs)));
    link("restore");
    const qint64 backUs = monotonicUs();
    a->command("reconnect");

    ASSERT_TRUE(a->waitFor(
        [&](const QJsonObject&) { return a->count(QStringLiteral("accepted")) == 2; }, 30'000));
    EXPECT_EQ(platformCalls(kValidate), validations) << "a resume asks the platform nothing";
    int accepted = 0;
    QList<QJsonObject> replay;
    ASSERT_TRUE(a->waitFor(
        [&](const QJsonObject&) {
            accepted = 0;
            replay.clear();
            for (const QJsonObject& e : a->events()) {
                accepted += e.value(QStringLiteral("event")) == QStringLiteral("accepted");
                if (accepted == 2 && e.value(QStringLiteral("channel")).toInt() == 1 &&
                    e.value(QStringLiteral("event")) == QStringLiteral("message"))
                    replay << e;
            }
            return replay.size() >= 7;
        },
        20'000));
    EXPECT_EQ(typeOf(replay[0]), QStringLiteral("clear"));
    const auto key =
        a->waitFor([&](const QJsonObject& e) { return isKey(e) && receivedUs(e) > backUs; });
    EXPECT_TRUE(key) << "no key frame after the resume";
    EXPECT_TRUE(near(screenshot().pixel(onScreen(0.35, 0.5)), QColor(0xFF, 0xC2, 0x24)))
        << "the ink is gone from the overlay";
    std::printf(
        "cut 10 s: the host closed the connection %lld ms into the cut; resumed, "
        "%lld replayed messages, key frame %lld ms after the link came back\n",
        closedAfterMs, static_cast<long long>(replay.size()),
        key ? (receivedUs(*key) - backUs) / 1000 : -1);
}

// 750 ms more each way: drawing and video lag, nothing breaks.
TEST_F(ImpairedLinkTest, SevenHundredFiftyMillisecondsMoreEachWayOnlyDelays) {
    ASSERT_FALSE(startHost().isEmpty());
    startPainting(60);
    auto a = tabletOverTheLink(
        QStringLiteral("A"), shownCode(),
        {QStringLiteral("--stay"), QStringLiteral("--strokes"), QStringLiteral("2"),
         QStringLiteral("--stroke-delay-ms"), QStringLiteral("6000"), QStringLiteral("--stroke-at"),
         QStringLiteral("0.2,0.6"), QStringLiteral("--stroke-color"), QStringLiteral("#34C759"),
         QStringLiteral("--ping-interval-ms"), QStringLiteral("500")});
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("accepted"), 30'000));
    link("delay 750");
    const qint64 delayedUs = monotonicUs();

    ASSERT_TRUE(a->waitForEvent(QStringLiteral("strokes_sent"), 15'000));
    QElapsedTimer sinceSent;
    sinceSent.start();
    const QColor ink(0x34, 0xC7, 0x59);
    const QImage shot = waitForScreen(
        [&](const QImage& image) { return near(image.pixel(onScreen(0.35, 0.6)), ink); }, 10'000);
    const qint64 inkMs = sinceSent.elapsed();
    EXPECT_TRUE(near(shot.pixel(onScreen(0.35, 0.6)), ink)) << "the strokes never arrived";
    settle(4'000);

    // Round trips the tablet measured while the link was slow, and how old its pictures were.
    std::vector<double> rtts;
    std::vector<qint64> ages;
    const QHash<int, qint64> painted = paintedAt();
    bool drawn = false;  // the strokes went out a few seconds into the delay
    for (const QJsonObject& e : a->events()) {
        drawn = drawn || e.value(QStringLiteral("event")) == QStringLiteral("strokes_sent");
        if (drawn && e.value(QStringLiteral("event")) == QStringLiteral("rtt"))
            rtts.push_back(e.value(QStringLiteral("ms")).toDouble());
        if (isDecoded(e) && receivedUs(e) > delayedUs + 2'000'000 &&
            painted.contains(e.value(QStringLiteral("code")).toInt()))
            ages.push_back(e.value(QStringLiteral("decoded_us")).toInteger() -
                           painted.value(e.value(QStringLiteral("code")).toInt()));
    }
    ASSERT_FALSE(ages.empty()) << "no picture decoded while the link was slow";
    std::sort(rtts.begin(), rtts.end());
    std::sort(ages.begin(), ages.end());
    EXPECT_EQ(a->count(QStringLiteral("accepted")), 1);
    EXPECT_EQ(a->count(QStringLiteral("closed")), 0);
    const QJsonObject rtt = hostStats().value(QStringLiteral("rtt")).toObject();
    EXPECT_GT(rtt.value(QStringLiteral("p95")).toDouble(), 1'400);
    std::printf(
        "delay 750 ms each way: ink on the overlay %lld ms after the tablet sent it; "
        "tablet round trip p50 %.0f ms; picture age p50 %lld ms over %zu pictures; "
        "host round trips %s\n",
        inkMs, rtts.empty() ? -1.0 : rtts[rtts.size() / 2], ages[ages.size() / 2] / 1000,
        ages.size(), QJsonDocument(rtt).toJson(QJsonDocument::Compact).constData());
}

// 2 % of the video datagrams lost for 15 s: a frame with a missing piece cannot be shown, and
// the tablet waits for the next key frame. Once the loss ends the picture is current again.
TEST_F(ImpairedLinkTest, TwoPercentVideoLossRecoversThroughKeyFrames) {
    ASSERT_FALSE(startHost().isEmpty());
    startPainting(60);
    auto a = tabletOverTheLink(QStringLiteral("A"), shownCode());
    ASSERT_TRUE(a->waitFor(isDecoded, 30'000));
    settle(1'000);

    link("loss 2 udp");
    const qint64 lossUs = monotonicUs();
    settle(15'000);
    link("restore");
    const qint64 backUs = monotonicUs();
    const auto current = currentPictureAfter(*a, backUs, 15'000);
    ASSERT_TRUE(current) << "the picture stays old after the loss ended";

    int painted = 0;
    for (const qint64 at : paintedAt())
        painted += at > lossUs && at < backUs ? 1 : 0;
    int whole = 0, keys = 0, decoded = 0;
    for (const QJsonObject& e : a->events()) {
        if (!isFrame(e) || receivedUs(e) < lossUs || receivedUs(e) > backUs)
            continue;
        ++whole;
        keys += isKey(e) ? 1 : 0;
        decoded += isDecoded(e) ? 1 : 0;
    }
    EXPECT_EQ(a->count(QStringLiteral("closed")), 0);
    std::printf(
        "video loss 2 %% for 15 s: %d frames painted, %d arrived whole (%d key frames), "
        "%d shown; current again %lld ms after the loss ended\n",
        painted, whole, keys, decoded, (receivedUs(*current) - backUs) / 1000);
}

// The tablet app killed and started again: it comes back with its saved pairing and its
// session id, and the host takes it as the same session.
TEST_F(ImpairedLinkTest, ATabletKilledAndRestartedResumesItsSession) {
    ASSERT_FALSE(startHost().isEmpty());
    startPainting(60);
    const QString state = path(QStringLiteral("tablet-state.json"));
    auto a = tabletOverTheLink(
        QStringLiteral("A"), shownCode(),
        {QStringLiteral("--state"), state, QStringLiteral("--strokes"), QStringLiteral("3"),
         QStringLiteral("--stroke-color"), QStringLiteral("#FF4D2E"), QStringLiteral("--stroke-at"),
         QStringLiteral("0.2,0.3")});
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("strokes_sent"), 30'000));
    const QColor ink(0xFF, 0x4D, 0x2E);
    ASSERT_TRUE(
        near(waitForScreen([&](const QImage& i) { return near(i.pixel(onScreen(0.35, 0.3)), ink); },
                           10'000)
                 .pixel(onScreen(0.35, 0.3)),
             ink));
    const int validations = platformCalls(kValidate);

    a->crash();
    settle(1'000);
    auto again = tabletOverTheLink(QStringLiteral("A-again"), QString(),
                                   {QStringLiteral("--state"), state, QStringLiteral("--resume"),
                                    QStringLiteral("--session-id"), QStringLiteral("session-A")});
    ASSERT_TRUE(again->waitForEvent(QStringLiteral("state_loaded"), 10'000));
    ASSERT_TRUE(again->waitForEvent(QStringLiteral("accepted"), 30'000));
    EXPECT_EQ(platformCalls(kValidate), validations) << "a resume asks the platform nothing";
    const auto replayed = again->waitFor(
        [](const QJsonObject& e) {
            return e.value(QStringLiteral("event")) == QStringLiteral("reconciled");
        },
        20'000);
    ASSERT_TRUE(replayed);
    EXPECT_EQ(replayed->value(QStringLiteral("resent_messages")).toInt(), 0);
    EXPECT_TRUE(again->waitFor(isDecoded)) << "no picture after the restart";
    EXPECT_TRUE(near(screenshot().pixel(onScreen(0.35, 0.3)), ink)) << "the ink is gone";
    int strokes = 0;
    for (const QJsonObject& e : again->messages())
        strokes += typeOf(e) == QStringLiteral("stroke") ? 1 : 0;
    EXPECT_EQ(strokes, 6) << "the replay holds each of the 3 strokes once (begin and end)";
}

}  // namespace
}  // namespace velurio::e2e
