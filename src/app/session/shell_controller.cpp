#include "app/session/shell_controller.h"

#include "app/session/session_coordinator.h"
#include "app/ui/panel.h"

#include <QGuiApplication>
#include <QScreen>

namespace velurio {

namespace {

ToolbarActions toolbarActions(SessionCoordinator& coordinator) {
    StrokeStore& store = coordinator.strokeStore();
    return ToolbarActions{
        [&store]() { store.undo(); },
        [&store]() { store.redo(); },
        [&store]() { store.clear(true); },
    };
}

}  // namespace

ShellController::ShellController(SessionCoordinator& coordinator,
                                 std::unique_ptr<HotKeyBackend> backend, QObject* parent,
                                 std::unique_ptr<HotKeyBackend> escapeBackend)
    : QObject(parent),
      m_coordinator(coordinator),
      m_model(coordinator),
      m_shortcuts(std::move(backend)),
      m_toolbar(coordinator.toolbarState(), coordinator.strokeStore(), toolbarActions(coordinator)),
      m_tray(m_model),
      m_escape(std::move(escapeBackend)) {}

ShellController::~ShellController() {
    m_coordinator.onToolbarVisibility = nullptr;
    m_escape.setArmed(false);
}

void ShellController::updateEscape() {
    const AnnotationOverlayController* overlay = m_coordinator.overlay();
    m_escape.setArmed(m_coordinator.mouseDrawing() && overlay != nullptr &&
                      !overlay->noteEditorOpen() && !overlay->modal());
}

void ShellController::shortcutTextsChanged() {
    m_toolbar.setClearShortcutText(m_coordinator.settings().shortcutClear().displayText());
}

void ShellController::start() {
    m_coordinator.onToolbarVisibility = [this](bool visible, QScreen* screen) {
        if (visible) {
            m_toolbar.show(screen);
        } else {
            m_toolbar.hide();
        }
    };
    m_coordinator.updateInteractionMode();

    m_shortcuts.setHandler(GlobalShortcuts::Action::toggleAnnotation,
                           [this]() { m_coordinator.toggleAnnotation(); });
    m_shortcuts.setHandler(GlobalShortcuts::Action::clear,
                           [this]() { m_coordinator.clearStrokes(); });
    m_shortcuts.setHandler(GlobalShortcuts::Action::savePNG,
                           [this]() { m_coordinator.saveAnnotationsAsPNG(); });
    registerShortcuts();
    // A newly recorded shortcut takes over at once.
    connect(&m_coordinator.settings(), &AppSettings::shortcutsChanged, this,
            &ShellController::registerShortcuts);
    connect(&m_coordinator.settings(), &AppSettings::shortcutsChanged, this,
            &ShellController::shortcutTextsChanged);
    shortcutTextsChanged();

    m_escape.onPressed = [this]() { m_coordinator.settings().setAnnotationActive(false); };
    connect(&m_coordinator, &SessionCoordinator::mouseDrawingChanged, this,
            &ShellController::updateEscape);
    if (auto* overlay = m_coordinator.overlay()) {
        connect(overlay, &AnnotationOverlayController::noteEditorChanged, this,
                &ShellController::updateEscape);
        connect(overlay, &AnnotationOverlayController::modalChanged, this, [this](bool modal) {
            // The overlay came back on top after the dialog: the toolbar goes above it again.
            if (!modal)
                m_toolbar.raise();
            updateEscape();
        });
    }
    updateEscape();

    m_pin.onShowToolbar = [this]() {
        AppSettings& settings = m_coordinator.settings();
        settings.setShowToolbar(!settings.showToolbar());
    };
    m_pin.onClear = [this]() { m_coordinator.clearStrokes(); };
    m_pin.onEndSession = [this]() {
        if (onEndSession) {
            onEndSession();
        } else {
            m_coordinator.disconnectPeer();
        }
    };
    // The pin shows while a tablet is connected, with its name and the latency, on the
    // overlay's screen.
    connect(&m_coordinator, &SessionCoordinator::connectionStateChanged, this,
            [this](const SessionCoordinator::ConnectionState& state) {
                setConnection(state ? std::optional(state->deviceName) : std::nullopt,
                              m_coordinator.latencyText());
            });
    connect(&m_coordinator, &SessionCoordinator::latencyTextChanged, this,
            [this](const QString& text) {
                if (const auto& state = m_coordinator.connectionState())
                    setConnection(state->deviceName, text);
            });
    connect(&m_coordinator, &SessionCoordinator::overlayScreenChanged, this, [this](QScreen*) {
        if (const auto& state = m_coordinator.connectionState()) {
            m_pin.hide();
            setConnection(state->deviceName, m_coordinator.latencyText());
        }
    });

    m_tray.onQuit = [this]() {
        if (onQuit)
            onQuit();
    };
    m_tray.start();
}

void ShellController::registerShortcuts() {
    const AppSettings& settings = m_coordinator.settings();
    m_shortcuts.registerHotKey(GlobalShortcuts::Action::toggleAnnotation,
                               settings.shortcutToggleAnnotation());
    m_shortcuts.registerHotKey(GlobalShortcuts::Action::clear, settings.shortcutClear());
    m_shortcuts.registerHotKey(GlobalShortcuts::Action::savePNG, settings.shortcutSavePNG());
}

QScreen* ShellController::overlayScreen() const {
    if (auto* overlay = m_coordinator.overlay()) {
        if (QScreen* screen = overlay->window()->screen())
            return screen;
    }
    return fallbackScreen();
}

void ShellController::setConnection(std::optional<QString> deviceName, const QString& latencyText) {
    if (!deviceName) {
        m_deviceName.reset();
        m_pin.hide();
        return;
    }
    const QString name = deviceName->isEmpty() ? QStringLiteral("iPad") : *deviceName;
    const bool newPeer = !m_deviceName || *m_deviceName != name || m_pin.panel() == nullptr ||
                         !m_pin.panel()->isVisible();
    m_deviceName = name;
    if (newPeer) {
        m_pin.show(overlayScreen(), name, latencyText);
    } else {
        m_pin.update(name, latencyText);
    }
}

}  // namespace velurio
