// A tablet on a USB cable with the real host: the usbmuxd stand-in (velurio-usbmuxd) bridges the
// tablet's port to velurio-peer --usb. The host offers its hello on the discovery channel, the
// tablet answers, draws, and receives video on its own stream; unplugging ends the session into
// the reconnection grace, and plugging in again resumes it with a fresh offer.
#include "e2e_harness.h"

#include <QTcpServer>

#ifdef VELURIO_USBMUXD_TOOL
namespace velurio::e2e {
namespace {

using velurio::testing::near;
using velurio::testing::settle;
using velurio::testing::waitForScreen;

// The usbmuxd stand-in as a process with commands on its standard input.
class MuxStandIn {
  public:
    MuxStandIn(const QString& socketPath, quint16 forwardPort, const QStringList& attach) {
        QStringList arguments{QStringLiteral("--socket"), socketPath, QStringLiteral("--forward"),
                              QString::number(forwardPort)};
        for (const QString& device : attach) {
            arguments << QStringLiteral("--attach") << device;
        }
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(VELURIO_USBMUXD_TOOL), arguments);
        EXPECT_TRUE(m_process.waitForStarted(10'000));
        EXPECT_TRUE(waitForLine(QStringLiteral("listening")));
    }
    ~MuxStandIn() {
        m_process.write("quit\n");
        if (!m_process.waitForFinished(3'000)) {
            m_process.kill();
            m_process.waitForFinished(3'000);
        }
    }
    void command(const QByteArray& line) {
        m_process.write(line + '\n');
        m_process.waitForBytesWritten(2'000);
    }
    int count(const QString& prefix) {
        m_output += QString::fromUtf8(m_process.readAllStandardOutput());
        int n = 0;
        for (const QString& line : m_output.split(QLatin1Char('\n'))) {
            n += line.startsWith(prefix) ? 1 : 0;
        }
        return n;
    }
    bool waitForLine(const QString& prefix, int atLeast = 1, int timeoutMs = 20'000) {
        return velurio::testing::waitFor([&] { return count(prefix) >= atLeast; }, timeoutMs, 50);
    }

  private:
    QProcess m_process;
    QString m_output;
};

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

class USBEndToEndTest : public EndToEndTest {
  protected:
    void SetUp() override {
        EndToEndTest::SetUp();
        tabletPort = freePort();
        const QString socket = path(QStringLiteral("mux"));
        mux = std::make_unique<MuxStandIn>(socket, tabletPort, QStringList{});
        m_environment.insert(QStringLiteral("USBMUXD_SOCKET_ADDRESS"),
                             QStringLiteral("UNIX:") + socket);
    }
    void TearDown() override {
        EndToEndTest::TearDown();
        mux.reset();
    }
    // velurio-peer on the cable: signs in, redeems the code, listens where the stand-in forwards.
    std::unique_ptr<Tablet> cableTablet(const QString& name, const QString& code,
                                        QStringList extra = {}) {
        QStringList arguments{QStringLiteral("--platform"),    m_platform->baseURL().toString(),
                              QStringLiteral("--email"),       kEmail,
                              QStringLiteral("--password"),    kPassword,
                              QStringLiteral("--code"),        code,
                              QStringLiteral("--device-name"), name,
                              QStringLiteral("--session-id"),  QStringLiteral("session-") + name,
                              QStringLiteral("--usb"),         QString::number(tabletPort)};
        arguments += extra;
        return std::make_unique<Tablet>(path(name + QStringLiteral(".jsonl")), m_environment,
                                        arguments);
    }
    static QList<QJsonObject> offers(const Tablet& tablet) {
        QList<QJsonObject> out;
        for (const QJsonObject& event : tablet.events()) {
            if (event.value(QStringLiteral("event")) == QStringLiteral("usb_offer")) {
                out << event;
            }
        }
        return out;
    }

    quint16 tabletPort = 0;
    std::unique_ptr<MuxStandIn> mux;
};

TEST_F(USBEndToEndTest, CableTabletGetsTheOfferDrawsAndReceivesVideoOnItsStream) {
    const QString mac = startHost();
    ASSERT_FALSE(mac.isEmpty()) << "the host showed no pairing code";
    const QString stream = path(QStringLiteral("u.h264"));
    auto u = cableTablet(
        QStringLiteral("U"), shownCode(),
        {QStringLiteral("--strokes"), QStringLiteral("1"), QStringLiteral("--stroke-color"),
         QStringLiteral("#2F8CFF"), QStringLiteral("--stroke-at"), QStringLiteral("0.3,0.4"),
         QStringLiteral("--dump-stream"), stream});
    ASSERT_TRUE(u->waitForEvent(QStringLiteral("usb_listening")));
    // A device that refuses the tablet's port is only retried, silently.
    mux->command("attach 2 OTHER refuse");
    mux->command("attach 1 TABLET-U");

    ASSERT_TRUE(u->waitForEvent(QStringLiteral("accepted"), 30'000));
    // The first message on the cable is the host's offer on the discovery channel.
    const QList<QJsonObject> messages = u->messages();
    ASSERT_FALSE(messages.isEmpty());
    EXPECT_EQ(messages[0].value(QStringLiteral("channel")).toInt(), 3);
    EXPECT_EQ(typeOf(messages[0]), QStringLiteral("hello"));
    const QJsonObject offer = messages[0].value(QStringLiteral("message")).toObject();
    EXPECT_EQ(offer.value(QStringLiteral("role")).toString(), QStringLiteral("mac"));
    EXPECT_EQ(offer.value(QStringLiteral("device_id")).toString(), mac);
    EXPECT_NE(offer.value(QStringLiteral("session_id")).toString(), QStringLiteral("session-U"));
    EXPECT_EQ(offer.value(QStringLiteral("token")).toString(), QString());
    // Then the answer to the tablet's hello, as on any transport: quic false.
    ASSERT_GE(messages.size(), 3);
    EXPECT_EQ(typeOf(messages[1]), QStringLiteral("hello"));
    EXPECT_EQ(messages[1]
                  .value(QStringLiteral("message"))
                  .toObject()
                  .value(QStringLiteral("session_id"))
                  .toString(),
              QStringLiteral("session-U"));
    EXPECT_EQ(typeOf(messages[2]), QStringLiteral("capabilities"));

    // Its stroke on the overlay.
    ASSERT_TRUE(u->waitForEvent(QStringLiteral("strokes_sent")));
    const QColor ink(0x2F, 0x8C, 0xFF);
    const QPoint onStroke(static_cast<int>(0.45 * 1920), static_cast<int>(0.4 * 1080));
    const QImage shot = waitForScreen(
        [&](const QImage& image) { return near(image.pixel(onStroke), ink); }, 10'000);
    EXPECT_TRUE(near(shot.pixel(onStroke), ink));

    // Video on channel 2 of the same stream, decodable without a single error.
    ASSERT_TRUE(u->waitForEvent(QStringLiteral("frame"), 20'000));
    settle(1500);
    // The refusing device, tried again at every poll.
    EXPECT_TRUE(mux->waitForLine(QStringLiteral("connect 2 49271 refused"), 3, 15'000));
    ASSERT_TRUE(u->quit());
    const auto summary = u->waitForEvent(QStringLiteral("video_summary"));
    ASSERT_TRUE(summary);
    EXPECT_GT(summary->value(QStringLiteral("decoded")).toInt(), 0);
    EXPECT_EQ(summary->value(QStringLiteral("failed")).toInt(), 0);
    QProcess ffmpeg;
    ffmpeg.setProcessChannelMode(QProcess::MergedChannels);
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {QStringLiteral("-hide_banner"), QStringLiteral("-xerror"), QStringLiteral("-f"),
                  QStringLiteral("h264"), QStringLiteral("-i"), stream, QStringLiteral("-f"),
                  QStringLiteral("null"), QStringLiteral("-")});
    ASSERT_TRUE(ffmpeg.waitForFinished(60'000));
    EXPECT_EQ(ffmpeg.exitCode(), 0) << ffmpeg.readAll().toStdString();

    // Nothing in the host's log about the refusing device.
    const QString output = hostOutput();
    EXPECT_FALSE(output.contains(QStringLiteral("refused"), Qt::CaseInsensitive))
        << output.toStdString();
    EXPECT_FALSE(output.contains(QStringLiteral("49271"))) << output.toStdString();
}

TEST_F(USBEndToEndTest, UnpluggingEndsIntoTheGraceAndPluggingInResumesWithAFreshOffer) {
    const QString mac = startHost();
    ASSERT_FALSE(mac.isEmpty());
    auto u = cableTablet(QStringLiteral("U"), shownCode(), {QStringLiteral("--stay")});
    ASSERT_TRUE(u->waitForEvent(QStringLiteral("usb_listening")));
    mux->command("attach 1 TABLET-U");
    ASSERT_TRUE(u->waitForEvent(QStringLiteral("accepted"), 30'000));
    const int validations = platformCalls(QStringLiteral("POST /api/pairing/sessions/validate"));
    EXPECT_EQ(validations, 1);

    // Unplugged: the tablet's stream ends.
    mux->command("detach 1");
    ASSERT_TRUE(u->waitForEvent(QStringLiteral("closed"), 10'000));

    // Plugged in again within the grace: a new offer with a new session id, and the tablet's
    // resuming hello is taken without asking the platform, with the strokes replayed.
    u->command("reconnect");
    mux->command("attach 1 TABLET-U");
    ASSERT_TRUE(velurio::testing::waitFor([&] { return u->count(QStringLiteral("accepted")) >= 2; },
                                          20'000, 50));
    const QList<QJsonObject> seen = offers(*u);
    ASSERT_EQ(seen.size(), 2);
    EXPECT_NE(seen[0].value(QStringLiteral("session_id")),
              seen[1].value(QStringLiteral("session_id")));
    EXPECT_EQ(platformCalls(QStringLiteral("POST /api/pairing/sessions/validate")), validations);
    EXPECT_TRUE(u->waitFor([](const QJsonObject& e) {
        return e.value(QStringLiteral("event")) == QStringLiteral("message") &&
               typeOf(e) == QStringLiteral("clear");
    }));
}

}  // namespace
}  // namespace velurio::e2e
#endif
