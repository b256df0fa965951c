// The X server's displays as RandR monitors (which includes monitors made with
// `xrandr --setmonitor`), each with an id derived from its name so that a persisted selection
// survives a restart of the X server, where output and monitor numbers may change.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velurio {

struct X11Display {
    std::uint32_t id = 0;
    std::string name;
    // Position on the root window and size, in pixels.
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    bool primary = false;

    bool operator==(const X11Display&) const = default;
};

// 32-bit FNV-1a of the name; never 0 (0 is taken as 1).
std::uint32_t x11DisplayIdForName(std::string_view name) noexcept;

// The active RandR monitors in the server's order. Without RandR 1.5 (or without any monitor),
// one display covering the whole root window, named "screen". Ids are unique within the list:
// on a clash of names' hashes the later display's id is re-derived from "<name>#<n>".
std::vector<X11Display> listX11Displays(xcb_connection_t* connection, xcb_window_t root);

}  // namespace velurio
