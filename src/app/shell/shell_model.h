#pragma once
// What the tray popup and the windows (login, pairing, preferences) see of the session and the
// account, and the operations they call. The session coordinator provides it (directly or
// through an adapter); the views only observe it and call these operations, they never reach
// into the coordinator's members. Tests hand the views a stand-in.
//
// Thread: the Qt main thread only. Lifetime: outlives every view built on it. The operations are
// coroutines on the main thread; a view that awaits one re-checks that it still exists after
// the await.

#include "app/settings/app_settings.h"
#include "app/shell/account_types.h"
#include "app/web/platform_error.h"
#include "protocol/messages.h"

#include <QCoroTask>
#include <QDateTime>
#include <QObject>
#include <QString>

#include <optional>
#include <vector>

namespace velurio {

class ShellModel : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;
    ~ShellModel() override = default;

    // Account.
    virtual bool authenticated() const = 0;
    virtual QString userEmail() const = 0;  // empty when signed out
    virtual QString accountSummary() const = 0;
    virtual std::optional<PairingState> pairing() const = 0;
    virtual std::vector<NearbyDevice> nearbyDevices() const = 0;

    // Session: the connected tablet's name (nothing without one) and the latency text.
    virtual std::optional<QString> connectedDeviceName() const = 0;
    virtual QString latencyText() const = 0;

    // Capture: the displays in their order and the one selected (nothing when there is none).
    virtual std::vector<DisplayDescriptor> displays() const = 0;
    virtual std::optional<std::uint32_t> selectedDisplayID() const = 0;

    virtual AppSettings& settings() = 0;

    // Signs in; an `APIError` failure carries the platform's message for the user, any other
    // kind means the platform could not be reached.
    virtual QCoro::Task<PlatformStatus> login(QString email, QString password) = 0;
    virtual QCoro::Task<void> logout() = 0;
    // True when a new code was stored (and `pairingChanged` emitted).
    virtual QCoro::Task<bool> refreshPairingCode() = 0;
    // Makes sure a valid pairing code is on display; the device itself is not contacted.
    virtual QCoro::Task<void> connectToNearby(NearbyDevice device) = 0;
    virtual QCoro::Task<void> refreshDisplaysIfPermitted() = 0;
    virtual void disconnectPeer() = 0;
    virtual void clearStrokes() = 0;
    virtual void saveAnnotationsAsPNG() = 0;

  Q_SIGNALS:
    // authenticated, userEmail or accountSummary changed.
    void accountChanged();
    void pairingChanged();
    void nearbyDevicesChanged();
    // The connected tablet or the latency text changed.
    void connectionChanged();
    // The display list or the selection changed.
    void displaysChanged();
};

}  // namespace velurio
