#include "app/shell/global_shortcuts.h"

#include <QLoggingCategory>
#include <QPointer>

#include <mutex>
#include <unordered_map>

Q_LOGGING_CATEGORY(lcShortcuts, "velurio.shortcuts")

namespace velurio {

namespace {

// Lets the context-free press callback find an action's function. Lives as long as the process.
class GlobalShortcutsRegistry {
  public:
    static GlobalShortcutsRegistry& shared() {
        static GlobalShortcutsRegistry registry;
        return registry;
    }
    void store(std::uint32_t id, std::function<void()> action) {
        const std::lock_guard lock(m_lock);
        m_actions[id] = std::move(action);
    }
    std::function<void()> lookup(std::uint32_t id) {
        const std::lock_guard lock(m_lock);
        const auto it = m_actions.find(id);
        return it == m_actions.end() ? std::function<void()>() : it->second;
    }

  private:
    std::mutex m_lock;
    std::unordered_map<std::uint32_t, std::function<void()>> m_actions;
};

QString describe(GlobalShortcuts::Action action) {
    switch (action) {
        case GlobalShortcuts::Action::toggleAnnotation:
            return QStringLiteral("alternar anotação");
        case GlobalShortcuts::Action::clear:
            return QStringLiteral("limpar traços");
        case GlobalShortcuts::Action::savePNG:
            return QStringLiteral("salvar PNG");
    }
    return {};
}

}  // namespace

GlobalShortcuts::GlobalShortcuts(std::unique_ptr<HotKeyBackend> backend, QObject* parent)
    : QObject(parent), m_backend(backend ? std::move(backend) : makePlatformHotKeyBackend()) {
    m_backend->onPressed = [](std::uint32_t id) { dispatch(id); };
}

GlobalShortcuts::~GlobalShortcuts() {
    for (const Action action : kAllActions)
        unregister(action);
}

bool GlobalShortcuts::dispatch(std::uint32_t id) {
    // Copied out of the lock: the handler may itself store handlers.
    const std::function<void()> action = GlobalShortcutsRegistry::shared().lookup(id);
    if (!action)
        return false;
    action();
    return true;
}

void GlobalShortcuts::setHandler(Action action, std::function<void()> handler) {
    m_handlers[action] = std::move(handler);
    GlobalShortcutsRegistry::shared().store(rawValue(action),
                                            [self = QPointer<GlobalShortcuts>(this), action]() {
                                                if (!self)
                                                    return;
                                                const auto it = self->m_handlers.find(action);
                                                if (it != self->m_handlers.end() && it->second)
                                                    it->second();
                                            });
}

void GlobalShortcuts::unregister(Action action) {
    if (m_registered.erase(action) == 0)
        return;
    m_backend->release(rawValue(action));
}

bool GlobalShortcuts::registerHotKey(Action action, const HotKeyDescriptor& descriptor) {
    unregister(action);
    const auto result =
        m_backend->grab(rawValue(action), descriptor.keyCode, descriptor.carbonModifiers);
    QString reason;
    switch (result) {
        case HotKeyBackend::GrabResult::grabbed:
            m_registered[action] = descriptor;
            return true;
        case HotKeyBackend::GrabResult::taken:
            reason = QStringLiteral("já está em uso por outro programa");
            break;
        case HotKeyBackend::GrabResult::unknownKey:
            reason = QStringLiteral("usa uma tecla que este teclado não tem");
            break;
        case HotKeyBackend::GrabResult::unavailable:
            reason = QStringLiteral("não pôde ser registrado neste sistema");
            break;
    }
    qCWarning(lcShortcuts).noquote()
        << QStringLiteral("Velurio: atalho %1 (%2) %3; não registrado")
               .arg(descriptor.displayText(), describe(action), reason);
    return false;
}

std::optional<HotKeyDescriptor> GlobalShortcuts::registeredDescriptor(Action action) const {
    const auto it = m_registered.find(action);
    if (it == m_registered.end())
        return std::nullopt;
    return it->second;
}

}  // namespace velurio
