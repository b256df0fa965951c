#pragma once
// The three system-wide shortcuts (toggle annotation, clear, save PNG): which combination each
// action holds with the system and what it does when pressed.
//
// Presses reach the process through one context-free callback of the platform backend; the
// process-wide registry, guarded by its lock, maps a hot-key id (the action's raw value) to a
// function that finds this instance's handler. Main thread only, apart from that lock.

#include "app/settings/app_settings.h"
#include "core/hot_key_backend.h"

#include <QObject>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

namespace velurio {

// The hot-key backend of the platform the application is built for (chosen in CMake).
std::unique_ptr<HotKeyBackend> makePlatformHotKeyBackend();

class GlobalShortcuts : public QObject {
    Q_OBJECT
  public:
    // Raw values are the hot-key ids.
    enum class Action : std::uint32_t { toggleAnnotation = 1, clear = 2, savePNG = 3 };
    static constexpr std::array<Action, 3> kAllActions{Action::toggleAnnotation, Action::clear,
                                                       Action::savePNG};

    // `backend` defaults to the platform's; tests may pass their own.
    explicit GlobalShortcuts(std::unique_ptr<HotKeyBackend> backend = nullptr,
                             QObject* parent = nullptr);
    ~GlobalShortcuts() override;

    void setHandler(Action action, std::function<void()> handler);
    // Releases the action's combination with the system, if it holds one.
    void unregister(Action action);
    // Releases the action's previous combination, then tries `descriptor`. A refused
    // combination (held by another program, unknown key) leaves the action unregistered, is
    // written to the log and is otherwise not reported. True when registered.
    bool registerHotKey(Action action, const HotKeyDescriptor& descriptor);
    bool isRegistered(Action action) const { return m_registered.count(action) != 0; }
    // The combination the action holds, if any.
    std::optional<HotKeyDescriptor> registeredDescriptor(Action action) const;

    // What the process-wide callback does with a press: runs the function stored under `id`.
    // False when none is stored (the press is left to others).
    static bool dispatch(std::uint32_t id);

  private:
    std::unique_ptr<HotKeyBackend> m_backend;
    std::map<Action, HotKeyDescriptor> m_registered;
    std::map<Action, std::function<void()>> m_handlers;
};

constexpr std::uint32_t rawValue(GlobalShortcuts::Action action) noexcept {
    return static_cast<std::uint32_t>(action);
}

}  // namespace velurio
