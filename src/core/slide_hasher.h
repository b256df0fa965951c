// Slide-change detection: a 64-bit perceptual hash of an 8×8 grid of brightness means, a
// change rule over successive hashes, and the sampler that applies both to every 15th
// captured BGRA image through a 64×64 area downscale.
//
// Hash bit k (bit 0 least significant) belongs to grid cell k = 8·row + column, rows from the
// top; it is set when the cell's mean brightness exceeds the mean of all cells plus a margin.
// Uniform images hash to 0. Brightness is (299·R + 587·G + 114·B + 500) / 1000.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace velurio {

namespace SlideHasher {

inline constexpr int gridSize = 8;
inline constexpr int hashBitCount = 64;
inline constexpr int defaultMargin = 8;

constexpr std::uint8_t luma(std::uint8_t red, std::uint8_t green, std::uint8_t blue) noexcept {
    return static_cast<std::uint8_t>((299u * red + 587u * green + 114u * blue + 500u) / 1000u);
}

// From one brightness byte per pixel, row-major. Nothing when a side is below 8 or `luma`
// holds fewer than width·height bytes.
std::optional<std::uint64_t> averageHash(std::span<const std::uint8_t> luma, int width, int height,
                                         int margin = defaultMargin);
// The same from RGBA bytes (4 per pixel, red first); nothing when fewer than 4·width·height.
std::optional<std::uint64_t> averageHashRGBA(std::span<const std::uint8_t> rgba, int width,
                                             int height, int margin = defaultMargin);

int hammingDistance(std::uint64_t a, std::uint64_t b) noexcept;

}  // namespace SlideHasher

// Reports a change when a hash differs from the previous one in at least `threshold` bits.
struct SlideChangeDetector {
    int threshold = 12;  // 0…64
    std::optional<std::uint64_t> lastHash;

    // True when a previous hash exists and differs in ≥ threshold bits; the new hash becomes
    // the reference in every case.
    bool ingest(std::uint64_t hash) noexcept;
    void reset() noexcept { lastHash.reset(); }
};

// A read-only view of a 32-bit BGRA image (byte 0 blue, 1 green, 2 red, 3 alpha) with any row
// stride. The bytes must cover bytesPerRow·(height−1) + 4·width.
struct BGRAImageView {
    std::span<const std::uint8_t> bytes;
    int width = 0;
    int height = 0;
    std::size_t bytesPerRow = 0;

    bool isValid() const noexcept;
};

// The image half of the slide monitor: the area downscale every sampled image goes through before
// it is hashed. Any thread; no state.
class SlideSampler {
  public:
    static constexpr int hashSize = 64;
    using LumaImage = std::array<std::uint8_t, hashSize * hashSize>;

    // Area downscale of the whole image to 64×64 (each output pixel the rounded mean of the
    // channels over its box of source pixels), converted to brightness, row-major. Nothing for
    // views with a side below 1, too few bytes, or a stride shorter than a row.
    static std::optional<LumaImage> downsampleToLuma(const BGRAImageView& image);
};

}  // namespace velurio
