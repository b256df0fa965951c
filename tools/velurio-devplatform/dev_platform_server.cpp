#include "dev_platform_server.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QPointer>
#include <QSaveFile>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <cstdio>

namespace velurio::devplatform {
namespace {

// The request record is for tests and debugging; a long-running platform keeps the newest.
constexpr qsizetype kMaxRecordedRequests = 1000;

QByteArray methodName(QHttpServerRequest::Method method) {
    switch (method) {
        case QHttpServerRequest::Method::Get:
            return "GET";
        case QHttpServerRequest::Method::Put:
            return "PUT";
        case QHttpServerRequest::Method::Delete:
            return "DELETE";
        case QHttpServerRequest::Method::Post:
            return "POST";
        case QHttpServerRequest::Method::Head:
            return "HEAD";
        case QHttpServerRequest::Method::Options:
            return "OPTIONS";
        case QHttpServerRequest::Method::Patch:
            return "PATCH";
        case QHttpServerRequest::Method::Connect:
            return "CONNECT";
        case QHttpServerRequest::Method::Trace:
            return "TRACE";
        default:
            return "UNKNOWN";
    }
}

bool pathMatches(const QString& pattern, const QString& path) {
    const QStringList want = pattern.split(QLatin1Char('/'));
    const QStringList got = path.split(QLatin1Char('/'));
    if (want.size() != got.size()) {
        return false;
    }
    for (qsizetype i = 0; i < want.size(); ++i) {
        if (want[i] != QLatin1String("*") && want[i] != got[i]) {
            return false;
        }
    }
    return true;
}

void logLine(const QByteArray& method, const QString& path, int status, const char* note) {
    // Method, path and status only: headers and bodies carry tokens and passwords.
    std::fprintf(stderr, "velurio-devplatform: %s %s -> %d%s\n", method.constData(),
                 qPrintable(path), status, note);
    std::fflush(stderr);
}

void send(QHttpServerResponder& responder, const Reply& reply) {
    responder.write(reply.body, {{QByteArrayLiteral("Content-Type"), reply.contentType}},
                    static_cast<QHttpServerResponder::StatusCode>(reply.status));
}

// "[METHOD ]PATH" split into its parts.
std::pair<QByteArray, QString> splitMethod(const QString& text) {
    const qsizetype space = text.indexOf(QLatin1Char(' '));
    if (space > 0 && !text.startsWith(QLatin1Char('/'))) {
        return {text.left(space).toUpper().toLatin1(), text.mid(space + 1).trimmed()};
    }
    return {{}, text.trimmed()};
}

}  // namespace

std::optional<FaultRule> FaultRule::fromJSON(const QJsonObject& object, QString* error) {
    FaultRule rule;
    rule.method = object.value(QStringLiteral("method")).toString().toUpper().toLatin1();
    rule.path = object.value(QStringLiteral("path")).toString();
    if (!rule.path.startsWith(QLatin1Char('/'))) {
        *error = QStringLiteral("a fault rule needs a \"path\" starting with /");
        return std::nullopt;
    }
    if (object.contains(QStringLiteral("status"))) {
        const int status = object.value(QStringLiteral("status")).toInt(-1);
        if (status < 100 || status > 599) {
            *error = QStringLiteral("\"status\" must be 100 to 599");
            return std::nullopt;
        }
        rule.status = status;
    }
    if (object.contains(QStringLiteral("body"))) {
        const QJsonValue body = object.value(QStringLiteral("body"));
        rule.bodyGiven = true;
        if (body.isString()) {
            rule.body = body.toString().toUtf8();
        } else if (body.isObject()) {
            rule.body = QJsonDocument(body.toObject()).toJson(QJsonDocument::Compact);
        } else if (body.isArray()) {
            rule.body = QJsonDocument(body.toArray()).toJson(QJsonDocument::Compact);
        } else {
            *error = QStringLiteral("\"body\" must be a text, an object or an array");
            return std::nullopt;
        }
    }
    if (object.contains(QStringLiteral("contentType"))) {
        rule.contentType = object.value(QStringLiteral("contentType")).toString().toLatin1();
    }
    rule.delayMs = std::max(0, object.value(QStringLiteral("delayMs")).toInt(0));
    rule.hang = object.value(QStringLiteral("hang")).toBool(false);
    rule.remaining = object.value(QStringLiteral("times")).toInt(-1);
    if (rule.remaining == 0 || rule.remaining < -1) {
        *error = QStringLiteral("\"times\" must be positive (or absent for every request)");
        return std::nullopt;
    }
    if (!rule.status && !rule.hang && rule.delayMs == 0) {
        *error = QStringLiteral("a fault rule needs \"status\", \"delayMs\" or \"hang\"");
        return std::nullopt;
    }
    return rule;
}

std::optional<FaultRule> FaultRule::fromOption(OptionKind kind, const QString& text,
                                               QString* error) {
    FaultRule rule;
    QString target = text;
    QString value;
    if (kind == OptionKind::fail || kind == OptionKind::delay) {
        const qsizetype equals = text.lastIndexOf(QLatin1Char('='));
        if (equals < 0) {
            *error = QStringLiteral("expected PATH=NUMBER: ") + text;
            return std::nullopt;
        }
        target = text.left(equals);
        value = text.mid(equals + 1);
    }
    std::tie(rule.method, rule.path) = splitMethod(target);
    if (!rule.path.startsWith(QLatin1Char('/'))) {
        *error = QStringLiteral("the path must start with /: ") + text;
        return std::nullopt;
    }
    bool ok = true;
    switch (kind) {
        case OptionKind::fail:
            rule.status = value.toInt(&ok);
            ok = ok && *rule.status >= 100 && *rule.status <= 599;
            break;
        case OptionKind::delay:
            rule.delayMs = value.toInt(&ok);
            ok = ok && rule.delayMs >= 0;
            break;
        case OptionKind::hang:
            rule.hang = true;
            break;
        case OptionKind::unauthorizedOnce:
            rule.status = 401;
            rule.remaining = 1;
            break;
    }
    if (!ok) {
        *error = QStringLiteral("not a valid number: ") + text;
        return std::nullopt;
    }
    return rule;
}

DevPlatformServer::DevPlatformServer(DevPlatform& platform, QString pathPrefix, QString statePath,
                                     QObject* parent)
    : QObject(parent),
      m_platform(platform),
      m_prefix(std::move(pathPrefix)),
      m_statePath(std::move(statePath)) {
    while (m_prefix.endsWith(QLatin1Char('/'))) {
        m_prefix.chop(1);
    }
    m_http.setMissingHandler(
        [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
            handle(request, std::move(responder));
        });
}

DevPlatformServer::~DevPlatformServer() = default;

std::optional<quint16> DevPlatformServer::listen(const QHostAddress& address, quint16 port) {
    const quint16 bound = m_http.listen(address, port);
    if (bound == 0) {
        return std::nullopt;
    }
    return bound;
}

void DevPlatformServer::saveIfDirty() {
    if (m_statePath.isEmpty() || !m_platform.takeDirty()) {
        return;
    }
    QSaveFile file(m_statePath);
    if (!file.open(QIODevice::WriteOnly)) {
        std::fprintf(stderr, "velurio-devplatform: cannot write the state file %s\n",
                     qPrintable(m_statePath));
        return;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(QJsonDocument(m_platform.saveState()).toJson(QJsonDocument::Indented));
    if (!file.commit()) {
        std::fprintf(stderr, "velurio-devplatform: cannot write the state file %s\n",
                     qPrintable(m_statePath));
    }
}

Reply DevPlatformServer::control(const QByteArray& method, const QString& path,
                                 const QByteArray& body) {
    QJsonObject object;
    if (!body.trimmed().isEmpty()) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(body, &error);
        if (error.error != QJsonParseError::NoError || !document.isObject()) {
            return errorReply(400, QStringLiteral("invalid_request"),
                              QStringLiteral("not a JSON object"));
        }
        object = document.object();
    }
    if (method == "GET" && path == QLatin1String("/__dev/requests")) {
        return jsonReply(QJsonObject{{QStringLiteral("requests"), m_requests}});
    }
    if (method == "GET" && path == QLatin1String("/__dev/pairing-codes")) {
        return jsonReply(QJsonObject{{QStringLiteral("codes"), m_platform.livePairingCodes()}});
    }
    if (method == "GET" && path == QLatin1String("/__dev/state")) {
        return jsonReply(m_platform.saveState());
    }
    if (method == "POST" && path == QLatin1String("/__dev/reset")) {
        m_faults.clear();
        m_requests = QJsonArray();
        m_hung.clear();
        return jsonReply({});
    }
    if (method == "POST" && path == QLatin1String("/__dev/faults")) {
        QString error;
        auto rule = FaultRule::fromJSON(object, &error);
        if (!rule) {
            return errorReply(400, QStringLiteral("invalid_request"), error);
        }
        m_faults.push_back(std::move(*rule));
        return jsonReply({});
    }
    if (method == "POST" && path == QLatin1String("/__dev/clock")) {
        m_platform.advanceClock(
            std::chrono::seconds(object.value(QStringLiteral("advanceSeconds")).toInteger(0)));
        return jsonReply(
            QJsonObject{{QStringLiteral("now"), m_platform.now().toString(Qt::ISODateWithMs)}});
    }
    if (method == "POST" && path == QLatin1String("/__dev/expire-access-tokens")) {
        m_platform.expireAccessTokens();
        return jsonReply({});
    }
    return errorReply(404, QStringLiteral("not_found"), QStringLiteral("unknown control endpoint"));
}

void DevPlatformServer::handle(const QHttpServerRequest& request,
                               QHttpServerResponder&& responder) {
    const QByteArray method = methodName(request.method());
    const QString fullPath = request.url().path(QUrl::FullyEncoded);

    if (fullPath.startsWith(QLatin1String("/__dev/"))) {
        // The control endpoints read out bodies (passwords, tokens): never to another machine.
        const Reply reply = request.remoteAddress().isLoopback()
                                ? control(method, fullPath, request.body())
                                : errorReply(403, QStringLiteral("forbidden"),
                                             QStringLiteral("control endpoints are local only"));
        send(responder, reply);
        return;
    }

    const QByteArray authorization = request.value(QByteArrayLiteral("Authorization"));
    QString bearer;
    if (authorization.startsWith("Bearer ")) {
        bearer = QString::fromUtf8(authorization.mid(7));
    }
    if (m_requests.size() >= kMaxRecordedRequests) {
        m_requests.removeFirst();
    }
    m_requests.append(
        QJsonObject{{QStringLiteral("method"), QString::fromLatin1(method)},
                    {QStringLiteral("path"), fullPath},
                    {QStringLiteral("contentType"),
                     QString::fromLatin1(request.value(QByteArrayLiteral("Content-Type")))},
                    {QStringLiteral("authorization"),
                     authorization.isEmpty()
                         ? QStringLiteral("none")
                         : (bearer.isEmpty() ? QStringLiteral("other") : QStringLiteral("bearer"))},
                    {QStringLiteral("body"), QString::fromUtf8(request.body())}});

    std::optional<Reply> reply;
    QString path = fullPath;
    if (!m_prefix.isEmpty()) {
        if (path.startsWith(m_prefix + QLatin1Char('/'))) {
            path = path.mid(m_prefix.size());
        } else {
            reply = errorReply(404, QStringLiteral("not_found"),
                               QStringLiteral("Recurso não encontrado."));
        }
    }

    // The first live rule that matches decides.
    const FaultRule* fault = nullptr;
    for (FaultRule& rule : m_faults) {
        if (rule.remaining != 0 && (rule.method.isEmpty() || rule.method == method) &&
            pathMatches(rule.path, path)) {
            if (rule.remaining > 0) {
                --rule.remaining;
            }
            fault = &rule;
            break;
        }
    }
    if (fault != nullptr && fault->hang) {
        logLine(method, fullPath, 0, " (injected: no answer)");
        m_hung.push_back(std::make_shared<QHttpServerResponder>(std::move(responder)));
        return;
    }
    const int delayMs = fault != nullptr ? fault->delayMs : 0;
    if (!reply && fault != nullptr && fault->status) {
        Reply canned{*fault->status, fault->body, fault->contentType};
        if (!fault->bodyGiven && *fault->status >= 400) {
            canned = *fault->status == 401
                         ? errorReply(401, QStringLiteral("unauthorized"),
                                      QStringLiteral("Sessão expirada. Entre novamente."))
                         : errorReply(*fault->status, QStringLiteral("injected_failure"),
                                      QStringLiteral("Falha injetada (%1).").arg(*fault->status));
        }
        reply = canned;
    }
    const bool injected = reply.has_value() && fault != nullptr;
    if (!reply) {
        QStringList segments;
        for (const QString& segment : path.mid(1).split(QLatin1Char('/'))) {
            segments.append(QUrl::fromPercentEncoding(segment.toUtf8()));
        }
        reply = m_platform.handle(method, segments, bearer, request.body());
        saveIfDirty();
    }
    if (delayMs <= 0) {
        logLine(method, fullPath, reply->status, injected ? " (injected)" : "");
        send(responder, *reply);
        return;
    }
    auto held = std::make_shared<QHttpServerResponder>(std::move(responder));
    QPointer<QTcpSocket> socket = held->socket();
    QTimer::singleShot(
        delayMs, this, [held, socket, method, fullPath, answer = *reply, injected]() {
            if (socket.isNull() || socket->state() != QAbstractSocket::ConnectedState) {
                logLine(method, fullPath, answer.status, " (delayed; the client had gone)");
                return;
            }
            logLine(method, fullPath, answer.status,
                    injected ? " (injected, delayed)" : " (delayed)");
            send(*held, answer);
        });
}

}  // namespace velurio::devplatform
