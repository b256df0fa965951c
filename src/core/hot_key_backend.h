#pragma once
// The system side of the global shortcuts: grabbing a key combination for the whole desktop and
// reporting when it is pressed. One implementation per platform, chosen at build time (the X11
// one lives in src/platform/x11; the application picks one with makePlatformHotKeyBackend). Main
// thread only.

#include <cstdint>
#include <functional>
#include <memory>

namespace velurio {

class HotKeyBackend {
  public:
    enum class GrabResult : std::uint8_t {
        grabbed,
        taken,        // another program holds the combination
        unknownKey,   // the key code has no key on this keyboard
        unavailable,  // no windowing system to grab from (e.g. offscreen)
    };

    virtual ~HotKeyBackend() = default;

    // Grabs `keyCode` with `carbonModifiers` (the settings' key encoding) under `id`. A grab
    // either takes every variant the system needs (lock keys on or off) or none of them.
    virtual GrabResult grab(std::uint32_t id, std::uint32_t keyCode,
                            std::uint32_t carbonModifiers) = 0;
    // Releases the grab made under `id` at once; unknown ids do nothing.
    virtual void release(std::uint32_t id) = 0;

    // Called on the main thread with the id of each grabbed combination pressed.
    std::function<void(std::uint32_t id)> onPressed;
};

}  // namespace velurio
