// The client of the web platform's REST API: login and token refresh, device registration and
// list, pairing codes, pairing-token validation, and platform sessions.
//
// Thread: the Qt main thread only. Every operation is a coroutine; its state (tokens, current
// user) is only touched between awaits, so operations interleave only while one waits on the
// network or the secret store, and a stalled call never holds back another. Token refreshes
// run one at a time, each with the tokens current when it starts (so a rotated refresh token
// is never sent twice by this client).
//
// Every request carries "Content-Type: application/json"; authorised ones carry the bearer
// token and are retried once after a refresh when answered 401. Each request is bounded by a
// total timeout (60 s) and a transfer timeout (15 s without progress).
//
// Lifetime: the client must outlive its running operations. Nothing it logs contains a token,
// a password or a request or response body.
#pragma once

#include "app/identity/auth_store.h"
#include "app/web/platform_error.h"
#include "app/web/session_summary_payload.h"

#include <QByteArray>
#include <QCoroTask>
#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QProcessEnvironment>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <optional>
#include <vector>

class QNetworkAccessManager;
class QSettings;

namespace velurio {

class SecretStore;

class PlatformClient final : public QObject {
    Q_OBJECT
  public:
    using Tokens = AuthStore::Tokens;
    using APIError = velurio::APIError;

    struct Session {
        QString userId;
        QString email;
        QString name;
        friend bool operator==(const Session&, const Session&) = default;
    };
    struct AccountDevice {
        QString id;
        QString name;
        QString type;
        bool online = false;
        friend bool operator==(const AccountDevice&, const AccountDevice&) = default;
    };
    struct PairingCodeInfo {
        QString code;
        QDateTime expiresAt;
        friend bool operator==(const PairingCodeInfo&, const PairingCodeInfo&) = default;
    };
    struct PairingSessionInfo {
        QString sessionId;
        QString token;
        std::optional<QDateTime> expiresAt;
        friend bool operator==(const PairingSessionInfo&, const PairingSessionInfo&) = default;
    };
    struct DeviceRegistration {
        QString deviceId;
        QString attestation;
    };
    struct Timeouts {
        std::chrono::milliseconds request{60'000};   // the whole exchange
        std::chrono::milliseconds transfer{15'000};  // without any progress
    };
    using Clock = std::function<QDateTime()>;

    // The settings key (and environment variable) that points the client at another server.
    static constexpr const char* kBaseURLKey = "VELURIO_API_URL";

    // The environment variable VELURIO_API_URL when it holds an absolute http(s) URL, else the
    // setting of that name when it does, else the compiled-in platform URL.
    static QUrl defaultBaseURL();
    static QUrl defaultBaseURL(const QSettings& settings, const QProcessEnvironment& environment);
    static QUrl compiledBaseURL();

    // `store` keeps the tokens across launches and must outlive the client. Starts signed out;
    // call loadStoredTokens() to pick up a previous login.
    PlatformClient(QUrl baseURL, SecretStore& store, QObject* parent = nullptr);
    PlatformClient(QUrl baseURL, SecretStore& store, Timeouts timeouts, QObject* parent = nullptr);
    ~PlatformClient() override;

    // Reads both tokens from the store; signed in only when both exist.
    QCoro::Task<void> loadStoredTokens();

    const QUrl& baseURL() const noexcept { return m_baseURL; }
    bool isSignedIn() const noexcept { return m_tokens.has_value(); }
    const std::optional<Tokens>& tokens() const noexcept { return m_tokens; }
    const std::optional<Session>& currentUser() const noexcept { return m_currentUser; }

    // For tests: where "now" comes from (pairing-code expiry without a date).
    void setClock(Clock clock) { m_clock = std::move(clock); }
    // The largest answer accepted (default 4 MiB); a larger one fails as a transport error.
    void setMaxResponseBytes(qint64 bytes) { m_maxResponseBytes = bytes; }
    // The device name sent at registration; defaults to the machine's host name.
    void setDeviceName(QString name) { m_deviceName = std::move(name); }

    // POST /api/auth/native/login. Stores the tokens (memory and store) and sets currentUser.
    QCoro::Task<PlatformResult<Session>> login(QString email, QString password);
    // Forgets the tokens and the user and clears the store; sends nothing.
    QCoro::Task<void> signOut();

    QCoro::Task<PlatformResult<DeviceRegistration>> registerDevice(QString publicKeyBase64);
    // Never a decoding error: an answer of another shape is an empty list.
    QCoro::Task<PlatformResult<std::vector<AccountDevice>>> listDevices();
    QCoro::Task<PlatformResult<PairingCodeInfo>> createPairingCode(QString deviceId);
    // Nothing when the platform does not vouch for the token (empty or unusable answer).
    QCoro::Task<PlatformResult<std::optional<PairingSessionInfo>>> validatePairingToken(
        QString token);
    // The platform session id, when the answer names one.
    QCoro::Task<PlatformResult<std::optional<QString>>> startSession(
        std::optional<QString> pairingToken, std::optional<QString> macDeviceId,
        QString ipadDeviceId, QString transport);
    // An absent or empty id sends nothing (there is no platform session to end); "." and ".."
    // are refused with invalidArgument and nothing is sent.
    QCoro::Task<PlatformStatus> endSession(std::optional<QString> id,
                                           SessionSummaryPayload summary);
    // Ends every open session of this Mac that started before `bootedAt`; the first failing
    // request ends the operation.
    QCoro::Task<PlatformStatus> recoverSessionsAfterRestart(QString macDeviceId,
                                                            QDateTime bootedAt);

    // The JSON body of a session end: rounded (halves away from zero) and floored at 0.
    static QJsonObject endSessionBody(const SessionSummaryPayload& summary);
    // "/api/sessions/<id>/end" with the id as one percent-encoded segment; nothing for "." and
    // ".." (an empty id must be handled before).
    static std::optional<QString> sessionEndPath(const QString& id);

  Q_SIGNALS:
    // Internal: a token refresh finished (waiting refreshes start then).
    void refreshSettled();

  private:
    QCoro::Task<PlatformResult<QByteArray>> request(QString path, QByteArray method,
                                                    std::optional<QJsonObject> body,
                                                    bool authorized, bool retryOn401);
    QCoro::Task<PlatformResult<QByteArray>> get(QString path);
    QCoro::Task<PlatformResult<QByteArray>> post(QString path, QJsonObject body, bool authorized);
    QCoro::Task<PlatformStatus> refreshTokens();
    QCoro::Task<void> storeTokens(Tokens tokens);
    QUrl urlFor(const QString& path) const;
    QDateTime now() const;

    QUrl m_baseURL;
    SecretStore& m_store;
    Timeouts m_timeouts;
    QNetworkAccessManager* m_network;
    std::optional<Tokens> m_tokens;
    std::optional<Session> m_currentUser;
    Clock m_clock;
    QString m_deviceName;
    qint64 m_maxResponseBytes = 4 * 1024 * 1024;
    bool m_refreshing = false;
    // Bumped by login and sign-out, so that a refresh (or a store read) finishing after either
    // does not overwrite what they decided.
    quint64 m_tokenGeneration = 0;
};

}  // namespace velurio
