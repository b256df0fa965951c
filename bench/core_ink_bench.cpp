// Stroke store, recognition and smoothing costs.
#include "core/shape_recognizer.h"
#include "core/stroke_smoothing.h"
#include "core/stroke_store.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>

namespace velurio {
namespace {

// One `append` of three points to a live remote stroke, with an event listener attached.
// The stroke is ended and restarted outside the timed region every 1,000 appends so its
// length stays realistic.
void BM_StrokeStoreApplyAppend3(benchmark::State& state) {
    StrokeStore store;
    std::size_t events = 0;
    store.onEvent = [&](const StrokeEvent& e) { events += e.id.size(); };
    store.onSend = [](const SessionMessage&) {};
    StrokeMessage begin{"ipad-1", StrokeOp::begin, "pen", "#FF4D2E", 4, {{0.1, 0.1, 0.5, 0, 0}}};
    StrokeMessage append{
        "ipad-1", StrokeOp::append,
        "pen",    "#FF4D2E",
        4,        {{0.2, 0.2, 0.5, 0, 8}, {0.21, 0.2, 0.5, 0, 16}, {0.22, 0.21, 0.5, 0, 24}}};
    StrokeMessage end{"ipad-1", StrokeOp::end, "pen", "#FF4D2E", 4, {}};
    store.apply(begin);
    int n = 0;
    for (auto _ : state) {
        store.apply(append);
        if (++n == 1000) {
            state.PauseTiming();
            store.apply(end);
            store.clear(false);
            store.apply(begin);
            n = 0;
            state.ResumeTiming();
        }
    }
    benchmark::DoNotOptimize(events);
}
BENCHMARK(BM_StrokeStoreApplyAppend3);

std::vector<StrokePoint> wobblyCircle(std::size_t n) {
    std::vector<StrokePoint> points;
    for (std::size_t i = 0; i < n; ++i) {
        const double a = 2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n - 1);
        const double r = 0.2 + 0.01 * std::sin(7 * a);
        points.push_back({0.5 + r * std::cos(a), 0.5 + r * std::sin(a), 0.5, 0,
                          static_cast<std::int64_t>(i * 8)});
    }
    return points;
}

void BM_ShapeRecognize64(benchmark::State& state) {
    const ShapeRecognizer recognizer(0.8);
    const auto points = wobblyCircle(64);
    for (auto _ : state)
        benchmark::DoNotOptimize(recognizer.recognize(points));
}
BENCHMARK(BM_ShapeRecognize64);

// An open stroke: all four kinds are candidates (the recogniser's worst case).
void BM_ShapeRecognize64Open(benchmark::State& state) {
    const ShapeRecognizer recognizer(0.8);
    auto points = wobblyCircle(90);
    points.resize(64);
    for (auto _ : state)
        benchmark::DoNotOptimize(recognizer.recognize(points));
}
BENCHMARK(BM_ShapeRecognize64Open);

void BM_Smooth200(benchmark::State& state) {
    const auto points = wobblyCircle(200);
    for (auto _ : state)
        benchmark::DoNotOptimize(StrokeSmoothing::smooth(points, 8));
}
BENCHMARK(BM_Smooth200);

// Extending a 200-point live path by 3 points (what a renderer does per `appended` event).
void BM_LiveStrokePathExtend3(benchmark::State& state) {
    const auto all = wobblyCircle(2000);
    Stroke stroke{"s", InkTool::pen, InkPalette::defaultColor(), StrokeThickness::medium,
                  std::vector<StrokePoint>(all.begin(), all.begin() + 200)};
    LiveStrokePath live;
    live.sync(stroke, {1920, 1080});
    std::size_t next = 200;
    for (auto _ : state) {
        if (next + 3 > all.size()) {
            state.PauseTiming();
            stroke.points.resize(200);
            live = LiveStrokePath();
            live.sync(stroke, {1920, 1080});
            next = 200;
            state.ResumeTiming();
        }
        stroke.points.insert(stroke.points.end(), all.begin() + static_cast<std::ptrdiff_t>(next),
                             all.begin() + static_cast<std::ptrdiff_t>(next + 3));
        next += 3;
        benchmark::DoNotOptimize(live.sync(stroke, {1920, 1080}));
    }
}
BENCHMARK(BM_LiveStrokePathExtend3);

// A peer's eraser stroke of 2,000 points ending over 200 committed strokes of 200 points
// each, none of which it touches (the worst case: nothing short-circuits).
void BM_StrokeStoreEraserSweepMiss(benchmark::State& state) {
    StrokeStore store;
    for (int k = 0; k < 200; ++k) {
        StrokeMessage begin{std::string(1, 's').append(std::to_string(k)),
                            StrokeOp::begin,
                            "pen",
                            "#FF4D2E",
                            4,
                            {}};
        for (int i = 0; i < 200; ++i) {
            begin.pts.push_back({0.5 + 0.4 * (k % 20) / 20.0 + 0.001 * i / 200.0,
                                 0.05 + 0.04 * (k / 20), 0.5, 0, i});
        }
        store.apply(begin);
        store.apply(StrokeMessage{begin.id, StrokeOp::end, "pen", "#FF4D2E", 4, {}});
    }
    StrokeMessage eraser{"e", StrokeOp::begin, "eraser", "#FF4D2E", 4, {}};
    for (int i = 0; i < 2000; ++i)
        eraser.pts.push_back({0.05 + 0.3 * i / 2000.0, 0.9, 0.5, 0, i});
    const StrokeMessage end{"e", StrokeOp::end, "eraser", "#FF4D2E", 4, {}};
    for (auto _ : state) {
        store.apply(eraser);
        store.apply(end);
    }
    if (store.strokes().size() != 200)
        state.SkipWithError("the sweep removed strokes");
}
BENCHMARK(BM_StrokeStoreEraserSweepMiss)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velurio
