// Snapping a held pen stroke to the shape it was meant to be: what counts as a shape, and the
// points that trace it.
#include "core/shape_snapping.h"

#include "core/stroke_store.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>

namespace velurio {
namespace {

constexpr SizeF kCanvas{1920, 1080};

// A path in canvas units, sampled every ~10 units with a little jitter, as normalised points.
std::vector<StrokePoint> handDrawn(const std::vector<PointF>& path, double jitter = 2.0,
                                   unsigned seed = 7) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> noise(-jitter, jitter);
    std::vector<StrokePoint> out;
    std::int64_t t = 100;
    for (std::size_t i = 0; i + 1 < path.size(); ++i) {
        const double length = std::hypot(path[i + 1].x - path[i].x, path[i + 1].y - path[i].y);
        const int steps = std::max(1, static_cast<int>(length / 10));
        for (int s = 0; s < steps; ++s) {
            const double f = static_cast<double>(s) / steps;
            out.push_back(
                {(path[i].x + f * (path[i + 1].x - path[i].x) + noise(rng)) / kCanvas.width,
                 (path[i].y + f * (path[i + 1].y - path[i].y) + noise(rng)) / kCanvas.height, 0.5,
                 0, t += 8});
        }
    }
    out.push_back({path.back().x / kCanvas.width, path.back().y / kCanvas.height, 0.5, 0, t + 8});
    return out;
}

std::vector<PointF> circlePath(double cx, double cy, double r) {
    std::vector<PointF> path;
    for (int k = 0; k <= 60; ++k) {
        const double a = 2 * std::numbers::pi * k / 60;
        path.push_back({cx + r * std::cos(a), cy + r * std::sin(a)});
    }
    return path;
}

std::optional<ShapeKind> snappedKind(const std::vector<StrokePoint>& points) {
    const ShapeRecognizer recognizer(ShapeSnapping::kMinimumScore);
    const auto match = ShapeSnapping::recognize(recognizer, points, kCanvas);
    return match ? std::optional(match->kind) : std::nullopt;
}

TEST(ShapeSnapping, RoughShapesAreRecognisedInCanvasUnits) {
    EXPECT_EQ(
        snappedKind(handDrawn({{600, 300}, {1100, 300}, {1100, 650}, {600, 650}, {605, 305}})),
        ShapeKind::rectangle);
    // A round circle: in normalised units it would be an ellipse 1.8 times as tall as wide.
    EXPECT_EQ(snappedKind(handDrawn(circlePath(900, 500, 200))), ShapeKind::circle);
    EXPECT_EQ(snappedKind(handDrawn({{300, 800}, {1200, 300}})), ShapeKind::line);
    EXPECT_EQ(snappedKind(handDrawn({{300, 500}, {900, 500}, {820, 450}, {900, 500}, {820, 550}})),
              ShapeKind::arrow);
}

TEST(ShapeSnapping, ScribblesStayScribbles) {
    std::vector<PointF> zigzag;
    for (int k = 0; k <= 8; ++k)
        zigzag.push_back({500.0 + 40 * k, k % 2 == 0 ? 400.0 : 600.0});
    EXPECT_EQ(snappedKind(handDrawn(zigzag)), std::nullopt);
    std::vector<PointF> wave;
    for (int k = 0; k <= 80; ++k)
        wave.push_back({400.0 + 8 * k, 500 + 60 * std::sin(k / 4.0)});
    EXPECT_EQ(snappedKind(handDrawn(wave)), std::nullopt) << "a wavy underline is no line";
    // An open U is not a rectangle, however tall.
    EXPECT_EQ(snappedKind(handDrawn({{700, 300}, {700, 800}, {800, 800}, {800, 300}})),
              std::nullopt);
}

TEST(ShapeSnapping, TracedPointsFollowTheShape) {
    const auto rough = handDrawn({{600, 300}, {1100, 300}, {1100, 650}, {600, 650}, {605, 305}});
    const ShapeRecognizer recognizer(ShapeSnapping::kMinimumScore);
    const auto match = ShapeSnapping::recognize(recognizer, rough, kCanvas);
    ASSERT_TRUE(match);
    const auto traced = ShapeSnapping::tracePoints(*match, rough, kCanvas);
    // Five points: drawn as a polyline with sharp corners, not smoothed.
    ASSERT_EQ(traced.size(), 5u);
    EXPECT_EQ(traced.front().x, traced.back().x);
    EXPECT_EQ(traced.front().y, traced.back().y);
    EXPECT_NEAR(traced[0].x * kCanvas.width, match->bounds.x, 1e-6);
    EXPECT_NEAR(traced[2].x * kCanvas.width, match->bounds.x + match->bounds.width, 1e-6);
    EXPECT_EQ(traced.front().timestampMs, rough.front().timestampMs);
    EXPECT_EQ(traced.back().timestampMs, rough.back().timestampMs);

    const auto arrow = handDrawn({{300, 500}, {900, 500}, {820, 450}, {900, 500}, {820, 550}}, 0);
    const auto arrowMatch = ShapeSnapping::recognize(recognizer, arrow, kCanvas);
    ASSERT_TRUE(arrowMatch);
    const auto head = ShapeSnapping::tracePoints(*arrowMatch, arrow, kCanvas);
    ASSERT_EQ(head.size(), 5u);
    EXPECT_NEAR(head[1].x * kCanvas.width, 900, 1e-6) << "the tip";
    EXPECT_EQ(head[1].x, head[3].x);
    EXPECT_EQ(head[1].y, head[3].y);
    EXPECT_LT(head[2].x, head[1].x) << "barbs point back along the shaft";
    EXPECT_LT(head[4].x, head[1].x);
    EXPECT_LT((head[2].y - head[1].y) * (head[4].y - head[1].y), 0) << "one barb on each side";
}

TEST(ShapeSnapping, ReplacingALocalStrokeKeepsOneStrokeForUndo) {
    StrokeStore store;
    std::vector<StrokeEvent> events;
    std::vector<SessionMessage> sent;
    store.onEvent = [&](const StrokeEvent& e) { events.push_back(e); };
    store.onSend = [&](const SessionMessage& m) { sent.push_back(m); };
    const Stroke begun = store.beginLocalStroke(InkTool::pen, InkPalette::defaultColor(),
                                                StrokeThickness::thin, {0.1, 0.1, 0.5, 0, 1});
    const std::vector<StrokePoint> more{{0.2, 0.2, 0.5, 0, 2}, {0.3, 0.1, 0.5, 0, 3}};
    store.appendLocalStroke(begun.id, more);
    const std::size_t sentBefore = sent.size();
    const std::vector<StrokePoint> shape{{0.1, 0.1, 0.5, 0, 1}, {0.3, 0.1, 0.5, 0, 3}};
    ASSERT_TRUE(store.replaceLocalStrokePoints(begun.id, shape));
    EXPECT_EQ(events.back().kind, StrokeEvent::Kind::began);
    EXPECT_EQ(events.back().stroke.points, shape);
    EXPECT_EQ(sent.size(), sentBefore) << "the end message carries the shape";
    store.endLocalStroke(begun.id);
    ASSERT_EQ(store.strokes().size(), 1u);
    EXPECT_EQ(store.strokes().front().points, shape);
    store.undo();
    EXPECT_TRUE(store.strokes().empty());
    EXPECT_FALSE(store.canUndo());

    EXPECT_FALSE(store.replaceLocalStrokePoints("m-9999", shape));
    const Stroke laser = store.beginLocalStroke(InkTool::laser, InkPalette::defaultColor(),
                                                StrokeThickness::thin, {0.1, 0.1, 0.5, 0, 1});
    EXPECT_FALSE(store.replaceLocalStrokePoints(laser.id, shape));
}

}  // namespace
}  // namespace velurio
