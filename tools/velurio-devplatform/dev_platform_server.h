// The HTTP front end of the development platform: routes requests to DevPlatform, records them,
// injects faults, and serves the control endpoints under "/__dev/".
//
// Fault rules are how tests exercise a client's error handling against this one server: a rule
// matches a method (optional) and a path ("*" stands for one segment) and can answer with a
// canned status and body, delay the real answer, or never answer at all, for a number of
// matching requests or for ever.
//
// Log lines name the method, the path and the status only: never a header or a body, so no
// token, password or attestation reaches the log.
#pragma once

#include "dev_platform.h"

#include <QHostAddress>
#include <QHttpServer>
#include <QJsonArray>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

class QHttpServerRequest;
class QHttpServerResponder;

namespace velurio::devplatform {

struct FaultRule {
    QByteArray method;          // empty: any method
    QString path;               // as sent, after the prefix; "*" matches one segment
    std::optional<int> status;  // canned answer instead of the real one
    QByteArray body;  // canned body (with `status`); empty for a 4xx/5xx means an envelope
    bool bodyGiven = false;
    QByteArray contentType = "application/json";
    int delayMs = 0;     // wait this long before answering
    bool hang = false;   // never answer; the connection stays open
    int remaining = -1;  // matching requests still affected; -1: all of them

    // {"method", "path", "status", "body" (text: sent as is; other JSON: serialised),
    //  "contentType", "delayMs", "hang", "times"}; nothing on a malformed rule.
    static std::optional<FaultRule> fromJSON(const QJsonObject& object, QString* error);
    // Command-line forms: "[METHOD ]PATH=STATUS" (fail), "[METHOD ]PATH=MS" (delay),
    // "[METHOD ]PATH" (hang, unauthorized-once).
    enum class OptionKind { fail, delay, hang, unauthorizedOnce };
    static std::optional<FaultRule> fromOption(OptionKind kind, const QString& text,
                                               QString* error);
};

class DevPlatformServer final : public QObject {
    Q_OBJECT
  public:
    // `pathPrefix`: a path every API path is under ("" or e.g. "/v1"). `statePath`: where the
    // state is saved after each change ("" for none).
    DevPlatformServer(DevPlatform& platform, QString pathPrefix, QString statePath,
                      QObject* parent = nullptr);
    ~DevPlatformServer() override;

    // Binds; returns the port actually bound (useful with port 0), or nothing.
    std::optional<quint16> listen(const QHostAddress& address, quint16 port);

    void addFault(FaultRule rule) { m_faults.push_back(std::move(rule)); }

  private:
    void handle(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    Reply control(const QByteArray& method, const QString& path, const QByteArray& body);
    void saveIfDirty();

    DevPlatform& m_platform;
    QString m_prefix;
    QString m_statePath;
    QHttpServer m_http;
    std::vector<FaultRule> m_faults;
    std::vector<std::shared_ptr<QHttpServerResponder>> m_hung;
    QJsonArray m_requests;
};

}  // namespace velurio::devplatform
