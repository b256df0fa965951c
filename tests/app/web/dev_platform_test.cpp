// The local platform itself (attestations, pairing, rotation, persistence, fault options), and
// a whole Mac-and-tablet exchange whose tokens must never reach a log line.
#include "app/web/platform_client.h"
#include "core/es256_verifier.h"
#include "dev_platform_process.h"
#include "dev_platform_server.h"
#include "identity_test_support.h"
#include "platform/keychain/file_secret_store.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>

namespace velurio {
namespace {

using test::await;
using test::DevPlatformProcess;
using test::kEmail;
using test::kPassword;

const QString kMacKey = QStringLiteral("11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=");
const QString kTabletKey = QStringLiteral("Pq3y8Yg7H7mA6kBqQhV5X3m9oYV2kq4xYl3Yb0bV1Wc=");

// What a simulated tablet does: log in, register, redeem a pairing code.
struct Tablet {
    QString accessToken;
    QString refreshToken;
    QString deviceId;
    QString attestation;

    static Tablet signIn(DevPlatformProcess& platform) {
        Tablet tablet;
        const QJsonObject login = platform.callJSON(
            "POST", QStringLiteral("/api/auth/native/login"),
            {{QStringLiteral("email"), kEmail}, {QStringLiteral("password"), kPassword}});
        tablet.accessToken = login.value(QStringLiteral("accessToken")).toString();
        tablet.refreshToken = login.value(QStringLiteral("refreshToken")).toString();
        const QJsonObject registered =
            platform.callJSON("POST", QStringLiteral("/api/devices/register"),
                              {{QStringLiteral("name"), QStringLiteral("iPad de Ana")},
                               {QStringLiteral("type"), QStringLiteral("ipad")},
                               {QStringLiteral("pubkey"), kTabletKey}},
                              tablet.accessToken);
        tablet.deviceId = registered.value(QStringLiteral("device"))
                              .toObject()
                              .value(QStringLiteral("id"))
                              .toString();
        tablet.attestation = registered.value(QStringLiteral("attestation")).toString();
        return tablet;
    }
    std::pair<int, QJsonObject> redeem(DevPlatformProcess& platform, const QString& code) const {
        const auto [status, body] =
            platform.call("POST", QStringLiteral("/api/pairing/redeem"),
                          QJsonDocument(QJsonObject{{QStringLiteral("code"), code},
                                                    {QStringLiteral("deviceId"), deviceId}})
                              .toJson(),
                          accessToken);
        return {status, QJsonDocument::fromJson(body).object()};
    }
};

class DevPlatformTest : public ::testing::Test {
  protected:
    void SetUp() override {
        QLoggingCategory::setFilterRules(QStringLiteral("velurio.platform.debug=true"));
        ASSERT_TRUE(m_dir.isValid());
        m_store = std::make_unique<FileSecretStore>(m_dir.filePath(QStringLiteral("secrets.json")));
    }
    QString path(const char* name) const { return m_dir.filePath(QLatin1String(name)); }

    QTemporaryDir m_dir;
    std::unique_ptr<FileSecretStore> m_store;
};

TEST_F(DevPlatformTest, AWholeExchangeKeepsEveryTokenOutOfTheLogs) {
    test::LogCapture capture;
    DevPlatformProcess platform;
    PlatformClient mac(platform.baseURL(), *m_store);

    ASSERT_TRUE(await(mac.login(kEmail, kPassword)).ok());
    QStringList secrets{kPassword, mac.tokens()->accessToken, mac.tokens()->refreshToken};
    auto registration = await(mac.registerDevice(kMacKey));
    ASSERT_TRUE(registration.ok());
    secrets << registration->attestation;

    const Tablet tablet = Tablet::signIn(platform);
    secrets << tablet.accessToken << tablet.refreshToken << tablet.attestation;
    auto code = await(mac.createPairingCode(registration->deviceId));
    ASSERT_TRUE(code.ok());
    const auto [redeemStatus, redeemed] = tablet.redeem(platform, code->code);
    ASSERT_EQ(redeemStatus, 200);
    const QString pairingToken = redeemed.value(QStringLiteral("token")).toString();
    secrets << pairingToken;

    // A refresh in the middle: the new pair must stay out of the logs too.
    platform.expireAccessTokens();
    auto info = await(mac.validatePairingToken(pairingToken));
    ASSERT_TRUE(info.ok());
    ASSERT_TRUE(info->has_value());
    EXPECT_EQ((*info)->sessionId, redeemed.value(QStringLiteral("sessionId")).toString());
    EXPECT_TRUE((*info)->expiresAt.has_value());
    secrets << mac.tokens()->accessToken << mac.tokens()->refreshToken;

    auto devices = await(mac.listDevices());
    ASSERT_TRUE(devices.ok());
    ASSERT_EQ(devices->size(), 2u);
    EXPECT_EQ((*devices)[1],
              (PlatformClient::AccountDevice{tablet.deviceId, QStringLiteral("iPad de Ana"),
                                             QStringLiteral("ipad"), true}));

    auto session = await(mac.startSession(pairingToken, registration->deviceId, tablet.deviceId,
                                          QStringLiteral("wifi")));
    ASSERT_TRUE(session.ok());
    ASSERT_TRUE(session->has_value());
    ASSERT_TRUE(
        await(mac.endSession(**session, SessionSummaryPayload{3, 0, 61.2, 12.0, 20.0})).ok());
    // A failure's log line must not carry what was sent either.
    EXPECT_FALSE(await(mac.validatePairingToken(pairingToken + QStringLiteral("x"))).ok());

    const QString platformLog = platform.log();
    EXPECT_TRUE(platformLog.contains(QStringLiteral("POST /api/pairing/sessions/validate -> 200")));
    ASSERT_FALSE(capture.messages().isEmpty());
    for (const QString& secret : secrets) {
        ASSERT_GE(secret.size(), 7);
        EXPECT_FALSE(platformLog.contains(secret)) << "platform log holds a secret";
        for (const QString& line : capture.messages()) {
            EXPECT_FALSE(line.contains(secret))
                << "client log line holds a secret: " << line.toStdString();
        }
    }
}

TEST_F(DevPlatformTest, AttestationsVerifyWithTheWrittenPublicKeyAcrossRestarts) {
    const QStringList arguments{QStringLiteral("--key"), path("platform-key.pem"),
                                QStringLiteral("--write-pubkey"), path("platform-pubkey.pem")};
    QString firstDeviceId;
    for (int run = 0; run < 2; ++run) {
        DevPlatformProcess platform(arguments);
        PlatformClient mac(platform.baseURL(), *m_store);
        ASSERT_TRUE(await(mac.login(kEmail, kPassword)).ok());
        auto registration = await(mac.registerDevice(kMacKey));
        ASSERT_TRUE(registration.ok());
        auto again = await(mac.registerDevice(kMacKey));
        ASSERT_TRUE(again.ok());
        EXPECT_EQ(again->deviceId, registration->deviceId);  // same key, same device

        QFile pem(path("platform-pubkey.pem"));
        ASSERT_TRUE(pem.open(QIODevice::ReadOnly));
        auto key = ES256Verifier::p256PublicKey(pem.readAll().toStdString());
        ASSERT_TRUE(key.ok());
        const double now = static_cast<double>(QDateTime::currentSecsSinceEpoch());
        auto claims = ES256Verifier::verify(registration->attestation.toStdString(), *key, now);
        ASSERT_TRUE(claims.ok());
        EXPECT_EQ(std::get<std::string>(claims->at("sub").value),
                  registration->deviceId.toStdString());
        EXPECT_EQ(std::get<std::string>(claims->at("pubkey").value), kMacKey.toStdString());
        EXPECT_EQ(std::get<std::string>(claims->at("device_type").value), "mac");
        // Still valid a day later, expired after the attestation lifetime.
        EXPECT_TRUE(
            ES256Verifier::verify(registration->attestation.toStdString(), *key, now + 86400).ok());
        EXPECT_FALSE(
            ES256Verifier::verify(registration->attestation.toStdString(), *key, now + 31.0 * 86400)
                .ok());
        if (run == 0) {
            firstDeviceId = registration->deviceId;
        }
    }
    EXPECT_FALSE(firstDeviceId.isEmpty());
}

TEST_F(DevPlatformTest, PairingCodesExpireAndPairOnce) {
    DevPlatformProcess platform;
    PlatformClient mac(platform.baseURL(), *m_store);
    ASSERT_TRUE(await(mac.login(kEmail, kPassword)).ok());
    auto registration = await(mac.registerDevice(kMacKey));
    ASSERT_TRUE(registration.ok());
    const Tablet tablet = Tablet::signIn(platform);

    auto code = await(mac.createPairingCode(registration->deviceId));
    ASSERT_TRUE(code.ok());
    EXPECT_EQ(code->code.size(), 6);
    const qint64 lifetime = QDateTime::currentDateTimeUtc().secsTo(code->expiresAt);
    EXPECT_GE(lifetime, 295);
    EXPECT_LE(lifetime, 301);
    platform.advanceClock(301);
    auto [status, body] = tablet.redeem(platform, code->code);
    EXPECT_EQ(status, 410);
    EXPECT_EQ(
        body.value(QStringLiteral("error")).toObject().value(QStringLiteral("code")).toString(),
        QStringLiteral("code_expired"));

    code = await(mac.createPairingCode(registration->deviceId));
    ASSERT_TRUE(code.ok()) << code.error().localizedDescription().toStdString();
    std::tie(status, body) = tablet.redeem(platform, code->code);
    EXPECT_EQ(status, 200);
    EXPECT_TRUE(body.value(QStringLiteral("token")).toString().startsWith(QStringLiteral("pt_")));
    std::tie(status, body) = tablet.redeem(platform, code->code);
    EXPECT_EQ(status, 404);

    // A code is for the Mac that asked: another device's id is refused.
    auto foreign = await(mac.createPairingCode(tablet.deviceId));
    ASSERT_FALSE(foreign.ok());
    EXPECT_EQ(foreign.error().api.code, QStringLiteral("device_not_found"));
}

TEST_F(DevPlatformTest, UsedRefreshTokensAreRefusedAndStateSurvivesARestart) {
    const QStringList arguments{QStringLiteral("--state"), path("state.json")};
    QString refreshToken;
    {
        DevPlatformProcess platform(arguments);
        const QJsonObject login = platform.callJSON(
            "POST", QStringLiteral("/api/auth/native/login"),
            {{QStringLiteral("email"), kEmail}, {QStringLiteral("password"), kPassword}});
        const QJsonObject body{
            {QStringLiteral("refreshToken"), login.value(QStringLiteral("refreshToken"))}};
        const QJsonObject rotated =
            platform.callJSON("POST", QStringLiteral("/api/auth/native/refresh"), body);
        ASSERT_TRUE(rotated.contains(QStringLiteral("accessToken")));
        const auto [status, reply] = platform.call(
            "POST", QStringLiteral("/api/auth/native/refresh"), QJsonDocument(body).toJson());
        EXPECT_EQ(status, 401);
        refreshToken = rotated.value(QStringLiteral("refreshToken")).toString();
    }
    EXPECT_EQ(
        QFile::permissions(path("state.json")) & (QFileDevice::ReadGroup | QFileDevice::ReadOther),
        QFileDevice::Permissions());
    DevPlatformProcess restarted(arguments);
    const QJsonObject again = restarted.callJSON("POST", QStringLiteral("/api/auth/native/refresh"),
                                                 {{QStringLiteral("refreshToken"), refreshToken}});
    EXPECT_TRUE(again.contains(QStringLiteral("accessToken")));
}

TEST(FaultRuleOptions, CommandLineForms) {
    using devplatform::FaultRule;
    QString error;
    auto fail = FaultRule::fromOption(FaultRule::OptionKind::fail,
                                      QStringLiteral("POST /api/devices/register=502"), &error);
    ASSERT_TRUE(fail);
    EXPECT_EQ(fail->method, QByteArray("POST"));
    EXPECT_EQ(fail->path, QStringLiteral("/api/devices/register"));
    EXPECT_EQ(fail->status, 502);
    EXPECT_EQ(fail->remaining, -1);

    auto once = FaultRule::fromOption(FaultRule::OptionKind::unauthorizedOnce,
                                      QStringLiteral("/api/devices"), &error);
    ASSERT_TRUE(once);
    EXPECT_TRUE(once->method.isEmpty());
    EXPECT_EQ(once->status, 401);
    EXPECT_EQ(once->remaining, 1);

    auto delay = FaultRule::fromOption(FaultRule::OptionKind::delay,
                                       QStringLiteral("/api/sessions/*/end=250"), &error);
    ASSERT_TRUE(delay);
    EXPECT_EQ(delay->delayMs, 250);
    EXPECT_FALSE(delay->status);

    EXPECT_FALSE(FaultRule::fromOption(FaultRule::OptionKind::fail,
                                       QStringLiteral("/api/devices=abc"), &error));
    EXPECT_FALSE(FaultRule::fromOption(FaultRule::OptionKind::fail,
                                       QStringLiteral("/api/devices=99"), &error));
    EXPECT_FALSE(
        FaultRule::fromOption(FaultRule::OptionKind::hang, QStringLiteral("api/devices"), &error));
    EXPECT_FALSE(
        FaultRule::fromJSON(QJsonObject{{QStringLiteral("path"), QStringLiteral("/x")}}, &error));
    EXPECT_FALSE(FaultRule::fromJSON(QJsonObject{{QStringLiteral("path"), QStringLiteral("/x")},
                                                 {QStringLiteral("status"), 200},
                                                 {QStringLiteral("times"), 0}},
                                     &error));
}

}  // namespace
}  // namespace velurio
