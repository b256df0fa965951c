#include "core/slide_hasher.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <vector>

namespace velurio {

namespace {

// Mean brightness of each of the 8×8 cells, sampling every (side/4)-th row and column of
// cells more than 7 pixels on a side. `pixel(x, y)` gives the brightness at (x, y).
template <class Pixel>
std::array<double, 64> cellMeans(std::int64_t width, std::int64_t height, Pixel pixel) {
    std::array<double, 64> means{};
    for (std::int64_t r = 0; r < 8; ++r) {
        const std::int64_t rowStart = height * r / 8;
        const std::int64_t rowEnd = height * (r + 1) / 8;
        const std::int64_t cellHeight = rowEnd - rowStart;
        const std::int64_t rowStep = cellHeight > 7 ? cellHeight / 4 : 1;
        for (std::int64_t c = 0; c < 8; ++c) {
            const std::int64_t colStart = width * c / 8;
            const std::int64_t colEnd = width * (c + 1) / 8;
            const std::int64_t cellWidth = colEnd - colStart;
            const std::int64_t colStep = cellWidth > 7 ? cellWidth / 4 : 1;
            std::uint64_t sum = 0;
            std::uint64_t count = 0;
            for (std::int64_t y = rowStart; y < rowEnd; y += rowStep) {
                for (std::int64_t x = colStart; x < colEnd; x += colStep) {
                    sum += pixel(x, y);
                    ++count;
                }
            }
            means[static_cast<std::size_t>(8 * r + c)] =
                count == 0 ? 0.0 : static_cast<double>(sum) / static_cast<double>(count);
        }
    }
    return means;
}

std::uint64_t hashOf(const std::array<double, 64>& means, int margin) {
    double total = 0;
    for (double m : means)
        total += m;
    const double threshold = total / 64.0 + margin;
    std::uint64_t hash = 0;
    for (std::size_t k = 0; k < 64; ++k) {
        if (means[k] > threshold)
            hash |= std::uint64_t{1} << k;
    }
    return hash;
}

bool enoughBytes(std::size_t available, int width, int height, std::size_t bytesPerPixel) {
    if (width < 8 || height < 8)
        return false;
    const auto w = static_cast<std::size_t>(width);
    const auto h = static_cast<std::size_t>(height);
    return available / bytesPerPixel / w >= h;
}

// Sums the box rows into `acc` (one accumulator per byte of a row), then reduces each output
// column's box. Acc is 16-bit when a box has at most 257 rows (257 · 255 fits), else 32-bit.
template <class Acc>
void downscaleRows(const BGRAImageView& image, SlideSampler::LumaImage& out) {
    constexpr int kSide = SlideSampler::hashSize;
    const auto width = static_cast<std::size_t>(image.width);
    const auto height = static_cast<std::size_t>(image.height);
    const std::size_t rowBytes = width * 4;
    thread_local std::vector<Acc> acc;
    acc.resize(rowBytes);

    std::array<std::size_t, kSide> xStart{};
    std::array<std::size_t, kSide> xEnd{};
    for (std::size_t ox = 0; ox < kSide; ++ox) {
        xStart[ox] = ox * width / kSide;
        xEnd[ox] = std::max((ox + 1) * width / kSide, xStart[ox] + 1);
    }
    for (std::size_t oy = 0; oy < kSide; ++oy) {
        const std::size_t y0 = oy * height / kSide;
        const std::size_t y1 = std::max((oy + 1) * height / kSide, y0 + 1);
        std::fill(acc.begin(), acc.end(), Acc{0});
        for (std::size_t y = y0; y < y1; ++y) {
            const std::uint8_t* row = image.bytes.data() + y * image.bytesPerRow;
            Acc* a = acc.data();
            for (std::size_t i = 0; i < rowBytes; ++i)
                a[i] = static_cast<Acc>(a[i] + row[i]);
        }
        const std::uint64_t rows = y1 - y0;
        for (std::size_t ox = 0; ox < kSide; ++ox) {
            std::uint64_t b = 0, g = 0, r = 0;
            for (std::size_t x = xStart[ox]; x < xEnd[ox]; ++x) {
                b += acc[4 * x];
                g += acc[4 * x + 1];
                r += acc[4 * x + 2];
            }
            const std::uint64_t count = rows * (xEnd[ox] - xStart[ox]);
            const auto mean = [count](std::uint64_t sum) {
                return static_cast<std::uint8_t>((sum + count / 2) / count);
            };
            out[oy * kSide + ox] = SlideHasher::luma(mean(r), mean(g), mean(b));
        }
    }
}

}  // namespace

namespace SlideHasher {

std::optional<std::uint64_t> averageHash(std::span<const std::uint8_t> luma, int width, int height,
                                         int margin) {
    if (!enoughBytes(luma.size(), width, height, 1))
        return std::nullopt;
    const auto means = cellMeans(width, height, [&](std::int64_t x, std::int64_t y) {
        return luma[static_cast<std::size_t>(y * width + x)];
    });
    return hashOf(means, margin);
}

std::optional<std::uint64_t> averageHashRGBA(std::span<const std::uint8_t> rgba, int width,
                                             int height, int margin) {
    if (!enoughBytes(rgba.size(), width, height, 4))
        return std::nullopt;
    const auto means = cellMeans(width, height, [&](std::int64_t x, std::int64_t y) {
        const std::uint8_t* p = rgba.data() + 4 * static_cast<std::size_t>(y * width + x);
        return luma(p[0], p[1], p[2]);
    });
    return hashOf(means, margin);
}

int hammingDistance(std::uint64_t a, std::uint64_t b) noexcept {
    return std::popcount(a ^ b);
}

}  // namespace SlideHasher

bool SlideChangeDetector::ingest(std::uint64_t hash) noexcept {
    const bool changed = lastHash && SlideHasher::hammingDistance(hash, *lastHash) >= threshold;
    lastHash = hash;
    return changed;
}

bool BGRAImageView::isValid() const noexcept {
    if (width < 1 || height < 1)
        return false;
    const auto rowBytes = static_cast<std::size_t>(width) * 4;
    if (bytesPerRow < rowBytes)
        return false;
    const auto lastRow = static_cast<std::size_t>(height - 1);
    if (lastRow != 0 &&
        bytesPerRow > (std::numeric_limits<std::size_t>::max() - rowBytes) / lastRow) {
        return false;
    }
    return bytes.size() >= bytesPerRow * lastRow + rowBytes && bytes.data() != nullptr;
}

std::optional<SlideSampler::LumaImage> SlideSampler::downsampleToLuma(const BGRAImageView& image) {
    if (!image.isValid())
        return std::nullopt;
    LumaImage out{};
    const auto maxRowsPerBox =
        (static_cast<std::size_t>(image.height) + hashSize - 1) / hashSize + 1;
    if (maxRowsPerBox <= 257) {
        downscaleRows<std::uint16_t>(image, out);
    } else {
        downscaleRows<std::uint32_t>(image, out);
    }
    return out;
}

}  // namespace velurio
