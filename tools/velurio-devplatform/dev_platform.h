// The local development platform's accounts, tokens, devices, pairing and sessions, and the
// REST operations on them. No I/O besides the optional state file: the HTTP front end
// (DevPlatformServer) turns requests into calls of `handle` and its answers into responses.
//
// Everything runs on the thread that owns the object. Tokens are random opaque texts; the only
// signed artefact is the device attestation, an ES256 token signed with the platform key.
#pragma once

#include "core/p256_keys.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <chrono>
#include <map>
#include <optional>
#include <vector>

namespace velurio::devplatform {

struct Account {
    QString id;
    QString email;
    QString password;
    QString name;
};

struct Reply {
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/json";
};

struct Options {
    std::chrono::seconds accessTokenLifetime{3600};
    std::chrono::seconds pairingCodeLifetime{300};
    std::chrono::seconds pairingTokenLifetime{600};
    std::chrono::seconds attestationLifetime{30 * 24 * 3600};
    // A device counts as online when it was seen (registered, asked for a pairing code or
    // redeemed one) this recently.
    std::chrono::seconds onlineWindow{120};
};

class DevPlatform {
  public:
    DevPlatform(P256PrivateKey key, Options options);

    // Adds an account; an empty id gets a generated one. A second account with the same e-mail
    // replaces the first's password and name.
    void addAccount(Account account);
    const std::vector<Account>& accounts() const noexcept { return m_accounts; }

    // `segments`: the percent-decoded path segments after the optional prefix, e.g.
    // {"api", "sessions", "a/b", "end"}; `bearer`: the token of an "Authorization: Bearer"
    // header, empty when there is none. Never throws; bad input gets an error envelope.
    Reply handle(const QByteArray& method, const QStringList& segments, const QString& bearer,
                 const QByteArray& body);

    // Test controls: move the platform's clock, invalidate every access token (so the next
    // authorised call needs a refresh).
    void advanceClock(std::chrono::seconds by) { m_clockOffset += by; }
    void expireAccessTokens();
    QDateTime now() const;
    // The pairing codes that can still be redeemed, as a simulated tablet's user would read
    // them off a host's screen: [{"code","macDeviceId","createdAt","expiresAt"}].
    QJsonArray livePairingCodes() const;

    // Everything, as JSON (tokens included: this is a development tool's state file).
    QJsonObject saveState() const;
    // Replaces the state with a saved one; false (state unchanged) when it is not one.
    bool loadState(const QJsonObject& state);
    // True after a request changed something worth saving; reading it clears it.
    bool takeDirty();

    const P256PrivateKey& key() const noexcept { return m_key; }

  private:
    struct Device {
        QString id;
        QString userId;
        QString name;
        QString type;
        QString pubkey;
        QDateTime lastSeen;
    };
    struct AccessGrant {
        QString userId;
        QDateTime expiresAt;
    };
    struct PairingCode {
        QString code;
        QString userId;
        QString macDeviceId;
        QDateTime expiresAt;
    };
    struct PairingToken {
        QString sessionId;
        QString userId;
        QString macDeviceId;
        QString ipadDeviceId;
        QDateTime expiresAt;
    };
    struct PlatformSession {
        QString id;
        QString userId;
        QString macDeviceId;
        QString ipadDeviceId;
        QString transport;
        QDateTime startedAt;
        std::optional<QDateTime> endedAt;
        QJsonObject summary;
    };

    Reply login(const QJsonObject& body);
    Reply refresh(const QJsonObject& body);
    Reply registerDevice(const QString& userId, const QJsonObject& body);
    Reply listDevices(const QString& userId);
    Reply createPairingCode(const QString& userId, const QJsonObject& body);
    Reply redeemPairingCode(const QString& userId, const QJsonObject& body);
    Reply validatePairingToken(const QString& userId, const QJsonObject& body);
    Reply startSession(const QString& userId, const QJsonObject& body);
    Reply endSession(const QString& userId, const QString& sessionId, const QJsonObject& body);
    Reply listSessions(const QString& userId);

    QJsonObject issueTokens(const QString& userId);
    std::optional<QString> userForAccessToken(const QString& token) const;
    Device* device(const QString& userId, const QString& deviceId);
    QString newId(const char* prefix);
    QString isoDate(const QDateTime& date) const;

    P256PrivateKey m_key;
    Options m_options;
    std::chrono::seconds m_clockOffset{0};
    std::vector<Account> m_accounts;
    std::map<QString, AccessGrant> m_accessTokens;
    std::map<QString, QString> m_refreshTokens;  // token -> user id
    std::vector<Device> m_devices;
    std::map<QString, PairingCode> m_pairingCodes;    // code -> entry
    std::map<QString, PairingToken> m_pairingTokens;  // token -> entry
    std::vector<PlatformSession> m_sessions;
    quint64 m_nextId = 1;
    bool m_dirty = false;
};

// The error envelope every failure carries: {"error": {"code": ..., "message": ...}}.
Reply errorReply(int status, const QString& code, const QString& message);
Reply jsonReply(const QJsonObject& object, int status = 200);

// A random opaque token: `prefix` followed by 32 random bytes in base64url.
QString randomToken(const char* prefix);

}  // namespace velurio::devplatform
