#include "app/windows/app_windows.h"

#include "app/shell/shell_model.h"
#include "app/shell/tray_controller.h"

namespace velurio {

AppWindows::AppWindows(ShellModel& model, QObject* parent)
    : QObject(parent), m_model(model), m_login(model), m_pairing(model), m_preferences(model) {
    m_login.onLoggedIn = [this]() { m_pairing.show(); };
}

void AppWindows::attachTray(TrayController& tray) {
    tray.onOpenLogin = [this]() { m_login.show(); };
    tray.onOpenPairing = [this]() { m_pairing.show(); };
    tray.onOpenPreferences = [this]() { m_preferences.show(); };
}

void AppWindows::showMainWindow() {
    if (m_model.authenticated()) {
        m_pairing.show();
    } else {
        m_login.show();
    }
}

}  // namespace velurio
