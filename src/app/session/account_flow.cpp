#include "app/session/account_flow.h"

#include "app/identity/device_identity.h"

#include <QCryptographicHash>
#include <QLoggingCategory>
#include <QPointer>

namespace velurio {

namespace {

Q_LOGGING_CATEGORY(lcAccount, "velurio.session.account")

}  // namespace

AccountFlow::AccountFlow(PlatformClient& client, SecretStore& secrets, QSettings& defaults,
                         BrowserFactory browserFactory, Clock clock, QObject* parent)
    : QObject(parent),
      m_client(client),
      m_secrets(secrets),
      m_defaults(defaults),
      m_browserFactory(browserFactory ? std::move(browserFactory)
                                      : BrowserFactory(&makePlatformPresenceBrowser)),
      m_clock(clock ? std::move(clock) : Clock([] { return QDateTime::currentDateTimeUtc(); })),
      m_bootedAt(m_clock()) {}

AccountFlow::~AccountFlow() = default;

std::optional<QString> AccountFlow::storedText(const char* key) const {
    const QVariant value = m_defaults.value(QLatin1String(key));
    if (!value.isValid())
        return std::nullopt;
    return value.toString();
}

std::optional<QString> AccountFlow::deviceId() const {
    return storedText(kDeviceIdKey);
}

std::optional<QString> AccountFlow::attestation() const {
    return storedText(kAttestationKey);
}

void AccountFlow::setAuthenticated(bool value) {
    if (m_authenticated == value)
        return;
    m_authenticated = value;
    Q_EMIT authenticatedChanged(value);
}

void AccountFlow::setUserEmail(std::optional<QString> email) {
    if (m_userEmail == email)
        return;
    m_userEmail = std::move(email);
    Q_EMIT userEmailChanged(m_userEmail);
}

void AccountFlow::setPairing(std::optional<PairingState> pairing) {
    if (m_pairing == pairing)
        return;
    m_pairing = std::move(pairing);
    Q_EMIT pairingChanged(m_pairing);
}

void AccountFlow::setNearbyDevices(QList<NearbyDevice> devices) {
    if (m_nearbyDevices == devices)
        return;
    m_nearbyDevices = std::move(devices);
    Q_EMIT nearbyDevicesChanged(m_nearbyDevices);
}

QCoro::Task<void> AccountFlow::loadStoredAccount() {
    QPointer<AccountFlow> self(this);
    co_await m_client.loadStoredTokens();
    if (!self)
        co_return;
    setAuthenticated(m_client.isSignedIn());
    setUserEmail(storedText(kUserEmailKey));
}

QCoro::Task<PlatformStatus> AccountFlow::signIn(QString email, QString password) {
    QPointer<AccountFlow> self(this);
    // Calls are made apart from their co_await (g++ 12 mishandles temporaries inside one).
    auto login = m_client.login(std::move(email), std::move(password));
    auto session = co_await login;
    if (!self)
        co_return PlatformStatus{};
    if (!session.ok())
        co_return fail(session.error());
    m_defaults.setValue(QLatin1String(kUserEmailKey), session->email);
    m_defaults.setValue(QLatin1String(kUserIdKey), session->userId);
    m_defaults.sync();
    setUserEmail(session->email);
    setAuthenticated(true);
    co_return PlatformStatus{};
}

QCoro::Task<void> AccountFlow::signOut() {
    QPointer<AccountFlow> self(this);
    co_await m_client.signOut();  // clears the store and forgets the tokens and the user
    if (!self)
        co_return;
    co_await AuthStore::clear(m_secrets);
    if (!self)
        co_return;
    setPairing(std::nullopt);
    setAuthenticated(false);
    setUserEmail(std::nullopt);
    for (const char* key : {kUserEmailKey, kUserIdKey, kDeviceIdKey, kAttestationKey}) {
        m_defaults.remove(QLatin1String(key));
    }
    m_defaults.sync();
}

QCoro::Task<void> AccountFlow::ensureDeviceRegistered() {
    const std::optional<QString> stored = attestation();
    if (deviceId() && stored && !stored->isEmpty())
        co_return;
    QPointer<AccountFlow> self(this);
    auto key = co_await DeviceIdentity::signingKey(m_secrets);
    if (!self)
        co_return;
    if (!key.ok()) {
        qCWarning(lcAccount).noquote() << kRegistrationFailedPrefix + key.error().message;
        co_return;
    }
    auto request = m_client.registerDevice(DeviceIdentity::publicKeyBase64(key.value()));
    auto registration = co_await request;
    if (!self)
        co_return;
    if (!registration.ok()) {
        qCWarning(lcAccount).noquote()
            << kRegistrationFailedPrefix + registration.error().localizedDescription();
        co_return;
    }
    m_defaults.setValue(QLatin1String(kDeviceIdKey), registration->deviceId);
    m_defaults.setValue(QLatin1String(kAttestationKey), registration->attestation);
    m_defaults.sync();
}

QCoro::Task<void> AccountFlow::recoverPreviousSession() {
    const std::optional<QString> id = deviceId();
    if (m_recoveryCompleted || !id)
        co_return;
    QPointer<AccountFlow> self(this);
    auto recovery = m_client.recoverSessionsAfterRestart(*id, m_bootedAt);
    const PlatformStatus status = co_await recovery;
    if (!self)
        co_return;
    if (status.ok()) {
        m_recoveryCompleted = true;
    } else {
        qCWarning(lcAccount).noquote() << kRecoveryFailedLine;
    }
}

QCoro::Task<bool> AccountFlow::requestPairingCode() {
    const std::optional<QString> id = deviceId();
    if (!m_authenticated || !id)
        co_return false;
    QPointer<AccountFlow> self(this);
    auto request = m_client.createPairingCode(*id);
    auto code = co_await request;
    if (!self || !code.ok())
        co_return false;
    setPairing(PairingState{code->code, code->expiresAt});
    co_return true;
}

QCoro::Task<void> AccountFlow::refreshNearbyDevices() {
    if (!m_authenticated)
        co_return;
    QPointer<AccountFlow> self(this);
    auto listed = co_await m_client.listDevices();
    if (!self)
        co_return;
    const std::vector<PlatformClient::AccountDevice> devices =
        listed.ok() ? std::move(listed).value() : std::vector<PlatformClient::AccountDevice>{};
    int computers = 0;
    QList<NearbyDevice> tablets;
    for (const PlatformClient::AccountDevice& device : devices) {
        if (device.type == QLatin1String("mac")) {
            ++computers;
        } else if (device.type == QLatin1String("ipad")) {
            tablets.append(NearbyDevice{device.id, device.name, true, device.online});
        }
    }
    const QString summary = summaryText(computers, static_cast<int>(tablets.size()));
    if (summary != m_accountSummary) {
        m_accountSummary = summary;
        Q_EMIT accountSummaryChanged(summary);
    }
    setNearbyDevices(std::move(tablets));
}

void AccountFlow::startPresenceBrowser() {
    if (m_browser)
        return;
    m_browser = m_browserFactory();
    if (!m_browser)
        return;
    m_browser->onResultsChanged = [this](const std::vector<PresenceResult>& results) {
        mergeBonjourResults(results);
    };
    if (!m_browser->browse(kPresenceServiceType))
        qCInfo(lcAccount) << "nearby tablets on the local network cannot be found (no DNS-SD)";
}

void AccountFlow::mergeBonjourResults(const std::vector<PresenceResult>& results) {
    const std::optional<QString> userId = storedText(kUserIdKey);
    const std::optional<QByteArray> digest =
        userId ? std::optional(accountDigest(*userId).toLatin1()) : std::nullopt;
    QList<NearbyDevice> devices = m_nearbyDevices;
    for (const PresenceResult& result : results) {
        const bool listed = std::any_of(devices.begin(), devices.end(),
                                        [&](const NearbyDevice& d) { return d.id == result.name; });
        if (listed)
            continue;
        const std::optional<QByteArray> account = result.txtValue(kAccountTxtKey);
        const bool sameAccount = digest && account && *account == *digest;
        devices.append(NearbyDevice{result.name, result.name, sameAccount, true});
    }
    setNearbyDevices(std::move(devices));
}

QString AccountFlow::accountDigest(const QString& userId) {
    const QByteArray hex =
        QCryptographicHash::hash(userId.toUtf8(), QCryptographicHash::Sha256).toHex();
    return QString::fromLatin1(hex.left(kAccountDigestLength));
}

QString AccountFlow::summaryText(int computers, int tablets) {
    return QStringLiteral("%1 Mac · %2 iPad").arg(computers).arg(tablets);
}

}  // namespace velurio
