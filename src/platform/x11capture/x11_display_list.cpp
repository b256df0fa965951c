#include "platform/x11capture/x11_display_list.h"

#include "platform/x11/xcb_reply.h"

#include <xcb/randr.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace velurio {

using x11::XCBReply;
namespace {}  // namespace

std::uint32_t x11DisplayIdForName(std::string_view name) noexcept {
    std::uint32_t hash = 2166136261u;
    for (char c : name) {
        hash ^= static_cast<std::uint8_t>(c);
        hash *= 16777619u;
    }
    return hash == 0 ? 1u : hash;
}

std::vector<X11Display> listX11Displays(xcb_connection_t* connection, xcb_window_t root) {
    std::vector<X11Display> displays;
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(connection, &xcb_randr_id);
    if (ext != nullptr && ext->present != 0) {
        XCBReply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
            connection, xcb_randr_query_version(connection, 1, 5), nullptr));
        if (version && (version->major_version > 1 || version->minor_version >= 5)) {
            XCBReply<xcb_randr_get_monitors_reply_t> monitors(xcb_randr_get_monitors_reply(
                connection, xcb_randr_get_monitors(connection, root, 1), nullptr));
            if (monitors) {
                std::vector<xcb_get_atom_name_cookie_t> names;
                std::vector<X11Display> pending;
                for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get());
                     it.rem != 0; xcb_randr_monitor_info_next(&it)) {
                    const xcb_randr_monitor_info_t* info = it.data;
                    X11Display d;
                    d.x = info->x;
                    d.y = info->y;
                    d.width = info->width;
                    d.height = info->height;
                    d.primary = info->primary != 0;
                    pending.push_back(d);
                    names.push_back(xcb_get_atom_name(connection, info->name));
                }
                for (std::size_t i = 0; i < pending.size(); ++i) {
                    XCBReply<xcb_get_atom_name_reply_t> name(
                        xcb_get_atom_name_reply(connection, names[i], nullptr));
                    if (name) {
                        pending[i].name.assign(
                            xcb_get_atom_name_name(name.get()),
                            static_cast<std::size_t>(xcb_get_atom_name_name_length(name.get())));
                    }
                    if (pending[i].name.empty())
                        pending[i].name = "monitor-" + std::to_string(i);
                    if (pending[i].width > 0 && pending[i].height > 0)
                        displays.push_back(pending[i]);
                }
            }
        }
    }
    if (displays.empty()) {
        const xcb_setup_t* setup = xcb_get_setup(connection);
        for (auto it = xcb_setup_roots_iterator(setup); it.rem != 0; xcb_screen_next(&it)) {
            if (it.data->root != root)
                continue;
            X11Display d;
            d.name = "screen";
            d.width = it.data->width_in_pixels;
            d.height = it.data->height_in_pixels;
            d.primary = true;
            displays.push_back(d);
        }
    }
    for (std::size_t i = 0; i < displays.size(); ++i) {
        std::uint32_t id = x11DisplayIdForName(displays[i].name);
        for (int n = 1;
             std::any_of(displays.begin(), displays.begin() + static_cast<std::ptrdiff_t>(i),
                         [id](const X11Display& e) { return e.id == id; });
             ++n) {
            id = x11DisplayIdForName(displays[i].name + "#" + std::to_string(n));
        }
        displays[i].id = id;
    }
    return displays;
}

}  // namespace velurio
