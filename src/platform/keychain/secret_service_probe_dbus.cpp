#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QStringList>

#include "platform/keychain/secret_store.h"

namespace velurio {

// A secret service (or KWallet) either runs on the session bus or can be activated there. No
// session bus at all means nothing could hold the secrets.
SecretServiceAvailability probeSecretService() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || bus.interface() == nullptr) {
        return SecretServiceAvailability::absent;
    }
    QDBusConnectionInterface* dbus = bus.interface();
    const QStringList names = {QStringLiteral("org.freedesktop.secrets"), QStringLiteral("org.kde.kwalletd6"),
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

}  // namespace velurio
