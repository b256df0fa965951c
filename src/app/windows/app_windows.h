#pragma once
// The application's three windows (login, pairing, preferences) and their entry points from the
// tray: "Entrar" opens the login window, "Conectar iPad…" and "Conectar outro iPad…" the pairing
// window, "Preferências…" the preferences. The main window is the pairing window when signed in,
// else the login window; a successful login goes on to the pairing window. In every window
// Ctrl+, opens the preferences and Ctrl+Q quits, as the application menu would elsewhere.
//
// Main thread only. The model and the tray outlive this object.

#include "app/windows/login_window.h"
#include "app/windows/pairing_window.h"
#include "app/windows/preferences_window.h"

#include <QObject>

#include <functional>

namespace velurio {

class ShellModel;
class TrayController;

class AppWindows : public QObject {
    Q_OBJECT
  public:
    explicit AppWindows(ShellModel& model, QObject* parent = nullptr);

    // Sets the tray's window-opening actions.
    void attachTray(TrayController& tray);
    // Shows the pairing window when signed in, else the login window.
    void showMainWindow();

    LoginWindowController& login() { return m_login; }
    PairingWindowController& pairing() { return m_pairing; }
    PreferencesWindowController& preferences() { return m_preferences; }

    // Quitting from a window's Ctrl+Q; set by the owner of the application's quit.
    std::function<void()> onQuit;

  private:
    // Gives `window` the application's keys (once per window).
    void addApplicationKeys(QWidget* window);

    ShellModel& m_model;
    LoginWindowController m_login;
    PairingWindowController m_pairing;
    PreferencesWindowController m_preferences;
};

}  // namespace velurio
