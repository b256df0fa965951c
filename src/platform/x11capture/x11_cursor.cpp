// The pointer drawn into the frame: its image from XFixes, scaled with the picture.
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

bool X11ScreenGrabber::pollCursor() {
    if (!m_options.drawCursor)
        return false;
    XCBReply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(m_connection, xcb_query_pointer(m_connection, m_root), nullptr));
    if (!pointer)
        return false;
    const bool onScreen = pointer->same_screen != 0;
    if (onScreen == m_pointerOnScreen && pointer->root_x == m_pointerX &&
        pointer->root_y == m_pointerY) {
        return false;
    }
    auto inside = [this](std::int32_t px, std::int32_t py, bool on) {
        // The cursor image reaches up to 64 pixels around the hot spot.
        constexpr std::int32_t kReach = 64;
        return on && px + kReach > m_region.x && px - kReach < m_region.x + m_region.width &&
               py + kReach > m_region.y && py - kReach < m_region.y + m_region.height;
    };
    const bool mattered = inside(m_pointerX, m_pointerY, m_pointerOnScreen) ||
                          inside(pointer->root_x, pointer->root_y, onScreen);
    m_pointerX = pointer->root_x;
    m_pointerY = pointer->root_y;
    m_pointerOnScreen = onScreen;
    return mattered;
}

void X11ScreenGrabber::drawCursor(const BGRAImageView& image, std::uint8_t* bytes) {
    if (!m_hasXfixes)
        return;
    if (m_cursorStale) {
        m_cursorStale = false;
        XCBReply<xcb_xfixes_get_cursor_image_reply_t> cursor(xcb_xfixes_get_cursor_image_reply(
            m_connection, xcb_xfixes_get_cursor_image(m_connection), nullptr));
        if (!cursor)
            return;
        const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(cursor.get());
        const int count = xcb_xfixes_get_cursor_image_cursor_image_length(cursor.get());
        m_cursorPixels.assign(pixels, pixels + count);
        m_cursorWidth = cursor->width;
        m_cursorHeight = cursor->height;
        m_cursorHotX = cursor->xhot;
        m_cursorHotY = cursor->yhot;
        m_scaledCursorPixels.clear();
        if (m_pointerX < 0) {
            m_pointerX = cursor->x;
            m_pointerY = cursor->y;
            m_pointerOnScreen = true;
        }
    }
    if (!m_pointerOnScreen ||
        m_cursorPixels.size() < std::size_t(m_cursorWidth) * std::size_t(m_cursorHeight)) {
        return;
    }
    const double fx = static_cast<double>(image.width) / m_region.width;
    const double fy = static_cast<double>(image.height) / m_region.height;
    const std::uint32_t* pixels = m_cursorPixels.data();
    int width = m_cursorWidth;
    int height = m_cursorHeight;
    int hotX = m_cursorHotX;
    int hotY = m_cursorHotY;
    if (fx != 1.0 || fy != 1.0) {
        // The cursor shrinks with the picture, as it looks on the screen.
        if (fx != m_scaledCursorFx || fy != m_scaledCursorFy || m_scaledCursorPixels.empty()) {
            scaleCursor(fx, fy);
        }
        pixels = m_scaledCursorPixels.data();
        width = m_scaledCursorWidth;
        height = m_scaledCursorHeight;
        hotX = m_scaledCursorHotX;
        hotY = m_scaledCursorHotY;
    }
    const auto left = static_cast<int>((m_pointerX - m_region.x) * fx) - hotX;
    const auto top = static_cast<int>((m_pointerY - m_region.y) * fy) - hotY;
    for (int row = 0; row < height; ++row) {
        const int y = top + row;
        if (y < 0 || y >= image.height)
            continue;
        for (int col = 0; col < width; ++col) {
            const int x = left + col;
            if (x < 0 || x >= image.width)
                continue;
            // Premultiplied ARGB: out = src + dst·(1 − αsrc).
            const std::uint32_t p =
                pixels[std::size_t(row) * std::size_t(width) + std::size_t(col)];
            const std::uint32_t alpha = p >> 24;
            if (alpha == 0)
                continue;
            std::uint8_t* d = bytes + std::size_t(y) * image.bytesPerRow + std::size_t(x) * 4;
            const std::uint32_t inverse = 255 - alpha;
            const std::uint32_t src[3] = {p & 0xff, (p >> 8) & 0xff, (p >> 16) & 0xff};
            for (int c = 0; c < 3; ++c) {
                const std::uint32_t value = src[c] + (d[c] * inverse + 127) / 255;
                d[c] = static_cast<std::uint8_t>(std::min<std::uint32_t>(value, 255));
            }
        }
    }
}

// Box filter over premultiplied pixels: each output pixel is the mean of the cursor pixels its
// area covers (weighted by how much of each it covers), so edges stay smooth at any scale.
void X11ScreenGrabber::scaleCursor(double fx, double fy) {
    m_scaledCursorFx = fx;
    m_scaledCursorFy = fy;
    const int width = std::max(1, static_cast<int>(std::ceil(m_cursorWidth * fx)));
    const int height = std::max(1, static_cast<int>(std::ceil(m_cursorHeight * fy)));
    m_scaledCursorWidth = width;
    m_scaledCursorHeight = height;
    m_scaledCursorHotX = static_cast<int>(m_cursorHotX * fx);
    m_scaledCursorHotY = static_cast<int>(m_cursorHotY * fy);
    m_scaledCursorPixels.assign(std::size_t(width) * std::size_t(height), 0);
    // Source span [from, to) of output index i along one axis, in source pixels.
    auto span = [](int i, double f, int limit) {
        const double from = i / f;
        const double to = std::min((i + 1) / f, static_cast<double>(limit));
        return std::pair{from, to};
    };
    for (int oy = 0; oy < height; ++oy) {
        const auto [y0, y1] = span(oy, fy, m_cursorHeight);
        for (int ox = 0; ox < width; ++ox) {
            const auto [x0, x1] = span(ox, fx, m_cursorWidth);
            double sum[4] = {0, 0, 0, 0};
            double area = 0;
            for (int sy = static_cast<int>(y0); sy < m_cursorHeight && sy < y1; ++sy) {
                const double wy = std::min<double>(sy + 1, y1) - std::max<double>(sy, y0);
                for (int sx = static_cast<int>(x0); sx < m_cursorWidth && sx < x1; ++sx) {
                    const double wx = std::min<double>(sx + 1, x1) - std::max<double>(sx, x0);
                    const double weight = wx * wy;
                    if (weight <= 0)
                        continue;
                    const std::uint32_t p =
                        m_cursorPixels[std::size_t(sy) * std::size_t(m_cursorWidth) +
                                       std::size_t(sx)];
                    for (int c = 0; c < 4; ++c)
                        sum[c] += weight * static_cast<double>((p >> (8 * c)) & 0xff);
                    area += weight;
                }
            }
            if (area <= 0)
                continue;
            std::uint32_t out = 0;
            for (int c = 0; c < 4; ++c) {
                const auto v =
                    static_cast<std::uint32_t>(std::lround(std::min(sum[c] / area, 255.0)));
                out |= v << (8 * c);
            }
            m_scaledCursorPixels[std::size_t(oy) * std::size_t(width) + std::size_t(ox)] = out;
        }
    }
}

}  // namespace velurio
