// The account half: signing in and out, registration, the start of a signed-in run, nearby
// tablets, and the name this computer shows.
#include "app/identity/auth_store.h"
#include "app/identity/host_name.h"
#include "session_test_support.h"

#include <QCryptographicHash>
#include <QSysInfo>

namespace velurio::test {
namespace {

TEST(AccountFlow, ARejectedLoginReachesTheCallerAndChangesNothing) {
    SessionRig rig(/*signIn=*/false);
    ASSERT_TRUE(rig.booted);
    const PlatformStatus status =
        QCoro::waitFor(rig.coordinator->login(kEmail, QStringLiteral("errada")));
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().api.code, QStringLiteral("invalid_credentials"));
    EXPECT_EQ(status.error().localizedDescription(), QStringLiteral("E-mail ou senha incorretos."));
    EXPECT_FALSE(rig.coordinator->authenticated());
    EXPECT_FALSE(rig.coordinator->userEmail().has_value());
    EXPECT_FALSE(rig.coordinator->server().isRunning());
    EXPECT_FALSE(rig.coordinator->account().deviceId().has_value());
}

TEST(AccountFlow, LoginRegistersWithTheDeviceKeyAndARestartStartsSignedIn) {
    auto rig = std::make_unique<SessionRig>();
    ASSERT_TRUE(rig->signedIn && rig->listening);
    EXPECT_TRUE(rig->coordinator->authenticated());
    EXPECT_EQ(rig->coordinator->userEmail(), kEmail);
    const auto registrations = rig->requestsTo("POST", "/api/devices/register");
    ASSERT_EQ(registrations.size(), 1u);
    const QJsonObject body = SessionRig::bodyOf(registrations[0]);
    EXPECT_EQ(body.value(QStringLiteral("type")).toString(), QStringLiteral("mac"));
    EXPECT_EQ(body.value(QStringLiteral("name")).toString(), HostName::localizedHostName());
    // The raw Ed25519 public key in standard Base64.
    const QString pubkey = body.value(QStringLiteral("pubkey")).toString();
    EXPECT_EQ(pubkey.size(), 44);
    EXPECT_EQ(QByteArray::fromBase64(pubkey.toLatin1()).size(), 32);
    EXPECT_EQ(rig->presence->browsedType, QByteArray("_velurio-presence._tcp"));
    // The hello offered to tablets on a cable.
    const auto& offer = rig->coordinator->server().usbOffer;
    ASSERT_TRUE(offer.has_value());
    EXPECT_EQ(offer->role, PeerRole::mac);
    EXPECT_EQ(QString::fromStdString(offer->deviceId), *rig->coordinator->account().deviceId());
    EXPECT_FALSE(offer->sessionId.empty());
    EXPECT_FALSE(offer->attestation.empty());
    EXPECT_EQ(rig->coordinator->server().deviceId, rig->coordinator->account().deviceId());

    // A second run on the same settings and secrets starts signed in, without the password:
    // no new registration, the services and the pairing code come up by themselves.
    const QString settingsPath = rig->dir.filePath(QStringLiteral("velurio.conf"));
    const QString secretsPath = rig->dir.filePath(QStringLiteral("secrets.json"));
    const int registrationsBefore =
        static_cast<int>(rig->requestsTo("POST", "/api/devices/register").size());
    rig->coordinator.reset();
    SessionCoordinator::Parts parts;
    parts.settings = std::make_unique<AppSettings>(
        std::make_unique<QSettings>(settingsPath, QSettings::IniFormat));
    parts.scheduler = &rig->scheduler;
    parts.secrets = std::make_unique<FileSecretStore>(secretsPath);
    parts.platformURL = rig->platform.baseURL();
    parts.advertiser = std::make_unique<SilentAdvertiser>();
    parts.presenceBrowser = [] { return std::make_unique<FakePresenceBrowser>(); };
    parts.bindAddress = QHostAddress::LocalHost;
    parts.capture = std::make_unique<CaptureEngine>(
        CaptureSettings{}, std::make_unique<FakeCaptureBackend>(rig->backend),
        H264Encoder::Options{false, 1, "ultrafast", "", "ultrafast", {}, {}});
    SessionCoordinator again(std::move(parts));
    std::vector<bool> authenticated;
    QObject::connect(&again, &SessionCoordinator::authenticatedChanged, &again,
                     [&](bool value) { authenticated.push_back(value); });
    again.bootstrap(QGuiApplication::primaryScreen());
    ASSERT_TRUE(waitUntil([&] { return again.booted(); }));
    EXPECT_EQ(authenticated, std::vector{true});
    EXPECT_EQ(again.userEmail(), kEmail);
    EXPECT_TRUE(waitUntil([&] { return again.server().isRunning() && again.pairing(); }));
    EXPECT_EQ(static_cast<int>(rig->requestsTo("POST", "/api/devices/register").size()),
              registrationsBefore);
    // Sessions left open by the previous run are closed once per run.
    EXPECT_EQ(rig->requestsTo("GET", "/api/sessions").size(), 2u);
}

TEST(AccountFlow, AFailedRegistrationIsLoggedAndNothingIsStored) {
    SessionRig rig(/*signIn=*/false);
    rig.platform.respond(
        QStringLiteral("POST"), QStringLiteral("/api/devices/register"), 500,
        QJsonObject{{QStringLiteral("error"),
                     QJsonObject{{QStringLiteral("code"), QStringLiteral("internal")},
                                 {QStringLiteral("message"), QStringLiteral("Falha interna.")}}}});
    LogCapture log;
    ASSERT_TRUE(QCoro::waitFor(rig.coordinator->login(kEmail, kPassword)).ok());
    EXPECT_TRUE(log.lines.contains(
        QStringLiteral("Velurio: registro de dispositivo falhou: Falha interna.")));
    EXPECT_FALSE(rig.coordinator->account().deviceId().has_value());
    EXPECT_FALSE(rig.coordinator->account().attestation().has_value());
    // Without a device id there is no pairing code to show.
    EXPECT_FALSE(QCoro::waitFor(rig.coordinator->refreshPairingCode()));
}

TEST(AccountFlow, LogoutWithATabletConnectedEndsItForgetsTheAccountAndStopsTheServer) {
    SessionRig rig;
    ASSERT_TRUE(rig.signedIn && rig.listening);
    const TabletCredentials credentials = rig.pairTablet();
    auto tablet = rig.activeTablet(credentials.hello());
    QCoro::waitFor(rig.coordinator->logout());
    ASSERT_TRUE(waitUntil([&] { return tablet->disconnected; }));
    EXPECT_EQ(tablet->ends(), std::vector{SessionEndReason::userEnded});
    EXPECT_FALSE(rig.coordinator->server().isRunning());
    EXPECT_FALSE(rig.coordinator->authenticated());
    EXPECT_FALSE(rig.coordinator->userEmail().has_value());
    EXPECT_FALSE(rig.coordinator->pairing().has_value());
    EXPECT_FALSE(rig.coordinator->connectionState().has_value());
    QSettings& stored = rig.coordinator->settings().store();
    for (const char* key :
         {"velurio.userEmail", "velurio.userId", "velurio.deviceId", "velurio.attestation"}) {
        EXPECT_FALSE(stored.contains(QLatin1String(key))) << key;
    }
    FileSecretStore secrets(rig.dir.filePath(QStringLiteral("secrets.json")));
    EXPECT_FALSE(QCoro::waitFor(AuthStore::load(secrets)).has_value());
    // Signed out, nothing is started again.
    EXPECT_FALSE(QCoro::waitFor(rig.coordinator->refreshPairingCode()));
    EXPECT_FALSE(rig.coordinator->server().isRunning());

    // Signed in again at once, the session of before cannot be resumed without the platform.
    ASSERT_TRUE(QCoro::waitFor(rig.coordinator->login(kEmail, kPassword)).ok());
    ASSERT_TRUE(waitUntil([&] { return rig.coordinator->server().isRunning(); }));
    HelloMessage resume = credentials.hello();
    resume.resume = true;
    resume.token = "pt_from_before";
    auto back = rig.connectTablet();
    back->send(resume);
    ASSERT_TRUE(waitUntil([&] { return back->disconnected; }));
    EXPECT_EQ(back->ends(), std::vector{SessionEndReason::error});
}

TEST(AccountFlow, NearbyTabletsComeFromTheAccountAndFromTheLocalNetwork) {
    SessionRig rig;
    ASSERT_TRUE(rig.signedIn && rig.listening);
    ASSERT_NE(rig.presence, nullptr);
    rig.platform.respond(
        QStringLiteral("GET"), QStringLiteral("/api/devices"), 200,
        QJsonObject{
            {QStringLiteral("devices"),
             QJsonArray{
                 QJsonObject{{"id", "m1"}, {"name", "Mac"}, {"type", "mac"}},
                 QJsonObject{
                     {"id", "t1"}, {"name", "iPad de Ana"}, {"type", "ipad"}, {"online", true}},
                 QJsonObject{{"id", "t2"}, {"name", "iPad antigo"}, {"type", "ipad"}},
                 QJsonObject{{"id", "x1"}, {"name", "Outro"}, {"type", "iPad"}},
                 QJsonObject{{"id", "x2"}, {"name", "Outro Mac"}, {"type", "Mac"}}}}});
    QCoro::waitFor(rig.coordinator->refreshNearbyDevices());
    EXPECT_EQ(rig.coordinator->nearbyDevices(),
              (QList<NearbyDevice>{{"t1", "iPad de Ana", true, true},
                                   {"t2", "iPad antigo", true, false}}));
    EXPECT_EQ(rig.coordinator->accountSummary(), AccountFlow::summaryText(1, 2));
    EXPECT_TRUE(rig.coordinator->accountSummary().contains(QLatin1Char('1')));
    EXPECT_TRUE(rig.coordinator->accountSummary().contains(QLatin1Char('2')));

    // The local network adds tablets not yet listed; "acct" marks the same account.
    const QString userId = rig.coordinator->settings().store().value("velurio.userId").toString();
    ASSERT_FALSE(userId.isEmpty());
    const QByteArray digest =
        QCryptographicHash::hash(userId.toUtf8(), QCryptographicHash::Sha256).toHex().left(12);
    EXPECT_EQ(AccountFlow::accountDigest(userId).toLatin1(), digest);
    rig.presence->onResultsChanged({{QStringLiteral("iPad da sala"), {{"acct", digest}}},
                                    {QStringLiteral("iPad visitante"), {{"acct", "0123456789ab"}}},
                                    {QStringLiteral("t1"), {{"acct", digest}}}});
    rig.presence->onResultsChanged({{QStringLiteral("iPad da sala"), {{"acct", digest}}},
                                    {QStringLiteral("iPad sem conta"), {}}});
    EXPECT_EQ(rig.coordinator->nearbyDevices(),
              (QList<NearbyDevice>{{"t1", "iPad de Ana", true, true},
                                   {"t2", "iPad antigo", true, false},
                                   {"iPad da sala", "iPad da sala", true, true},
                                   {"iPad visitante", "iPad visitante", false, true},
                                   {"iPad sem conta", "iPad sem conta", false, true}}));

    // Without a stored user id nobody is of the same account.
    rig.coordinator->settings().store().remove("velurio.userId");
    rig.presence->onResultsChanged({{QStringLiteral("iPad novo"), {{"acct", digest}}}});
    EXPECT_FALSE(rig.coordinator->nearbyDevices().back().sameAccount);

    // A pairing code still valid is kept; choosing a device does not ask for another.
    const std::size_t codes = rig.requestsTo("POST", "/api/pairing/codes").size();
    QCoro::waitFor(rig.coordinator->connectToNearby(rig.coordinator->nearbyDevices().front()));
    EXPECT_EQ(rig.requestsTo("POST", "/api/pairing/codes").size(), codes);
}

TEST(HostName, ThePrettyNameOfMachineInfoIsShownWhenSet) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("machine-info"));
    auto write = [&](const QByteArray& text) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    };
    EXPECT_EQ(HostName::prettyHostName(path), QString());  // no file
    write("CHASSIS=laptop\nPRETTY_HOSTNAME=\"Sala de Reuni\xc3\xa3o \\\"2\\\"\"\nDEPLOYMENT=x\n");
    EXPECT_EQ(HostName::prettyHostName(path), QStringLiteral("Sala de Reunião \"2\""));
    write("PRETTY_HOSTNAME='Mesa 3'\n");
    EXPECT_EQ(HostName::prettyHostName(path), QStringLiteral("Mesa 3"));
    write("PRETTY_HOSTNAME=Laboratorio\n");
    EXPECT_EQ(HostName::prettyHostName(path), QStringLiteral("Laboratorio"));
    write("PRETTY_HOSTNAME=\"  \"\nICON_NAME=computer\n");
    EXPECT_EQ(HostName::prettyHostName(path), QString());
    // Without a pretty name the kernel's host name stands.
    if (HostName::prettyHostName().isEmpty()) {
        EXPECT_EQ(HostName::localizedHostName(), QSysInfo::machineHostName());
    }
}

}  // namespace
}  // namespace velurio::test
