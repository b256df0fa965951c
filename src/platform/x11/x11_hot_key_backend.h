#pragma once
// Global hot keys on X11: a passive key grab on the root window for every combination of the
// lock modifiers (Caps Lock, Num Lock) the user may have on, so the shortcut works whatever
// their state. Presses arrive as KeyPress events on Qt's xcb connection, picked out by a native
// event filter. A combination another client already grabbed makes the server answer BadAccess,
// which the checked request reports as `taken`.
//
// Main thread only. Without an X server (another Qt platform) every grab is `unavailable`.

#include "core/hot_key_backend.h"

#include <QAbstractNativeEventFilter>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

struct xcb_connection_t;

namespace velurio {

class X11HotKeyBackend final : public HotKeyBackend, public QAbstractNativeEventFilter {
  public:
    X11HotKeyBackend();
    ~X11HotKeyBackend() override;
    X11HotKeyBackend(const X11HotKeyBackend&) = delete;
    X11HotKeyBackend& operator=(const X11HotKeyBackend&) = delete;

    GrabResult grab(std::uint32_t id, std::uint32_t keyCode,
                    std::uint32_t carbonModifiers) override;
    void release(std::uint32_t id) override;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

    // The X keysym of a key code of the settings' encoding, if the key is known.
    static std::optional<std::uint32_t> keysymForKeyCode(std::uint32_t keyCode);
    // The X modifier mask (Control, Shift, Mod1 for option, Mod4 for command) of a Carbon mask.
    static std::uint16_t xModifiers(std::uint32_t carbonModifiers);

  private:
    struct Grab {
        std::uint8_t keycode = 0;
        std::uint16_t modifiers = 0;
    };

    std::optional<std::uint8_t> keycodeForKeysym(std::uint32_t keysym) const;
    std::uint16_t numLockMask() const;
    std::vector<std::uint16_t> lockVariants() const;
    void ungrab(const Grab& grab);

    xcb_connection_t* m_connection = nullptr;
    std::uint32_t m_root = 0;
    std::map<std::uint32_t, Grab> m_grabs;
};

}  // namespace velurio
