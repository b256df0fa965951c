// The account half of the session: signing in and out, registering this computer as a device
// of the account, closing a platform session left open by a previous run, the pairing code
// shown to the tablet, and the list of nearby tablets (the account's tablets from the
// platform, plus tablets announcing their presence on the local network).
//
// Owned by the session coordinator, which sequences these steps with the session's own
// (services, the peer) and republishes the state below.
//
// Persisted (QSettings, all text): "velurio.deviceId", "velurio.attestation",
// "velurio.userEmail", "velurio.userId". Tokens live in the secret store (AuthStore).
//
// Threads: main thread only. Every coroutine checks after each suspension that the flow still
// exists; the platform client and the settings must outlive the flow.
#pragma once

#include "app/session/presence_browser.h"
#include "app/shell/account_types.h"
#include "app/web/platform_client.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QSettings>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace velurio {

class AccountFlow : public QObject {
    Q_OBJECT
  public:
    static constexpr const char* kDeviceIdKey = "velurio.deviceId";
    static constexpr const char* kAttestationKey = "velurio.attestation";
    static constexpr const char* kUserEmailKey = "velurio.userEmail";
    static constexpr const char* kUserIdKey = "velurio.userId";
    static constexpr const char* kPresenceServiceType = "_velurio-presence._tcp";
    static constexpr const char* kAccountTxtKey = "acct";
    static constexpr qsizetype kAccountDigestLength = 12;
    static inline const QString kRegistrationFailedPrefix =
        QStringLiteral("Velurio: registro de dispositivo falhou: ");
    static inline const QString kRecoveryFailedLine =
        QStringLiteral("Velurio: não foi possível recuperar a sessão anterior deste Mac");

    using BrowserFactory = std::function<std::unique_ptr<PresenceBrowser>()>;
    using Clock = std::function<QDateTime()>;

    // `browserFactory` empty: the platform's browser. `clock` empty: the system clock (UTC).
    AccountFlow(PlatformClient& client, SecretStore& secrets, QSettings& defaults,
                BrowserFactory browserFactory = {}, Clock clock = {}, QObject* parent = nullptr);
    ~AccountFlow() override;

    // Published state.
    bool authenticated() const { return m_authenticated; }
    const std::optional<QString>& userEmail() const { return m_userEmail; }
    const std::optional<PairingState>& pairing() const { return m_pairing; }
    const QList<NearbyDevice>& nearbyDevices() const { return m_nearbyDevices; }
    const QString& accountSummary() const { return m_accountSummary; }

    bool recoveryCompleted() const { return m_recoveryCompleted; }
    const QDateTime& bootedAt() const { return m_bootedAt; }
    // The stored device id and attestation (nothing when unset).
    std::optional<QString> deviceId() const;
    std::optional<QString> attestation() const;
    bool browsing() const { return m_browser != nullptr; }

    // Start-up: reads the stored tokens (asynchronously) and the stored e-mail; authenticated
    // when both tokens are stored.
    QCoro::Task<void> loadStoredAccount();
    // The platform login; on success the e-mail and user id are stored and authenticated is
    // set. A failure is returned and changes nothing.
    QCoro::Task<PlatformStatus> signIn(QString email, QString password);
    // Forgets the tokens (client and store), the pairing code, the e-mail and the four stored
    // account entries.
    QCoro::Task<void> signOut();

    QCoro::Task<void> ensureDeviceRegistered();
    // Once per run: ends the platform sessions this computer left open before `bootedAt`.
    // The caller makes sure no tablet is connected.
    QCoro::Task<void> recoverPreviousSession();
    // Asks for a new pairing code; true when one was stored. Needs authentication and a device
    // id; a failure leaves the current code.
    QCoro::Task<bool> requestPairingCode();
    // Rebuilds nearbyDevices from the account's tablets (a failure counts as none) and the
    // summary from its device counts.
    QCoro::Task<void> refreshNearbyDevices();

    // Starts the presence browser once.
    void startPresenceBrowser();
    // Adds the browser's results not listed yet (never removes any).
    void mergeBonjourResults(const std::vector<PresenceResult>& results);

    // The first 12 characters of the lower-case hexadecimal SHA-256 of the user id: what
    // tablets of the same account put under "acct".
    static QString accountDigest(const QString& userId);
    // The short summary text for the counts of computers and tablets.
    static QString summaryText(int computers, int tablets);

  Q_SIGNALS:
    void authenticatedChanged(bool authenticated);
    void userEmailChanged(const std::optional<QString>& email);
    void pairingChanged(const std::optional<PairingState>& pairing);
    void nearbyDevicesChanged(const QList<NearbyDevice>& devices);
    void accountSummaryChanged(const QString& summary);

  private:
    void setAuthenticated(bool value);
    void setUserEmail(std::optional<QString> email);
    void setPairing(std::optional<PairingState> pairing);
    void setNearbyDevices(QList<NearbyDevice> devices);
    std::optional<QString> storedText(const char* key) const;
    QDateTime now() const { return m_clock(); }

    PlatformClient& m_client;
    SecretStore& m_secrets;
    QSettings& m_defaults;
    BrowserFactory m_browserFactory;
    Clock m_clock;
    std::unique_ptr<PresenceBrowser> m_browser;

    bool m_authenticated = false;
    std::optional<QString> m_userEmail;
    std::optional<PairingState> m_pairing;
    QList<NearbyDevice> m_nearbyDevices;
    QString m_accountSummary;
    bool m_recoveryCompleted = false;
    QDateTime m_bootedAt;
};

}  // namespace velurio
