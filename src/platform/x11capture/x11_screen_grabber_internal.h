#pragma once
// Private to the X11 screen grabber: the state it keeps per window, per image and per picture
// format, and small xcb helpers, shared by its source files (set-up and grabbing, window
// tracking, composition, cursor). Capture thread only, like the grabber.

#include "platform/x11/xcb_reply.h"
#include "platform/x11capture/x11_screen_grabber.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/render.h>
#include <xcb/shape.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace velurio {

using x11::XCBReply;

namespace x11grab {

// What a compositing manager shows where no wallpaper is set.
inline constexpr std::uint16_t kBackgroundGrey = 0x8080;

inline bool extensionPresent(xcb_connection_t* c, xcb_extension_t* ext) {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, ext);
    return data != nullptr && data->present != 0;
}

inline std::uint8_t firstEvent(xcb_connection_t* c, xcb_extension_t* ext) {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, ext);
    return data != nullptr ? data->first_event : 0;
}

inline xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
    XCBReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

inline std::int16_t clamp16(std::int64_t v) {
    return static_cast<std::int16_t>(std::clamp<std::int64_t>(v, INT16_MIN, INT16_MAX));
}

inline std::uint16_t clampU16(std::int64_t v) {
    return static_cast<std::uint16_t>(std::clamp<std::int64_t>(v, 0, UINT16_MAX));
}

}  // namespace x11grab

struct X11ScreenGrabber::Formats {
    std::unordered_map<xcb_visualid_t, xcb_render_pictforminfo_t> byVisual;
    xcb_render_pictforminfo_t root{};
};

struct X11ScreenGrabber::Window {
    xcb_window_t id = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t border = 0;
    bool mapped = false;
    bool inputOutput = false;
    xcb_visualid_t visual = 0;
    std::optional<bool> ours;
    std::uint32_t damage = 0;
    std::uint32_t pixmap = 0;
    std::uint32_t picture = 0;
    bool hasAlpha = false;
    bool pixmapStale = true;
    bool shapeStale = true;
    bool shaped = false;
    std::vector<xcb_rectangle_t> shape;  // relative to the pixmap's origin (outer corner)
};

// One image's memory: a shared-memory segment the server writes into, or plain memory when
// MIT-SHM is missing.
struct X11ScreenGrabber::Slot {
    std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::uint32_t segment = 0;
    // A pixmap over the segment (when the server shares pixmaps): the server draws the image
    // straight into our memory, with no read back.
    std::uint32_t pixmap = 0;
    std::uint32_t picture = 0;
    std::vector<std::uint8_t> heap;
    std::atomic<bool> inUse{false};
    BGRAImageView view;

    Slot() = default;
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    ~Slot() {
        if (segment != 0 && data != nullptr)
            shmdt(data);
    }
};

}  // namespace velurio
