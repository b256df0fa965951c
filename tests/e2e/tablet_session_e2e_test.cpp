// A tablet's session with the real host, from pairing to resume: the handshake's messages and
// their canonical texts, strokes on the overlay, the video the tablet decodes (the screen
// without the overlay's ink), replacement by a second tablet, and a drop and resume that skips
// the platform and replays every stroke, while a resume after the grace is a new session.
#include "e2e_harness.h"
#include "protocol/message_codec.h"

#include <QImage>
#include <QWidget>

namespace velurio::e2e {
namespace {

using velurio::testing::near;
using velurio::testing::screenshot;
using velurio::testing::settle;
using velurio::testing::waitForScreen;

const QColor kWindowColour(0xC0, 0x40, 0xC0);

// A plain window of a known colour that the video must show under the ink.
std::unique_ptr<QWidget> colourWindow(QRect geometry) {
    auto window = std::make_unique<QWidget>(
        nullptr, Qt::FramelessWindowHint | Qt::Tool | Qt::WindowDoesNotAcceptFocus);
    window->setWindowTitle(QStringLiteral("e2e target"));
    window->setAutoFillBackground(true);
    QPalette palette = window->palette();
    palette.setColor(QPalette::Window, kWindowColour);
    window->setPalette(palette);
    window->setGeometry(geometry);
    window->show();
    return window;
}

SessionMessage decode(const QJsonObject& event) {
    const QByteArray text = event.value(QStringLiteral("text")).toString().toUtf8();
    auto decoded = MessageCodec::decode(
        std::string_view(text.constData(), static_cast<std::size_t>(text.size())));
    EXPECT_TRUE(decoded.ok()) << text.toStdString();
    return decoded.ok() ? decoded.value() : SessionMessage();
}

// The received text is exactly the canonical text of the message it holds.
void expectCanonical(const QJsonObject& event) {
    const std::string text = event.value(QStringLiteral("text")).toString().toStdString();
    EXPECT_EQ(decode(event).canonicalJSON(), text);
}

// ffmpeg -xerror over a received elementary stream: the exit code and what it said.
std::pair<int, QString> ffmpegCheck(const QString& stream, const QString& format) {
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::MergedChannels);
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {QStringLiteral("-hide_banner"), QStringLiteral("-xerror"), QStringLiteral("-f"),
                  format, QStringLiteral("-i"), stream, QStringLiteral("-f"),
                  QStringLiteral("null"), QStringLiteral("-")});
    if (!ffmpeg.waitForFinished(60'000)) {
        return {-1, QStringLiteral("ffmpeg did not finish")};
    }
    return {ffmpeg.exitCode(), QString::fromUtf8(ffmpeg.readAll())};
}

TEST_F(EndToEndTest, PairedTabletGetsTheHandshakeDrawsInColourAndSeesTheScreenWithoutInk) {
    auto target = colourWindow(QRect(400, 300, 800, 400));
    const QString mac = startHost();
    ASSERT_FALSE(mac.isEmpty()) << "the host showed no pairing code";
    EXPECT_EQ(hostSetting(QStringLiteral("velurio.deviceId")).toString(), mac);

    const QString stream = path(QStringLiteral("a.h264"));
    auto a = tablet(
        QStringLiteral("A"), shownCode(),
        {QStringLiteral("--strokes"), QStringLiteral("2"), QStringLiteral("--stroke-color"),
         QStringLiteral("#2F8CFF"), QStringLiteral("--stroke-at"), QStringLiteral("0.3,0.4"),
         QStringLiteral("--stroke-length"), QStringLiteral("0.3"),
         QStringLiteral("--stroke-spacing"), QStringLiteral("0.1"), QStringLiteral("--dump-stream"),
         stream, QStringLiteral("--stats"), path(QStringLiteral("a-stats.jsonl"))});
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("accepted"), 30'000));

    // hello, capabilities, displays: in this order, each in its canonical text.
    const QList<QJsonObject> messages = a->messages();
    ASSERT_GE(messages.size(), 3);
    EXPECT_EQ(typeOf(messages[0]), QStringLiteral("hello"));
    EXPECT_EQ(typeOf(messages[1]), QStringLiteral("capabilities"));
    EXPECT_EQ(typeOf(messages[2]), QStringLiteral("displays"));
    for (int i = 0; i < 3; ++i) {
        expectCanonical(messages[i]);
    }
    const SessionMessage hello = decode(messages[0]);
    ASSERT_NE(hello.get<HelloMessage>(), nullptr);
    EXPECT_EQ(hello.get<HelloMessage>()->v, 1);
    EXPECT_EQ(hello.get<HelloMessage>()->sessionId, "session-A");
    EXPECT_EQ(hello.get<HelloMessage>()->role, PeerRole::mac);
    EXPECT_EQ(hello.get<HelloMessage>()->deviceId, mac.toStdString());
    EXPECT_FALSE(hello.get<HelloMessage>()->deviceName.empty());
    // The tablet's own pairing token, as the platform issued it to that tablet.
    const auto platformEvent = a->waitForEvent(QStringLiteral("platform"));
    ASSERT_TRUE(platformEvent);
    const QJsonObject tokens = m_platform->callJSON("GET", QStringLiteral("/__dev/state"))
                                   .value(QStringLiteral("pairingTokens"))
                                   .toObject();
    QString issued;
    for (auto it = tokens.begin(); it != tokens.end(); ++it) {
        if (it.value().toObject().value(QStringLiteral("ipadDeviceId")) ==
            platformEvent->value(QStringLiteral("device_id"))) {
            issued = it.key();
        }
    }
    EXPECT_FALSE(issued.isEmpty());
    EXPECT_EQ(hello.get<HelloMessage>()->token, issued.toStdString());
    EXPECT_EQ(hello.get<HelloMessage>()->attestation,
              hostSetting(QStringLiteral("velurio.attestation")).toString().toStdString());
    EXPECT_FALSE(hello.get<HelloMessage>()->resume);
    EXPECT_EQ(messages[1].value(QStringLiteral("text")).toString(),
              QStringLiteral(R"({"t":"capabilities","video_codec":"h264","max_width":1920,)"
                             R"("max_height":1080,"max_fps":60,"quic":false,"pencil":false,)"
                             R"("ink_batch_ms":8})"));
    const SessionMessage displays = decode(messages[2]);
    ASSERT_NE(displays.get<DisplaysMessage>(), nullptr);
    ASSERT_EQ(displays.get<DisplaysMessage>()->displays.size(), 1U);
    EXPECT_EQ(displays.get<DisplaysMessage>()->displays[0].width, 1920);
    EXPECT_EQ(displays.get<DisplaysMessage>()->displays[0].height, 1080);

    // Its strokes on the overlay, where and in the colour the tablet drew them.
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("strokes_sent")));
    const QColor ink(0x2F, 0x8C, 0xFF);
    const QPoint first = onScreen(0.45, 0.4);
    const QPoint second = onScreen(0.45, 0.5);
    const QPoint between = onScreen(0.45, 0.45);
    QImage shot = waitForScreen(
        [&](const QImage& image) {
            return near(image.pixel(first), ink) && near(image.pixel(second), ink);
        },
        10'000);
    EXPECT_TRUE(near(shot.pixel(first), ink));
    EXPECT_TRUE(near(shot.pixel(second), ink));
    EXPECT_TRUE(near(shot.pixel(between), kWindowColour));
    EXPECT_FALSE(near(shot.pixel(onScreen(0.25, 0.4)), ink)) << "ink before the stroke's start";

    // The video shows the screen under the ink, not the ink.
    settle(1500);
    const QString frame = path(QStringLiteral("a.png"));
    a->command("png " + frame.toUtf8());
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("png")));
    QImage decoded(frame);
    ASSERT_FALSE(decoded.isNull()) << "the tablet decoded no picture";
    ASSERT_EQ(decoded.size(), QSize(1920, 1080));
    EXPECT_TRUE(near(decoded.pixel(first), kWindowColour, 40)) << std::hex << decoded.pixel(first);
    EXPECT_TRUE(near(decoded.pixel(second), kWindowColour, 40));
    EXPECT_FALSE(near(decoded.pixel(first), ink, 40));
    saveForDocs(screenshot(), QStringLiteral("e2e-tablet-strokes-on-overlay.png"));
    saveForDocs(decoded, QStringLiteral("e2e-tablet-decoded-frame.png"));

    // The host timed the stages of the frames it sent, and says so on SIGUSR1.
    const QJsonObject hostTimings = hostStats();
    const QJsonObject video = hostTimings.value(QStringLiteral("video")).toObject();
    EXPECT_GT(video.value(QStringLiteral("frames")).toInt(), 0) << hostTimings.size();
    for (const char* stage : {"capture", "convert", "encode", "send", "host"}) {
        EXPECT_GT(
            video.value(QLatin1String(stage)).toObject().value(QStringLiteral("samples")).toInt(),
            0)
            << stage;
    }

    // The whole stream it received decodes without a single error.
    ASSERT_TRUE(a->quit());
    const auto [status, output] = ffmpegCheck(stream, QStringLiteral("h264"));
    EXPECT_EQ(status, 0) << output.toStdString();
    const auto summary = a->waitForEvent(QStringLiteral("video_summary"));
    ASSERT_TRUE(summary);
    EXPECT_GT(summary->value(QStringLiteral("decoded")).toInt(), 0);
    EXPECT_EQ(summary->value(QStringLiteral("failed")).toInt(), 0);
    // The per-frame receive times, in arrival order.
    QFile stats(path(QStringLiteral("a-stats.jsonl")));
    ASSERT_TRUE(stats.open(QIODevice::ReadOnly));
    qint64 last = -1;
    int lines = 0;
    while (!stats.atEnd()) {
        const QJsonObject frameLine = QJsonDocument::fromJson(stats.readLine()).object();
        const qint64 received = frameLine.value(QStringLiteral("received_ms")).toInteger(-1);
        EXPECT_GE(received, last);
        last = received;
        ++lines;
    }
    EXPECT_EQ(lines, a->count(QStringLiteral("frame")));
    EXPECT_GT(lines, 0);
}

// Capabilities sent right behind the hello choose the codec the capture starts with.
TEST_F(EndToEndTest, TabletThatAsksForHevcGetsHevcWhenTheUserAllowsIt) {
    {
        QSettings settings(path(QStringLiteral(".config/Velurio/velurio.conf")),
                           QSettings::IniFormat);
        settings.setValue(QStringLiteral("useHEVC"), true);
    }
    auto target = colourWindow(QRect(200, 200, 600, 300));
    const QString mac = startHost();
    ASSERT_FALSE(mac.isEmpty());
    const QString stream = path(QStringLiteral("a.hevc"));
    auto a =
        tablet(QStringLiteral("A"), shownCode(),
               {QStringLiteral("--capabilities-codec"), QStringLiteral("hevc"),
                QStringLiteral("--capabilities-early"), QStringLiteral("--dump-stream"), stream});
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("accepted"), 30'000));
    ASSERT_TRUE(a->waitFor(
        [](const QJsonObject& e) {
            return e.value(QStringLiteral("event")) == QStringLiteral("frame") &&
                   e.value(QStringLiteral("decoded")).toBool();
        },
        20'000));
    const QString frame = path(QStringLiteral("a.png"));
    a->command("png " + frame.toUtf8());
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("png")));
    ASSERT_TRUE(a->quit());
    const auto summary = a->waitForEvent(QStringLiteral("video_summary"));
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->value(QStringLiteral("codec")).toString(), QStringLiteral("hevc"));
    EXPECT_EQ(summary->value(QStringLiteral("failed")).toInt(), 0);
    const auto [status, output] = ffmpegCheck(stream, QStringLiteral("hevc"));
    EXPECT_EQ(status, 0) << output.toStdString();
    const QImage decoded(frame);
    ASSERT_FALSE(decoded.isNull());
    EXPECT_TRUE(near(decoded.pixel(500, 350), kWindowColour, 40))
        << std::hex << decoded.pixel(500, 350);
}

TEST_F(EndToEndTest, SecondTabletReplacesTheFirst) {
    const QString mac = startHost();
    ASSERT_FALSE(mac.isEmpty());
    auto a = tablet(QStringLiteral("A"), shownCode());
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("accepted"), 30'000));

    auto b = tablet(QStringLiteral("B"), newPairingCode(mac));
    ASSERT_TRUE(b->waitForEvent(QStringLiteral("accepted"), 30'000));
    EXPECT_EQ(a->waitForEndReason(), QStringLiteral("replaced"));
    EXPECT_TRUE(a->waitForEvent(QStringLiteral("closed")));
    const QList<QJsonObject> messages = b->messages();
    ASSERT_GE(messages.size(), 3);
    EXPECT_EQ(typeOf(messages[0]), QStringLiteral("hello"));
    EXPECT_EQ(decode(messages[0]).get<HelloMessage>()->sessionId, "session-B");
    // The newer tablet stays: it is pinged and answers.
    EXPECT_TRUE(b->waitFor([](const QJsonObject& e) { return typeOf(e) == QStringLiteral("ping"); },
                           10'000));
    EXPECT_EQ(b->count(QStringLiteral("closed")), 0);
}

TEST_F(EndToEndTest, DropAndResumeWithinTheGraceSkipsThePlatformAndReplaysEveryStroke) {
    const QString mac = startHost();
    ASSERT_FALSE(mac.isEmpty());
    auto a = tablet(
        QStringLiteral("A"), shownCode(),
        {QStringLiteral("--stay"), QStringLiteral("--strokes"), QStringLiteral("3"),
         QStringLiteral("--stroke-color"), QStringLiteral("#FFC224"), QStringLiteral("--stroke-at"),
         QStringLiteral("0.2,0.2"), QStringLiteral("--stroke-points"), QStringLiteral("7")});
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("strokes_sent"), 30'000));
    const QColor ink(0xFF, 0xC2, 0x24);
    EXPECT_TRUE(
        near(waitForScreen(
                 [&](const QImage& image) { return near(image.pixel(onScreen(0.35, 0.4)), ink); },
                 10'000)
                 .pixel(onScreen(0.35, 0.4)),
             ink));
    const QString validate = QStringLiteral("POST /api/pairing/sessions/validate");
    const int validations = platformCalls(validate);
    EXPECT_EQ(validations, 1);

    a->command("drop");
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("dropped")));
    settle(1000);
    a->command("reconnect");
    ASSERT_TRUE(a->waitFor(
        [&](const QJsonObject&) { return a->count(QStringLiteral("accepted")) == 2; }, 20'000));
    EXPECT_EQ(platformCalls(validate), validations) << "a resume asks the platform nothing";

    // What the tablet sent, stroke by stroke: every point, in order.
    std::vector<StrokeMessage> sent;
    for (const QJsonObject& event : a->events()) {
        if (event.value(QStringLiteral("event")) != QStringLiteral("sent")) {
            continue;
        }
        const QByteArray text =
            QJsonDocument(event.value(QStringLiteral("message")).toObject()).toJson();
        auto message = MessageCodec::decode(
            std::string_view(text.constData(), static_cast<std::size_t>(text.size())));
        ASSERT_TRUE(message.ok());
        const StrokeMessage& step = *message.value().get<StrokeMessage>();
        if (step.op == StrokeOp::begin) {
            sent.push_back(step);
        } else {
            sent.back().pts.insert(sent.back().pts.end(), step.pts.begin(), step.pts.end());
        }
    }
    ASSERT_EQ(sent.size(), 3U);

    // After the second acceptance: a key frame, and on the ink channel `clear` followed by
    // every stroke replayed (begin with all its points, then end).
    ASSERT_TRUE(a->waitFor(
        [&](const QJsonObject&) {
            const QList<QJsonObject> events = a->events();
            int accepted = 0;
            for (const QJsonObject& e : events) {
                accepted += e.value(QStringLiteral("event")) == QStringLiteral("accepted");
                if (accepted == 2 && e.value(QStringLiteral("event")) == QStringLiteral("frame") &&
                    e.value(QStringLiteral("key")).toBool()) {
                    return true;
                }
            }
            return false;
        },
        20'000))
        << "no key frame after the resume";
    QList<QJsonObject> replay;
    ASSERT_TRUE(a->waitFor(
        [&](const QJsonObject&) {
            replay.clear();
            int accepted = 0;
            for (const QJsonObject& e : a->events()) {
                accepted += e.value(QStringLiteral("event")) == QStringLiteral("accepted");
                if (accepted == 2 &&
                    e.value(QStringLiteral("event")) == QStringLiteral("message") &&
                    e.value(QStringLiteral("channel")).toInt() == 1) {
                    replay << e;
                }
            }
            return replay.size() >= 7;
        },
        10'000));
    ASSERT_EQ(replay.size(), 7);
    EXPECT_EQ(typeOf(replay[0]), QStringLiteral("clear"));
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const SessionMessage begin = decode(replay[static_cast<qsizetype>(1 + 2 * i)]);
        const SessionMessage end = decode(replay[static_cast<qsizetype>(2 + 2 * i)]);
        ASSERT_NE(begin.get<StrokeMessage>(), nullptr);
        ASSERT_NE(end.get<StrokeMessage>(), nullptr);
        StrokeMessage expected = sent[i];
        expected.op = StrokeOp::begin;
        EXPECT_EQ(*begin.get<StrokeMessage>(), expected) << begin.canonicalJSON();
        EXPECT_EQ(end.get<StrokeMessage>()->id, expected.id);
        EXPECT_EQ(end.get<StrokeMessage>()->op, StrokeOp::end);
    }
    // The ink is still on the overlay.
    EXPECT_TRUE(near(screenshot().pixel(onScreen(0.35, 0.4)), QColor(0xFF, 0xC2, 0x24)));

    // The replay held every stroke: the tablet sent nothing again. Strokes drawn while away
    // go out after the next resume's replay, whole (3 strokes of 5 messages).
    auto reconciled = [&](int nth) -> std::optional<int> {
        int seen = 0;
        for (const QJsonObject& e : a->events()) {
            if (e.value(QStringLiteral("event")) == QStringLiteral("reconciled") && ++seen == nth)
                return e.value(QStringLiteral("resent_messages")).toInt();
        }
        return std::nullopt;
    };
    ASSERT_TRUE(a->waitFor([&](const QJsonObject&) { return reconciled(1).has_value(); }, 10'000));
    EXPECT_EQ(reconciled(1), 0);
    a->command("drop");
    ASSERT_TRUE(a->waitFor(
        [&](const QJsonObject&) { return a->count(QStringLiteral("dropped")) == 2; }, 10'000));
    a->command("strokes");
    settle(1000);
    a->command("reconnect");
    ASSERT_TRUE(a->waitFor([&](const QJsonObject&) { return reconciled(2).has_value(); }, 20'000));
    EXPECT_EQ(reconciled(2), 15);
}

TEST_F(EndToEndTest, AResumeAfterTheGraceIsCheckedWithThePlatformAndStartsANewSession) {
    const QString mac = startHost();
    ASSERT_FALSE(mac.isEmpty());
    auto a = tablet(QStringLiteral("A"), shownCode(), {QStringLiteral("--stay")});
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("accepted"), 30'000));
    const QString start = QStringLiteral("POST /api/sessions/start");
    const QString validate = QStringLiteral("POST /api/pairing/sessions/validate");
    const QString end = QStringLiteral("/api/sessions/[^/]+/end$");
    ASSERT_TRUE(velurio::testing::waitFor([&] { return platformCalls(start) == 1; }, 20'000, 100));

    a->command("drop");
    // The grace runs out: the platform session ends, once.
    ASSERT_TRUE(
        velurio::testing::waitFor([&] { return platformCallsMatching(end) == 1; }, 45'000, 250));
    settle(1000);
    EXPECT_EQ(platformCallsMatching(end), 1);

    // Coming back now is a new session: the platform vouches for the token again.
    a->command("reconnect");
    ASSERT_TRUE(a->waitFor(
        [&](const QJsonObject&) { return a->count(QStringLiteral("accepted")) == 2; }, 20'000));
    EXPECT_EQ(platformCalls(validate), 2);
    EXPECT_TRUE(velurio::testing::waitFor([&] { return platformCalls(start) == 2; }, 20'000, 100));
}

// The centre of the status pin's end button (its red disc) on the screen, if shown.
std::optional<QPoint> pinEndButton(const QImage& shot) {
    const QColor red(0xC9, 0x41, 0x1B);
    qint64 sumX = 0;
    qint64 sumY = 0;
    qint64 count = 0;
    for (int y = 0; y < std::min(shot.height(), 200); ++y) {
        for (int x = shot.width() / 2; x < shot.width(); ++x) {
            if (near(shot.pixel(x, y), red, 10)) {
                sumX += x;
                sumY += y;
                ++count;
            }
        }
    }
    if (count < 50) {
        return std::nullopt;
    }
    return QPoint(static_cast<int>(sumX / count), static_cast<int>(sumY / count));
}

TEST_F(EndToEndTest, EndingFromTheStatusPinSendsUserEndedAndEndsThePlatformSession) {
    const QString mac = startHost();
    ASSERT_FALSE(mac.isEmpty());
    auto a = tablet(QStringLiteral("A"), shownCode());
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("accepted"), 30'000));
    std::optional<QPoint> button;
    waitForScreen([&](const QImage& image) { return (button = pinEndButton(image)).has_value(); },
                  10'000);
    ASSERT_TRUE(button) << "no status pin on the screen";
    ASSERT_TRUE(velurio::testing::waitFor(
        [&] { return platformCalls(QStringLiteral("POST /api/sessions/start")) == 1; }, 20'000,
        100));

    velurio::testing::click(*button);
    EXPECT_EQ(a->waitForEndReason(), QStringLiteral("user_ended"));
    EXPECT_TRUE(a->waitForEvent(QStringLiteral("closed")));
    // No grace period after the user's own end: the platform hears of it at once.
    EXPECT_TRUE(velurio::testing::waitFor(
        [&] { return platformCallsMatching(QStringLiteral("/api/sessions/[^/]+/end$")) == 1; },
        10'000, 100));
    EXPECT_FALSE(
        waitForScreen([](const QImage& image) { return !pinEndButton(image); }, 5'000).isNull());
    EXPECT_FALSE(pinEndButton(screenshot())) << "the pin stays after the session ended";
}

}  // namespace
}  // namespace velurio::e2e
