#pragma once
// The account values shared by the session coordinator (which publishes them) and the views that
// show them (tray popup, pairing window): the pairing code with its expiry and a nearby tablet.
// Plain values; any thread.

#include <QDateTime>
#include <QString>

namespace velurio {

// This computer's current pairing code and when it stops being valid.
struct PairingState {
    QString code;
    QDateTime expiresAt;
    friend bool operator==(const PairingState&, const PairingState&) = default;
};

// A tablet of the account (from the platform) or announced on the local network.
struct NearbyDevice {
    QString id;
    QString name;
    bool sameAccount = false;
    bool online = false;
    friend bool operator==(const NearbyDevice&, const NearbyDevice&) = default;
};

}  // namespace velurio
