#include "platform/x11/x11_window_support.h"

#include "platform/x11/xcb_reply.h"

#include <QGuiApplication>
#include <QRegion>
#include <QWindow>

#include <xcb/shape.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace velurio::x11 {

namespace {

xcb_connection_t* connection() {
    auto* app = qGuiApp;
    if (app == nullptr || QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    auto* native = app->nativeInterface<QNativeInterface::QX11Application>();
    return native != nullptr ? native->connection() : nullptr;
}

}  // namespace

bool available() {
    return connection() != nullptr;
}

std::uint32_t windowId(QWindow* window) {
    if (window == nullptr || connection() == nullptr)
        return 0;
    return static_cast<std::uint32_t>(window->winId());
}

bool setInputTransparent(QWindow* window, bool transparent) {
    xcb_connection_t* c = connection();
    if (c == nullptr || window == nullptr)
        return false;
    const auto id = static_cast<xcb_window_t>(window->winId());
    if (transparent) {
        // An input region without rectangles: the pointer goes through to the windows below.
        xcb_shape_rectangles(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, XCB_CLIP_ORDERING_UNSORTED,
                             id, 0, 0, 0, nullptr);
    } else {
        // No mask resets the input region to the window's whole shape.
        xcb_shape_mask(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, id, 0, 0, XCB_PIXMAP_NONE);
    }
    xcb_flush(c);
    return true;
}

bool setInputRegion(QWindow* window, const QRegion& region) {
    xcb_connection_t* c = connection();
    if (c == nullptr || window == nullptr)
        return false;
    std::vector<xcb_rectangle_t> rectangles;
    for (const QRect& r : region) {
        rectangles.push_back({static_cast<std::int16_t>(r.x()), static_cast<std::int16_t>(r.y()),
                              static_cast<std::uint16_t>(r.width()),
                              static_cast<std::uint16_t>(r.height())});
    }
    xcb_shape_rectangles(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_INPUT, XCB_CLIP_ORDERING_UNSORTED,
                         static_cast<xcb_window_t>(window->winId()), 0, 0,
                         static_cast<std::uint32_t>(rectangles.size()), rectangles.data());
    xcb_flush(c);
    return true;
}

std::optional<std::uint32_t> inputFocus() {
    xcb_connection_t* c = connection();
    if (c == nullptr)
        return std::nullopt;
    XCBReply<xcb_get_input_focus_reply_t> reply(
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    if (!reply)
        return std::nullopt;
    return reply->focus;
}

void restoreInputFocus(std::uint32_t xWindow) {
    xcb_connection_t* c = connection();
    if (c == nullptr)
        return;
    xcb_window_t target = xWindow;
    if (target > XCB_INPUT_FOCUS_POINTER_ROOT) {
        // The window may have gone or been unmapped while our editor was open; focusing it then
        // would raise an X error, so fall back to following the pointer.
        XCBReply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, target), nullptr));
        if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
            target = XCB_INPUT_FOCUS_POINTER_ROOT;
        }
    }
    xcb_set_input_focus(c, XCB_INPUT_FOCUS_POINTER_ROOT, target, XCB_CURRENT_TIME);
    xcb_flush(c);
}

std::optional<std::uint32_t> activeWindow() {
    xcb_connection_t* c = connection();
    if (c == nullptr)
        return std::nullopt;
    static constexpr char kName[] = "_NET_ACTIVE_WINDOW";
    XCBReply<xcb_intern_atom_reply_t> atom(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 1, sizeof kName - 1, kName), nullptr));
    if (!atom || atom->atom == XCB_ATOM_NONE)
        return std::nullopt;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    XCBReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
        c, xcb_get_property(c, 0, root, atom->atom, XCB_ATOM_WINDOW, 0, 1), nullptr));
    if (!reply || xcb_get_property_value_length(reply.get()) < 4)
        return std::nullopt;
    const auto id = *static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()));
    if (id == XCB_WINDOW_NONE)
        return std::nullopt;
    return id;
}

bool stackBelow(QWindow* window, std::uint32_t xWindow) {
    xcb_connection_t* c = connection();
    if (c == nullptr || window == nullptr || xWindow == 0)
        return false;
    const auto own = static_cast<xcb_window_t>(window->winId());
    // Walk up to the child of the root: that is what the stacking order holds.
    xcb_window_t top = xWindow;
    for (int depth = 0; depth < 16; ++depth) {
        XCBReply<xcb_query_tree_reply_t> tree(
            xcb_query_tree_reply(c, xcb_query_tree(c, top), nullptr));
        if (!tree)
            return false;
        if (tree->parent == tree->root || tree->parent == XCB_WINDOW_NONE)
            break;
        top = tree->parent;
    }
    if (top == own)
        return false;
    XCBReply<xcb_get_window_attributes_reply_t> attributes(
        xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, top), nullptr));
    if (!attributes || attributes->map_state != XCB_MAP_STATE_VIEWABLE)
        return false;
    const std::uint32_t values[] = {top, XCB_STACK_MODE_BELOW};
    const xcb_void_cookie_t cookie = xcb_configure_window_checked(
        c, own, XCB_CONFIG_WINDOW_SIBLING | XCB_CONFIG_WINDOW_STACK_MODE, values);
    XCBReply<xcb_generic_error_t> error(xcb_request_check(c, cookie));
    return !error;
}

}  // namespace velurio::x11
