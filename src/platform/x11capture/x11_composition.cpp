// Composing a frame from the other clients' windows (Composite + Render), bottom to top over
// the background, so that our own windows stay out of the picture.
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

void X11ScreenGrabber::freePicture(std::uint32_t& picture, std::uint32_t& pixmap) {
    if (picture != 0)
        xcb_render_free_picture(m_connection, picture);
    if (pixmap != 0)
        xcb_free_pixmap(m_connection, pixmap);
    picture = 0;
    pixmap = 0;
}

void X11ScreenGrabber::prepare(Window& w) {
    if (!w.ours) {
        w.ours = isOurs(w.id);
        if (*w.ours) {
            forget(w);
        } else if (w.damage == 0) {
            w.damage = xcb_generate_id(m_connection);
            xcb_damage_create(m_connection, w.damage, w.id, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
            if (m_shapeEvent != 0)
                xcb_shape_select_input(m_connection, w.id, 1);
        }
    }
    if (*w.ours)
        return;
    if (w.pixmapStale) {
        freePicture(w.picture, w.pixmap);
        w.pixmapStale = false;
        auto format = m_formats->byVisual.find(w.visual);
        if (format != m_formats->byVisual.end()) {
            w.pixmap = xcb_generate_id(m_connection);
            xcb_composite_name_window_pixmap(m_connection, w.id, w.pixmap);
            w.picture = xcb_generate_id(m_connection);
            xcb_render_create_picture(m_connection, w.picture, w.pixmap, format->second.id, 0,
                                      nullptr);
            w.hasAlpha = format->second.type == XCB_RENDER_PICT_TYPE_DIRECT &&
                         format->second.direct.alpha_mask != 0;
        }
    }
    if (w.shapeStale && m_shapeEvent != 0) {
        w.shapeStale = false;
        w.shaped = false;
        w.shape.clear();
        XCBReply<xcb_shape_query_extents_reply_t> extents(xcb_shape_query_extents_reply(
            m_connection, xcb_shape_query_extents(m_connection, w.id), nullptr));
        if (extents && extents->bounding_shaped != 0) {
            XCBReply<xcb_shape_get_rectangles_reply_t> rects(xcb_shape_get_rectangles_reply(
                m_connection, xcb_shape_get_rectangles(m_connection, w.id, XCB_SHAPE_SK_BOUNDING),
                nullptr));
            if (rects) {
                w.shaped = true;
                const xcb_rectangle_t* r = xcb_shape_get_rectangles_rectangles(rects.get());
                const int n = xcb_shape_get_rectangles_rectangles_length(rects.get());
                // Shape rectangles are relative to the inside of the border.
                for (int i = 0; i < n; ++i) {
                    xcb_rectangle_t rect = r[i];
                    rect.x = clamp16(rect.x + w.border);
                    rect.y = clamp16(rect.y + w.border);
                    w.shape.push_back(rect);
                }
            }
        }
    }
}

void X11ScreenGrabber::refreshBackground() {
    m_backgroundStale = false;
    if (m_backgroundPicture != 0)
        xcb_render_free_picture(m_connection, m_backgroundPicture);
    m_backgroundPicture = 0;
    for (xcb_atom_t atom : {m_atomRootPmap, m_atomEsetrootPmap}) {
        if (atom == XCB_ATOM_NONE)
            continue;
        XCBReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            m_connection, xcb_get_property(m_connection, 0, m_root, atom, XCB_ATOM_PIXMAP, 0, 1),
            nullptr));
        if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4)
            continue;
        xcb_pixmap_t pixmap = 0;
        std::memcpy(&pixmap, xcb_get_property_value(reply.get()), sizeof pixmap);
        if (pixmap == 0)
            continue;
        // A stale id (the setter exited) makes the picture fail; the check keeps the grey.
        const std::uint32_t picture = xcb_generate_id(m_connection);
        const xcb_void_cookie_t cookie = xcb_render_create_picture_checked(
            m_connection, picture, pixmap, m_formats->root.id, 0, nullptr);
        if (xcb_generic_error_t* error = xcb_request_check(m_connection, cookie)) {
            std::free(error);
            continue;
        }
        const std::uint32_t repeat = XCB_RENDER_REPEAT_NORMAL;
        xcb_render_change_picture(m_connection, picture, XCB_RENDER_CP_REPEAT, &repeat);
        m_backgroundPicture = picture;
        return;
    }
}

void X11ScreenGrabber::compose(std::uint32_t target) {
    if (m_treeDirty)
        refreshTree();
    if (m_backgroundStale)
        refreshBackground();
    const auto width = static_cast<std::uint16_t>(m_region.width);
    const auto height = static_cast<std::uint16_t>(m_region.height);

    // The windows to draw, bottom to top.
    std::vector<Window*> visible;
    m_lastExcluded = 0;
    for (xcb_window_t id : m_stack) {
        auto it = m_windows.find(id);
        if (it == m_windows.end())
            continue;
        Window& w = *it->second;
        if (!w.mapped || !w.inputOutput || !intersectsRegion(w))
            continue;
        prepare(w);
        if (*w.ours) {
            ++m_lastExcluded;
            continue;
        }
        if (w.picture != 0)
            visible.push_back(&w);
    }
    auto outer = [this](const Window& w) {
        return xcb_rectangle_t{clamp16(std::int64_t{w.x} - m_region.x),
                               clamp16(std::int64_t{w.y} - m_region.y),
                               clampU16(w.width + 2 * w.border), clampU16(w.height + 2 * w.border)};
    };
    auto draw = [this, target](const Window& w, const xcb_rectangle_t& r) {
        xcb_render_composite(m_connection,
                             w.hasAlpha ? XCB_RENDER_PICT_OP_OVER : XCB_RENDER_PICT_OP_SRC,
                             w.picture, XCB_NONE, target, 0, 0, 0, 0, r.x, r.y, r.width, r.height);
    };
    auto drawBackground = [&] {
        if (m_backgroundPicture != 0) {
            xcb_render_composite(m_connection, XCB_RENDER_PICT_OP_SRC, m_backgroundPicture,
                                 XCB_NONE, target, clamp16(m_region.x), clamp16(m_region.y), 0, 0,
                                 0, 0, width, height);
        } else {
            const xcb_render_color_t grey{kBackgroundGrey, kBackgroundGrey, kBackgroundGrey,
                                          0xffff};
            const xcb_rectangle_t all{0, 0, width, height};
            xcb_render_fill_rectangles(m_connection, XCB_RENDER_PICT_OP_SRC, target, grey, 1, &all);
        }
    };

    if (m_hasXfixes) {
        // Every pixel is written once: top to bottom, each window's clip is its outline (and
        // bounding shape) minus what the opaque, unshaped windows above it cover; windows with
        // alpha cover nothing, so what lies under them is still drawn first.
        std::vector<std::uint32_t> clips(visible.size());
        const std::uint32_t covered = xcb_generate_id(m_connection);
        xcb_xfixes_create_region(m_connection, covered, 0, nullptr);
        for (std::size_t i = visible.size(); i-- > 0;) {
            const Window& w = *visible[i];
            const xcb_rectangle_t r = outer(w);
            const std::uint32_t clip = xcb_generate_id(m_connection);
            xcb_xfixes_create_region(m_connection, clip, 1, &r);
            if (w.shaped) {
                const std::uint32_t shape = xcb_generate_id(m_connection);
                xcb_xfixes_create_region(m_connection, shape,
                                         static_cast<std::uint32_t>(w.shape.size()),
                                         w.shape.data());
                xcb_xfixes_translate_region(m_connection, shape, r.x, r.y);
                xcb_xfixes_intersect_region(m_connection, clip, shape, clip);
                xcb_xfixes_destroy_region(m_connection, shape);
            }
            xcb_xfixes_subtract_region(m_connection, clip, covered, clip);
            if (!w.hasAlpha && !w.shaped)
                xcb_xfixes_union_region(m_connection, covered, clip, covered);
            clips[i] = clip;
        }
        const xcb_rectangle_t all{0, 0, width, height};
        const std::uint32_t background = xcb_generate_id(m_connection);
        xcb_xfixes_create_region(m_connection, background, 1, &all);
        xcb_xfixes_subtract_region(m_connection, background, covered, background);
        xcb_xfixes_set_picture_clip_region(m_connection, target, background, 0, 0);
        drawBackground();
        for (std::size_t i = 0; i < visible.size(); ++i) {
            xcb_xfixes_set_picture_clip_region(m_connection, target, clips[i], 0, 0);
            draw(*visible[i], outer(*visible[i]));
            xcb_xfixes_destroy_region(m_connection, clips[i]);
        }
        xcb_xfixes_set_picture_clip_region(m_connection, target, XCB_NONE, 0, 0);
        xcb_xfixes_destroy_region(m_connection, background);
        xcb_xfixes_destroy_region(m_connection, covered);
        return;
    }

    drawBackground();
    for (const Window* w : visible) {
        const xcb_rectangle_t r = outer(*w);
        if (w->shaped) {
            xcb_render_set_picture_clip_rectangles(m_connection, target, r.x, r.y,
                                                   static_cast<std::uint32_t>(w->shape.size()),
                                                   w->shape.data());
        }
        draw(*w, r);
        if (w->shaped) {
            const std::uint32_t none = XCB_NONE;
            xcb_render_change_picture(m_connection, target, XCB_RENDER_CP_CLIP_MASK, &none);
        }
    }
}

}  // namespace velurio
