// The grabber's picture of the window stack, kept from structure, damage and shape events.
#include "platform/x11capture/x11_screen_grabber_internal.h"

#include <sys/shm.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/render.h>
#include <xcb/shape.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace velurio {

using namespace x11grab;

bool X11ScreenGrabber::intersectsRegion(const Window& w) const noexcept {
    const std::int64_t right = std::int64_t{w.x} + w.width + 2 * w.border;
    const std::int64_t bottom = std::int64_t{w.y} + w.height + 2 * w.border;
    return w.x < m_region.x + m_region.width && right > m_region.x &&
           w.y < m_region.y + m_region.height && bottom > m_region.y;
}

bool X11ScreenGrabber::drainEvents() {
    bool dirty = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
        dirty = handleEvent(*event) || dirty;
        std::free(event);
    }
    return dirty;
}

bool X11ScreenGrabber::handleEvent(const xcb_generic_event_t& event) {
    const std::uint8_t type = event.response_type & 0x7f;
    auto find = [this](xcb_window_t id) -> Window* {
        auto it = m_windows.find(id);
        return it == m_windows.end() ? nullptr : it->second.get();
    };
    switch (type) {
        case 0:  // an error: a window vanished between a request and its use
            return false;
        case XCB_CREATE_NOTIFY:
            m_treeDirty = true;
            return false;
        case XCB_DESTROY_NOTIFY: {
            const auto& e = reinterpret_cast<const xcb_destroy_notify_event_t&>(event);
            Window* w = find(e.window);
            const bool visible = w != nullptr && w->mapped;
            if (w != nullptr) {
                w->damage = 0;  // destroyed with its window
                forget(*w);
                m_windows.erase(e.window);
            }
            m_treeDirty = true;
            return visible;
        }
        case XCB_MAP_NOTIFY: {
            const auto& e = reinterpret_cast<const xcb_map_notify_event_t&>(event);
            if (e.event != m_root)
                return false;
            if (Window* w = find(e.window)) {
                w->mapped = true;
                w->pixmapStale = true;
                w->shapeStale = true;
                w->ours.reset();
            }
            m_treeDirty = true;
            return true;
        }
        case XCB_UNMAP_NOTIFY: {
            const auto& e = reinterpret_cast<const xcb_unmap_notify_event_t&>(event);
            if (e.event != m_root)
                return false;
            if (Window* w = find(e.window)) {
                w->mapped = false;
                w->pixmapStale = true;
            }
            return true;
        }
        case XCB_CONFIGURE_NOTIFY: {
            const auto& e = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
            if (e.window == m_root) {
                // The root resizes with the screen; monitors set or deleted also reconfigure it.
                m_displaysChanged = true;
                return true;
            }
            if (e.event != m_root)
                return false;
            if (Window* w = find(e.window)) {
                if (w->width != e.width || w->height != e.height || w->border != e.border_width) {
                    w->pixmapStale = true;
                    w->shapeStale = true;
                }
                w->x = e.x;
                w->y = e.y;
                w->width = e.width;
                w->height = e.height;
                w->border = e.border_width;
            }
            m_treeDirty = true;
            return true;
        }
        case XCB_REPARENT_NOTIFY:
        case XCB_CIRCULATE_NOTIFY:
            m_treeDirty = true;
            return true;
        case XCB_PROPERTY_NOTIFY: {
            const auto& e = reinterpret_cast<const xcb_property_notify_event_t&>(event);
            if (e.window == m_root && (e.atom == m_atomRootPmap || e.atom == m_atomEsetrootPmap)) {
                m_backgroundStale = true;
                return true;
            }
            return false;
        }
        default:
            break;
    }
    if (m_damageEvent != 0 && type == m_damageEvent + XCB_DAMAGE_NOTIFY) {
        const auto& e = reinterpret_cast<const xcb_damage_notify_event_t&>(event);
        xcb_damage_subtract(m_connection, e.damage, XCB_NONE, XCB_NONE);
        // Damage the server saw before it read our last image is in that image (this is also
        // the report every new damage object makes of the window's existing contents).
        if (m_lastReadSequence &&
            static_cast<std::int32_t>(event.full_sequence - *m_lastReadSequence) < 0) {
            return false;
        }
        if (e.drawable == m_root)
            return true;
        Window* w = find(e.drawable);
        return w == nullptr || intersectsRegion(*w);
    }
    if (m_randrEvent != 0 && (type == m_randrEvent + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                              type == m_randrEvent + XCB_RANDR_NOTIFY)) {
        m_displaysChanged = true;
        return true;
    }
    if (m_shapeEvent != 0 && type == m_shapeEvent + XCB_SHAPE_NOTIFY) {
        const auto& e = reinterpret_cast<const xcb_shape_notify_event_t&>(event);
        if (Window* w = find(e.affected_window)) {
            w->shapeStale = true;
            return w->mapped;
        }
        return false;
    }
    if (m_xfixesEvent != 0 && type == m_xfixesEvent + XCB_XFIXES_CURSOR_NOTIFY) {
        m_cursorStale = true;
        return m_options.drawCursor && m_pointerOnScreen && m_pointerX >= m_region.x &&
               m_pointerX < m_region.x + m_region.width && m_pointerY >= m_region.y &&
               m_pointerY < m_region.y + m_region.height;
    }
    return false;
}

void X11ScreenGrabber::forget(Window& w) {
    freePicture(w.picture, w.pixmap);
    if (w.damage != 0)
        xcb_damage_destroy(m_connection, w.damage);
    w.damage = 0;
}

void X11ScreenGrabber::refreshTree() {
    m_treeDirty = false;
    XCBReply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, m_root), nullptr));
    if (!tree)
        return;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    std::vector<xcb_window_t> stack(children, children + count);

    struct Pending {
        xcb_window_t id;
        xcb_get_window_attributes_cookie_t attributes;
        xcb_get_geometry_cookie_t geometry;
    };
    std::vector<Pending> pending;
    for (xcb_window_t id : stack) {
        if (m_windows.count(id) == 0) {
            pending.push_back({id, xcb_get_window_attributes(m_connection, id),
                               xcb_get_geometry(m_connection, id)});
        }
    }
    for (const Pending& p : pending) {
        XCBReply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(m_connection, p.attributes, nullptr));
        XCBReply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(m_connection, p.geometry, nullptr));
        if (!attributes || !geometry)
            continue;  // gone meanwhile
        auto w = std::make_unique<Window>();
        w->id = p.id;
        w->x = geometry->x;
        w->y = geometry->y;
        w->width = geometry->width;
        w->height = geometry->height;
        w->border = geometry->border_width;
        w->mapped = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        w->inputOutput = attributes->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT;
        w->visual = attributes->visual;
        m_windows.emplace(p.id, std::move(w));
    }
    // Drop windows that are no longer the root's children (reparented into a frame).
    for (auto it = m_windows.begin(); it != m_windows.end();) {
        if (std::find(stack.begin(), stack.end(), it->first) == stack.end()) {
            forget(*it->second);
            it = m_windows.erase(it);
        } else {
            ++it;
        }
    }
    stack.erase(std::remove_if(stack.begin(), stack.end(),
                               [this](xcb_window_t id) { return m_windows.count(id) == 0; }),
                stack.end());
    m_stack = std::move(stack);
}

bool X11ScreenGrabber::isOurs(xcb_window_t window) {
    auto pidOf = [this](xcb_get_property_cookie_t cookie) -> std::optional<std::uint32_t> {
        XCBReply<xcb_get_property_reply_t> reply(
            xcb_get_property_reply(m_connection, cookie, nullptr));
        if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4) {
            return std::nullopt;
        }
        std::uint32_t pid = 0;
        std::memcpy(&pid, xcb_get_property_value(reply.get()), sizeof pid);
        return pid;
    };
    const auto own = static_cast<std::uint32_t>(m_options.ownPid);
    auto cookie = xcb_get_property(m_connection, 0, window, m_atomPid, XCB_ATOM_CARDINAL, 0, 1);
    auto treeCookie = xcb_query_tree(m_connection, window);
    const std::optional<std::uint32_t> pid = pidOf(cookie);
    XCBReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(m_connection, treeCookie, nullptr));
    if (pid)
        return *pid == own;
    if (!tree)
        return false;
    // A window manager's frame: the client inside carries the process id.
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    std::vector<xcb_get_property_cookie_t> cookies;
    for (int i = 0; i < count; ++i) {
        cookies.push_back(
            xcb_get_property(m_connection, 0, children[i], m_atomPid, XCB_ATOM_CARDINAL, 0, 1));
    }
    bool ours = false;
    for (auto c : cookies) {
        const std::optional<std::uint32_t> childPid = pidOf(c);
        ours = ours || (childPid && *childPid == own);
    }
    return ours;
}

}  // namespace velurio
