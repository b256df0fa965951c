// Capture costs on a private Xvfb + picom (1920×1080):
// - one composed 1080p frame with 1, 5 and 20 other windows, against a root grab (goal: the
//   composed frame with 5 windows within twice the root grab);
// - capture → last datagram of the frame, with libx264 ultrafast on one thread, for full-motion
//   1080p (goal: p50 ≤ 10 ms, p95 ≤ 16 ms on one core), on panning picture content and on a
//   harsher synthetic case;
// - CPU of the capture thread over 60 s of a static screen (goal: ≤ 1 % of one core).
#include "platform/ffmpeg/h264_encoder.h"
#include "platform/x11capture/x11_capture_stream.h"
#include "protocol/video_datagram.h"
#include "synthetic_screen.h"
#include "x_session.h"

#include <benchmark/benchmark.h>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace velurio {
namespace {

test::XSession& session() {
    static test::XSession x({true, false});
    return x;
}

// Windows of another application spread over the screen, each with its own colour.
std::vector<xcb_window_t> makeWindows(test::TestClient& client, int count) {
    std::vector<xcb_window_t> windows;
    for (int i = 0; i < count; ++i) {
        windows.push_back(client.window(40 * i, 30 * i, 800, 600,
                                        0x102030u * static_cast<std::uint32_t>(i + 1) & 0xffffffu));
    }
    return windows;
}

void grabCost(benchmark::State& state, bool compose) {
    if (!session().ok()) {
        state.SkipWithError("no X server");
        return;
    }
    test::TestClient client;
    std::vector<xcb_window_t> windows = makeWindows(client, static_cast<int>(state.range(0)));
    auto grabber = X11ScreenGrabber::open(nullptr, X11ScreenGrabber::Options{compose, true, 0});
    if (!grabber || !(*grabber)->setRegion({0, 0, 1920, 1080}, 1920, 1080)) {
        state.SkipWithError("no grabber");
        return;
    }
    for (auto _ : state) {
        auto image = (*grabber)->grab();
        benchmark::DoNotOptimize(image);
    }
    for (xcb_window_t w : windows)
        client.destroy(w);
}

void BM_ComposedFrame1080p(benchmark::State& state) {
    grabCost(state, true);
}
void BM_RootGrab1080p(benchmark::State& state) {
    grabCost(state, false);
}
BENCHMARK(BM_ComposedFrame1080p)->Arg(1)->Arg(5)->Arg(20)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RootGrab1080p)->Arg(5)->Unit(benchmark::kMillisecond);

// Full motion: a full-screen window of another application shows a new picture every frame.
// Argument 0 picks the content: 0, the encoder benchmarks' full-motion screen (a detailed
// picture panning diagonally with a video region of changing texture, like a video playing
// while the view scrolls); 1, a harsher case of unrelated sawtooth pictures in turn, where
// motion search finds nothing. Argument 1: 0 the encoder's default High settings, 1 plain
// ultrafast (Constrained Baseline). The picture is put before the clock starts.
void BM_CaptureToLastDatagram1080p(benchmark::State& state) {
    if (!session().ok()) {
        state.SkipWithError("no X server");
        return;
    }
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    test::TestClient client;
    const xcb_window_t window = client.window(0, 0, 1920, 1080, 0);
    const xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, window, 0, nullptr);
    const bool panning = state.range(0) == 0;
    testing::SyntheticScreen synthetic(testing::SyntheticScreen::Kind::fullMotion, 1920, 1080);
    auto putRows = [&](xcb_drawable_t target, const std::uint8_t* bytes, int rowCount, int top) {
        xcb_put_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, target, gc, 1920,
                      static_cast<std::uint16_t>(rowCount), 0, static_cast<std::int16_t>(top), 0,
                      screen->root_depth, static_cast<std::uint32_t>(rowCount) * 1920 * 4, bytes);
    };
    constexpr int kBand = 60;
    constexpr int kPictures = 8;
    std::vector<xcb_pixmap_t> pictures;
    if (!panning) {
        std::vector<std::uint8_t> rows(1920 * 4 * kBand);
        for (int p = 0; p < kPictures; ++p) {
            const xcb_pixmap_t pixmap = xcb_generate_id(c);
            xcb_create_pixmap(c, screen->root_depth, pixmap, window, 1920, 1080);
            for (int band = 0; band < 1080 / kBand; ++band) {
                for (std::size_t i = 0; i < rows.size(); ++i) {
                    const std::size_t x = (i / 4) % 1920;
                    const std::size_t y = (i / 4) / 1920 + std::size_t(band) * kBand;
                    rows[i] =
                        static_cast<std::uint8_t>((x * (3 + i % 4) + y * 2 + std::size_t(p) * 37 +
                                                   ((x / 64 + y / 64 + std::size_t(p)) % 2) * 90) &
                                                  0xff);
                }
                putRows(pixmap, rows.data(), kBand, band * kBand);
            }
            pictures.push_back(pixmap);
        }
    }
    auto show = [&](int frame) {
        if (panning) {
            const BGRAImageView picture = synthetic.frame(frame);
            for (int band = 0; band < 1080 / kBand; ++band) {
                putRows(window,
                        picture.bytes.data() + std::size_t(band) * kBand * picture.bytesPerRow,
                        kBand, band * kBand);
            }
        } else {
            xcb_copy_area(c, pictures[std::size_t(frame % kPictures)], window, gc, 0, 0, 0, 0, 1920,
                          1080);
        }
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    };
    show(0);

    auto grabber = X11ScreenGrabber::open(nullptr, X11ScreenGrabber::Options{true, true, 0});
    if (!grabber || !(*grabber)->setRegion({0, 0, 1920, 1080}, 1920, 1080)) {
        state.SkipWithError("no grabber");
        return;
    }
    // One core for this thread and the encoder's (which inherits it); the X server and the
    // compositor keep the machine's other cores, as they would beside the app.
    cpu_set_t oneCore;
    CPU_ZERO(&oneCore);
    CPU_SET(0, &oneCore);
    cpu_set_t before;
    pthread_getaffinity_np(pthread_self(), sizeof before, &before);
    pthread_setaffinity_np(pthread_self(), sizeof oneCore, &oneCore);
    H264Encoder::Options options;
    options.allowHardware = false;
    options.threads = 1;
    // Argument 1: plain ultrafast (Constrained Baseline) instead of the encoder's default High.
    if (state.range(1) == 1)
        options.h264Params.clear();
    H264Encoder encoder(options);
    std::mutex mutex;
    std::condition_variable done;
    std::uint32_t delivered = 0;
    encoder.setOnEncoded(
        [&](std::vector<std::uint8_t> frame, std::uint32_t sequence, std::uint64_t pts, bool key) {
            auto datagrams = VideoFrameHeader::datagrams(sequence, pts, key, frame, 1200);
            benchmark::DoNotOptimize(datagrams);
            std::lock_guard lock(mutex);
            delivered = sequence;
            done.notify_all();
        });
    encoder.start(1920, 1080, 30, 5'000'000, H264Encoder::Codec::h264);
    std::vector<double> latenciesMs;
    std::vector<double> grabMs;
    std::uint32_t expected = 0;
    int frame = 0;
    auto tick = std::chrono::steady_clock::now();
    for (auto _ : state) {
        state.PauseTiming();
        show(++frame);
        // Paced like a 30 fps stream: one grab per frame interval, so the capture times the
        // encoder's rate control sees are a stream's (and the compositor has repainted).
        tick += std::chrono::microseconds(33'333);
        std::this_thread::sleep_until(tick);
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        auto image = (*grabber)->grab();
        grabMs.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        encoder.encode(
            std::move(image).value(),
            std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()), false);
        ++expected;
        std::unique_lock lock(mutex);
        done.wait(lock, [&] { return delivered >= expected; });
        latenciesMs.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    auto at = [](std::vector<double>& v, double p) {
        std::sort(v.begin(), v.end());
        const auto rank =
            static_cast<std::size_t>(std::max(1.0, std::ceil(p / 100.0 * double(v.size()))));
        return v[rank - 1];
    };
    if (!latenciesMs.empty()) {
        state.counters["p50_ms"] = at(latenciesMs, 50);
        state.counters["p95_ms"] = at(latenciesMs, 95);
        state.counters["grab_p50_ms"] = at(grabMs, 50);
    }
    encoder.invalidate();
    encoder.waitUntilIdle();
    pthread_setaffinity_np(pthread_self(), sizeof before, &before);
    xcb_disconnect(c);
    client.destroy(window);
}
BENCHMARK(BM_CaptureToLastDatagram1080p)
    ->ArgNames({"harsh", "plain_ultrafast"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Iterations(300)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The capture thread idling on a static screen at 30 fps (the pointer poll runs every frame
// interval). Reports the share of one core over the measured seconds.
void BM_StaticScreenCpu(benchmark::State& state) {
    if (!session().ok()) {
        state.SkipWithError("no X server");
        return;
    }
    test::TestClient client;
    std::vector<xcb_window_t> windows = makeWindows(client, 5);
    std::atomic<int> frames{0};
    X11CaptureStream::Config config;
    config.region = {0, 0, 1920, 1080};
    config.outputWidth = 1920;
    config.outputHeight = 1080;
    config.fps = 30;
    config.onFrame = [&](PixelBuffer, std::chrono::nanoseconds) { ++frames; };
    auto stream = X11CaptureStream::start(config);
    if (!stream) {
        state.SkipWithError("no stream");
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // first frame
    const int framesBefore = frames.load();
    const auto seconds = state.range(0);
    for (auto _ : state) {
        const double cpu0 = processCpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const double cpu = processCpuSeconds() - cpu0;
        state.counters["cpu_percent_of_one_core"] = 100.0 * cpu / static_cast<double>(seconds);
    }
    state.counters["frames_while_static"] = frames.load() - framesBefore;
    stream->reset();
    for (xcb_window_t w : windows)
        client.destroy(w);
}
BENCHMARK(BM_StaticScreenCpu)->Arg(60)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace velurio
