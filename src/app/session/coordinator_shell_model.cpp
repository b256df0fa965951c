#include "app/session/coordinator_shell_model.h"

#include "app/session/session_coordinator.h"

namespace velurio {

CoordinatorShellModel::CoordinatorShellModel(SessionCoordinator& coordinator, QObject* parent)
    : ShellModel(parent), m_coordinator(coordinator) {}

bool CoordinatorShellModel::authenticated() const {
    return false;
}

QString CoordinatorShellModel::userEmail() const {
    return {};
}

QString CoordinatorShellModel::accountSummary() const {
    return {};
}

std::optional<PairingState> CoordinatorShellModel::pairing() const {
    return std::nullopt;
}

std::vector<NearbyDevice> CoordinatorShellModel::nearbyDevices() const {
    return {};
}

std::optional<QString> CoordinatorShellModel::connectedDeviceName() const {
    return std::nullopt;
}

QString CoordinatorShellModel::latencyText() const {
    return {};
}

std::vector<DisplayDescriptor> CoordinatorShellModel::displays() const {
    return {};
}

std::optional<std::uint32_t> CoordinatorShellModel::selectedDisplayID() const {
    return m_coordinator.settings().selectedDisplayID();
}

AppSettings& CoordinatorShellModel::settings() {
    return m_coordinator.settings();
}

QCoro::Task<PlatformStatus> CoordinatorShellModel::login(QString, QString) {
    co_return fail(
        PlatformError::other(PlatformError::Kind::transport, QStringLiteral("no platform client")));
}

QCoro::Task<void> CoordinatorShellModel::logout() {
    co_return;
}

QCoro::Task<bool> CoordinatorShellModel::refreshPairingCode() {
    co_return false;
}

QCoro::Task<void> CoordinatorShellModel::connectToNearby(NearbyDevice) {
    co_return;
}

QCoro::Task<void> CoordinatorShellModel::refreshDisplaysIfPermitted() {
    co_return;
}

void CoordinatorShellModel::disconnectPeer() {}

void CoordinatorShellModel::clearStrokes() {
    m_coordinator.clearStrokes();
}

void CoordinatorShellModel::saveAnnotationsAsPNG() {
    m_coordinator.saveAnnotationsAsPNG();
}

}  // namespace velurio
