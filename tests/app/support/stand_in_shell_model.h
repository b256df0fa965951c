#pragma once
// A shell model whose state the test sets and whose operations the test answers: the windows
// and the tray popup tested without a coordinator. Operations are recorded; login, the code
// refresh and logout wait until the test resolves them (or answer at once when an immediate
// answer is set). Main thread of the test.

#include "app/settings/app_settings.h"
#include "app/shell/shell_model.h"

#include <QAction>
#include <QCoroSignal>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>
#include <optional>
#include <vector>

namespace velurio::testing {

class StandInShellModel final : public ShellModel {
  public:
    StandInShellModel()
        : m_settings(std::make_unique<QSettings>(m_dir.filePath(QStringLiteral("settings.ini")),
                                                 QSettings::IniFormat)) {}

    // State.
    bool authenticatedValue = false;
    QString email;
    QString summary;
    std::optional<PairingState> pairingValue;
    std::vector<NearbyDevice> devices;
    std::optional<QString> device;
    QString latency;
    std::vector<DisplayDescriptor> displayList;
    std::optional<std::uint32_t> selected;

    // Calls received.
    std::vector<std::pair<QString, QString>> logins;
    int logouts = 0;
    int codeRequests = 0;
    int displayRefreshes = 0;
    int disconnects = 0;
    int clears = 0;
    int saves = 0;
    std::vector<NearbyDevice> connectRequests;

    // When set, login answers at once with it; otherwise it waits for resolveLogin().
    std::optional<PlatformStatus> immediateLogin;

    bool authenticated() const override { return authenticatedValue; }
    QString userEmail() const override { return email; }
    QString accountSummary() const override { return summary; }
    std::optional<PairingState> pairing() const override { return pairingValue; }
    std::vector<NearbyDevice> nearbyDevices() const override { return devices; }
    std::optional<QString> connectedDeviceName() const override { return device; }
    QString latencyText() const override { return latency; }
    std::vector<DisplayDescriptor> displays() const override { return displayList; }
    std::optional<std::uint32_t> selectedDisplayID() const override { return selected; }
    AppSettings& settings() override { return m_settings; }

    QCoro::Task<PlatformStatus> login(QString emailText, QString password) override {
        logins.emplace_back(emailText, password);
        if (immediateLogin)
            co_return *immediateLogin;
        // A plain public signal: awaiting a signal with Qt's private tag (QTimer::timeout) makes
        // QCoro bind a reference to a null pointer, which UBSan reports.
        co_await qCoro(&m_loginGate, &QAction::triggered);
        co_return m_loginAnswer;
    }
    // The waiting login returns `answer` once the event loop runs.
    void resolveLogin(PlatformStatus answer) {
        m_loginAnswer = std::move(answer);
        QTimer::singleShot(0, &m_loginGate, [this] { m_loginGate.trigger(); });
    }
    QCoro::Task<void> logout() override {
        ++logouts;
        authenticatedValue = false;
        email.clear();
        Q_EMIT accountChanged();
        co_return;
    }
    QCoro::Task<bool> refreshPairingCode() override {
        ++codeRequests;
        co_return false;
    }
    QCoro::Task<void> connectToNearby(NearbyDevice chosen) override {
        connectRequests.push_back(chosen);
        co_return;
    }
    QCoro::Task<void> refreshDisplaysIfPermitted() override {
        ++displayRefreshes;
        co_return;
    }
    void disconnectPeer() override { ++disconnects; }
    void clearStrokes() override { ++clears; }
    void saveAnnotationsAsPNG() override { ++saves; }

  private:
    QAction m_loginGate;
    QTemporaryDir m_dir;
    AppSettings m_settings;
    PlatformStatus m_loginAnswer;
};

}  // namespace velurio::testing
