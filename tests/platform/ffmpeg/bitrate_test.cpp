// The bitrate really follows setBitrate, down and up, on full-motion 1080p content.
#include "encoder_test_support.h"
#include "synthetic_screen.h"

#include <gtest/gtest.h>

#include <iostream>

namespace velurio::testing {
namespace {

using Codec = H264Encoder::Codec;

struct Phase {
    std::int64_t bitrate;
    double measuredBps = 0;
};

// Encodes `seconds` of 30 fps capture at each phase's bitrate (set just before the phase) and
// measures the rate over that phase: the bytes of the frames whose timestamps fall inside it.
std::vector<Phase> measurePhases(H264Encoder::Options options, Codec codec,
                                 std::vector<Phase> phases, int seconds = 3) {
    CollectingEncoder encoder(options);
    SyntheticScreen screen(SyntheticScreen::Kind::fullMotion, 1920, 1080);
    encoder->start(1920, 1080, 30, phases.front().bitrate, codec);
    const int framesPerPhase = 30 * seconds;
    int index = 0;
    for (auto& phase : phases) {
        encoder->setBitrate(phase.bitrate);
        for (int i = 0; i < framesPerPhase; ++i, ++index) {
            encoder->encode(screen.pixelBuffer(index), std::chrono::microseconds(index * 33'333),
                            false);
            encoder->waitUntilIdle();
        }
    }
    const auto frames = encoder.frames();
    EXPECT_EQ(frames.size(), static_cast<std::size_t>(index));
    std::vector<std::size_t> bytes(phases.size(), 0);
    for (std::size_t i = 0; i < frames.size(); ++i)
        bytes[i / static_cast<std::size_t>(framesPerPhase)] += frames[i].data.size();
    for (std::size_t p = 0; p < phases.size(); ++p)
        phases[p].measuredBps = static_cast<double>(bytes[p]) * 8.0 / seconds;
    return phases;
}

class BitrateTest : public ::testing::TestWithParam<Codec> {};

TEST_P(BitrateTest, RateFollowsChangesDownAndBackUpWithinHalfTheTarget) {
    const auto phases = measurePhases(CollectingEncoder::software(), GetParam(),
                                      {{8'000'000}, {2'000'000}, {8'000'000}});
    for (std::size_t p = 0; p < phases.size(); ++p) {
        std::cout << "phase " << p << ": target " << phases[p].bitrate << " bit/s, measured "
                  << static_cast<std::int64_t>(phases[p].measuredBps) << " bit/s\n";
    }
    // The first phase only brings the encoder to a steady 8 Mbit/s.
    for (std::size_t p = 1; p < phases.size(); ++p) {
        SCOPED_TRACE(p);
        const auto target = static_cast<double>(phases[p].bitrate);
        EXPECT_GE(phases[p].measuredBps, 0.5 * target);
        EXPECT_LE(phases[p].measuredBps, 1.5 * target);
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, BitrateTest, ::testing::Values(Codec::h264, Codec::hevc),
                         codecTestName);

}  // namespace
}  // namespace velurio::testing
