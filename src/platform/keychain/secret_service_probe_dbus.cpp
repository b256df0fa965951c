#include "platform/keychain/secret_store.h"

#include <QCoroDBusPendingCall>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QStringList>

namespace velurio {

// A secret service (or KWallet) either runs on the session bus or can be activated there. No
// session bus at all means nothing could hold the secrets.
SecretServiceAvailability probeSecretService() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr) {
        return SecretServiceAvailability::absent;
    }
    QDBusConnectionInterface* dbus = bus.interface();
    const QStringList names = {QStringLiteral("org.freedesktop.secrets"),
                               QStringLiteral("org.kde.kwalletd6"),
                               QStringLiteral("org.kde.kwalletd5")};
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

// The Secret Service's default collection (the one QtKeychain uses) reports its lock state as
// a property; reading it never prompts.
QCoro::Task<bool> secretStoreIsLocked() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        co_return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.secrets"),
        QStringLiteral("/org/freedesktop/secrets/aliases/default"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << QStringLiteral("org.freedesktop.Secret.Collection") << QStringLiteral("Locked");
    const QDBusPendingCall pending = bus.asyncCall(call, 5000);
    const QDBusMessage reply = co_await pending;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        co_return false;
    }
    co_return reply.arguments().constFirst().value<QDBusVariant>().variant().toBool();
}

}  // namespace velurio
