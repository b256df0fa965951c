#include "dev_platform.h"

#include "core/base64.h"
#include "core/es256_verifier.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QStringList>

#include <algorithm>
#include <array>

namespace velurio::devplatform {
namespace {

const QString kTransportWifi = QStringLiteral("wifi");
const QString kTransportUSB = QStringLiteral("usb_c");

Reply unauthorized() {
    return errorReply(401, QStringLiteral("unauthorized"),
                      QStringLiteral("Sessão expirada. Entre novamente."));
}

Reply badRequest(const QString& message) {
    return errorReply(400, QStringLiteral("invalid_request"), message);
}

Reply notFound() {
    return errorReply(404, QStringLiteral("not_found"), QStringLiteral("Recurso não encontrado."));
}

// A string field: absent or null gives an empty text; another type is reported through `ok`.
QString stringField(const QJsonObject& object, const char* key, bool& ok) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull()) {
        return {};
    }
    if (!value.isString()) {
        ok = false;
        return {};
    }
    return value.toString();
}

QString dateText(const QDateTime& date) {
    return date.toUTC().toString(Qt::ISODateWithMs);
}

QDateTime parseDate(const QJsonValue& value) {
    QDateTime date = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    return date.isValid() ? date.toUTC() : QDateTime();
}

}  // namespace

Reply errorReply(int status, const QString& code, const QString& message) {
    QJsonObject error{{QStringLiteral("code"), code}, {QStringLiteral("message"), message}};
    return jsonReply(QJsonObject{{QStringLiteral("error"), error}}, status);
}

Reply jsonReply(const QJsonObject& object, int status) {
    return Reply{status, QJsonDocument(object).toJson(QJsonDocument::Compact), "application/json"};
}

QString randomToken(const char* prefix) {
    std::array<quint32, 8> words{};
    QRandomGenerator::system()->fillRange(words.data(), words.size());
    std::array<std::uint8_t, 32> bytes{};
    for (std::size_t i = 0; i < words.size(); ++i) {
        for (std::size_t b = 0; b < 4; ++b) {
            bytes[i * 4 + b] = static_cast<std::uint8_t>(words[i] >> (8 * b));
        }
    }
    return QLatin1String(prefix) + QString::fromStdString(Base64::encodeURL(bytes));
}

DevPlatform::DevPlatform(P256PrivateKey key, Options options)
    : m_key(std::move(key)), m_options(options) {}

void DevPlatform::addAccount(Account account) {
    if (account.id.isEmpty()) {
        account.id = newId("user-");
    }
    if (account.name.isEmpty()) {
        account.name = account.email.section(QLatin1Char('@'), 0, 0);
    }
    for (Account& existing : m_accounts) {
        if (existing.email.compare(account.email, Qt::CaseInsensitive) == 0) {
            existing.password = account.password;
            existing.name = account.name;
            return;
        }
    }
    m_accounts.push_back(std::move(account));
}

QDateTime DevPlatform::now() const {
    return QDateTime::currentDateTimeUtc().addSecs(m_clockOffset.count());
}

QJsonArray DevPlatform::livePairingCodes() const {
    QJsonArray rows;
    for (const auto& [code, entry] : m_pairingCodes) {
        if (entry.expiresAt <= now()) {
            continue;
        }
        const QDateTime createdAt = entry.expiresAt.addSecs(-m_options.pairingCodeLifetime.count());
        rows.append(QJsonObject{{QStringLiteral("code"), code},
                                {QStringLiteral("macDeviceId"), entry.macDeviceId},
                                {QStringLiteral("createdAt"), isoDate(createdAt)},
                                {QStringLiteral("expiresAt"), isoDate(entry.expiresAt)}});
    }
    return rows;
}

void DevPlatform::expireAccessTokens() {
    m_accessTokens.clear();
    m_dirty = true;
}

bool DevPlatform::takeDirty() {
    return std::exchange(m_dirty, false);
}

QString DevPlatform::newId(const char* prefix) {
    // Sequential ids keep logs readable; the random tail keeps ids from two runs without a state
    // file from colliding on the tablet side.
    const QString tail = QString::number(QRandomGenerator::global()->bounded(0x10000), 16);
    return QLatin1String(prefix) + QString::number(m_nextId++) + QLatin1Char('-') + tail;
}

QString DevPlatform::isoDate(const QDateTime& date) const {
    return dateText(date);
}

std::optional<QString> DevPlatform::userForAccessToken(const QString& token) const {
    if (token.isEmpty()) {
        return std::nullopt;
    }
    const auto it = m_accessTokens.find(token);
    if (it == m_accessTokens.end() || it->second.expiresAt <= now()) {
        return std::nullopt;
    }
    return it->second.userId;
}

DevPlatform::Device* DevPlatform::device(const QString& userId, const QString& deviceId) {
    for (Device& candidate : m_devices) {
        if (candidate.id == deviceId && candidate.userId == userId) {
            return &candidate;
        }
    }
    return nullptr;
}

QJsonObject DevPlatform::issueTokens(const QString& userId) {
    const QString access = randomToken("at_");
    const QString refreshToken = randomToken("rt_");
    m_accessTokens[access] =
        AccessGrant{userId, now().addSecs(m_options.accessTokenLifetime.count())};
    m_refreshTokens[refreshToken] = userId;
    m_dirty = true;
    return QJsonObject{{QStringLiteral("accessToken"), access},
                       {QStringLiteral("refreshToken"), refreshToken},
                       {QStringLiteral("expiresInSeconds"),
                        static_cast<qint64>(m_options.accessTokenLifetime.count())}};
}

Reply DevPlatform::handle(const QByteArray& method, const QStringList& segments,
                          const QString& bearer, const QByteArray& body) {
    QJsonObject object;
    if (method == "POST") {
        // Every POST of this API carries a JSON object (possibly {}); an absent body counts as {}.
        if (!body.trimmed().isEmpty()) {
            QJsonParseError error{};
            const QJsonDocument document = QJsonDocument::fromJson(body, &error);
            if (error.error != QJsonParseError::NoError || !document.isObject()) {
                return badRequest(QStringLiteral("Corpo da requisição não é um objeto JSON."));
            }
            object = document.object();
        }
    } else if (method != "GET") {
        return errorReply(405, QStringLiteral("method_not_allowed"),
                          QStringLiteral("Método não permitido."));
    }

    const auto is = [&](std::initializer_list<const char*> path) {
        if (static_cast<std::size_t>(segments.size()) != path.size()) {
            return false;
        }
        qsizetype i = 0;
        for (const char* part : path) {
            if (std::string_view(part) != "*" && segments[i] != QLatin1String(part)) {
                return false;
            }
            ++i;
        }
        return true;
    };
    const bool post = method == "POST";

    if (post && is({"api", "auth", "native", "login"})) {
        return login(object);
    }
    if (post && is({"api", "auth", "native", "refresh"})) {
        return refresh(object);
    }

    const bool known = is({"api", "devices", "register"}) || is({"api", "devices"}) ||
                       is({"api", "pairing", "codes"}) || is({"api", "pairing", "redeem"}) ||
                       is({"api", "pairing", "sessions", "validate"}) ||
                       is({"api", "sessions", "start"}) || is({"api", "sessions", "*", "end"}) ||
                       is({"api", "sessions"});
    if (!known) {
        return notFound();
    }
    const std::optional<QString> user = userForAccessToken(bearer);
    if (!user) {
        return unauthorized();
    }

    if (post && is({"api", "devices", "register"})) {
        return registerDevice(*user, object);
    }
    if (!post && is({"api", "devices"})) {
        return listDevices(*user);
    }
    if (post && is({"api", "pairing", "codes"})) {
        return createPairingCode(*user, object);
    }
    if (post && is({"api", "pairing", "redeem"})) {
        return redeemPairingCode(*user, object);
    }
    if (post && is({"api", "pairing", "sessions", "validate"})) {
        return validatePairingToken(*user, object);
    }
    if (post && is({"api", "sessions", "start"})) {
        return startSession(*user, object);
    }
    if (post && is({"api", "sessions", "*", "end"})) {
        return endSession(*user, segments[2], object);
    }
    if (!post && is({"api", "sessions"})) {
        return listSessions(*user);
    }
    return errorReply(405, QStringLiteral("method_not_allowed"),
                      QStringLiteral("Método não permitido."));
}

Reply DevPlatform::login(const QJsonObject& body) {
    bool ok = true;
    const QString email = stringField(body, "email", ok);
    const QString password = stringField(body, "password", ok);
    if (!ok || email.isEmpty() || password.isEmpty()) {
        return badRequest(QStringLiteral("Informe e-mail e senha."));
    }
    for (const Account& account : m_accounts) {
        if (account.email.compare(email, Qt::CaseInsensitive) == 0 &&
            account.password == password) {
            QJsonObject reply = issueTokens(account.id);
            reply.insert(QStringLiteral("user"),
                         QJsonObject{{QStringLiteral("id"), account.id},
                                     {QStringLiteral("email"), account.email},
                                     {QStringLiteral("name"), account.name}});
            return jsonReply(reply);
        }
    }
    return errorReply(401, QStringLiteral("invalid_credentials"),
                      QStringLiteral("E-mail ou senha incorretos."));
}

Reply DevPlatform::refresh(const QJsonObject& body) {
    bool ok = true;
    const QString token = stringField(body, "refreshToken", ok);
    const auto it = m_refreshTokens.find(token);
    if (!ok || token.isEmpty() || it == m_refreshTokens.end()) {
        return unauthorized();
    }
    // Rotation: the refresh token is good for one use.
    const QString userId = it->second;
    m_refreshTokens.erase(it);
    return jsonReply(issueTokens(userId));
}

Reply DevPlatform::registerDevice(const QString& userId, const QJsonObject& body) {
    bool ok = true;
    const QString name = stringField(body, "name", ok);
    const QString type = stringField(body, "type", ok);
    const QString pubkey = stringField(body, "pubkey", ok);
    if (!ok || (type != QLatin1String("mac") && type != QLatin1String("ipad"))) {
        return badRequest(QStringLiteral("Tipo de dispositivo inválido."));
    }
    const auto keyBytes = Base64::decode(pubkey.toStdString());
    if (!keyBytes || keyBytes->empty()) {
        return errorReply(400, QStringLiteral("invalid_pubkey"),
                          QStringLiteral("Chave pública inválida."));
    }
    // The same key of the same account is the same device: registering again after a logout
    // keeps its id.
    Device* found = nullptr;
    for (Device& candidate : m_devices) {
        if (candidate.userId == userId && candidate.pubkey == pubkey && candidate.type == type) {
            found = &candidate;
        }
    }
    if (found == nullptr) {
        m_devices.push_back(Device{newId(type == QLatin1String("mac") ? "mac-" : "ipad-"),
                                   userId,
                                   name,
                                   type,
                                   pubkey,
                                   {}});
        found = &m_devices.back();
    }
    if (!name.isEmpty()) {
        found->name = name;
    }
    found->lastSeen = now();
    m_dirty = true;

    const qint64 issuedAt = now().toSecsSinceEpoch();
    const QJsonObject claims{
        {QStringLiteral("iss"), QStringLiteral("velurio-devplatform")},
        {QStringLiteral("sub"), found->id},
        {QStringLiteral("uid"), userId},
        {QStringLiteral("device_type"), type},
        {QStringLiteral("pubkey"), pubkey},
        {QStringLiteral("iat"), issuedAt},
        {QStringLiteral("exp"), issuedAt + m_options.attestationLifetime.count()}};
    const auto token = ES256Signer::sign(
        QJsonDocument(claims).toJson(QJsonDocument::Compact).toStdString(), m_key);
    if (!token) {
        return errorReply(500, QStringLiteral("signing_failed"),
                          QStringLiteral("Falha ao assinar o atestado."));
    }
    const QJsonObject deviceObject{{QStringLiteral("id"), found->id},
                                   {QStringLiteral("name"), found->name},
                                   {QStringLiteral("type"), found->type}};
    return jsonReply(QJsonObject{{QStringLiteral("device"), deviceObject},
                                 {QStringLiteral("attestation"), QString::fromStdString(*token)}});
}

Reply DevPlatform::listDevices(const QString& userId) {
    QJsonArray rows;
    const QDateTime onlineSince = now().addSecs(-m_options.onlineWindow.count());
    for (const Device& candidate : m_devices) {
        if (candidate.userId != userId) {
            continue;
        }
        rows.append(QJsonObject{{QStringLiteral("id"), candidate.id},
                                {QStringLiteral("name"), candidate.name},
                                {QStringLiteral("type"), candidate.type},
                                {QStringLiteral("online"), candidate.lastSeen >= onlineSince}});
    }
    return jsonReply(QJsonObject{{QStringLiteral("devices"), rows}});
}

Reply DevPlatform::createPairingCode(const QString& userId, const QJsonObject& body) {
    bool ok = true;
    const QString deviceId = stringField(body, "deviceId", ok);
    Device* mac = ok ? device(userId, deviceId) : nullptr;
    if (mac == nullptr || mac->type != QLatin1String("mac")) {
        return errorReply(404, QStringLiteral("device_not_found"),
                          QStringLiteral("Dispositivo não encontrado."));
    }
    mac->lastSeen = now();
    // One live code per Mac: a new code replaces the previous one.
    for (auto it = m_pairingCodes.begin(); it != m_pairingCodes.end();) {
        it = it->second.macDeviceId == deviceId ? m_pairingCodes.erase(it) : std::next(it);
    }
    QString code;
    do {
        code = QStringLiteral("%1").arg(QRandomGenerator::system()->bounded(1000000), 6, 10,
                                        QLatin1Char('0'));
    } while (m_pairingCodes.count(code) != 0);
    const QDateTime expiresAt = now().addSecs(m_options.pairingCodeLifetime.count());
    m_pairingCodes[code] = PairingCode{code, userId, deviceId, expiresAt};
    m_dirty = true;
    return jsonReply(QJsonObject{{QStringLiteral("code"), code},
                                 {QStringLiteral("expiresAt"), isoDate(expiresAt)},
                                 {QStringLiteral("expiresInSeconds"),
                                  static_cast<qint64>(m_options.pairingCodeLifetime.count())}});
}

Reply DevPlatform::redeemPairingCode(const QString& userId, const QJsonObject& body) {
    bool ok = true;
    const QString code = stringField(body, "code", ok);
    const QString deviceId = stringField(body, "deviceId", ok);
    Device* ipad = ok ? device(userId, deviceId) : nullptr;
    if (ipad == nullptr || ipad->type != QLatin1String("ipad")) {
        return errorReply(404, QStringLiteral("device_not_found"),
                          QStringLiteral("Dispositivo não encontrado."));
    }
    const auto it = m_pairingCodes.find(code);
    if (it == m_pairingCodes.end() || it->second.userId != userId) {
        return errorReply(404, QStringLiteral("invalid_code"),
                          QStringLiteral("Código de pareamento inválido."));
    }
    if (it->second.expiresAt <= now()) {
        m_pairingCodes.erase(it);
        m_dirty = true;
        return errorReply(410, QStringLiteral("code_expired"),
                          QStringLiteral("Código de pareamento expirado."));
    }
    const PairingCode entry = it->second;
    m_pairingCodes.erase(it);  // a code pairs one tablet once
    ipad->lastSeen = now();
    const QString token = randomToken("pt_");
    const QDateTime expiresAt = now().addSecs(m_options.pairingTokenLifetime.count());
    const QString sessionId = newId("pair-");
    m_pairingTokens[token] =
        PairingToken{sessionId, userId, entry.macDeviceId, deviceId, expiresAt};
    m_dirty = true;
    return jsonReply(QJsonObject{{QStringLiteral("token"), token},
                                 {QStringLiteral("sessionId"), sessionId},
                                 {QStringLiteral("macDeviceId"), entry.macDeviceId},
                                 {QStringLiteral("expiresAt"), isoDate(expiresAt)}});
}

Reply DevPlatform::validatePairingToken(const QString& userId, const QJsonObject& body) {
    bool ok = true;
    const QString token = stringField(body, "token", ok);
    const auto it = m_pairingTokens.find(token);
    if (!ok || it == m_pairingTokens.end() || it->second.userId != userId ||
        it->second.expiresAt <= now()) {
        return errorReply(404, QStringLiteral("invalid_pairing_token"),
                          QStringLiteral("Token de pareamento inválido."));
    }
    const PairingToken& entry = it->second;
    return jsonReply(QJsonObject{{QStringLiteral("sessionId"), entry.sessionId},
                                 {QStringLiteral("macDeviceId"), entry.macDeviceId},
                                 {QStringLiteral("ipadDeviceId"), entry.ipadDeviceId},
                                 {QStringLiteral("expiresAt"), isoDate(entry.expiresAt)}});
}

Reply DevPlatform::startSession(const QString& userId, const QJsonObject& body) {
    bool ok = true;
    const QString ipadDeviceId = stringField(body, "ipadDeviceId", ok);
    const QString transport = stringField(body, "transport", ok);
    const QString pairingToken = stringField(body, "pairingToken", ok);
    const QString macDeviceId = stringField(body, "macDeviceId", ok);
    if (!ok || ipadDeviceId.isEmpty() ||
        (transport != kTransportWifi && transport != kTransportUSB)) {
        return badRequest(QStringLiteral("Sessão inválida."));
    }
    if (!pairingToken.isEmpty()) {
        const auto it = m_pairingTokens.find(pairingToken);
        if (it == m_pairingTokens.end() || it->second.userId != userId) {
            return errorReply(404, QStringLiteral("invalid_pairing_token"),
                              QStringLiteral("Token de pareamento inválido."));
        }
    }
    PlatformSession session{newId("sess-"), userId, macDeviceId,  ipadDeviceId,
                            transport,      now(),  std::nullopt, {}};
    m_sessions.push_back(session);
    m_dirty = true;
    return jsonReply(
        QJsonObject{{QStringLiteral("session"),
                     QJsonObject{{QStringLiteral("id"), session.id},
                                 {QStringLiteral("startedAt"), isoDate(session.startedAt)}}}});
}

Reply DevPlatform::endSession(const QString& userId, const QString& sessionId,
                              const QJsonObject& body) {
    const auto it =
        std::find_if(m_sessions.begin(), m_sessions.end(), [&](const PlatformSession& session) {
            return session.id == sessionId && session.userId == userId;
        });
    if (it == m_sessions.end()) {
        return errorReply(404, QStringLiteral("session_not_found"),
                          QStringLiteral("Sessão não encontrada."));
    }
    if (it->endedAt) {
        return errorReply(409, QStringLiteral("session_already_ended"),
                          QStringLiteral("Sessão já encerrada."));
    }
    for (const char* key :
         {"durationSeconds", "framesDropped", "strokeCount", "latencyP50Ms", "latencyP95Ms"}) {
        const QJsonValue value = body.value(QLatin1String(key));
        if (!value.isUndefined() && !value.isDouble()) {
            return badRequest(QStringLiteral("Resumo de sessão inválido."));
        }
    }
    it->endedAt = now();
    it->summary = body;
    m_dirty = true;
    return jsonReply(
        QJsonObject{{QStringLiteral("session"),
                     QJsonObject{{QStringLiteral("id"), it->id},
                                 {QStringLiteral("endedAt"), isoDate(*it->endedAt)}}}});
}

Reply DevPlatform::listSessions(const QString& userId) {
    QJsonArray rows;
    for (const PlatformSession& session : m_sessions) {
        if (session.userId != userId) {
            continue;
        }
        QJsonObject row{{QStringLiteral("id"), session.id},
                        {QStringLiteral("macDeviceId"), session.macDeviceId},
                        {QStringLiteral("ipadDeviceId"), session.ipadDeviceId},
                        {QStringLiteral("transport"), session.transport},
                        {QStringLiteral("startedAt"), isoDate(session.startedAt)}};
        if (session.endedAt) {
            row.insert(QStringLiteral("endedAt"), isoDate(*session.endedAt));
        }
        rows.append(row);
    }
    return jsonReply(QJsonObject{{QStringLiteral("sessions"), rows}});
}

QJsonObject DevPlatform::saveState() const {
    QJsonArray accounts;
    for (const Account& account : m_accounts) {
        accounts.append(QJsonObject{{QStringLiteral("id"), account.id},
                                    {QStringLiteral("email"), account.email},
                                    {QStringLiteral("password"), account.password},
                                    {QStringLiteral("name"), account.name}});
    }
    QJsonObject access;
    for (const auto& [token, grant] : m_accessTokens) {
        access.insert(token, QJsonObject{{QStringLiteral("userId"), grant.userId},
                                         {QStringLiteral("expiresAt"), isoDate(grant.expiresAt)}});
    }
    QJsonObject refreshTokens;
    for (const auto& [token, userId] : m_refreshTokens) {
        refreshTokens.insert(token, userId);
    }
    QJsonArray devices;
    for (const Device& entry : m_devices) {
        devices.append(QJsonObject{{QStringLiteral("id"), entry.id},
                                   {QStringLiteral("userId"), entry.userId},
                                   {QStringLiteral("name"), entry.name},
                                   {QStringLiteral("type"), entry.type},
                                   {QStringLiteral("pubkey"), entry.pubkey},
                                   {QStringLiteral("lastSeen"), isoDate(entry.lastSeen)}});
    }
    QJsonObject codes;
    for (const auto& [code, entry] : m_pairingCodes) {
        codes.insert(code, QJsonObject{{QStringLiteral("userId"), entry.userId},
                                       {QStringLiteral("macDeviceId"), entry.macDeviceId},
                                       {QStringLiteral("expiresAt"), isoDate(entry.expiresAt)}});
    }
    QJsonObject pairingTokens;
    for (const auto& [token, entry] : m_pairingTokens) {
        pairingTokens.insert(token,
                             QJsonObject{{QStringLiteral("sessionId"), entry.sessionId},
                                         {QStringLiteral("userId"), entry.userId},
                                         {QStringLiteral("macDeviceId"), entry.macDeviceId},
                                         {QStringLiteral("ipadDeviceId"), entry.ipadDeviceId},
                                         {QStringLiteral("expiresAt"), isoDate(entry.expiresAt)}});
    }
    QJsonArray sessions;
    for (const PlatformSession& session : m_sessions) {
        QJsonObject row{{QStringLiteral("id"), session.id},
                        {QStringLiteral("userId"), session.userId},
                        {QStringLiteral("macDeviceId"), session.macDeviceId},
                        {QStringLiteral("ipadDeviceId"), session.ipadDeviceId},
                        {QStringLiteral("transport"), session.transport},
                        {QStringLiteral("startedAt"), isoDate(session.startedAt)},
                        {QStringLiteral("summary"), session.summary}};
        if (session.endedAt) {
            row.insert(QStringLiteral("endedAt"), isoDate(*session.endedAt));
        }
        sessions.append(row);
    }
    return QJsonObject{{QStringLiteral("version"), 1},
                       {QStringLiteral("nextId"), static_cast<qint64>(m_nextId)},
                       {QStringLiteral("accounts"), accounts},
                       {QStringLiteral("accessTokens"), access},
                       {QStringLiteral("refreshTokens"), refreshTokens},
                       {QStringLiteral("devices"), devices},
                       {QStringLiteral("pairingCodes"), codes},
                       {QStringLiteral("pairingTokens"), pairingTokens},
                       {QStringLiteral("sessions"), sessions}};
}

bool DevPlatform::loadState(const QJsonObject& state) {
    if (state.value(QStringLiteral("version")).toInt() != 1) {
        return false;
    }
    std::vector<Account> accounts;
    for (const QJsonValue& value : state.value(QStringLiteral("accounts")).toArray()) {
        const QJsonObject o = value.toObject();
        accounts.push_back(Account{o.value(QStringLiteral("id")).toString(),
                                   o.value(QStringLiteral("email")).toString(),
                                   o.value(QStringLiteral("password")).toString(),
                                   o.value(QStringLiteral("name")).toString()});
    }
    std::map<QString, AccessGrant> access;
    const QJsonObject accessObject = state.value(QStringLiteral("accessTokens")).toObject();
    for (auto it = accessObject.begin(); it != accessObject.end(); ++it) {
        const QJsonObject o = it.value().toObject();
        access[it.key()] = AccessGrant{o.value(QStringLiteral("userId")).toString(),
                                       parseDate(o.value(QStringLiteral("expiresAt")))};
    }
    std::map<QString, QString> refreshTokens;
    const QJsonObject refreshObject = state.value(QStringLiteral("refreshTokens")).toObject();
    for (auto it = refreshObject.begin(); it != refreshObject.end(); ++it) {
        refreshTokens[it.key()] = it.value().toString();
    }
    std::vector<Device> devices;
    for (const QJsonValue& value : state.value(QStringLiteral("devices")).toArray()) {
        const QJsonObject o = value.toObject();
        devices.push_back(Device{
            o.value(QStringLiteral("id")).toString(), o.value(QStringLiteral("userId")).toString(),
            o.value(QStringLiteral("name")).toString(), o.value(QStringLiteral("type")).toString(),
            o.value(QStringLiteral("pubkey")).toString(),
            parseDate(o.value(QStringLiteral("lastSeen")))});
    }
    std::map<QString, PairingCode> codes;
    const QJsonObject codesObject = state.value(QStringLiteral("pairingCodes")).toObject();
    for (auto it = codesObject.begin(); it != codesObject.end(); ++it) {
        const QJsonObject o = it.value().toObject();
        codes[it.key()] = PairingCode{it.key(), o.value(QStringLiteral("userId")).toString(),
                                      o.value(QStringLiteral("macDeviceId")).toString(),
                                      parseDate(o.value(QStringLiteral("expiresAt")))};
    }
    std::map<QString, PairingToken> pairingTokens;
    const QJsonObject tokensObject = state.value(QStringLiteral("pairingTokens")).toObject();
    for (auto it = tokensObject.begin(); it != tokensObject.end(); ++it) {
        const QJsonObject o = it.value().toObject();
        pairingTokens[it.key()] = PairingToken{o.value(QStringLiteral("sessionId")).toString(),
                                               o.value(QStringLiteral("userId")).toString(),
                                               o.value(QStringLiteral("macDeviceId")).toString(),
                                               o.value(QStringLiteral("ipadDeviceId")).toString(),
                                               parseDate(o.value(QStringLiteral("expiresAt")))};
    }
    std::vector<PlatformSession> sessions;
    for (const QJsonValue& value : state.value(QStringLiteral("sessions")).toArray()) {
        const QJsonObject o = value.toObject();
        PlatformSession session{o.value(QStringLiteral("id")).toString(),
                                o.value(QStringLiteral("userId")).toString(),
                                o.value(QStringLiteral("macDeviceId")).toString(),
                                o.value(QStringLiteral("ipadDeviceId")).toString(),
                                o.value(QStringLiteral("transport")).toString(),
                                parseDate(o.value(QStringLiteral("startedAt"))),
                                std::nullopt,
                                o.value(QStringLiteral("summary")).toObject()};
        if (o.contains(QStringLiteral("endedAt"))) {
            session.endedAt = parseDate(o.value(QStringLiteral("endedAt")));
        }
        sessions.push_back(std::move(session));
    }
    m_nextId = static_cast<quint64>(
        std::max<qint64>(1, state.value(QStringLiteral("nextId")).toInteger(1)));
    // Saved accounts keep their ids (the saved tokens and devices name them); an account also
    // given on the command line keeps the command line's password and name.
    for (Account& saved : accounts) {
        const auto existing =
            std::find_if(m_accounts.begin(), m_accounts.end(), [&](const Account& account) {
                return account.email.compare(saved.email, Qt::CaseInsensitive) == 0;
            });
        if (existing != m_accounts.end()) {
            existing->id = saved.id;
        } else {
            m_accounts.push_back(std::move(saved));
        }
    }
    m_accessTokens = std::move(access);
    m_refreshTokens = std::move(refreshTokens);
    m_devices = std::move(devices);
    m_pairingCodes = std::move(codes);
    m_pairingTokens = std::move(pairingTokens);
    m_sessions = std::move(sessions);
    return true;
}

}  // namespace velurio::devplatform
