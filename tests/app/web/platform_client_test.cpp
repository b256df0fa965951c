// The platform client against the local platform: the real exchanges, and the answers and
// failures a real server can give, injected with the platform's fault rules.
#include "app/web/platform_client.h"

#include "app/identity/auth_store.h"
#include "dev_platform_process.h"
#include "identity_test_support.h"
#include "platform/keychain/file_secret_store.h"

#include <gtest/gtest.h>

#include <QLoggingCategory>
#include <QSettings>
#include <QTcpServer>
#include <QTemporaryDir>

#include <cmath>
#include <memory>

namespace velurio {
namespace {

using test::await;
using test::DevPlatformProcess;
using test::kEmail;
using test::kPassword;
using namespace std::chrono_literals;

const QString kPubkey = QStringLiteral("11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=");

class PlatformClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        QLoggingCategory::setFilterRules(QStringLiteral("velurio.platform.debug=true"));
        ASSERT_TRUE(m_dir.isValid());
        m_store = std::make_unique<FileSecretStore>(m_dir.filePath(QStringLiteral("secrets.json")));
        m_platform = std::make_unique<DevPlatformProcess>(platformArguments());
        ASSERT_TRUE(m_platform->baseURL().isValid());
        m_client = makeClient();
    }

    virtual QStringList platformArguments() const { return {}; }

    std::unique_ptr<PlatformClient> makeClient(PlatformClient::Timeouts timeouts = {}) {
        auto client = std::make_unique<PlatformClient>(m_platform->baseURL(), *m_store, timeouts);
        client->setClock([this] { return m_now; });
        return client;
    }

    void login() {
        auto session = await(m_client->login(kEmail, kPassword));
        ASSERT_TRUE(session.ok()) << session.error().localizedDescription().toStdString();
        m_platform->reset();  // tests look at what follows
    }

    std::optional<AuthStore::Tokens> storedTokens() { return await(AuthStore::load(*m_store)); }

    static APIError apiError(const PlatformError& error) {
        EXPECT_EQ(error.kind, PlatformError::Kind::api) << error.description.toStdString();
        return error.api;
    }

    QTemporaryDir m_dir;
    std::unique_ptr<FileSecretStore> m_store;
    std::unique_ptr<DevPlatformProcess> m_platform;
    std::unique_ptr<PlatformClient> m_client;
    QDateTime m_now = QDateTime(QDate(2026, 12, 7), QTime(12, 0), Qt::UTC);
};

TEST_F(PlatformClientTest, LoginKeepsTokensInMemoryAndStoreAndEveryRequestDeclaresJSON) {
    auto session = await(m_client->login(kEmail.toUpper(), kPassword));
    ASSERT_TRUE(session.ok());
    EXPECT_EQ(session->email, kEmail);
    EXPECT_EQ(session->name, QStringLiteral("Ana Souza"));
    EXPECT_FALSE(session->userId.isEmpty());
    EXPECT_EQ(m_client->currentUser(), *session);
    ASSERT_TRUE(m_client->tokens());
    EXPECT_EQ(storedTokens(), m_client->tokens());

    auto devices = await(m_client->listDevices());
    ASSERT_TRUE(devices.ok());
    const QJsonArray requests = m_platform->requests();
    ASSERT_EQ(requests.size(), 2);
    const QJsonObject loginRequest = requests[0].toObject();
    const QJsonObject listRequest = requests[1].toObject();
    EXPECT_EQ(loginRequest.value(QStringLiteral("authorization")).toString(),
              QStringLiteral("none"));
    EXPECT_EQ(listRequest.value(QStringLiteral("method")).toString(), QStringLiteral("GET"));
    EXPECT_EQ(listRequest.value(QStringLiteral("authorization")).toString(),
              QStringLiteral("bearer"));
    for (const QJsonValue& request : requests) {
        EXPECT_EQ(request.toObject().value(QStringLiteral("contentType")).toString(),
                  QStringLiteral("application/json"));
    }

    // A new client (a new launch) picks the pair up from the store; signing out forgets it.
    auto relaunched = makeClient();
    await(relaunched->loadStoredTokens());
    EXPECT_EQ(relaunched->tokens(), m_client->tokens());
    EXPECT_FALSE(relaunched->currentUser());
    await(relaunched->signOut());
    EXPECT_FALSE(relaunched->isSignedIn());
    EXPECT_FALSE(storedTokens());
}

TEST_F(PlatformClientTest, RefusedLoginIsNotRetriedAndStoresNothing) {
    auto session = await(m_client->login(kEmail, QStringLiteral("errada")));
    ASSERT_FALSE(session.ok());
    EXPECT_EQ(apiError(session.error()), (APIError{401, QStringLiteral("invalid_credentials"),
                                                   QStringLiteral("E-mail ou senha incorretos.")}));
    EXPECT_EQ(m_platform->requestLines(),
              QStringList{QStringLiteral("POST /api/auth/native/login")});
    EXPECT_FALSE(m_client->isSignedIn());
    EXPECT_FALSE(storedTokens());
}

TEST_F(PlatformClientTest, LoginAnswerShapes) {
    // Snake-case tokens and no user: the e-mail stands in for the missing fields.
    m_platform->respond(QStringLiteral("POST"), QStringLiteral("/api/auth/native/login"), 200,
                        QJsonObject{{QStringLiteral("access_token"), QStringLiteral("a1")},
                                    {QStringLiteral("refresh_token"), QStringLiteral("r1")}});
    auto session = await(m_client->login(QStringLiteral("bia@example.com"), QStringLiteral("x")));
    ASSERT_TRUE(session.ok());
    EXPECT_EQ(*session, (PlatformClient::Session{QString(), QStringLiteral("bia@example.com"),
                                                 QStringLiteral("bia@example.com")}));
    EXPECT_EQ(storedTokens(), (AuthStore::Tokens{QStringLiteral("a1"), QStringLiteral("r1")}));

    // Only one token: refused, and the earlier pair stays.
    m_platform->respond(QStringLiteral("POST"), QStringLiteral("/api/auth/native/login"), 200,
                        QJsonObject{{QStringLiteral("accessToken"), QStringLiteral("a2")}});
    session = await(m_client->login(kEmail, kPassword));
    ASSERT_FALSE(session.ok());
    EXPECT_EQ(apiError(session.error()),
              (APIError{200, QStringLiteral("unexpected_response"),
                        QStringLiteral("Resposta de login sem tokens.")}));
    EXPECT_EQ(storedTokens(), (AuthStore::Tokens{QStringLiteral("a1"), QStringLiteral("r1")}));

    // A token of the wrong type is an undecodable answer, not a login.
    m_platform->respond(QStringLiteral("POST"), QStringLiteral("/api/auth/native/login"), 200,
                        QJsonObject{{QStringLiteral("accessToken"), 5},
                                    {QStringLiteral("refreshToken"), QStringLiteral("r")}});
    session = await(m_client->login(kEmail, kPassword));
    ASSERT_FALSE(session.ok());
    EXPECT_EQ(session.error().kind, PlatformError::Kind::decoding);
}

TEST_F(PlatformClientTest, ExpiredAccessTokenIsRefreshedOnceAndTheRequestRetried) {
    login();
    const AuthStore::Tokens before = *m_client->tokens();
    m_platform->expireAccessTokens();

    auto devices = await(m_client->listDevices());
    ASSERT_TRUE(devices.ok()) << devices.error().localizedDescription().toStdString();
    EXPECT_EQ(m_platform->requestLines(),
              (QStringList{QStringLiteral("GET /api/devices"),
                           QStringLiteral("POST /api/auth/native/refresh"),
                           QStringLiteral("GET /api/devices")}));
    const AuthStore::Tokens after = *m_client->tokens();
    EXPECT_NE(after.accessToken, before.accessToken);
    EXPECT_NE(after.refreshToken, before.refreshToken);  // the platform rotates it
    EXPECT_EQ(storedTokens(), after);
}

TEST_F(PlatformClientTest, SecondUnauthorizedAnswerIsThrownNotRetried) {
    login();
    m_platform->respond(
        QStringLiteral("GET"), QStringLiteral("/api/devices"), 401,
        QJsonObject{{QStringLiteral("error"),
                     QJsonObject{{QStringLiteral("code"), QStringLiteral("token_revoked")},
                                 {QStringLiteral("message"), QStringLiteral("Acesso revogado.")}}}},
        -1);
    auto devices = await(m_client->listDevices());
    ASSERT_FALSE(devices.ok());
    EXPECT_EQ(apiError(devices.error()),
              (APIError{401, QStringLiteral("token_revoked"), QStringLiteral("Acesso revogado.")}));
    EXPECT_EQ(m_platform->requestLines(),
              (QStringList{QStringLiteral("GET /api/devices"),
                           QStringLiteral("POST /api/auth/native/refresh"),
                           QStringLiteral("GET /api/devices")}));
}

TEST_F(PlatformClientTest, FailedRefreshReachesTheCallerAndKeepsTheTokens) {
    login();
    const auto before = m_client->tokens();
    m_platform->expireAccessTokens();
    m_platform->respond(QStringLiteral("POST"), QStringLiteral("/api/auth/native/refresh"), 503,
                        QJsonValue::Undefined);
    auto code = await(m_client->createPairingCode(QStringLiteral("mac-1")));
    ASSERT_FALSE(code.ok());
    EXPECT_EQ(apiError(code.error()).status, 503);
    EXPECT_EQ(m_client->tokens(), before);
    EXPECT_EQ(storedTokens(), before);

    // A refresh answer without an access token is an expired session.
    m_platform->respond(QStringLiteral("POST"), QStringLiteral("/api/auth/native/refresh"), 200,
                        QJsonObject{{QStringLiteral("refreshToken"), QStringLiteral("r9")}});
    code = await(m_client->createPairingCode(QStringLiteral("mac-1")));
    ASSERT_FALSE(code.ok());
    EXPECT_EQ(apiError(code.error()),
              (APIError{401, QStringLiteral("unauthorized"),
                        QStringLiteral("Sessão expirada. Entre novamente.")}));
    EXPECT_EQ(m_client->tokens(), before);
}

TEST_F(PlatformClientTest, RefreshWithoutTokensIsAnExpiredSessionAndNoRefreshIsSent) {
    auto registration = await(m_client->registerDevice(kPubkey));
    ASSERT_FALSE(registration.ok());
    EXPECT_EQ(apiError(registration.error()),
              (APIError{401, QStringLiteral("unauthorized"),
                        QStringLiteral("Sessão expirada. Entre novamente.")}));
    const QJsonArray requests = m_platform->requests();
    ASSERT_EQ(requests.size(), 1);  // the unauthorised request itself, without a header
    EXPECT_EQ(requests[0].toObject().value(QStringLiteral("authorization")).toString(),
              QStringLiteral("none"));
}

TEST_F(PlatformClientTest, RefreshAnswerWithoutRefreshTokenKeepsTheCurrentOne) {
    login();
    const QString refreshBefore = m_client->tokens()->refreshToken;
    m_platform->respond(QStringLiteral("GET"), QStringLiteral("/api/devices"), 401,
                        QJsonValue::Undefined);
    m_platform->respond(
        QStringLiteral("POST"), QStringLiteral("/api/auth/native/refresh"), 200,
        QJsonObject{{QStringLiteral("access_token"), QStringLiteral("fresh-access")}});
    auto devices = await(m_client->listDevices());
    ASSERT_FALSE(devices.ok());  // the platform never issued "fresh-access"
    const AuthStore::Tokens expected{QStringLiteral("fresh-access"), refreshBefore};
    EXPECT_EQ(m_client->tokens(), expected);
    EXPECT_EQ(storedTokens(), expected);
    // The refresh sent the refresh token of the moment.
    const QJsonArray requests = m_platform->requests();
    ASSERT_GE(requests.size(), 2);
    EXPECT_EQ(requests[1].toObject().value(QStringLiteral("body")).toString(),
              QStringLiteral("{\"refreshToken\":\"%1\"}").arg(refreshBefore));
}

TEST_F(PlatformClientTest, TwoRequestsMeetingUnauthorizedRefreshOneAfterTheOther) {
    login();
    m_platform->expireAccessTokens();
    // Both requests go out with the expired token before either refresh; the rotated refresh
    // token makes a second refresh with the old one fail, so both succeeding shows the second
    // refresh used the tokens the first left.
    std::optional<PlatformResult<std::vector<PlatformClient::AccountDevice>>> first;
    std::optional<PlatformResult<std::optional<QString>>> second;
    auto a = test::storeResult(m_client->listDevices(), first);
    auto b =
        test::storeResult(m_client->startSession(std::nullopt, std::nullopt,
                                                 QStringLiteral("ipad-1"), QStringLiteral("wifi")),
                          second);
    QCoro::waitFor(std::move(a));
    QCoro::waitFor(std::move(b));
    ASSERT_TRUE(first && first->ok())
        << (first ? first->error().localizedDescription().toStdString() : "");
    ASSERT_TRUE(second && second->ok())
        << (second ? second->error().localizedDescription().toStdString() : "");
    EXPECT_TRUE(second->value().has_value());
    EXPECT_EQ(m_platform->requestLines().count(QStringLiteral("POST /api/auth/native/refresh")), 2);
    EXPECT_EQ(storedTokens(), m_client->tokens());
}

TEST_F(PlatformClientTest, SigningOutDuringARefreshStaysSignedOut) {
    login();
    m_platform->expireAccessTokens();
    m_platform->addFault(
        QJsonObject{{QStringLiteral("path"), QStringLiteral("/api/auth/native/refresh")},
                    {QStringLiteral("delayMs"), 400}});
    std::optional<PlatformResult<std::vector<PlatformClient::AccountDevice>>> listed;
    auto listing = test::storeResult(m_client->listDevices(), listed);
    // Let the 401 come back and the refresh go out, then sign out while it is under way.
    for (int i = 0; i < 200 && !m_platform->requestLines().contains(
                                   QStringLiteral("POST /api/auth/native/refresh"));
         ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    ASSERT_FALSE(listed.has_value());
    await(m_client->signOut());
    QCoro::waitFor(std::move(listing));
    ASSERT_TRUE(listed.has_value());
    ASSERT_FALSE(listed->ok());
    EXPECT_EQ(apiError(listed->error()).code, QStringLiteral("unauthorized"));
    EXPECT_FALSE(m_client->isSignedIn());
    EXPECT_FALSE(storedTokens());
}

TEST_F(PlatformClientTest, ErrorEnvelopes) {
    login();
    struct Case {
        int status;
        QJsonValue body;
        APIError expected;
    };
    const Case cases[] = {
        {403,
         QJsonObject{{QStringLiteral("error"),
                      QJsonObject{{QStringLiteral("code"), QStringLiteral("forbidden")}}}},
         {403, QStringLiteral("forbidden"), QStringLiteral("forbidden")}},
        {502,
         QStringLiteral("<html><body><h1>502 Bad Gateway</h1></body></html>"),
         {502, QStringLiteral("http_502"), QStringLiteral("Falha na requisição (502).")}},
        {500,
         QJsonObject{{QStringLiteral("error"), QJsonObject{}}},
         {500, QStringLiteral("request_failed"), QStringLiteral("request_failed")}},
        {404,
         QJsonObject{{QStringLiteral("error"), QJsonValue::Null}},
         {404, QStringLiteral("http_404"), QStringLiteral("Falha na requisição (404).")}},
        {409,
         QJsonObject{{QStringLiteral("error"), QJsonObject{{QStringLiteral("code"), 7}}}},
         {409, QStringLiteral("http_409"), QStringLiteral("Falha na requisição (409).")}},
        {422,
         QJsonObject{{QStringLiteral("error"), QJsonObject{{QStringLiteral("message"),
                                                            QStringLiteral("Dados inválidos.")}}}},
         {422, QStringLiteral("request_failed"), QStringLiteral("Dados inválidos.")}},
        {500,
         QStringLiteral(""),
         {500, QStringLiteral("http_500"), QStringLiteral("Falha na requisição (500).")}},
    };
    for (const Case& c : cases) {
        m_platform->respond(QStringLiteral("POST"), QStringLiteral("/api/pairing/codes"), c.status,
                            c.body);
        auto code = await(m_client->createPairingCode(QStringLiteral("mac-1")));
        ASSERT_FALSE(code.ok());
        EXPECT_EQ(apiError(code.error()), c.expected) << c.status;
    }
}

TEST_F(PlatformClientTest, DeviceRegistrationAndItsAnswerShapes) {
    login();
    m_client->setDeviceName(QStringLiteral("Estúdio"));
    auto registration = await(m_client->registerDevice(kPubkey));
    ASSERT_TRUE(registration.ok());
    EXPECT_FALSE(registration->deviceId.isEmpty());
    EXPECT_EQ(registration->attestation.count(QLatin1Char('.')), 2);
    const QJsonObject sent =
        QJsonDocument::fromJson(
            m_platform->requests()[0].toObject().value(QStringLiteral("body")).toString().toUtf8())
            .object();
    EXPECT_EQ(sent, (QJsonObject{{QStringLiteral("name"), QStringLiteral("Estúdio")},
                                 {QStringLiteral("type"), QStringLiteral("mac")},
                                 {QStringLiteral("pubkey"), kPubkey}}));

    const APIError missing{200, QStringLiteral("unexpected_response"),
                           QStringLiteral("Registro de dispositivo sem atestado.")};
    for (const QJsonObject& body :
         {QJsonObject{{QStringLiteral("attestation"), QStringLiteral("x.y.z")}},
          QJsonObject{{QStringLiteral("device"), QJsonObject{}},
                      {QStringLiteral("attestation"), QStringLiteral("x.y.z")}},
          QJsonObject{{QStringLiteral("device"),
                       QJsonObject{{QStringLiteral("id"), QStringLiteral("d")}}}}}) {
        m_platform->respond(QStringLiteral("POST"), QStringLiteral("/api/devices/register"), 200,
                            body);
        registration = await(m_client->registerDevice(kPubkey));
        ASSERT_FALSE(registration.ok());
        EXPECT_EQ(apiError(registration.error()), missing);
    }
}

TEST_F(PlatformClientTest, DeviceListShapes) {
    login();
    struct Case {
        QJsonValue body;
        std::vector<PlatformClient::AccountDevice> expected;
    };
    const std::vector<Case> cases = {
        {QJsonObject{{QStringLiteral("devices"),
                      QJsonArray{QJsonObject{{QStringLiteral("id"), QStringLiteral("a")}},
                                 QJsonObject{{QStringLiteral("name"), QStringLiteral("x")}}}}},
         {{QStringLiteral("a"), QStringLiteral("Dispositivo"), QStringLiteral("ipad"), false}}},
        {QJsonArray{QJsonObject{{QStringLiteral("id"), QStringLiteral("b")},
                                {QStringLiteral("name"), QStringLiteral("Mac de Ana")},
                                {QStringLiteral("type"), QStringLiteral("mac")},
                                {QStringLiteral("online"), true}},
                    QJsonObject{{QStringLiteral("id"), QStringLiteral("c")},
                                {QStringLiteral("online"), QJsonValue::Null}}},
         {{QStringLiteral("b"), QStringLiteral("Mac de Ana"), QStringLiteral("mac"), true},
          {QStringLiteral("c"), QStringLiteral("Dispositivo"), QStringLiteral("ipad"), false}}},
        {QStringLiteral("not json"), {}},
        {QJsonObject{{QStringLiteral("devices"), 5}}, {}},
        {QJsonObject{}, {}},
        {QJsonArray{QJsonObject{{QStringLiteral("id"), 12}}}, {}},
    };
    for (const Case& c : cases) {
        m_platform->respond(QStringLiteral("GET"), QStringLiteral("/api/devices"), 200, c.body);
        auto devices = await(m_client->listDevices());
        ASSERT_TRUE(devices.ok());
        EXPECT_EQ(*devices, c.expected);
    }
}

TEST_F(PlatformClientTest, PairingCodeExpiryForms) {
    login();
    const auto expiryOf = [&](QJsonObject body) {
        body.insert(QStringLiteral("code"), QStringLiteral("123456"));
        m_platform->respond(QStringLiteral("POST"), QStringLiteral("/api/pairing/codes"), 200,
                            body);
        auto code = await(m_client->createPairingCode(QStringLiteral("mac-1")));
        EXPECT_TRUE(code.ok());
        EXPECT_EQ(code->code, QStringLiteral("123456"));
        return code->expiresAt;
    };
    const QDateTime at(QDate(2027, 1, 2), QTime(3, 4, 5), Qt::UTC);
    EXPECT_EQ(expiryOf({{QStringLiteral("expiresAt"), QStringLiteral("2027-01-02T03:04:05.250Z")}}),
              at.addMSecs(250));
    EXPECT_EQ(expiryOf({{QStringLiteral("expiresAt"), QStringLiteral("2027-01-02T03:04:05Z")}}),
              at);
    EXPECT_EQ(
        expiryOf({{QStringLiteral("expiresAt"), QStringLiteral("2027-01-02T00:04:05-03:00")}}), at);
    EXPECT_EQ(expiryOf({{QStringLiteral("expiresAt"), QStringLiteral("amanhã")},
                        {QStringLiteral("expiresInSeconds"), 90}}),
              m_now.addSecs(90));
    EXPECT_EQ(expiryOf({{QStringLiteral("expiresAt"), QStringLiteral("2027-01-02")}}),
              m_now.addSecs(300));
    EXPECT_EQ(expiryOf({}), m_now.addSecs(300));

    m_platform->respond(QStringLiteral("POST"), QStringLiteral("/api/pairing/codes"), 200,
                        QJsonObject{{QStringLiteral("expiresInSeconds"), 90}});
    auto missing = await(m_client->createPairingCode(QStringLiteral("mac-1")));
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(apiError(missing.error()),
              (APIError{200, QStringLiteral("unexpected_response"),
                        QStringLiteral("Código de pareamento ausente.")}));
}

TEST_F(PlatformClientTest, PairingTokenValidationAnswers) {
    login();
    const QString token = QStringLiteral("pt_abc");
    m_platform->respond(QStringLiteral("POST"), QStringLiteral("/api/pairing/sessions/validate"),
                        200, QStringLiteral(""));
    auto info = await(m_client->validatePairingToken(token));
    ASSERT_TRUE(info.ok());
    EXPECT_FALSE(info->has_value());

    m_platform->respond(QStringLiteral("POST"), QStringLiteral("/api/pairing/sessions/validate"),
                        200, QJsonObject{{QStringLiteral("sessionId"), QStringLiteral("s")}});
    info = await(m_client->validatePairingToken(token));
    ASSERT_TRUE(info.ok());
    EXPECT_EQ(*info,
              (PlatformClient::PairingSessionInfo{QStringLiteral("s"), token, std::nullopt}));

    for (const QJsonValue& body :
         {QJsonValue(QStringLiteral("{oops")), QJsonValue(QJsonArray{}),
          QJsonValue(QJsonObject{{QStringLiteral("sessionId"), 3}}),
          QJsonValue(QJsonObject{
              {QStringLiteral("expiresAt"), QStringLiteral("2027-01-02T03:04:05Z")}})}) {
        m_platform->respond(QStringLiteral("POST"),
                            QStringLiteral("/api/pairing/sessions/validate"), 200, body);
        info = await(m_client->validatePairingToken(token));
        ASSERT_TRUE(info.ok());
        EXPECT_FALSE(info->has_value());
    }

    // The platform's own refusal is an error, not "no value".
    info = await(m_client->validatePairingToken(token));
    ASSERT_FALSE(info.ok());
    EXPECT_EQ(apiError(info.error()).code, QStringLiteral("invalid_pairing_token"));
}

TEST_F(PlatformClientTest, SessionEndSendsARoundedSummaryOrNothing) {
    login();
    auto started = await(m_client->startSession(QString(), QStringLiteral("mac-1"),
                                                QStringLiteral("ipad-1"), QStringLiteral("usb_c")));
    ASSERT_TRUE(started.ok());
    ASSERT_TRUE(started->has_value());
    const QString id = **started;
    const QJsonObject startBody =
        QJsonDocument::fromJson(
            m_platform->requests()[0].toObject().value(QStringLiteral("body")).toString().toUtf8())
            .object();
    EXPECT_EQ(startBody, (QJsonObject{{QStringLiteral("ipadDeviceId"), QStringLiteral("ipad-1")},
                                      {QStringLiteral("transport"), QStringLiteral("usb_c")},
                                      {QStringLiteral("pairingToken"), QString()},
                                      {QStringLiteral("macDeviceId"), QStringLiteral("mac-1")}}));
    m_platform->reset();

    // No id, or an empty one: nothing to end and nothing sent.
    EXPECT_TRUE(await(m_client->endSession(std::nullopt, {})).ok());
    EXPECT_TRUE(await(m_client->endSession(QString(), {})).ok());
    // Dot segments would name another resource once a server normalises the path.
    for (const QString& bad : {QStringLiteral("."), QStringLiteral("..")}) {
        auto status = await(m_client->endSession(bad, {}));
        ASSERT_FALSE(status.ok());
        EXPECT_EQ(status.error().kind, PlatformError::Kind::invalidArgument);
    }
    EXPECT_TRUE(m_platform->requests().isEmpty());

    auto ended = await(m_client->endSession(id, SessionSummaryPayload{7, 2, 12.5, -0.4, 33.5}));
    ASSERT_TRUE(ended.ok());
    const QJsonObject endBody =
        QJsonDocument::fromJson(
            m_platform->requests()[0].toObject().value(QStringLiteral("body")).toString().toUtf8())
            .object();
    EXPECT_EQ(endBody, (QJsonObject{{QStringLiteral("durationSeconds"), 13},
                                    {QStringLiteral("framesDropped"), 2},
                                    {QStringLiteral("strokeCount"), 7},
                                    {QStringLiteral("latencyP50Ms"), 0},
                                    {QStringLiteral("latencyP95Ms"), 34}}));

    // Ending it again: the platform's code reaches the caller, which treats it as done.
    ended = await(m_client->endSession(id, {}));
    ASSERT_FALSE(ended.ok());
    EXPECT_TRUE(ended.error().hasCode(u"session_already_ended"));
}

TEST(SessionSummaryBody, RoundsHalvesAwayFromZeroAndFloorsAtZero) {
    const auto body =
        PlatformClient::endSessionBody(SessionSummaryPayload{1, 0, -3.7, 2.5, std::nan("")});
    EXPECT_EQ(body.value(QStringLiteral("durationSeconds")).toInteger(), 0);
    EXPECT_EQ(body.value(QStringLiteral("latencyP50Ms")).toInteger(), 3);
    EXPECT_EQ(body.value(QStringLiteral("latencyP95Ms")).toInteger(), 0);
    EXPECT_FALSE(PlatformClient::endSessionBody({}).contains(QStringLiteral("latencyP50Ms")));
    EXPECT_EQ(PlatformClient::endSessionBody({0, 0, 1e300, std::nullopt, std::nullopt})
                  .value(QStringLiteral("durationSeconds"))
                  .toDouble(),
              9007199254740992.0);
}

TEST_F(PlatformClientTest, ServerIdsStayOneSegmentOfTheEndPath) {
    login();
    const QString hostile = QStringLiteral("a/../../devices?x=1#frag %");
    auto ended = await(m_client->endSession(hostile, {}));
    ASSERT_FALSE(ended.ok());
    EXPECT_EQ(apiError(ended.error()).code, QStringLiteral("session_not_found"));
    EXPECT_EQ(m_platform->requestLines(),
              QStringList{QStringLiteral(
                  "POST /api/sessions/a%2F..%2F..%2Fdevices%3Fx%3D1%23frag%20%25/end")});
}

TEST_F(PlatformClientTest, RecoveryEndsOnlyThisMacsOpenSessionsFromBeforeTheStart) {
    login();
    const QDateTime bootedAt(QDate(2026, 12, 7), QTime(10, 0), Qt::UTC);
    const auto row = [](const char* id, const char* mac, const char* started,
                        const char* ended = nullptr) {
        QJsonObject o{{QStringLiteral("id"), QLatin1String(id)},
                      {QStringLiteral("startedAt"), QLatin1String(started)}};
        if (mac != nullptr) {
            o.insert(QStringLiteral("macDeviceId"), QLatin1String(mac));
        }
        if (ended != nullptr) {
            o.insert(QStringLiteral("endedAt"), QLatin1String(ended));
        }
        return o;
    };
    const QJsonArray rows{row("open-1", "mac-1", "2026-12-07T09:00:00.123Z"),
                          row("other-mac", "mac-2", "2026-12-07T09:00:00Z"),
                          row("no-mac", nullptr, "2026-12-07T09:00:00Z"),
                          row("ended", "mac-1", "2026-12-07T09:00:00Z", "2026-12-07T09:30:00Z"),
                          row("after-boot", "mac-1", "2026-12-07T10:00:00Z"),
                          row("bad-date", "mac-1", "ontem"),
                          row("", "mac-1", "2026-12-07T09:00:00Z"),
                          row("open/2", "mac-1", "2026-12-07T09:59:59Z")};
    m_platform->respond(QStringLiteral("GET"), QStringLiteral("/api/sessions"), 200,
                        QJsonObject{{QStringLiteral("sessions"), rows}});
    m_platform->respond(QStringLiteral("POST"), QStringLiteral("/api/sessions/*/end"), 200,
                        QJsonObject{}, -1);
    auto recovered =
        await(m_client->recoverSessionsAfterRestart(QStringLiteral("mac-1"), bootedAt));
    ASSERT_TRUE(recovered.ok());
    EXPECT_EQ(m_platform->requestLines(),
              (QStringList{QStringLiteral("GET /api/sessions"),
                           QStringLiteral("POST /api/sessions/open-1/end"),
                           QStringLiteral("POST /api/sessions/open%2F2/end")}));
    EXPECT_EQ(m_platform->requests()[1].toObject().value(QStringLiteral("body")).toString(),
              QStringLiteral("{}"));

    // The first failing end stops the run.
    m_platform->reset();
    m_platform->respond(QStringLiteral("GET"), QStringLiteral("/api/sessions"), 200,
                        QJsonObject{{QStringLiteral("sessions"), rows}});
    m_platform->respond(QStringLiteral("POST"), QStringLiteral("/api/sessions/*/end"), 500,
                        QJsonValue::Undefined, -1);
    recovered = await(m_client->recoverSessionsAfterRestart(QStringLiteral("mac-1"), bootedAt));
    ASSERT_FALSE(recovered.ok());
    EXPECT_EQ(m_platform->requestLines().size(), 2);

    // A list without the required fields is undecodable.
    m_platform->respond(
        QStringLiteral("GET"), QStringLiteral("/api/sessions"), 200,
        QJsonObject{{QStringLiteral("sessions"),
                     QJsonArray{QJsonObject{{QStringLiteral("id"), QStringLiteral("x")}}}}});
    recovered = await(m_client->recoverSessionsAfterRestart(QStringLiteral("mac-1"), bootedAt));
    ASSERT_FALSE(recovered.ok());
    EXPECT_EQ(recovered.error().kind, PlatformError::Kind::decoding);
}

TEST_F(PlatformClientTest, RecoveryAgainstTheRealSessionList) {
    login();
    auto open = await(m_client->startSession(std::nullopt, QStringLiteral("mac-1"),
                                             QStringLiteral("ipad-1"), QStringLiteral("wifi")));
    auto other = await(m_client->startSession(std::nullopt, QStringLiteral("mac-2"),
                                              QStringLiteral("ipad-1"), QStringLiteral("wifi")));
    ASSERT_TRUE(open.ok() && other.ok());
    const QDateTime bootedAt = QDateTime::currentDateTimeUtc().addSecs(60);
    ASSERT_TRUE(
        await(m_client->recoverSessionsAfterRestart(QStringLiteral("mac-1"), bootedAt)).ok());
    ASSERT_TRUE(
        await(m_client->recoverSessionsAfterRestart(QStringLiteral("mac-1"), bootedAt)).ok());
    const QStringList lines = m_platform->requestLines();
    EXPECT_EQ(lines.count(QStringLiteral("POST /api/sessions/%1/end").arg(**open)), 1);
    EXPECT_EQ(lines.count(QStringLiteral("POST /api/sessions/%1/end").arg(**other)), 0);
}

TEST_F(PlatformClientTest, TransportErrorsAndTimeouts) {
    // A port nobody listens on.
    QTcpServer probe;
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 closedPort = probe.serverPort();
    probe.close();
    QUrl nowhere = m_platform->baseURL();
    nowhere.setPort(closedPort);
    PlatformClient offline(nowhere, *m_store);
    auto refused = await(offline.login(kEmail, kPassword));
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().kind, PlatformError::Kind::transport);
    EXPECT_FALSE(refused.error().description.isEmpty());

    // A server that accepts and never answers: the request timeout, then the transfer timeout.
    login();
    m_platform->addFault(QJsonObject{{QStringLiteral("path"), QStringLiteral("/api/devices")},
                                     {QStringLiteral("hang"), true}});
    auto hurried = makeClient(PlatformClient::Timeouts{300ms, 60s});
    await(hurried->loadStoredTokens());
    auto devices = await(hurried->listDevices());
    ASSERT_FALSE(devices.ok());
    EXPECT_EQ(devices.error().kind, PlatformError::Kind::timeout);

    // A slow answer within both limits is just an answer.
    m_platform->addFault(
        QJsonObject{{QStringLiteral("method"), QStringLiteral("POST")},
                    {QStringLiteral("path"), QStringLiteral("/api/sessions/start")},
                    {QStringLiteral("delayMs"), 150}});
    auto slow = await(hurried->startSession(std::nullopt, std::nullopt, QStringLiteral("ipad-1"),
                                            QStringLiteral("wifi")));
    ASSERT_TRUE(slow.ok()) << slow.error().localizedDescription().toStdString();
    EXPECT_TRUE(slow->has_value());

    auto stalled = makeClient(PlatformClient::Timeouts{60s, 300ms});
    await(stalled->loadStoredTokens());
    devices = await(stalled->listDevices());
    ASSERT_FALSE(devices.ok());
    EXPECT_EQ(devices.error().kind, PlatformError::Kind::timeout);
}

TEST_F(PlatformClientTest, AnOversizedAnswerIsCutOff) {
    login();
    m_client->setMaxResponseBytes(1024);
    m_platform->respond(QStringLiteral("GET"), QStringLiteral("/api/devices"), 200,
                        QString(4096, QLatin1Char('x')));
    auto devices = await(m_client->listDevices());
    ASSERT_FALSE(devices.ok());
    EXPECT_EQ(devices.error().kind, PlatformError::Kind::transport);
    // The same limit lets an ordinary answer through.
    devices = await(m_client->listDevices());
    EXPECT_TRUE(devices.ok());
}

TEST_F(PlatformClientTest, AStalledCallDoesNotHoldBackValidation) {
    login();
    auto client = makeClient(PlatformClient::Timeouts{800ms, 60s});
    await(client->loadStoredTokens());
    m_platform->addFault(QJsonObject{{QStringLiteral("path"), QStringLiteral("/api/devices")},
                                     {QStringLiteral("hang"), true}});
    m_platform->respond(QStringLiteral("POST"), QStringLiteral("/api/pairing/sessions/validate"),
                        200, QJsonObject{{QStringLiteral("sessionId"), QStringLiteral("s")}});

    std::optional<PlatformResult<std::vector<PlatformClient::AccountDevice>>> listed;
    auto listing = test::storeResult(client->listDevices(), listed);
    auto info = await(client->validatePairingToken(QStringLiteral("pt")));
    ASSERT_TRUE(info.ok());
    EXPECT_TRUE(info->has_value());
    EXPECT_FALSE(listed.has_value());  // still waiting
    QCoro::waitFor(std::move(listing));
    ASSERT_TRUE(listed.has_value());
    EXPECT_EQ(listed->error().kind, PlatformError::Kind::timeout);
}

class PrefixedPlatformTest : public PlatformClientTest {
    QStringList platformArguments() const override {
        return {QStringLiteral("--prefix"), QStringLiteral("/v1")};
    }
};

TEST_F(PrefixedPlatformTest, PathsAreAppendedToTheBasePath) {
    for (const QString& suffix : {QString(), QStringLiteral("/")}) {
        QUrl base = m_platform->baseURL();
        base.setPath(QStringLiteral("/v1") + suffix);
        PlatformClient client(base, *m_store);
        auto session = await(client.login(kEmail, kPassword));
        ASSERT_TRUE(session.ok()) << session.error().localizedDescription().toStdString();
    }
    EXPECT_EQ(m_platform->requestLines(),
              (QStringList{QStringLiteral("POST /v1/api/auth/native/login"),
                           QStringLiteral("POST /v1/api/auth/native/login")}));
}

TEST(DefaultBaseURL, EnvironmentThenSettingThenCompiledIn) {
    QTemporaryDir dir;
    QSettings settings(dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    QProcessEnvironment environment;
    EXPECT_EQ(PlatformClient::defaultBaseURL(settings, environment),
              PlatformClient::compiledBaseURL());
    EXPECT_EQ(PlatformClient::compiledBaseURL().scheme(), QStringLiteral("https"));

    settings.setValue(QStringLiteral("VELURIO_API_URL"),
                      QStringLiteral("http://127.0.0.1:8787/v1"));
    EXPECT_EQ(PlatformClient::defaultBaseURL(settings, environment),
              QUrl(QStringLiteral("http://127.0.0.1:8787/v1")));

    environment.insert(QStringLiteral("VELURIO_API_URL"),
                       QStringLiteral("https://staging.example.com"));
    EXPECT_EQ(PlatformClient::defaultBaseURL(settings, environment),
              QUrl(QStringLiteral("https://staging.example.com")));

    // Texts that are not an absolute http(s) URL are passed over.
    environment.insert(QStringLiteral("VELURIO_API_URL"), QStringLiteral("not a url"));
    EXPECT_EQ(PlatformClient::defaultBaseURL(settings, environment),
              QUrl(QStringLiteral("http://127.0.0.1:8787/v1")));
    settings.setValue(QStringLiteral("VELURIO_API_URL"), QStringLiteral("file:///etc/passwd"));
    EXPECT_EQ(PlatformClient::defaultBaseURL(settings, environment),
              PlatformClient::compiledBaseURL());
}

}  // namespace
}  // namespace velurio
