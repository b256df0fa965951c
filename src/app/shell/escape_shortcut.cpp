#include "app/shell/escape_shortcut.h"

#include "app/shell/global_shortcuts.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcEscape, "velurio.shortcuts.escape")

namespace velurio {

namespace {

constexpr std::uint32_t kGrabID = 1;

}  // namespace

EscapeShortcut::EscapeShortcut(std::unique_ptr<HotKeyBackend> backend, QObject* parent)
    : QObject(parent), m_backend(backend ? std::move(backend) : makePlatformHotKeyBackend()) {
    m_backend->onPressed = [this](std::uint32_t id) {
        if (id == kGrabID && m_armed && onPressed)
            onPressed();
    };
}

EscapeShortcut::~EscapeShortcut() {
    setArmed(false);
}

void EscapeShortcut::setArmed(bool armed) {
    if (armed == m_armed)
        return;
    if (!armed) {
        m_backend->release(kGrabID);
        m_armed = false;
        return;
    }
    const auto result = m_backend->grab(kGrabID, kEscapeKeyCode, 0);
    m_armed = result == HotKeyBackend::GrabResult::grabbed;
    if (result == HotKeyBackend::GrabResult::taken) {
        qCWarning(lcEscape) << "Velurio: Esc já está em uso por outro programa; use o atalho de "
                               "alternar anotação para sair do modo de desenho";
    }
}

}  // namespace velurio
