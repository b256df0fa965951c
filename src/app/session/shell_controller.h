#pragma once
// The shell around the session coordinator: the floating toolbar (shown and hidden as the
// coordinator's interaction mode decides), the three global shortcuts and their registration,
// the status pin while a tablet is connected, the tray icon with its popup, which observes
// the coordinator through its shell model, and Escape as the way out of drawing mode.
//
// Created after the coordinator's bootstrap and destroyed before the coordinator. Main thread
// only.

#include "app/session/coordinator_shell_model.h"
#include "app/shell/escape_shortcut.h"
#include "app/shell/floating_toolbar_controller.h"
#include "app/shell/global_shortcuts.h"
#include "app/shell/status_pin_controller.h"
#include "app/shell/tray_controller.h"

#include <QObject>

#include <functional>
#include <memory>
#include <optional>

namespace velurio {

class SessionCoordinator;

class ShellController : public QObject {
    Q_OBJECT
  public:
    // `backend` defaults to the platform's hot-key backend.
    // `escapeBackend` likewise, for the Escape key of drawing mode.
    explicit ShellController(SessionCoordinator& coordinator,
                             std::unique_ptr<HotKeyBackend> backend = nullptr,
                             QObject* parent = nullptr,
                             std::unique_ptr<HotKeyBackend> escapeBackend = nullptr);
    ~ShellController() override;

    // Wires the toolbar into the interaction mode, sets the shortcut handlers and registers the
    // keys, has the pin follow the coordinator's connection state, and shows the tray icon (when
    // a tray host runs).
    void start();

    // For each action in the order toggle annotation, clear, save PNG: releases its old
    // combination and registers the one in the settings. A refused one stays unregistered.
    void registerShortcuts();

    // The connected tablet (its name, or nothing without one) and the latency text: shows,
    // updates or hides the status pin.
    void setConnection(std::optional<QString> deviceName, const QString& latencyText);

    GlobalShortcuts& shortcuts() { return m_shortcuts; }
    FloatingToolbarController& toolbar() { return m_toolbar; }
    StatusPinController& pin() { return m_pin; }
    TrayController& tray() { return m_tray; }
    // What the tray and the windows see of the coordinator.
    ShellModel& model() { return m_model; }
    EscapeShortcut& escape() { return m_escape; }

    // Quitting from the tray.
    std::function<void()> onQuit;
    // Ending the session from the pin; unset: the coordinator's disconnectPeer().
    std::function<void()> onEndSession;

  private:
    QScreen* overlayScreen() const;
    // Escape leaves drawing mode while drawing is on, unless a note editor or a dialog is open.
    void updateEscape();
    void shortcutTextsChanged();

    SessionCoordinator& m_coordinator;
    CoordinatorShellModel m_model;
    GlobalShortcuts m_shortcuts;
    FloatingToolbarController m_toolbar;
    StatusPinController m_pin;
    TrayController m_tray;
    EscapeShortcut m_escape;
    std::optional<QString> m_deviceName;
};

}  // namespace velurio
