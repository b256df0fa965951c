// Deterministic screen content for the encoder tests and benchmarks.
//
// fullMotion: a detailed picture panning diagonally (ping-pong) with an animated region of
// changing texture, roughly a video playing while the view scrolls: every frame changes
// everywhere. slides: a white page of text-like lines with a moving pointer, and a new page
// every `slidePeriod` frames: almost nothing changes between frames.
#pragma once

#include "core/pixel_buffer.h"
#include "core/slide_hasher.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace velurio::testing {

class SyntheticScreen {
  public:
    enum class Kind { fullMotion, slides };

    SyntheticScreen(Kind kind, int width, int height, int slidePeriod = 90)
        : m_kind(kind),
          m_width(width),
          m_height(height),
          m_slidePeriod(slidePeriod),
          m_frame(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4) {
        if (kind == Kind::fullMotion)
            buildTexture();
    }

    int width() const { return m_width; }
    int height() const { return m_height; }

    // Frame `index`, rendered into a buffer owned by this object (valid until the next call).
    BGRAImageView frame(int index) {
        if (m_kind == Kind::fullMotion)
            renderMotion(index);
        else
            renderSlide(index);
        return BGRAImageView{m_frame, m_width, m_height, static_cast<std::size_t>(m_width) * 4};
    }

    // Frame `index` as an independent buffer the encoder may keep.
    PixelBuffer pixelBuffer(int index) {
        frame(index);
        return makePixelBuffer(m_frame, m_width, m_height, static_cast<std::size_t>(m_width) * 4);
    }

  private:
    static std::uint32_t hash(std::uint32_t x) {
        x ^= x >> 16;
        x *= 0x7feb352dU;
        x ^= x >> 15;
        x *= 0x846ca68bU;
        x ^= x >> 16;
        return x;
    }

    void put(std::vector<std::uint8_t>& image, int stride, int x, int y, std::uint8_t b,
             std::uint8_t g, std::uint8_t r) {
        const std::size_t at = (static_cast<std::size_t>(y) * static_cast<std::size_t>(stride) +
                                static_cast<std::size_t>(x)) *
                               4;
        image[at] = b;
        image[at + 1] = g;
        image[at + 2] = r;
        image[at + 3] = 255;
    }

    // Smooth value noise (bilinear over a coarse random grid) with sharp-edged blocks and a
    // little fine grain on top: detail an encoder has to spend bits on.
    void buildTexture() {
        m_texWidth = m_width + m_width / 3;
        m_texHeight = m_height + m_height / 3;
        m_texture.assign(
            static_cast<std::size_t>(m_texWidth) * static_cast<std::size_t>(m_texHeight) * 4, 0);
        constexpr int cell = 24;
        const int gridW = m_texWidth / cell + 2;
        for (int y = 0; y < m_texHeight; ++y) {
            const int gy = y / cell;
            const int fy = y % cell;
            for (int x = 0; x < m_texWidth; ++x) {
                const int gx = x / cell;
                const int fx = x % cell;
                std::uint8_t channel[3];
                for (std::uint32_t c = 0; c < 3; ++c) {
                    auto at = [&](int i, int j) {
                        return static_cast<int>(
                            hash(static_cast<std::uint32_t>(j * gridW + i) * 3U + c) & 0xFF);
                    };
                    const int top = at(gx, gy) * (cell - fx) + at(gx + 1, gy) * fx;
                    const int bottom = at(gx, gy + 1) * (cell - fx) + at(gx + 1, gy + 1) * fx;
                    int v = (top * (cell - fy) + bottom * fy) / (cell * cell);
                    if (((x / 96) + (y / 64)) % 5 == 0)
                        v = 255 - v;  // hard edges
                    v += static_cast<int>(
                             hash(static_cast<std::uint32_t>(y * m_texWidth + x) + c * 7919U) %
                             13U) -
                         6;
                    channel[c] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
                }
                put(m_texture, m_texWidth, x, y, channel[0], channel[1], channel[2]);
            }
        }
    }

    void renderMotion(int index) {
        const int rangeX = m_texWidth - m_width;
        const int rangeY = m_texHeight - m_height;
        auto pingPong = [](int v, int range) {
            if (range <= 0)
                return 0;
            const int period = 2 * range;
            const int p = ((v % period) + period) % period;
            return p < range ? p : period - p;
        };
        const int ox = pingPong(index * 6, rangeX);
        const int oy = pingPong(index * 3, rangeY);
        const std::size_t row = static_cast<std::size_t>(m_width) * 4;
        for (int y = 0; y < m_height; ++y) {
            const std::size_t from =
                (static_cast<std::size_t>(y + oy) * static_cast<std::size_t>(m_texWidth) +
                 static_cast<std::size_t>(ox)) *
                4;
            std::memcpy(m_frame.data() + static_cast<std::size_t>(y) * row, m_texture.data() + from,
                        row);
        }
        // The "video" region: a moving colour field with per-frame texture.
        const int rw = m_width / 3;
        const int rh = m_height / 3;
        const int rx = m_width / 2;
        const int ry = m_height / 2;
        for (int y = 0; y < rh; ++y) {
            for (int x = 0; x < rw; ++x) {
                const auto seed = static_cast<std::uint32_t>((y / 4) * rw + x / 4 + index * 131);
                const int n = static_cast<int>(hash(seed) % 48U);
                const auto r =
                    static_cast<std::uint8_t>(std::clamp((x + index * 5) % 256 / 2 + n, 0, 255));
                const auto g =
                    static_cast<std::uint8_t>(std::clamp((y + index * 3) % 256 / 2 + n, 0, 255));
                const auto b = static_cast<std::uint8_t>(std::clamp(128 + n, 0, 255));
                put(m_frame, m_width, rx + x - rw / 2, ry + y - rh / 2, b, g, r);
            }
        }
    }

    void renderSlide(int index) {
        const int page = index / std::max(m_slidePeriod, 1);
        if (page != m_page) {
            m_page = page;
            m_slide.assign(m_frame.size(), 255);
            const int lineHeight = std::max(m_height / 30, 4);
            for (int line = 2; line < 26; ++line) {
                if (hash(static_cast<std::uint32_t>(page * 97 + line)) % 5U == 0)
                    continue;
                int x = m_width / 12;
                const int y0 = line * lineHeight;
                while (x < m_width * 11 / 12) {
                    const int word =
                        8 +
                        static_cast<int>(
                            hash(static_cast<std::uint32_t>(x * 31 + line + page * 1000)) % 60U) *
                            m_width / 1920;
                    for (int y = y0; y < y0 + lineHeight * 2 / 3 && y < m_height; ++y)
                        for (int xx = x; xx < x + word && xx < m_width; ++xx)
                            if (hash(static_cast<std::uint32_t>(xx * 7 + y * 13)) % 3U != 0)
                                put(m_slide, m_width, xx, y, 40, 40, 40);
                    x += word + std::max(m_width / 160, 2);
                }
            }
        }
        m_frame = m_slide;
        // The pointer moves a little every frame.
        const int size = std::max(m_width / 120, 4);
        const int px = (m_width / 4 + index * 7) % (m_width - size);
        const int py = (m_height / 3 + index * 2) % (m_height - size);
        for (int y = py; y < py + size; ++y)
            for (int x = px; x < px + size; ++x)
                put(m_frame, m_width, x, y, 0, 0, 220);
    }

    Kind m_kind;
    int m_width;
    int m_height;
    int m_slidePeriod;
    std::vector<std::uint8_t> m_frame;
    std::vector<std::uint8_t> m_texture;
    int m_texWidth = 0;
    int m_texHeight = 0;
    std::vector<std::uint8_t> m_slide;
    int m_page = -1;
};

}  // namespace velurio::testing
