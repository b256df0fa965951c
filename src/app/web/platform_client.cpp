#include "app/web/platform_client.h"

#include "app/identity/host_name.h"
#include "core/internet_date_time.h"
#include "platform/keychain/secret_store.h"

#include <QCoroNetworkReply>
#include <QCoroSignal>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSettings>

#include <cmath>

#ifndef VELURIO_PLATFORM_BASE_URL
#define VELURIO_PLATFORM_BASE_URL "https://api.velurio.app"
#endif

// Coroutines here hand only named objects to the calls they await: g++ 12 mishandles
// temporaries (braced initialisers, string literals turned into QString) built inside a
// co_await expression, which corrupted the heap.

namespace velurio {
namespace {

Q_LOGGING_CATEGORY(lcPlatform, "velurio.platform")

const QString kUnexpectedResponse = QStringLiteral("unexpected_response");

APIError sessionExpired() {
    return APIError{401, QStringLiteral("unauthorized"),
                    QStringLiteral("Sessão expirada. Entre novamente.")};
}

PlatformError decodingError() {
    return PlatformError::other(PlatformError::Kind::decoding,
                                QStringLiteral("Resposta inválida da plataforma."));
}

// An absolute http(s) URL with a host; anything else is not a base URL we can append paths to.
std::optional<QUrl> parseBaseURL(const QString& text) {
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        url.host().isEmpty()) {
        return std::nullopt;
    }
    return url;
}

// Reads the optional fields of a decoded answer the way a typed decoder does: a missing key
// or null is absent; a key of the wrong type makes the whole answer undecodable.
class Fields {
  public:
    explicit Fields(QJsonObject object) : m_object(std::move(object)) {}

    std::optional<QString> string(const char* key) {
        return read(
            key, [](const QJsonValue& v) { return v.isString(); },
            [](const QJsonValue& v) { return v.toString(); });
    }
    std::optional<bool> boolean(const char* key) {
        return read(
            key, [](const QJsonValue& v) { return v.isBool(); },
            [](const QJsonValue& v) { return v.toBool(); });
    }
    std::optional<double> number(const char* key) {
        return read(
            key, [](const QJsonValue& v) { return v.isDouble(); },
            [](const QJsonValue& v) { return v.toDouble(); });
    }
    std::optional<QJsonObject> object(const char* key) {
        return read(
            key, [](const QJsonValue& v) { return v.isObject(); },
            [](const QJsonValue& v) { return v.toObject(); });
    }
    std::optional<QJsonArray> array(const char* key) {
        return read(
            key, [](const QJsonValue& v) { return v.isArray(); },
            [](const QJsonValue& v) { return v.toArray(); });
    }
    bool ok() const noexcept { return m_ok; }
    // A nested reader whose failures count as this one's.
    void absorb(const Fields& nested) { m_ok = m_ok && nested.m_ok; }

  private:
    // Absent or null: nothing. Present with the wrong type: nothing, and the answer is marked
    // undecodable. Otherwise the converted value.
    template <class IsType, class Convert>
    auto read(const char* key, IsType isType, Convert convert)
        -> std::optional<decltype(convert(QJsonValue()))> {
        const QJsonValue value = m_object.value(QLatin1String(key));
        if (value.isUndefined() || value.isNull()) {
            return std::nullopt;
        }
        if (!isType(value)) {
            m_ok = false;
            return std::nullopt;
        }
        return convert(value);
    }

    QJsonObject m_object;
    bool m_ok = true;
};

std::optional<QJsonDocument> parseJSON(const QByteArray& body) {
    QJsonParseError error{};
    QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError) {
        return std::nullopt;
    }
    return document;
}

std::optional<QJsonObject> parseObject(const QByteArray& body) {
    const auto document = parseJSON(body);
    if (!document || !document->isObject()) {
        return std::nullopt;
    }
    return document->object();
}

// An answer that must be a JSON object: the request's own error, else a decoding error.
PlatformResult<QJsonObject> objectOf(PlatformResult<QByteArray> answer) {
    if (!answer) {
        return fail(std::move(answer).error());
    }
    auto object = parseObject(*answer);
    if (!object) {
        return fail(decodingError());
    }
    return std::move(*object);
}

std::optional<QDateTime> parseDate(const QString& text) {
    const auto milliseconds = InternetDateTime::parseMillisecondsEitherForm(text.toStdString());
    if (!milliseconds) {
        return std::nullopt;
    }
    return QDateTime::fromMSecsSinceEpoch(*milliseconds, Qt::UTC);
}

// Rounded to the nearest integer, halves away from zero, and never below 0. Values a JSON
// reader cannot hold exactly (beyond 2^53), and NaN, are not sent as such.
qint64 roundedNonNegative(double value) {
    constexpr double kLargest = 9007199254740992.0;  // 2^53
    if (std::isnan(value)) {
        return 0;
    }
    const double rounded = std::round(value);
    if (rounded <= 0) {
        return 0;
    }
    return static_cast<qint64>(std::min(rounded, kLargest));
}

// One row of the device list; nothing when the row cannot be decoded.
std::optional<std::optional<PlatformClient::AccountDevice>> decodeDeviceRow(
    const QJsonValue& value) {
    if (!value.isObject()) {
        return std::nullopt;
    }
    Fields row(value.toObject());
    const auto id = row.string("id");
    const auto name = row.string("name");
    const auto type = row.string("type");
    const auto online = row.boolean("online");
    if (!row.ok()) {
        return std::nullopt;
    }
    if (!id) {
        return std::optional<PlatformClient::AccountDevice>();
    }
    return std::optional<PlatformClient::AccountDevice>(PlatformClient::AccountDevice{
        *id, name.value_or(QStringLiteral("Dispositivo")), type.value_or(QStringLiteral("ipad")),
        online.value_or(false)});
}

std::optional<std::vector<PlatformClient::AccountDevice>> decodeDeviceRows(const QJsonArray& rows) {
    std::vector<PlatformClient::AccountDevice> devices;
    for (const QJsonValue& value : rows) {
        const auto row = decodeDeviceRow(value);
        if (!row) {
            return std::nullopt;
        }
        if (*row) {
            devices.push_back(**row);
        }
    }
    return devices;
}

}  // namespace

QUrl PlatformClient::compiledBaseURL() {
    return QUrl(QStringLiteral(VELURIO_PLATFORM_BASE_URL));
}

QUrl PlatformClient::defaultBaseURL() {
    const QSettings settings;
    return defaultBaseURL(settings, QProcessEnvironment::systemEnvironment());
}

QUrl PlatformClient::defaultBaseURL(const QSettings& settings,
                                    const QProcessEnvironment& environment) {
    const QString key = QLatin1String(kBaseURLKey);
    if (environment.contains(key)) {
        if (auto url = parseBaseURL(environment.value(key))) {
            return *url;
        }
        qCWarning(lcPlatform) << "Velurio: a variável de ambiente" << key
                              << "não é uma URL http(s); ignorada";
    }
    const QVariant setting = settings.value(key);
    if (setting.isValid()) {
        if (auto url = parseBaseURL(setting.toString())) {
            return *url;
        }
        qCWarning(lcPlatform) << "Velurio: a preferência" << key
                              << "não é uma URL http(s); ignorada";
    }
    return compiledBaseURL();
}

PlatformClient::PlatformClient(QUrl baseURL, SecretStore& store, QObject* parent)
    : PlatformClient(std::move(baseURL), store, Timeouts{}, parent) {}

PlatformClient::PlatformClient(QUrl baseURL, SecretStore& store, Timeouts timeouts, QObject* parent)
    : QObject(parent),
      m_baseURL(std::move(baseURL)),
      m_store(store),
      m_timeouts(timeouts),
      m_network(new QNetworkAccessManager(this)),
      m_clock([] { return QDateTime::currentDateTimeUtc(); }),
      m_deviceName(HostName::localizedHostName()) {
    m_network->setTransferTimeout(static_cast<int>(m_timeouts.transfer.count()));
    // A redirect to another origin would carry the bearer token there.
    m_network->setRedirectPolicy(QNetworkRequest::SameOriginRedirectPolicy);
}

PlatformClient::~PlatformClient() = default;

QDateTime PlatformClient::now() const {
    return m_clock();
}

QCoro::Task<void> PlatformClient::loadStoredTokens() {
    // The owner may be destroyed while the store answers (the app quitting as it starts).
    QPointer<PlatformClient> self(this);
    const quint64 generation = m_tokenGeneration;
    auto stored = co_await AuthStore::load(m_store);
    if (!self)
        co_return;
    if (generation == m_tokenGeneration) {  // a login or sign-out meanwhile wins
        m_tokens = std::move(stored);
    }
}

QCoro::Task<void> PlatformClient::storeTokens(Tokens tokens) {
    m_tokens = tokens;
    co_await AuthStore::save(m_store, std::move(tokens));
}

QCoro::Task<void> PlatformClient::signOut() {
    ++m_tokenGeneration;
    m_tokens.reset();
    m_currentUser.reset();
    co_await AuthStore::clear(m_store);
}

QUrl PlatformClient::urlFor(const QString& path) const {
    // Appended to the base's own path, never resolved against it: a base of
    // "https://host/prefix" keeps "/prefix".
    QUrl url = m_baseURL;
    QString basePath = url.path(QUrl::FullyEncoded);
    while (basePath.endsWith(QLatin1Char('/'))) {
        basePath.chop(1);
    }
    url.setPath(basePath + path, QUrl::TolerantMode);
    return url;
}

std::optional<QString> PlatformClient::sessionEndPath(const QString& id) {
    if (id == QLatin1String(".") || id == QLatin1String("..")) {
        return std::nullopt;
    }
    // Every byte outside the unreserved set is escaped, so "/", "?", "#" and "%" stay inside
    // this one segment.
    return QStringLiteral("/api/sessions/") + QString::fromLatin1(QUrl::toPercentEncoding(id)) +
           QStringLiteral("/end");
}

QCoro::Task<PlatformResult<QByteArray>> PlatformClient::request(QString path, QByteArray method,
                                                                std::optional<QJsonObject> body,
                                                                bool authorized, bool retryOn401) {
    QNetworkRequest networkRequest(urlFor(path));
    networkRequest.setHeader(QNetworkRequest::ContentTypeHeader,
                             QByteArrayLiteral("application/json"));
    networkRequest.setTransferTimeout(static_cast<int>(m_timeouts.transfer.count()));
    if (authorized && m_tokens) {
        networkRequest.setRawHeader(QByteArrayLiteral("Authorization"),
                                    "Bearer " + m_tokens->accessToken.toUtf8());
    }
    QByteArray payload;
    if (body) {
        payload = body->isEmpty() ? QByteArrayLiteral("{}")
                                  : QJsonDocument(*body).toJson(QJsonDocument::Compact);
    }

    QNetworkReply* reply = m_network->sendCustomRequest(networkRequest, method, payload);
    // Answers are small JSON documents; a server streaming without end is cut off rather than
    // allowed to fill the memory.
    auto tooLarge = std::make_shared<bool>(false);
    const qint64 maxBytes = m_maxResponseBytes;
    const QMetaObject::Connection sizeGuard =
        connect(reply, &QNetworkReply::downloadProgress, reply,
                [reply, tooLarge, maxBytes](qint64 received, qint64 total) {
                    if (!*tooLarge && (received > maxBytes || total > maxBytes)) {
                        *tooLarge = true;
                        reply->abort();
                    }
                });
    const bool finished = co_await qCoro(reply).waitForFinished(m_timeouts.request);
    disconnect(sizeGuard);
    if (!finished) {
        reply->abort();
    }
    const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QNetworkReply::NetworkError networkError = reply->error();
    const QString errorText = reply->errorString();
    const QByteArray data = reply->isOpen() ? reply->readAll() : QByteArray();
    reply->deleteLater();

    if (*tooLarge) {
        qCWarning(lcPlatform).noquote()
            << "Velurio: resposta da plataforma grande demais:" << method << path;
        co_return fail(
            PlatformError::other(PlatformError::Kind::transport,
                                 QStringLiteral("A resposta da plataforma é grande demais.")));
    }

    // Qt numbers failures of the connection itself (refused, closed mid-answer, timed out, TLS,
    // proxy) below 200; the codes above describe an HTTP status, which the status handles.
    const bool connectionFailed = networkError != QNetworkReply::NoError && networkError < 200;
    if (!finished || networkError == QNetworkReply::OperationCanceledError ||
        networkError == QNetworkReply::TimeoutError) {
        qCWarning(lcPlatform).noquote()
            << "Velurio: requisição à plataforma sem resposta a tempo:" << method << path;
        co_return fail(PlatformError::other(PlatformError::Kind::timeout,
                                            QStringLiteral("A plataforma não respondeu a tempo.")));
    }
    if (connectionFailed ||
        (!statusAttribute.isValid() && networkError != QNetworkReply::NoError)) {
        qCWarning(lcPlatform).noquote()
            << "Velurio: requisição à plataforma falhou:" << method << path << "-" << errorText;
        co_return fail(PlatformError::other(PlatformError::Kind::transport, errorText));
    }
    const int status = statusAttribute.isValid() ? statusAttribute.toInt() : 0;
    qCDebug(lcPlatform).noquote() << method << path << "->" << status;

    if (status == 401 && authorized && retryOn401) {
        const PlatformStatus refreshed = co_await refreshTokens();
        if (!refreshed) {
            co_return fail(refreshed.error());
        }
        auto retried =
            co_await request(std::move(path), std::move(method), std::move(body), true, false);
        co_return retried;
    }
    if (status >= 200 && status <= 299) {
        co_return data;
    }

    // The error envelope: {"error": {"code": ..., "message": ...}}, every part optional.
    APIError error{status, QStringLiteral("http_%1").arg(status),
                   QStringLiteral("Falha na requisição (%1).").arg(status)};
    if (const auto object = parseObject(data)) {
        Fields envelope(*object);
        const auto inner = envelope.object("error");
        if (envelope.ok() && inner) {
            Fields fields(*inner);
            const auto code = fields.string("code");
            const auto message = fields.string("message");
            if (fields.ok()) {
                error.code = code.value_or(QStringLiteral("request_failed"));
                error.message = message.value_or(error.code);
            }
        }
    }
    qCWarning(lcPlatform).noquote()
        << "Velurio: a plataforma recusou" << method << path << "com" << status << error.code;
    co_return fail(PlatformError::fromAPI(std::move(error)));
}

QCoro::Task<PlatformResult<QByteArray>> PlatformClient::get(QString path) {
    QByteArray method = QByteArrayLiteral("GET");
    std::optional<QJsonObject> noBody;
    co_return co_await request(std::move(path), std::move(method), std::move(noBody), true, true);
}

QCoro::Task<PlatformResult<QByteArray>> PlatformClient::post(QString path, QJsonObject body,
                                                             bool authorized) {
    QByteArray method = QByteArrayLiteral("POST");
    std::optional<QJsonObject> payload(std::move(body));
    co_return co_await request(std::move(path), std::move(method), std::move(payload), authorized,
                               true);
}

QCoro::Task<PlatformStatus> PlatformClient::refreshTokens() {
    // One refresh at a time: a second one waits and then uses the tokens the first left.
    while (m_refreshing) {
        co_await qCoro(this, &PlatformClient::refreshSettled);
    }
    if (!m_tokens) {
        co_return fail(PlatformError::fromAPI(sessionExpired()));
    }
    m_refreshing = true;
    const quint64 generation = m_tokenGeneration;
    const QString currentRefresh = m_tokens->refreshToken;
    QJsonObject refreshBody{{QStringLiteral("refreshToken"), currentRefresh}};
    QString path = QStringLiteral("/api/auth/native/refresh");
    auto answer = co_await post(std::move(path), std::move(refreshBody), false);
    PlatformStatus outcome;
    if (const auto object = objectOf(std::move(answer)); !object) {
        outcome = fail(object.error());
    } else {
        Fields fields(*object);
        const auto access = fields.string("accessToken");
        const auto accessSnake = fields.string("access_token");
        const auto refresh = fields.string("refreshToken");
        const auto refreshSnake = fields.string("refresh_token");
        if (!fields.ok()) {
            outcome = fail(decodingError());
        } else if (!access && !accessSnake) {
            outcome = fail(PlatformError::fromAPI(sessionExpired()));
        } else {
            // Rotation is optional for the server: without a new refresh token the current one
            // stays.
            Tokens tokens{access ? *access : *accessSnake,
                          refresh ? *refresh : refreshSnake.value_or(currentRefresh)};
            if (generation == m_tokenGeneration) {
                co_await storeTokens(std::move(tokens));
            } else if (!m_tokens) {
                // Signed out while the refresh was under way: its tokens must not sign the
                // user back in (nor reach the store).
                outcome = fail(PlatformError::fromAPI(sessionExpired()));
            }
            // Otherwise a login replaced the account's tokens meanwhile: keep those.
        }
    }
    m_refreshing = false;
    Q_EMIT refreshSettled();
    co_return outcome;
}

QCoro::Task<PlatformResult<PlatformClient::Session>> PlatformClient::login(QString email,
                                                                           QString password) {
    QJsonObject credentials{{QStringLiteral("email"), email},
                            {QStringLiteral("password"), password}};
    QString path = QStringLiteral("/api/auth/native/login");
    auto answer = co_await post(std::move(path), std::move(credentials), false);
    const auto object = objectOf(std::move(answer));
    if (!object) {
        co_return fail(object.error());
    }
    Fields fields(*object);
    const auto access = fields.string("accessToken");
    const auto accessSnake = fields.string("access_token");
    const auto refresh = fields.string("refreshToken");
    const auto refreshSnake = fields.string("refresh_token");
    const auto user = fields.object("user");
    Fields userFields(user.value_or(QJsonObject()));
    const auto userId = userFields.string("id");
    const auto userEmail = userFields.string("email");
    const auto userName = userFields.string("name");
    fields.absorb(userFields);
    if (!fields.ok()) {
        co_return fail(decodingError());
    }
    const auto accessToken = access ? access : accessSnake;
    const auto refreshToken = refresh ? refresh : refreshSnake;
    if (!accessToken || !refreshToken) {
        co_return fail(PlatformError::fromAPI(
            APIError{200, kUnexpectedResponse, QStringLiteral("Resposta de login sem tokens.")}));
    }
    Tokens tokens{*accessToken, *refreshToken};
    ++m_tokenGeneration;
    co_await storeTokens(std::move(tokens));
    m_currentUser =
        Session{userId.value_or(QString()), userEmail.value_or(email), userName.value_or(email)};
    // A copy: QCoro's return_value moves from lvalues it is given.
    co_return Session(*m_currentUser);
}

QCoro::Task<PlatformResult<PlatformClient::DeviceRegistration>> PlatformClient::registerDevice(
    QString publicKeyBase64) {
    QJsonObject body{{QStringLiteral("name"), m_deviceName},
                     {QStringLiteral("type"), QStringLiteral("mac")},
                     {QStringLiteral("pubkey"), publicKeyBase64}};
    QString path = QStringLiteral("/api/devices/register");
    auto answer = co_await post(std::move(path), std::move(body), true);
    const auto object = objectOf(std::move(answer));
    if (!object) {
        co_return fail(object.error());
    }
    Fields fields(*object);
    const auto device = fields.object("device");
    const auto attestation = fields.string("attestation");
    Fields deviceFields(device.value_or(QJsonObject()));
    const auto id = deviceFields.string("id");
    fields.absorb(deviceFields);
    if (!fields.ok()) {
        co_return fail(decodingError());
    }
    if (!device || !id || !attestation) {
        co_return fail(PlatformError::fromAPI(APIError{
            200, kUnexpectedResponse, QStringLiteral("Registro de dispositivo sem atestado.")}));
    }
    co_return DeviceRegistration{*id, *attestation};
}

QCoro::Task<PlatformResult<std::vector<PlatformClient::AccountDevice>>>
PlatformClient::listDevices() {
    QString path = QStringLiteral("/api/devices");
    auto answer = co_await get(std::move(path));
    if (!answer) {
        co_return fail(std::move(answer).error());
    }
    const auto document = parseJSON(*answer);
    if (document && document->isArray()) {
        if (auto devices = decodeDeviceRows(document->array())) {
            co_return std::move(*devices);
        }
    }
    if (document && document->isObject()) {
        Fields fields(document->object());
        const auto rows = fields.array("devices");
        if (fields.ok() && rows) {
            if (auto devices = decodeDeviceRows(*rows)) {
                co_return std::move(*devices);
            }
        }
    }
    co_return std::vector<AccountDevice>();
}

QCoro::Task<PlatformResult<PlatformClient::PairingCodeInfo>> PlatformClient::createPairingCode(
    QString deviceId) {
    QJsonObject body{{QStringLiteral("deviceId"), deviceId}};
    QString path = QStringLiteral("/api/pairing/codes");
    auto answer = co_await post(std::move(path), std::move(body), true);
    const auto object = objectOf(std::move(answer));
    if (!object) {
        co_return fail(object.error());
    }
    Fields fields(*object);
    const auto code = fields.string("code");
    const auto expiresAt = fields.string("expiresAt");
    const auto expiresInSeconds = fields.number("expiresInSeconds");
    if (!fields.ok()) {
        co_return fail(decodingError());
    }
    if (!code) {
        co_return fail(PlatformError::fromAPI(
            APIError{200, kUnexpectedResponse, QStringLiteral("Código de pareamento ausente.")}));
    }
    std::optional<QDateTime> expiry = expiresAt ? parseDate(*expiresAt) : std::nullopt;
    if (!expiry) {
        // Seconds as the server gave them (fractions kept); a value no clock can hold counts as
        // absent.
        double seconds = expiresInSeconds.value_or(300.0);
        if (!std::isfinite(seconds) || std::abs(seconds) > 1e12) {
            seconds = 300.0;
        }
        expiry = now().addMSecs(static_cast<qint64>(std::llround(seconds * 1000.0)));
    }
    co_return PairingCodeInfo{*code, *expiry};
}

QCoro::Task<PlatformResult<std::optional<PlatformClient::PairingSessionInfo>>>
PlatformClient::validatePairingToken(QString token) {
    QJsonObject body{{QStringLiteral("token"), token}};
    QString path = QStringLiteral("/api/pairing/sessions/validate");
    auto answer = co_await post(std::move(path), std::move(body), true);
    if (!answer) {
        co_return fail(std::move(answer).error());
    }
    using Info = std::optional<PairingSessionInfo>;
    const auto object = parseObject(*answer);  // nothing, or nothing we can read
    if (!object) {
        co_return Info();
    }
    Fields fields(*object);
    const auto sessionId = fields.string("sessionId");
    const auto expiresAt = fields.string("expiresAt");
    if (!fields.ok() || !sessionId) {
        co_return Info();
    }
    co_return Info(
        PairingSessionInfo{*sessionId, token, expiresAt ? parseDate(*expiresAt) : std::nullopt});
}

QCoro::Task<PlatformResult<std::optional<QString>>> PlatformClient::startSession(
    std::optional<QString> pairingToken, std::optional<QString> macDeviceId, QString ipadDeviceId,
    QString transport) {
    QJsonObject body{{QStringLiteral("ipadDeviceId"), ipadDeviceId},
                     {QStringLiteral("transport"), transport}};
    if (pairingToken) {
        body.insert(QStringLiteral("pairingToken"), *pairingToken);
    }
    if (macDeviceId) {
        body.insert(QStringLiteral("macDeviceId"), *macDeviceId);
    }
    QString path = QStringLiteral("/api/sessions/start");
    auto answer = co_await post(std::move(path), std::move(body), true);
    if (!answer) {
        co_return fail(std::move(answer).error());
    }
    using Id = std::optional<QString>;
    const auto object = parseObject(*answer);  // nothing, or nothing we can read
    if (!object) {
        co_return Id();
    }
    Fields fields(*object);
    const auto session = fields.object("session");
    Fields sessionFields(session.value_or(QJsonObject()));
    const auto id = sessionFields.string("id");
    fields.absorb(sessionFields);
    if (!fields.ok()) {
        co_return Id();
    }
    co_return id;
}

QJsonObject PlatformClient::endSessionBody(const SessionSummaryPayload& summary) {
    QJsonObject body{
        {QStringLiteral("durationSeconds"), roundedNonNegative(summary.durationSeconds)},
        {QStringLiteral("framesDropped"), summary.framesDropped},
        {QStringLiteral("strokeCount"), summary.strokeCount}};
    if (summary.latencyP50Ms) {
        body.insert(QStringLiteral("latencyP50Ms"), roundedNonNegative(*summary.latencyP50Ms));
    }
    if (summary.latencyP95Ms) {
        body.insert(QStringLiteral("latencyP95Ms"), roundedNonNegative(*summary.latencyP95Ms));
    }
    return body;
}

QCoro::Task<PlatformStatus> PlatformClient::endSession(std::optional<QString> id,
                                                       SessionSummaryPayload summary) {
    if (!id || id->isEmpty()) {
        co_return PlatformStatus();
    }
    const auto path = sessionEndPath(*id);
    if (!path) {
        co_return fail(PlatformError::other(PlatformError::Kind::invalidArgument,
                                            QStringLiteral("Identificador de sessão inválido.")));
    }
    QString endPath = *path;
    QJsonObject body = endSessionBody(summary);
    auto answer = co_await post(std::move(endPath), std::move(body), true);
    if (!answer) {
        co_return fail(std::move(answer).error());
    }
    co_return PlatformStatus();
}

QCoro::Task<PlatformStatus> PlatformClient::recoverSessionsAfterRestart(QString macDeviceId,
                                                                        QDateTime bootedAt) {
    QString listPath = QStringLiteral("/api/sessions");
    auto answer = co_await get(std::move(listPath));
    const auto object = objectOf(std::move(answer));
    if (!object) {
        co_return fail(object.error());
    }
    Fields fields(*object);
    const auto rows = fields.array("sessions");
    if (!fields.ok() || !rows) {
        co_return fail(decodingError());
    }
    struct Row {
        QString id;
        std::optional<QString> macDeviceId;
        QString startedAt;
        std::optional<QString> endedAt;
    };
    std::vector<Row> sessions;
    for (const QJsonValue& value : *rows) {
        if (!value.isObject()) {
            co_return fail(decodingError());
        }
        Fields row(value.toObject());
        const auto id = row.string("id");
        const auto mac = row.string("macDeviceId");
        const auto startedAt = row.string("startedAt");
        const auto endedAt = row.string("endedAt");
        if (!row.ok() || !id || !startedAt) {
            co_return fail(decodingError());
        }
        sessions.push_back(Row{*id, mac, *startedAt, endedAt});
    }

    for (const Row& row : sessions) {
        if (row.macDeviceId != macDeviceId || row.endedAt) {
            continue;
        }
        const auto started = parseDate(row.startedAt);
        if (!started || !(*started < bootedAt)) {
            continue;
        }
        if (row.id.isEmpty()) {
            continue;  // nothing a request could name
        }
        const auto path = sessionEndPath(row.id);
        if (!path) {
            co_return fail(
                PlatformError::other(PlatformError::Kind::invalidArgument,
                                     QStringLiteral("Identificador de sessão inválido.")));
        }
        QString endPath = *path;
        QJsonObject empty;
        auto ended = co_await post(std::move(endPath), std::move(empty), true);
        if (!ended) {
            co_return fail(std::move(ended).error());
        }
    }
    co_return PlatformStatus();
}

}  // namespace velurio
