// Stroke geometry, the live path of a stroke in progress, and overlay interaction.
#include "core/stroke_geometry.h"

#include "core/overlay_interaction.h"
#include "core/stroke_smoothing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <random>

namespace velurio {
namespace {

constexpr SizeF k1080{1920, 1080};

Stroke makeStroke(InkTool tool, std::vector<StrokePoint> points,
                  StrokeThickness thickness = StrokeThickness::medium) {
    return Stroke{"s", tool, *InkColor::fromHex("#2F8CFF"), thickness, std::move(points)};
}

std::vector<StrokePoint> zigzag(std::size_t n, std::uint64_t seed = 7) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> coord(0, 1);
    std::vector<StrokePoint> points;
    for (std::size_t i = 0; i < n; ++i) {
        points.push_back({coord(rng), coord(rng), 0.5, 0, static_cast<std::int64_t>(i * 8)});
    }
    return points;
}

TEST(StrokeGeometryTest, FreehandPathsSmoothOnlyBeyondSixPoints) {
    auto six = makeStroke(InkTool::pen, zigzag(6));
    StrokePath path6 = StrokeGeometry::path(six, k1080);
    ASSERT_EQ(path6.subpaths.size(), 1u);
    ASSERT_EQ(path6.subpaths[0].points.size(), 6u);
    EXPECT_FALSE(path6.subpaths[0].closed);
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(path6.subpaths[0].points[i], StrokeGeometry::point(six.points[i], k1080));
    }
    auto seven = makeStroke(InkTool::marker, zigzag(7));
    StrokePath path7 = StrokeGeometry::path(seven, k1080);
    ASSERT_EQ(path7.subpaths.size(), 1u);
    EXPECT_EQ(path7.subpaths[0].points.size(), 49u);
    EXPECT_TRUE(StrokeGeometry::path(makeStroke(InkTool::pen, {}), k1080).subpaths.empty());
}

TEST(StrokeGeometryTest, RectangleIsTheSameWhicheverCornerItStartsAt) {
    auto down = makeStroke(InkTool::rectangle,
                           {{0.1, 0.2, 0, 0, 0}, {0.5, 0.5, 0, 0, 0}, {0.6, 0.7, 0, 0, 0}});
    auto up = makeStroke(InkTool::rectangle,
                         {{0.6, 0.7, 0, 0, 0}, {0.3, 0.1, 0, 0, 0}, {0.1, 0.2, 0, 0, 0}});
    StrokePath a = StrokeGeometry::path(down, k1080);
    EXPECT_EQ(a, StrokeGeometry::path(up, k1080));
    ASSERT_EQ(a.subpaths.size(), 1u);
    EXPECT_TRUE(a.subpaths[0].closed);
    const auto& c = a.subpaths[0].points;
    ASSERT_EQ(c.size(), 4u);
    EXPECT_DOUBLE_EQ(c[0].x, 192);
    EXPECT_DOUBLE_EQ(c[0].y, 216);
    EXPECT_DOUBLE_EQ(c[2].x, 1152);
    EXPECT_DOUBLE_EQ(c[2].y, 756);
}

TEST(StrokeGeometryTest, ArrowHasShaftAndTwoBarbsScaledByHeight) {
    // Thick on a 2160-point overlay: line width 16, head 96.
    auto arrow = makeStroke(InkTool::arrow, {{0, 0.5, 0, 0, 0}, {0.5, 0.5, 0, 0, 0}},
                            StrokeThickness::thick);
    StrokePath path = StrokeGeometry::path(arrow, {3840, 2160});
    ASSERT_EQ(path.subpaths.size(), 3u);
    EXPECT_EQ(path.subpaths[0].points, (std::vector<PointF>{{0, 1080}, {1920, 1080}}));
    const PointF tip{1920, 1080};
    for (std::size_t i = 1; i < 3; ++i) {
        ASSERT_EQ(path.subpaths[i].points.size(), 2u);
        EXPECT_EQ(path.subpaths[i].points[0], tip);
        EXPECT_NEAR(StrokeGeometry::distance(tip, path.subpaths[i].points[1]), 96, 1e-9);
        EXPECT_LT(path.subpaths[i].points[1].x, tip.x);  // barbs point back along the shaft
    }
    EXPECT_NEAR(path.subpaths[1].points[1].y - 1080, -(path.subpaths[2].points[1].y - 1080), 1e-9);

    // A zero-length shaft still has both barbs, with angle 0.
    StrokePath dot = StrokeGeometry::arrowPath({10, 10}, {10, 10}, 6);
    ASSERT_EQ(dot.subpaths.size(), 3u);
    EXPECT_NEAR(dot.subpaths[1].points[1].x, 10 + 6 * std::cos(5 * std::numbers::pi / 6), 1e-12);
    EXPECT_NEAR(dot.subpaths[1].points[1].y, 10 + 6 * std::sin(5 * std::numbers::pi / 6), 1e-12);
}

TEST(StrokeGeometryTest, LineWidthAndColour) {
    const SizeF s1440{2560, 1440};
    EXPECT_NEAR(
        StrokeGeometry::lineWidth(makeStroke(InkTool::pen, {}, StrokeThickness::thin), s1440), 2.67,
        0.005);
    EXPECT_NEAR(
        StrokeGeometry::lineWidth(makeStroke(InkTool::pen, {}, StrokeThickness::medium), s1440),
        5.33, 0.005);
    EXPECT_NEAR(
        StrokeGeometry::lineWidth(makeStroke(InkTool::pen, {}, StrokeThickness::thick), s1440),
        10.67, 0.005);
    EXPECT_DOUBLE_EQ(StrokeGeometry::lineWidth(makeStroke(InkTool::pen, {}, StrokeThickness::thick),
                                               {100, 2160}),
                     16);
    RGBAColor marker = StrokeGeometry::color(makeStroke(InkTool::marker, {}));
    EXPECT_DOUBLE_EQ(marker.alpha, 0.4);
    EXPECT_DOUBLE_EQ(marker.green, 140 / 255.0);
    EXPECT_DOUBLE_EQ(StrokeGeometry::color(makeStroke(InkTool::pen, {})).alpha, 1.0);
    EXPECT_FALSE(StrokeGeometry::isDrawnAsStroke(makeStroke(InkTool::laser, {})));
    EXPECT_FALSE(StrokeGeometry::isDrawnAsStroke(makeStroke(InkTool::text, {})));
    EXPECT_TRUE(StrokeGeometry::isDrawnAsStroke(makeStroke(InkTool::eraser, {})));
}

TEST(StrokeGeometryTest, DistancesMeasureRawPointsNotTheSmoothedCurve) {
    EXPECT_DOUBLE_EQ(StrokeGeometry::distance(PointF{0, 0}, PointF{3, 4}), 5);
    EXPECT_DOUBLE_EQ(StrokeGeometry::distance({5, 5}, {0, 0}, {10, 0}), 5);
    EXPECT_DOUBLE_EQ(StrokeGeometry::distance({-3, 4}, {0, 0}, {10, 0}), 5);  // clamped to a
    EXPECT_DOUBLE_EQ(StrokeGeometry::distance({13, 4}, {0, 0}, {10, 0}), 5);  // clamped to b
    EXPECT_DOUBLE_EQ(StrokeGeometry::distance({3, 4}, {0, 0}, {0, 0}), 5);    // degenerate

    EXPECT_EQ(StrokeGeometry::distance({0, 0}, makeStroke(InkTool::pen, {}), k1080),
              std::numeric_limits<double>::infinity());
    auto one = makeStroke(InkTool::pen, {{0.5, 0.5, 0, 0, 0}});
    EXPECT_DOUBLE_EQ(StrokeGeometry::distance({963, 544}, one, k1080), 5);

    // A sharp zigzag: the smoothed curve overshoots the corner, the raw polyline does not.
    std::vector<StrokePoint> pts;
    for (int i = 0; i < 8; ++i)
        pts.push_back({0.1 * i, (i % 2) ? 0.6 : 0.4, 0, 0, 0});
    auto zig = makeStroke(InkTool::pen, pts);
    const SizeF unit{1, 1};
    const PointF corner{0.1, 0.6};
    EXPECT_DOUBLE_EQ(StrokeGeometry::distance(corner, zig, unit), 0);
    const PointF beyond{0.1, 0.62};
    EXPECT_NEAR(StrokeGeometry::distance(beyond, zig, unit), 0.02, 1e-12);

    EXPECT_DOUBLE_EQ(StrokeGeometry::eraserHitRadius(k1080), 24);
    EXPECT_DOUBLE_EQ(StrokeGeometry::eraserHitRadius({10, 2160}), 48);
}

// The live path always equals the path computed whole, and reports a correct changed range.
TEST(LiveStrokePathTest, IncrementalExtensionMatchesTheWholePath) {
    for (InkTool tool : {InkTool::pen, InkTool::marker, InkTool::rectangle, InkTool::arrow}) {
        std::mt19937_64 rng(static_cast<std::uint64_t>(tool) + 3);
        const std::vector<StrokePoint> all = zigzag(80, static_cast<std::uint64_t>(tool));
        Stroke stroke = makeStroke(tool, {all[0]});
        LiveStrokePath live;
        LiveStrokePathUpdate first = live.sync(stroke, k1080);
        EXPECT_TRUE(first.rebuilt);
        EXPECT_EQ(live.path(), StrokeGeometry::path(stroke, k1080));
        std::size_t next = 1;
        while (next < all.size()) {
            const std::size_t count = std::min<std::size_t>(1 + rng() % 3, all.size() - next);
            StrokePath before = live.path();
            for (std::size_t k = 0; k < count; ++k)
                stroke.points.push_back(all[next++]);
            LiveStrokePathUpdate update = live.sync(stroke, k1080);
            ASSERT_EQ(live.path(), StrokeGeometry::path(stroke, k1080)) << next;
            EXPECT_FALSE(update.unchanged);
            const bool crossesSmoothing =
                stroke.points.size() > 6 && stroke.points.size() - count <= 6;
            if (tool == InkTool::pen || tool == InkTool::marker) {
                EXPECT_EQ(update.rebuilt, crossesSmoothing) << next;
            }
            if (!update.rebuilt) {
                const auto& old = before.subpaths[0].points;
                const auto& now = live.path().subpaths[0].points;
                ASSERT_LE(update.firstChangedVertex, old.size());
                EXPECT_TRUE(
                    std::equal(old.begin(),
                               old.begin() + static_cast<std::ptrdiff_t>(update.firstChangedVertex),
                               now.begin()));
                if (stroke.points.size() > 7) {
                    // Only the last old span (8 vertices + the old end point) is redrawn.
                    EXPECT_EQ(old.size() - update.firstChangedVertex, 9u);
                }
            }
        }
        LiveStrokePathUpdate same = live.sync(stroke, k1080);
        EXPECT_TRUE(same.unchanged);
        EXPECT_FALSE(same.rebuilt);
    }
}

TEST(LiveStrokePathTest, RebuildsOnResizeOrWhenPointsAreNotAnExtension) {
    Stroke stroke = makeStroke(InkTool::pen, zigzag(10));
    LiveStrokePath live;
    live.sync(stroke, k1080);
    EXPECT_TRUE(live.sync(stroke, {3840, 2160}).rebuilt);
    EXPECT_EQ(live.path(), StrokeGeometry::path(stroke, {3840, 2160}));
    stroke.points.back().x += 0.1;  // not an extension of what was synced
    EXPECT_TRUE(live.sync(stroke, {3840, 2160}).rebuilt);
    EXPECT_EQ(live.path(), StrokeGeometry::path(stroke, {3840, 2160}));
    stroke.points.front().y += 0.1;
    EXPECT_TRUE(live.sync(stroke, {3840, 2160}).rebuilt);
    stroke.tool = InkTool::marker;
    EXPECT_TRUE(live.sync(stroke, {3840, 2160}).rebuilt);
    stroke.points.resize(8);
    EXPECT_TRUE(live.sync(stroke, {3840, 2160}).rebuilt);
    EXPECT_EQ(live.path(), StrokeGeometry::path(stroke, {3840, 2160}));
}

TEST(OverlayInteractionTest, DerivedFlags) {
    constexpr OverlayInteraction connected{true, true, true};
    static_assert(connected.ignoresMouseEvents() && connected.toolbarVisible() &&
                  connected.pinVisible());
    constexpr OverlayInteraction local{false, true, false};
    static_assert(local.mouseDrawingEnabled() && !local.ignoresMouseEvents());
    static_assert(!local.toolbarVisible() && !local.pinVisible());
    constexpr OverlayInteraction off{false, false, true};
    static_assert(off.ignoresMouseEvents() && !off.toolbarVisible());
    static_assert(!SettingsDefaults::annotationActive);
    EXPECT_NE(local, off);
    EXPECT_EQ(local, (OverlayInteraction{false, true, false}));
}

}  // namespace
}  // namespace velurio
