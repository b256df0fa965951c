#include "app/windows/app_windows.h"

#include "app/shell/shell_model.h"
#include "app/shell/tray_controller.h"

#include <QKeySequence>
#include <QShortcut>

namespace velurio {

AppWindows::AppWindows(ShellModel& model, QObject* parent)
    : QObject(parent), m_model(model), m_login(model), m_pairing(model), m_preferences(model) {
    m_login.onLoggedIn = [this]() {
        m_pairing.show();
        addApplicationKeys(m_pairing.window());
    };
}

void AppWindows::attachTray(TrayController& tray) {
    tray.onOpenLogin = [this]() {
        m_login.show();
        addApplicationKeys(m_login.window());
    };
    tray.onOpenPairing = [this]() {
        m_pairing.show();
        addApplicationKeys(m_pairing.window());
    };
    tray.onOpenPreferences = [this]() {
        m_preferences.show();
        addApplicationKeys(m_preferences.window());
    };
}

void AppWindows::showMainWindow() {
    if (m_model.authenticated()) {
        m_pairing.show();
        addApplicationKeys(m_pairing.window());
    } else {
        m_login.show();
        addApplicationKeys(m_login.window());
    }
}

void AppWindows::addApplicationKeys(QWidget* window) {
    if (window == nullptr || window->property("velurioKeys").toBool())
        return;
    window->setProperty("velurioKeys", true);
    auto* preferences = new QShortcut(QKeySequence(QStringLiteral("Ctrl+,")), window);
    connect(preferences, &QShortcut::activated, this, [this]() {
        m_preferences.show();
        addApplicationKeys(m_preferences.window());
    });
    auto* quit = new QShortcut(QKeySequence(QStringLiteral("Ctrl+Q")), window);
    connect(quit, &QShortcut::activated, this, [this]() {
        if (onQuit)
            onQuit();
    });
}

}  // namespace velurio
