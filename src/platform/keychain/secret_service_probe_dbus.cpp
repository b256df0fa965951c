#include "platform/keychain/keychain_log.h"
#include "platform/keychain/secret_store.h"

#include <QCoroDBusPendingCall>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QStringList>

namespace velurio {

namespace {

const QString kSecretService = QStringLiteral("org.freedesktop.secrets");
const QString kWallet6 = QStringLiteral("org.kde.kwalletd6");
const QString kWallet5 = QStringLiteral("org.kde.kwalletd5");

// Every question asked here is answered by the service without showing anything.
constexpr int kProbeTimeoutMs = 5'000;

// Sends one call; its reply is awaited by the caller (built here, outside any co_await
// expression).
QDBusPendingCall ask(QDBusConnection& bus, const QString& service, const QString& path,
                     const QString& interface, const QString& method,
                     const QVariantList& arguments = {}) {
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(arguments);
    return bus.asyncCall(call, kProbeTimeoutMs);
}

bool answered(const QDBusMessage& reply) {
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty();
}

QDBusPendingCall askBus(QDBusConnection& bus, const QString& method,
                        const QVariantList& arguments = {}) {
    return ask(bus, QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
               QStringLiteral("org.freedesktop.DBus"), method, arguments);
}

// A Plasma session, as the keychain library tells one: there it reads from KWallet whenever
// the wallet daemon answers, even beside a Secret Service. The daemon it asks is the one of
// the session's version (both, newest first, when the version is not said).
bool isPlasmaSession() {
    const QByteArray desktop = qgetenv("XDG_CURRENT_DESKTOP");
    if (desktop == "KDE") {
        return true;
    }
    if (desktop == "GNOME" || desktop == "Unity" || desktop == "XFCE") {
        return false;
    }
    const QByteArray session = qgetenv("DESKTOP_SESSION");
    return session == "kde" || session == "kde4" ||
           (qEnvironmentVariableIsEmpty("GNOME_DESKTOP_SESSION_ID") &&
            !qEnvironmentVariableIsEmpty("KDE_FULL_SESSION"));
}

QStringList walletDaemons() {
    const QByteArray version = qgetenv("KDE_SESSION_VERSION");
    if (version == "5") {
        return {kWallet5};
    }
    if (version == "6") {
        return {kWallet6};
    }
    return {kWallet6, kWallet5};
}

// KWallet: whether the wallet the keychain library would open is open already. isOpen and
// networkWallet never ask the user anything; opening a closed wallet would.
QCoro::Task<QString> walletObstacle(QDBusConnection bus, QString daemon) {
    const QString path = daemon == kWallet6 ? QStringLiteral("/modules/kwalletd6")
                                            : QStringLiteral("/modules/kwalletd5");
    const QString interface = QStringLiteral("org.kde.KWallet");
    const QDBusPendingCall walletCall =
        ask(bus, daemon, path, interface, QStringLiteral("networkWallet"));
    const QDBusMessage wallet = co_await walletCall;
    if (!answered(wallet)) {
        co_return QStringLiteral("the wallet cannot be asked whether it is open: ") +
            wallet.errorMessage();
    }
    const QDBusPendingCall openCall = ask(bus, daemon, path, interface, QStringLiteral("isOpen"),
                                          {wallet.arguments().constFirst().toString()});
    const QDBusMessage open = co_await openCall;
    if (!answered(open)) {
        co_return QStringLiteral("the wallet cannot be asked whether it is open: ") +
            open.errorMessage();
    }
    if (!open.arguments().constFirst().toBool()) {
        co_return QStringLiteral("the wallet is closed");
    }
    co_return QString();
}

// Secret Service: the default collection (where the keychain library keeps its items) must
// exist and be unlocked. Without one, storing an item would ask the user to create a keyring.
QCoro::Task<QString> secretServiceObstacle(QDBusConnection bus) {
    const QDBusPendingCall aliasCall =
        ask(bus, kSecretService, QStringLiteral("/org/freedesktop/secrets"),
            QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("ReadAlias"),
            {QStringLiteral("default")});
    const QDBusMessage alias = co_await aliasCall;
    if (!answered(alias)) {
        co_return QStringLiteral("the keyring cannot be asked for its default collection: ") +
            alias.errorMessage();
    }
    const QString collection = alias.arguments().constFirst().value<QDBusObjectPath>().path();
    if (collection.isEmpty() || collection == QStringLiteral("/")) {
        co_return QStringLiteral("the keyring has no default collection");
    }
    const QDBusPendingCall lockedCall =
        ask(bus, kSecretService, collection, QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("Get"),
            {QStringLiteral("org.freedesktop.Secret.Collection"), QStringLiteral("Locked")});
    const QDBusMessage locked = co_await lockedCall;
    if (!answered(locked)) {
        co_return QStringLiteral("the keyring cannot be asked whether it is locked: ") +
            locked.errorMessage();
    }
    if (locked.arguments().constFirst().value<QDBusVariant>().variant().toBool()) {
        co_return QStringLiteral("the keyring is locked");
    }
    co_return QString();
}

}  // namespace

// A secret service (or KWallet) either runs on the session bus or can be activated there. No
// session bus at all means nothing could hold the secrets.
SecretServiceAvailability probeSecretService() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr) {
        return SecretServiceAvailability::absent;
    }
    QDBusConnectionInterface* dbus = bus.interface();
    const QStringList names = {kSecretService, kWallet6, kWallet5};
    for (const QString& name : names) {
        if (dbus->isServiceRegistered(name).value()) {
            return SecretServiceAvailability::available;
        }
    }
    const QStringList activatable = dbus->activatableServiceNames().value();
    for (const QString& name : names) {
        if (activatable.contains(name)) {
            return SecretServiceAvailability::available;
        }
    }
    return SecretServiceAvailability::absent;
}

// The store the keychain library reads from is the one asked: KWallet in a Plasma session
// whose wallet daemon runs, and in a session where the wallet daemon is the only store;
// otherwise the Secret Service (which a call may start: that shows nothing either).
QCoro::Task<QString> secretStoreObstacle() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        co_return QString();  // nothing on the bus could prompt; reads fail by themselves
    }
    // Who owns which name, and what the bus may start, asked at once.
    const QStringList daemons = walletDaemons();
    QList<QDBusPendingCall> owners;
    for (const QString& name : daemons + QStringList{kSecretService}) {
        owners.append(askBus(bus, QStringLiteral("NameHasOwner"), {name}));
    }
    const QDBusPendingCall activatableCall = askBus(bus, QStringLiteral("ListActivatableNames"));
    QString daemon;
    bool secretService = false;
    for (qsizetype i = 0; i < owners.size(); ++i) {
        const QDBusMessage reply = co_await owners[i];
        const bool owned = answered(reply) && reply.arguments().constFirst().toBool();
        if (i < daemons.size()) {
            if (owned && daemon.isEmpty()) {
                daemon = daemons[i];
            }
        } else {
            secretService = owned;
        }
    }
    const QDBusMessage activatable = co_await activatableCall;
    secretService = secretService ||
                    (answered(activatable) &&
                     activatable.arguments().constFirst().toStringList().contains(kSecretService));
    QString obstacle;
    if (!daemon.isEmpty() && (isPlasmaSession() || !secretService)) {
        obstacle = co_await walletObstacle(bus, daemon);
    } else if (secretService) {
        obstacle = co_await secretServiceObstacle(bus);
    }
    if (!obstacle.isEmpty()) {
        qCDebug(lcKeychain) << "secrets are not read:" << obstacle;
    }
    co_return obstacle;
}

}  // namespace velurio
