// Slide hashing through the sampler and latency percentiles.
#include "core/latency_tracker.h"
#include "core/slide_hasher.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace velurio {
namespace {

// Downscale + hash of one 1920×1080 BGRA image (what every 15th captured image costs).
void BM_SlideSamplerHash1080p(benchmark::State& state) {
    const int width = 1920;
    const int height = 1080;
    const std::size_t stride = static_cast<std::size_t>(width) * 4;
    std::vector<std::uint8_t> bytes(stride * height);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 2654435761u >> 24);
    const BGRAImageView view{bytes, width, height, stride};
    for (auto _ : state) {
        const auto luma = SlideSampler::downsampleToLuma(view);
        benchmark::DoNotOptimize(SlideHasher::averageHash(
            *luma, SlideSampler::hashSize, SlideSampler::hashSize, SlideHasher::defaultMargin));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_SlideSamplerHash1080p)->Unit(benchmark::kMicrosecond);

void BM_LatencyPercentile2048(benchmark::State& state) {
    LatencyTracker tracker;
    std::uint64_t x = 88172645463325252ULL;
    for (std::size_t i = 0; i < 2048 + 100; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        tracker.record(static_cast<double>(x % 100000) / 100.0);
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(tracker.percentile(95));
}
BENCHMARK(BM_LatencyPercentile2048);

}  // namespace
}  // namespace velurio
