// A tablet's whole session with the real host over QUIC: the control stream on the "velurio"
// listener (capabilities say QUIC), strokes on the overlay, and the video as QUIC datagrams on
// the "velurio-video" listener, decoding without a single error.
#include "e2e_harness.h"
#include "protocol/message_codec.h"

#include <QImage>
#include <QWidget>

namespace velurio::e2e {
namespace {

using velurio::testing::near;
using velurio::testing::settle;
using velurio::testing::waitForScreen;

const QColor kWindowColour(0x30, 0xA0, 0x60);

QString eventTransport(const std::optional<QJsonObject>& event) {
    return event ? event->value(QStringLiteral("transport")).toString() : QString();
}

TEST_F(EndToEndTest, TabletOverQuicDrawsAndDecodesTheVideoItGetsAsQuicDatagrams) {
    QWidget window(nullptr, Qt::FramelessWindowHint | Qt::Tool | Qt::WindowDoesNotAcceptFocus);
    window.setAutoFillBackground(true);
    QPalette palette = window.palette();
    palette.setColor(QPalette::Window, kWindowColour);
    window.setPalette(palette);
    window.setGeometry(QRect(400, 300, 800, 400));
    window.show();

    const QString mac = startHost();
    ASSERT_FALSE(mac.isEmpty()) << "the host showed no pairing code";
    const QString stream = path(QStringLiteral("q.h264"));
    auto q = tablet(
        QStringLiteral("Q"), shownCode(),
        {QStringLiteral("--quic"), QStringLiteral("--strokes"), QStringLiteral("2"),
         QStringLiteral("--stroke-color"), QStringLiteral("#2F8CFF"), QStringLiteral("--stroke-at"),
         QStringLiteral("0.3,0.4"), QStringLiteral("--dump-stream"), stream});
    ASSERT_TRUE(q->waitForEvent(QStringLiteral("accepted"), 30'000));
    EXPECT_EQ(eventTransport(q->waitForEvent(QStringLiteral("connected"))), QStringLiteral("quic"));
    EXPECT_EQ(q->count(QStringLiteral("quic_failed")), 0);

    // hello, capabilities (over QUIC), displays.
    const QList<QJsonObject> messages = q->messages();
    ASSERT_GE(messages.size(), 3);
    EXPECT_EQ(typeOf(messages[0]), QStringLiteral("hello"));
    EXPECT_EQ(messages[1].value(QStringLiteral("text")).toString(),
              QStringLiteral(R"({"t":"capabilities","video_codec":"h264","max_width":1920,)"
                             R"("max_height":1080,"max_fps":60,"quic":true,"pencil":false,)"
                             R"("ink_batch_ms":8})"));
    EXPECT_EQ(typeOf(messages[2]), QStringLiteral("displays"));

    // The strokes reach the overlay.
    ASSERT_TRUE(q->waitForEvent(QStringLiteral("strokes_sent")));
    const QColor ink(0x2F, 0x8C, 0xFF);
    const QPoint first = onScreen(0.45, 0.4);
    const QPoint second = onScreen(0.45, 0.5);
    const QImage shot = waitForScreen(
        [&](const QImage& image) {
            return near(image.pixel(first), ink) && near(image.pixel(second), ink);
        },
        10'000);
    EXPECT_TRUE(near(shot.pixel(first), ink));
    EXPECT_TRUE(near(shot.pixel(second), ink));

    // The video came over the QUIC video listener and shows the window under the ink.
    EXPECT_EQ(eventTransport(q->waitForEvent(QStringLiteral("video_connected"))),
              QStringLiteral("quic"));
    settle(1500);
    const QString frame = path(QStringLiteral("q.png"));
    q->command("png " + frame.toUtf8());
    ASSERT_TRUE(q->waitForEvent(QStringLiteral("png")));
    const QImage decoded(frame);
    ASSERT_FALSE(decoded.isNull()) << "the tablet decoded no picture";
    ASSERT_EQ(decoded.size(), QSize(1920, 1080));
    EXPECT_TRUE(near(decoded.pixel(first), kWindowColour, 40)) << std::hex << decoded.pixel(first);

    ASSERT_TRUE(q->quit());
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::MergedChannels);
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {QStringLiteral("-hide_banner"), QStringLiteral("-xerror"), QStringLiteral("-f"),
                  QStringLiteral("h264"), QStringLiteral("-i"), stream, QStringLiteral("-f"),
                  QStringLiteral("null"), QStringLiteral("-")});
    ASSERT_TRUE(ffmpeg.waitForFinished(60'000));
    EXPECT_EQ(ffmpeg.exitCode(), 0) << ffmpeg.readAll().toStdString();
    const auto summary = q->waitForEvent(QStringLiteral("video_summary"));
    ASSERT_TRUE(summary);
    EXPECT_GT(summary->value(QStringLiteral("decoded")).toInt(), 0);
    EXPECT_EQ(summary->value(QStringLiteral("failed")).toInt(), 0);
}

}  // namespace
}  // namespace velurio::e2e
