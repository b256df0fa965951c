// Slide hashing, the change rule and the every-15th sampler over BGRA images.
#include "core/slide_hasher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>
#include <vector>

namespace velurio {
namespace {

std::vector<std::uint8_t> halfBlackHalfWhite(int width, int height) {
    std::vector<std::uint8_t> luma(static_cast<std::size_t>(width * height));
    for (int y = 0; y < height; ++y) {
        for (int x = width / 2; x < width; ++x)
            luma[static_cast<std::size_t>(y * width + x)] = 255;
    }
    return luma;
}

// A BGRA image filled by `color(x, y)` = {b, g, r}, with `padding` extra bytes per row.
struct Bgra {
    std::vector<std::uint8_t> bytes;
    BGRAImageView view;
};
template <class F>
Bgra makeBGRA(int width, int height, std::size_t padding, F color) {
    Bgra image;
    const std::size_t stride = static_cast<std::size_t>(width) * 4 + padding;
    image.bytes.assign(stride * static_cast<std::size_t>(height), 0xEE);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            auto [b, g, r] = color(x, y);
            std::uint8_t* p = image.bytes.data() + static_cast<std::size_t>(y) * stride +
                              4 * static_cast<std::size_t>(x);
            p[0] = b;
            p[1] = g;
            p[2] = r;
            p[3] = 255;
        }
    }
    image.view = {image.bytes, width, height, stride};
    return image;
}

struct Rgb {
    std::uint8_t b, g, r;
};

TEST(SlideHasherTest, UniformAndNearlyUniformImagesHashToZero) {
    std::vector<std::uint8_t> grey(64 * 64, 128);
    EXPECT_EQ(SlideHasher::averageHash(grey, 64, 64), 0u);
    // One cell 8 levels brighter than the rest: not strictly above mean + 8.
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x)
            grey[static_cast<std::size_t>(y * 64 + x)] = 136;  // mean of cells 128.125
    }
    EXPECT_EQ(SlideHasher::averageHash(grey, 64, 64), 0u);
    EXPECT_EQ(SlideHasher::averageHash(grey, 64, 64, 0), 1u);  // cell 0 = bit 0
}

TEST(SlideHasherTest, HalfBlackHalfWhiteSetsTheRightColumns) {
    EXPECT_EQ(SlideHasher::averageHash(halfBlackHalfWhite(64, 64), 64, 64), 0xF0F0F0F0F0F0F0F0ULL);
    // Any size, including cells that are not sampled sparsely.
    EXPECT_EQ(SlideHasher::averageHash(halfBlackHalfWhite(16, 8), 16, 8), 0xF0F0F0F0F0F0F0F0ULL);
    EXPECT_EQ(SlideHasher::averageHash(halfBlackHalfWhite(1920, 1080), 1920, 1080),
              0xF0F0F0F0F0F0F0F0ULL);

    std::vector<std::uint8_t> rgba(64 * 64 * 4, 0);
    for (int y = 0; y < 64; ++y) {
        for (int x = 32; x < 64; ++x) {
            for (int c = 0; c < 3; ++c)
                rgba[static_cast<std::size_t>((y * 64 + x) * 4 + c)] = 255;
        }
    }
    EXPECT_EQ(SlideHasher::averageHashRGBA(rgba, 64, 64), 0xF0F0F0F0F0F0F0F0ULL);
}

TEST(SlideHasherTest, SparseSamplingReadsOnlyEveryOtherRowOfSixtyFourPixelCells) {
    // Brighten the odd rows and columns only: never sampled, so the hash stays 0.
    std::vector<std::uint8_t> luma(64 * 64, 10);
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            if (y % 2 == 1 || x % 2 == 1)
                luma[static_cast<std::size_t>(y * 64 + x)] = 250;
        }
    }
    EXPECT_EQ(SlideHasher::averageHash(luma, 64, 64), 0u);
    luma[0] = 250;  // a sampled pixel of cell 0
    EXPECT_EQ(SlideHasher::averageHash(luma, 64, 64), 1u);
}

TEST(SlideHasherTest, RejectsTooSmallInputsAndComputesBrightness) {
    std::vector<std::uint8_t> small(7 * 64, 0);
    EXPECT_FALSE(SlideHasher::averageHash(small, 7, 64));
    EXPECT_FALSE(SlideHasher::averageHash(small, 64, 64));  // too few bytes
    EXPECT_FALSE(SlideHasher::averageHashRGBA(std::vector<std::uint8_t>(64 * 64 * 4 - 1), 64, 64));
    EXPECT_EQ(SlideHasher::luma(255, 255, 255), 255);
    EXPECT_EQ(SlideHasher::luma(255, 0, 0), 76);  // (76245 + 500) / 1000
    EXPECT_EQ(SlideHasher::luma(0, 0, 255), 29);  // (29070 + 500) / 1000
    EXPECT_EQ(SlideHasher::hammingDistance(0, ~0ULL), 64);
}

TEST(SlideChangeDetectorTest, ThresholdFirstIngestAndReset) {
    SlideChangeDetector detector{12, std::nullopt};
    EXPECT_FALSE(detector.ingest(0));
    EXPECT_FALSE(detector.ingest(0x7FF));                // 11 bits from 0
    EXPECT_TRUE(detector.ingest(0x7FFULL << 20 | 0x1));  // 12 bits from 0x7FF
    EXPECT_EQ(detector.lastHash, 0x7FFULL << 20 | 0x1);
    detector.reset();
    EXPECT_FALSE(detector.ingest(~0ULL));
}

TEST(SlideSamplerTest, DownscaleIsAnAreaMeanForAnyStride) {
    // 128×128 with 4-pixel vertical stripes of 0 and 200: every 2×2 box averages both.
    auto stripes = makeBGRA(128, 128, 12, [](int x, int) {
        const std::uint8_t v = (x % 2) ? 200 : 0;
        return Rgb{v, v, v};
    });
    auto luma = SlideSampler::downsampleToLuma(stripes.view);
    ASSERT_TRUE(luma);
    for (std::uint8_t v : *luma)
        EXPECT_EQ(v, 100);

    // Smaller than 64×64: each output pixel takes its nearest source pixel.
    auto tiny = makeBGRA(2, 1, 0, [](int x, int) {
        return x == 0 ? Rgb{0, 0, 0} : Rgb{255, 255, 255};
    });
    auto up = SlideSampler::downsampleToLuma(tiny.view);
    ASSERT_TRUE(up);
    EXPECT_EQ((*up)[0], 0);
    EXPECT_EQ((*up)[63], 255);
    EXPECT_EQ((*up)[64 * 63 + 31], 0);

    // Channel order: byte 2 is red.
    auto red = makeBGRA(64, 64, 0, [](int, int) { return Rgb{0, 0, 255}; });
    EXPECT_EQ((*SlideSampler::downsampleToLuma(red.view))[0], 76);
}

// Each output pixel is the rounded per-channel mean over its box of source pixels: checked
// against a direct computation for odd sizes, padded strides, and a very tall image (whose
// boxes need wide accumulators).
TEST(SlideSamplerTest, DownscaleMatchesADirectBoxMean) {
    std::uint32_t seed = 12345;
    auto noise = [&seed](int, int) {
        seed = seed * 1664525u + 1013904223u;
        return Rgb{static_cast<std::uint8_t>(seed >> 24), static_cast<std::uint8_t>(seed >> 16),
                   static_cast<std::uint8_t>(seed >> 8)};
    };
    for (auto [width, height, padding] : {std::tuple{1920, 1080, 0}, std::tuple{333, 97, 20},
                                          std::tuple{65, 200, 4}, std::tuple{3, 20000, 0}}) {
        auto image = makeBGRA(width, height, static_cast<std::size_t>(padding), noise);
        auto luma = SlideSampler::downsampleToLuma(image.view);
        ASSERT_TRUE(luma);
        for (int oy = 0; oy < 64; oy += 7) {
            for (int ox = 0; ox < 64; ox += 5) {
                const int x0 = ox * width / 64, x1 = std::max((ox + 1) * width / 64, x0 + 1);
                const int y0 = oy * height / 64, y1 = std::max((oy + 1) * height / 64, y0 + 1);
                std::uint64_t sum[3] = {0, 0, 0};
                for (int y = y0; y < y1; ++y) {
                    for (int x = x0; x < x1; ++x) {
                        const std::uint8_t* p =
                            image.bytes.data() +
                            static_cast<std::size_t>(y) * image.view.bytesPerRow +
                            4 * static_cast<std::size_t>(x);
                        for (int c = 0; c < 3; ++c)
                            sum[c] += p[c];
                    }
                }
                const std::uint64_t n = static_cast<std::uint64_t>((x1 - x0) * (y1 - y0));
                auto mean = [&](int c) { return static_cast<std::uint8_t>((sum[c] + n / 2) / n); };
                EXPECT_EQ((*luma)[static_cast<std::size_t>(oy * 64 + ox)],
                          SlideHasher::luma(mean(2), mean(1), mean(0)))
                    << width << "x" << height << " at " << ox << "," << oy;
            }
        }
    }
}

TEST(SlideSamplerTest, RejectsViewsThatDoNotCoverTheImage) {
    std::vector<std::uint8_t> bytes(100 * 4 * 10);
    EXPECT_FALSE(SlideSampler::downsampleToLuma({bytes, 100, 10, 399}));  // stride < row
    EXPECT_FALSE(SlideSampler::downsampleToLuma({bytes, 100, 11, 400}));  // too few rows
    EXPECT_FALSE(SlideSampler::downsampleToLuma({bytes, 0, 10, 400}));
    EXPECT_TRUE(SlideSampler::downsampleToLuma({bytes, 100, 10, 400}));
    // The last row needs only its pixels, not a full stride.
    std::vector<std::uint8_t> tight(500 * 9 + 400);
    EXPECT_TRUE(SlideSampler::downsampleToLuma({tight, 100, 10, 500}));
    EXPECT_FALSE(SlideSampler::downsampleToLuma({bytes, 100, 1 << 30, std::size_t{1} << 62}));
}

}  // namespace
}  // namespace velurio
