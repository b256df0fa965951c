#pragma once
// The few X11 operations the overlay needs that Qt does not offer without re-creating a window.
// Every function is a no-op (returning false or nothing) when the application does not run on
// the xcb platform, so the same code runs on the offscreen platform in unit tests.

#include <cstdint>
#include <optional>

class QRegion;
class QWindow;

namespace velurio::x11 {

// True when the application runs on an X server.
bool available();

// Makes `window` let every pointer event through to what lies below (an empty input region), or
// restores its normal input region. The window stays mapped and keeps its X id: nothing is
// re-created or hidden, so the picture on screen does not flicker.
bool setInputTransparent(QWindow* window, bool transparent);

// Lets the pointer reach `window` only inside `region` (window coordinates); elsewhere events
// go through to what lies below. An empty region makes the whole window click-through.
bool setInputRegion(QWindow* window, const QRegion& region);

// The window holding the keyboard focus (also 0 for None and 1 for PointerRoot), if known.
std::optional<std::uint32_t> inputFocus();

// Gives the keyboard focus to `xWindow` (0 = None, 1 = PointerRoot) when it still exists and is
// viewable, else to PointerRoot.
void restoreInputFocus(std::uint32_t xWindow);

// The X id of the top-level window, or 0.
std::uint32_t windowId(QWindow* window);

// The window the window manager calls active (_NET_ACTIVE_WINDOW), if it says so.
std::optional<std::uint32_t> activeWindow();

// Restacks `window` (a top-level of this process that no window manager handles) directly
// below the top-level that holds `xWindow` (its window manager frame, when it has one). False
// when `xWindow` is not a viewable window or is `window` itself.
bool stackBelow(QWindow* window, std::uint32_t xWindow);

}  // namespace velurio::x11
