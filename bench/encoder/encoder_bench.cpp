// Encoder benchmarks: per-frame latency and throughput of 1080p encoding, the BGRA→I420
// conversion, and how the rate follows live bitrate changes. Pin to one core:
//   taskset -c 0 build/release/src/platform/ffmpeg/velurio_encoder_bench
#include "platform/ffmpeg/h264_encoder.h"
#include "synthetic_screen.h"

#include <benchmark/benchmark.h>

#include <libyuv/convert_from_argb.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <vector>

namespace velurio {
namespace {

using testing::SyntheticScreen;
using Clock = std::chrono::steady_clock;
using Codec = H264Encoder::Codec;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

void bgraToI420(benchmark::State& state) {
    SyntheticScreen screen(SyntheticScreen::Kind::fullMotion, kWidth, kHeight);
    const BGRAImageView image = screen.frame(0);
    std::vector<std::uint8_t> y(kWidth * kHeight), u(kWidth * kHeight / 4), v(kWidth * kHeight / 4);
    for (auto _ : state) {
        libyuv::ARGBToI420(image.bytes.data(), kWidth * 4, y.data(), kWidth, u.data(), kWidth / 2,
                           v.data(), kWidth / 2, kWidth, kHeight);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(bgraToI420)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// CPU time of the whole process (every encoder thread): on a shared machine the honest
// measure of what one frame costs one core. Wall time is reported beside it.
double processCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return values[index];
}

// Encodes `frames` images at 30 fps capture times through the whole encoder (queue, thread,
// conversion, encoder, frame assembly). Each frame's time runs from encode() to the end of its
// callback (wall) and the process CPU time spent meanwhile (cpu). Image rendering is outside
// the measured time. Throughput is frames per second of CPU time on the one core.
// `preset` empty: the encoder's defaults.
void encodeLatency(benchmark::State& state, Codec codec, const char* preset,
                   SyntheticScreen::Kind kind, const char* params = "") {
    constexpr int kFrames = 300;
    H264Encoder::Options options;
    options.allowHardware = false;
    options.threads = 1;
    if (*preset != '\0') {
        options.h264Params = params;
        if (codec == Codec::h264)
            options.h264Preset = preset;
        else
            options.hevcPreset = preset;
    }
    SyntheticScreen screen(kind, kWidth, kHeight);
    std::vector<PixelBuffer> images;
    // Render ahead in a small ring so that neither rendering nor allocation is timed.
    for (int i = 0; i < 8; ++i)
        images.push_back(screen.pixelBuffer(i));

    std::vector<double> latenciesMs;
    std::vector<double> cpuMs;
    std::size_t bytes = 0;
    for (auto _ : state) {
        H264Encoder encoder(options);
        std::mutex mutex;
        Clock::time_point done;
        encoder.setOnEncoded(
            [&](std::vector<std::uint8_t> frame, std::uint32_t, std::uint64_t, bool) {
                std::lock_guard lock(mutex);
                bytes += frame.size();
                done = Clock::now();
            });
        encoder.start(kWidth, kHeight, 30, 5'000'000, codec);
        encoder.waitUntilIdle();
        double total = 0;
        for (int i = 0; i < kFrames; ++i) {
            // Refresh one ring slot per frame, untimed, so the content keeps moving.
            images[static_cast<std::size_t>(i % 8)] = screen.pixelBuffer(i + 8);
            const double cpuBegin = processCpuMs();
            const auto begin = Clock::now();
            encoder.encode(images[static_cast<std::size_t>((i + 1) % 8)],
                           std::chrono::microseconds(i * 33'333), false);
            encoder.waitUntilIdle();
            cpuMs.push_back(processCpuMs() - cpuBegin);
            std::lock_guard lock(mutex);
            const double ms = std::chrono::duration<double, std::milli>(done - begin).count();
            latenciesMs.push_back(ms);
            total += ms;
        }
        state.SetIterationTime(total / 1000.0);
    }
    double meanCpuMs = 0;
    for (double v : cpuMs)
        meanCpuMs += v;
    meanCpuMs /= static_cast<double>(cpuMs.size());
    state.counters["wall_p50_ms"] = percentile(latenciesMs, 0.50);
    state.counters["wall_p95_ms"] = percentile(latenciesMs, 0.95);
    state.counters["cpu_p50_ms"] = percentile(cpuMs, 0.50);
    state.counters["cpu_p95_ms"] = percentile(cpuMs, 0.95);
    state.counters["x_realtime_30"] = 1000.0 / meanCpuMs / 30.0;
    state.counters["x_realtime_60"] = 1000.0 / meanCpuMs / 60.0;
    state.counters["Mbit_s_at_30"] =
        static_cast<double>(bytes) * 8.0 / (static_cast<double>(latenciesMs.size()) / 30.0) / 1e6;
}

BENCHMARK_CAPTURE(encodeLatency, h264_default_motion, Codec::h264, "",
                  SyntheticScreen::Kind::fullMotion)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encodeLatency, h264_default_slides, Codec::h264, "",
                  SyntheticScreen::Kind::slides)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encodeLatency, h264_superfast_motion, Codec::h264, "superfast",
                  SyntheticScreen::Kind::fullMotion)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encodeLatency, h264_superfast_slides, Codec::h264, "superfast",
                  SyntheticScreen::Kind::slides)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encodeLatency, h264_ultrafast_motion, Codec::h264, "ultrafast",
                  SyntheticScreen::Kind::fullMotion)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encodeLatency, h264_ultrafast_slides, Codec::h264, "ultrafast",
                  SyntheticScreen::Kind::slides)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encodeLatency, h264_ultrafast_high_motion, Codec::h264, "ultrafast",
                  SyntheticScreen::Kind::fullMotion, "cabac=1:8x8dct=1")
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encodeLatency, hevc_default_motion, Codec::hevc, "",
                  SyntheticScreen::Kind::fullMotion)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(encodeLatency, hevc_default_slides, Codec::hevc, "",
                  SyntheticScreen::Kind::slides)
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Rate over each 3-second phase of full-motion 1080p at 30 fps: 8 → 2 → 8 Mbit/s, the target
// set at the start of each phase. Counters in Mbit/s.
void bitrateFollowing(benchmark::State& state, Codec codec, H264RateControl mode,
                      SyntheticScreen::Kind kind = SyntheticScreen::Kind::fullMotion) {
    constexpr int kPhaseFrames = 90;
    const std::int64_t targets[] = {8'000'000, 2'000'000, 8'000'000};
    H264Encoder::Options options;
    options.allowHardware = false;
    options.h264RateControl = mode;
    SyntheticScreen screen(kind, kWidth, kHeight);
    std::vector<double> rates(3, 0.0);
    for (auto _ : state) {
        H264Encoder encoder(options);
        std::mutex mutex;
        std::size_t bytes = 0;
        encoder.setOnEncoded(
            [&](std::vector<std::uint8_t> frame, std::uint32_t, std::uint64_t, bool) {
                std::lock_guard lock(mutex);
                bytes += frame.size();
            });
        encoder.start(kWidth, kHeight, 30, targets[0], codec);
        int index = 0;
        for (std::size_t phase = 0; phase < 3; ++phase) {
            encoder.setBitrate(targets[phase]);
            encoder.waitUntilIdle();
            const std::size_t before = [&] {
                std::lock_guard lock(mutex);
                return bytes;
            }();
            for (int i = 0; i < kPhaseFrames; ++i, ++index) {
                encoder.encode(screen.pixelBuffer(index), std::chrono::microseconds(index * 33'333),
                               false);
                encoder.waitUntilIdle();
            }
            std::lock_guard lock(mutex);
            rates[phase] = static_cast<double>(bytes - before) * 8.0 / 3.0 / 1e6;
        }
    }
    state.counters["first_8M"] = rates[0];
    state.counters["down_2M"] = rates[1];
    state.counters["up_8M"] = rates[2];
}

BENCHMARK_CAPTURE(bitrateFollowing, h264_constant, Codec::h264, H264RateControl::constantBitrate)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(bitrateFollowing, h264_average, Codec::h264, H264RateControl::averageBitrate)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(bitrateFollowing, h264_capped_quality, Codec::h264,
                  H264RateControl::cappedQuality)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(bitrateFollowing, h264_constant_slides, Codec::h264,
                  H264RateControl::constantBitrate, SyntheticScreen::Kind::slides)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(bitrateFollowing, h264_capped_quality_slides, Codec::h264,
                  H264RateControl::cappedQuality, SyntheticScreen::Kind::slides)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(bitrateFollowing, hevc_reopen, Codec::hevc, H264RateControl::constantBitrate)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

}  // namespace
}  // namespace velurio
