#pragma once
// The shell model of the running application: what the tray popup and the windows see, read
// from the session coordinator's published state (its change signals are forwarded), and their
// operations, forwarded to the coordinator. It holds no state of its own.
//
// Main thread only. Lives no longer than the coordinator.

#include "app/shell/shell_model.h"

namespace velurio {

class SessionCoordinator;

class CoordinatorShellModel final : public ShellModel {
    Q_OBJECT
  public:
    explicit CoordinatorShellModel(SessionCoordinator& coordinator, QObject* parent = nullptr);

    bool authenticated() const override;
    QString userEmail() const override;
    QString accountSummary() const override;
    std::optional<PairingState> pairing() const override;
    std::vector<NearbyDevice> nearbyDevices() const override;
    std::optional<QString> connectedDeviceName() const override;
    QString latencyText() const override;
    std::vector<DisplayDescriptor> displays() const override;
    std::optional<std::uint32_t> selectedDisplayID() const override;
    AppSettings& settings() override;

    QCoro::Task<PlatformStatus> login(QString email, QString password) override;
    QCoro::Task<void> logout() override;
    QCoro::Task<bool> refreshPairingCode() override;
    QCoro::Task<void> connectToNearby(NearbyDevice device) override;
    QCoro::Task<void> refreshDisplaysIfPermitted() override;
    void disconnectPeer() override;
    void clearStrokes() override;
    void saveAnnotationsAsPNG() override;

  private:
    SessionCoordinator& m_coordinator;
};

}  // namespace velurio
