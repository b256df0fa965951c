#include "app/session/coordinator_shell_model.h"

#include "app/session/session_coordinator.h"

namespace velurio {

CoordinatorShellModel::CoordinatorShellModel(SessionCoordinator& coordinator, QObject* parent)
    : ShellModel(parent), m_coordinator(coordinator) {
    // Each published field of the coordinator maps onto one of the model's change signals.
    connect(&m_coordinator, &SessionCoordinator::authenticatedChanged, this,
            &ShellModel::accountChanged);
    connect(&m_coordinator, &SessionCoordinator::userEmailChanged, this,
            &ShellModel::accountChanged);
    connect(&m_coordinator, &SessionCoordinator::accountSummaryChanged, this,
            &ShellModel::accountChanged);
    connect(&m_coordinator, &SessionCoordinator::pairingChanged, this, &ShellModel::pairingChanged);
    connect(&m_coordinator, &SessionCoordinator::nearbyDevicesChanged, this,
            &ShellModel::nearbyDevicesChanged);
    connect(&m_coordinator, &SessionCoordinator::connectionStateChanged, this,
            &ShellModel::connectionChanged);
    connect(&m_coordinator, &SessionCoordinator::latencyTextChanged, this,
            &ShellModel::connectionChanged);
    connect(&m_coordinator, &SessionCoordinator::displaysChanged, this,
            &ShellModel::displaysChanged);
}

bool CoordinatorShellModel::authenticated() const {
    return m_coordinator.authenticated();
}

QString CoordinatorShellModel::userEmail() const {
    return m_coordinator.userEmail().value_or(QString());
}

QString CoordinatorShellModel::accountSummary() const {
    return m_coordinator.accountSummary();
}

std::optional<PairingState> CoordinatorShellModel::pairing() const {
    return m_coordinator.pairing();
}

std::vector<NearbyDevice> CoordinatorShellModel::nearbyDevices() const {
    const QList<NearbyDevice>& devices = m_coordinator.nearbyDevices();
    return {devices.begin(), devices.end()};
}

std::optional<QString> CoordinatorShellModel::connectedDeviceName() const {
    const SessionCoordinator::ConnectionState& state = m_coordinator.connectionState();
    if (!state)
        return std::nullopt;
    return state->deviceName;
}

QString CoordinatorShellModel::latencyText() const {
    return m_coordinator.latencyText();
}

std::vector<DisplayDescriptor> CoordinatorShellModel::displays() const {
    return m_coordinator.displays();
}

std::optional<std::uint32_t> CoordinatorShellModel::selectedDisplayID() const {
    return m_coordinator.selectedDisplayID();
}

AppSettings& CoordinatorShellModel::settings() {
    return m_coordinator.settings();
}

QCoro::Task<PlatformStatus> CoordinatorShellModel::login(QString email, QString password) {
    return m_coordinator.login(std::move(email), std::move(password));
}

QCoro::Task<void> CoordinatorShellModel::logout() {
    return m_coordinator.logout();
}

QCoro::Task<bool> CoordinatorShellModel::refreshPairingCode() {
    return m_coordinator.refreshPairingCode();
}

QCoro::Task<void> CoordinatorShellModel::connectToNearby(NearbyDevice device) {
    return m_coordinator.connectToNearby(std::move(device));
}

QCoro::Task<void> CoordinatorShellModel::refreshDisplaysIfPermitted() {
    // The capture engine probes the permission itself and then lists the displays; the list
    // arrives through displaysChanged.
    m_coordinator.capture().refreshDisplays();
    co_return;
}

void CoordinatorShellModel::disconnectPeer() {
    m_coordinator.disconnectPeer();
}

void CoordinatorShellModel::clearStrokes() {
    m_coordinator.clearStrokes();
}

void CoordinatorShellModel::saveAnnotationsAsPNG() {
    m_coordinator.saveAnnotationsAsPNG();
}

}  // namespace velurio
