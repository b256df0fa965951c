// What the real host refuses, and how it lives with a failing platform: hellos that must not
// open a session (forged or expired attestation, unknown pairing token, another protocol
// version, ink before hello) end with `end` "error" and draw nothing; a failed platform session
// start is retried at the next trigger; a failed session end is logged and retried, and
// "session_already_ended" counts as ended; logging out ends the tablet's session.
#include "e2e_harness.h"

#include <QImage>

namespace velurio::e2e {
namespace {

using velurio::testing::near;
using velurio::testing::screenshot;
using velurio::testing::settle;

const QString kRetryLine = QStringLiteral("Velurio: encerramento da sessão será tentado novamente");

// One stroke, sent as soon as the connection is up (right behind the hello, if any).
QString writeStrokeScript(const QString& file) {
    QFile out(file);
    EXPECT_TRUE(out.open(QIODevice::WriteOnly));
    const char* lines[] = {
        R"({"delay_ms":0,"channel":1,"message":{"t":"stroke","id":"x","op":"begin","tool":"pen","color":"#FF4D2E","width":8,"pts":[[0.5,0.85,1,0,1]]}})",
        R"({"delay_ms":0,"channel":1,"message":{"t":"stroke","id":"x","op":"append","tool":"pen","color":"#FF4D2E","width":8,"pts":[[0.6,0.85,1,0,2],[0.7,0.85,1,0,3]]}})",
        R"({"delay_ms":0,"channel":1,"message":{"t":"stroke","id":"x","op":"end","tool":"pen","color":"#FF4D2E","width":8,"pts":[[0.8,0.85,1,0,4]]}})"};
    for (const char* line : lines) {
        out.write(line);
        out.write("\n");
    }
    return file;
}

// A P-256 key that is not the platform's.
QString writeForeignKey(const QString& file) {
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("genpkey"), QStringLiteral("-algorithm"), QStringLiteral("EC"),
                   QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:P-256"),
                   QStringLiteral("-out"), file});
    EXPECT_TRUE(openssl.waitForFinished(10'000));
    EXPECT_EQ(openssl.exitCode(), 0);
    return file;
}

TEST_F(EndToEndTest, RefusedHellosEndWithErrorAndDrawNothing) {
    const QString mac = startHost();
    ASSERT_FALSE(mac.isEmpty());
    const QString script = writeStrokeScript(path(QStringLiteral("stroke.jsonl")));
    const QString foreign = writeForeignKey(path(QStringLiteral("foreign-key.pem")));
    const QStringList withInk{QStringLiteral("--script"), script};
    const std::pair<QString, QStringList> cases[] = {
        {QStringLiteral("forged"),
         withInk + QStringList{QStringLiteral("--sign-attestation"), foreign}},
        {QStringLiteral("expired"),
         withInk + QStringList{QStringLiteral("--sign-attestation"),
                               path(QStringLiteral("platform-key.pem")),
                               QStringLiteral("--attestation-ttl"), QStringLiteral("-120")}},
        {QStringLiteral("unknown-token"),
         withInk + QStringList{QStringLiteral("--token"), QStringLiteral("pt_never-issued")}},
        {QStringLiteral("version-2"),
         withInk + QStringList{QStringLiteral("--hello-version"), QStringLiteral("2")}},
        {QStringLiteral("ink-before-hello"), withInk + QStringList{QStringLiteral("--no-hello")}},
    };
    for (const auto& [name, arguments] : cases) {
        SCOPED_TRACE(name.toStdString());
        auto t = tablet(name, newPairingCode(mac), arguments);
        EXPECT_EQ(t->waitForEndReason(), QStringLiteral("error"));
        EXPECT_TRUE(t->waitForEvent(QStringLiteral("closed")));
        EXPECT_EQ(t->count(QStringLiteral("accepted")), 0);
    }
    // A self-signed attestation with the platform's own key is good: the refusals above were
    // for the reasons named, not for the tool's way of signing.
    auto good =
        tablet(QStringLiteral("self-signed"), newPairingCode(mac),
               {QStringLiteral("--sign-attestation"), path(QStringLiteral("platform-key.pem"))});
    EXPECT_TRUE(good->waitForEvent(QStringLiteral("accepted"), 30'000));

    settle(500);
    const QImage shot = screenshot();
    for (double x : {0.55, 0.65, 0.75}) {
        EXPECT_FALSE(near(shot.pixel(static_cast<int>(x * 1920), static_cast<int>(0.85 * 1080)),
                          QColor(0xFF, 0x4D, 0x2E), 30))
            << "a refused tablet's stroke was drawn at x=" << x;
    }
}

TEST_F(EndToEndTest, FailedPlatformSessionStartIsRetriedAtTheNextVideoConnection) {
    const QString mac = startHost();
    ASSERT_FALSE(mac.isEmpty());
    m_platform->respond(QStringLiteral("POST"), QStringLiteral("/api/sessions/start"), 502,
                        QJsonValue(QStringLiteral("<html>bad gateway</html>")));
    auto a = tablet(QStringLiteral("A"), shownCode());
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("accepted"), 30'000));
    const QString start = QStringLiteral("POST /api/sessions/start");
    ASSERT_TRUE(velurio::testing::waitFor([&] { return platformCalls(start) == 1; }, 20'000, 100));
    settle(1000);
    EXPECT_EQ(platformCalls(start), 1) << "a failed start waits for the next trigger";

    a->command("video-reconnect");
    ASSERT_TRUE(velurio::testing::waitFor([&] { return platformCalls(start) == 2; }, 20'000, 100));
    const QJsonArray sessions = m_platform->callJSON("GET", QStringLiteral("/__dev/state"))
                                    .value(QStringLiteral("sessions"))
                                    .toArray();
    ASSERT_EQ(sessions.size(), 1);
    EXPECT_EQ(sessions[0].toObject().value(QStringLiteral("macDeviceId")).toString(), mac);
    EXPECT_EQ(sessions[0].toObject().value(QStringLiteral("transport")).toString(),
              QStringLiteral("wifi"));
}

// The platform session of the test's only tablet, once started.
QJsonObject onlySession(DevPlatformProcess& platform) {
    const QJsonArray sessions = platform.callJSON("GET", QStringLiteral("/__dev/state"))
                                    .value(QStringLiteral("sessions"))
                                    .toArray();
    return sessions.size() == 1 ? sessions[0].toObject() : QJsonObject();
}

TEST_F(EndToEndTest, FailedPlatformSessionEndIsLoggedAndRetriedAtShutdown) {
    const QString mac = startHost();
    ASSERT_FALSE(mac.isEmpty());
    auto a = tablet(QStringLiteral("A"), shownCode());
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("accepted"), 30'000));
    ASSERT_TRUE(velurio::testing::waitFor([&] { return !onlySession(*m_platform).isEmpty(); },
                                          20'000, 100));
    m_platform->respond(QStringLiteral("POST"), QStringLiteral("/api/sessions/*/end"), 500,
                        QJsonValue(QJsonValue::Undefined));

    // The tablet leaves; after the reconnection grace the host ends the platform session,
    // which fails once.
    a->command("end");
    ASSERT_TRUE(
        velurio::testing::waitFor([&] { return hostOutput().contains(kRetryLine); }, 45'000, 250))
        << "no retry line after the grace period";
    const QString end = QStringLiteral("/api/sessions/[^/]+/end$");
    EXPECT_EQ(platformCallsMatching(end), 1);
    EXPECT_FALSE(onlySession(*m_platform).contains(QStringLiteral("endedAt")));

    // The next end attempt (quitting) sends it again, and it goes through.
    stopHost();
    EXPECT_EQ(platformCallsMatching(end), 2);
    EXPECT_TRUE(onlySession(*m_platform).contains(QStringLiteral("endedAt")));
}

TEST_F(EndToEndTest, SessionAlreadyEndedOnThePlatformCountsAsEnded) {
    const QString mac = startHost();
    ASSERT_FALSE(mac.isEmpty());
    auto a = tablet(QStringLiteral("A"), shownCode());
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("accepted"), 30'000));
    ASSERT_TRUE(velurio::testing::waitFor([&] { return !onlySession(*m_platform).isEmpty(); },
                                          20'000, 100));
    m_platform->respond(
        QStringLiteral("POST"), QStringLiteral("/api/sessions/*/end"), 409,
        QJsonObject{
            {QStringLiteral("error"),
             QJsonObject{{QStringLiteral("code"), QStringLiteral("session_already_ended")},
                         {QStringLiteral("message"), QStringLiteral("Sessão já encerrada.")}}}});
    a->command("end");
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("closed")));
    settle(500);
    stopHost();  // ends the platform session during the grace period
    EXPECT_EQ(platformCallsMatching(QStringLiteral("/api/sessions/[^/]+/end$")), 1)
        << "an already ended session is not sent again";
    EXPECT_FALSE(hostOutput().contains(kRetryLine)) << hostOutput().toStdString();
}

// Logging out is an action of the account menu and the login window, which a test cannot
// reach from outside the process yet.
TEST_F(EndToEndTest, DISABLED_LogoutWithATabletConnectedEndsItsSessionAsUserEnded) {
    const QString mac = startHost();
    ASSERT_FALSE(mac.isEmpty());
    auto a = tablet(QStringLiteral("A"), shownCode());
    ASSERT_TRUE(a->waitForEvent(QStringLiteral("accepted"), 30'000));
    // Missing: a way to log out of the running host (menu item or login window).
    EXPECT_EQ(a->waitForEndReason(), QStringLiteral("user_ended"));
}

}  // namespace
}  // namespace velurio::e2e
