// Cost of one stroke append on the overlay: from the point reaching the stroke store to the
// overlay's paint (and its flush to the window system) finishing, at 1920×1080, for strokes
// already 20 and 2,000 points long, pen and marker. The goal is at most 2 ms per append and
// the same cost for both lengths.
//
// Run on an X server with a compositor for the real path (scripts/with-services starts one), or
// with QT_QPA_PLATFORM=offscreen:
//   build/release/tests/velurio_app_bench
#include "app/clock/scheduler.h"
#include "app/overlay/annotation_canvas_view.h"

#include <benchmark/benchmark.h>

#include <QApplication>

#include <chrono>
#include <cmath>
#include <memory>
#include <span>

namespace velurio {
namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
// Where on the path the timed appends happen, whatever the stroke's length.
constexpr int kAppendAt = 2000;

// Point i of a long serpentine path over the whole screen, 8 points between samples, with a
// little wobble so the smoothed curve is not straight. The 2,050 points never cross each other.
StrokePoint pathPoint(int i) {
    constexpr int perRow = 225;
    const int row = (i / perRow) % 10;
    const int column = i % perRow;
    const double along = 60.0 + 8.0 * (row % 2 == 0 ? column : perRow - 1 - column);
    const double y = 60.0 + 100.0 * row + 6.0 * std::sin(i * 0.3);
    StrokePoint p;
    p.x = along / kWidth;
    p.y = y / kHeight;
    p.pressure = 0.5;
    p.timestampMs = i;
    return p;
}

struct Overlay {
    ManualScheduler scheduler;
    StrokeStore store;
    AnnotationCanvasView canvas{scheduler};

    Overlay() {
        canvas.setWindowFlags(Qt::Window | Qt::FramelessWindowHint |
                              Qt::X11BypassWindowManagerHint);
        canvas.setStore(&store);
        canvas.setGeometry(0, 0, kWidth, kHeight);
        canvas.show();
        store.setOverlaySize(SizeF{kWidth, kHeight});
        store.onEvent = [this](const StrokeEvent& event) { canvas.apply(event); };
        QApplication::processEvents();
    }

    // Paints what the last change damaged, now.
    void paintPending() { QCoreApplication::sendPostedEvents(&canvas, QEvent::UpdateRequest); }

    // A stroke of `points` points whose next point is pathPoint(kAppendAt): every length
    // appends at the same place of the screen, so only the length differs.
    std::string startStroke(InkTool tool, int points) {
        store.clear(false);
        const int first = kAppendAt - points;
        const Stroke stroke = store.beginLocalStroke(tool, *InkColor::fromHex("#FF4D2E"),
                                                     StrokeThickness::thick, pathPoint(first));
        for (int i = first + 1; i < kAppendAt; ++i) {
            const StrokePoint p = pathPoint(i);
            store.appendLocalStroke(stroke.id, std::span(&p, 1));
        }
        QApplication::processEvents();
        paintPending();
        return stroke.id;
    }
};

void appendAndPaint(benchmark::State& state, InkTool tool) {
    static Overlay* overlay = new Overlay;  // one window for the whole run
    const int length = static_cast<int>(state.range(0));
    // The stroke keeps its length within [length, length + 50): restart it when it grows.
    constexpr int kGrowth = 50;
    std::string id = overlay->startStroke(tool, length);
    int next = kAppendAt;
    for (auto _ : state) {
        if (next >= kAppendAt + kGrowth) {
            id = overlay->startStroke(tool, length);
            next = kAppendAt;
        }
        // Manual timing: only the append and its paint count, never the set-up of a stroke.
        const auto start = std::chrono::steady_clock::now();
        const StrokePoint p = pathPoint(next++);
        overlay->store.appendLocalStroke(id, std::span(&p, 1));
        overlay->paintPending();
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    overlay->store.clear(false);
    QApplication::processEvents();
}

void BM_OverlayAppendPen(benchmark::State& state) {
    appendAndPaint(state, InkTool::pen);
}
void BM_OverlayAppendMarker(benchmark::State& state) {
    appendAndPaint(state, InkTool::marker);
}

BENCHMARK(BM_OverlayAppendPen)->Arg(20)->Arg(2000)->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OverlayAppendMarker)
    ->Arg(20)
    ->Arg(2000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velurio

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
