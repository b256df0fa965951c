// Shape recognition and Catmull-Rom smoothing.
#include "core/shape_recognizer.h"
#include "core/stroke_smoothing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>

namespace velurio {
namespace {

StrokePoint pt(double x, double y, std::int64_t ts = 0) {
    return {x, y, 0.5, 0, ts};
}

std::vector<StrokePoint> lineStroke(std::size_t n) {
    std::vector<StrokePoint> points;
    for (std::size_t i = 0; i < n; ++i)
        points.push_back(pt(0.1 + 0.05 * static_cast<double>(i), 0.3));
    return points;
}

std::vector<StrokePoint> circleStroke(std::size_t n, double cx, double cy, double r) {
    std::vector<StrokePoint> points;
    for (std::size_t i = 0; i <= n; ++i) {
        const double a = 2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n);
        points.push_back(pt(cx + r * std::cos(a), cy + r * std::sin(a)));
    }
    return points;
}

// Walks a closed polygon through `corners`, `perSide` points per side.
std::vector<StrokePoint> polygonStroke(const std::vector<StrokePoint>& corners, int perSide) {
    std::vector<StrokePoint> points;
    for (std::size_t c = 0; c < corners.size(); ++c) {
        const StrokePoint a = corners[c];
        const StrokePoint b = corners[(c + 1) % corners.size()];
        for (int k = 0; k < perSide; ++k) {
            const double t = static_cast<double>(k) / perSide;
            points.push_back(pt(a.x + t * (b.x - a.x), a.y + t * (b.y - a.y)));
        }
    }
    points.push_back(corners.front());
    return points;
}

TEST(ShapeRecognizerTest, NeedsTwelvePointsAndSomeExtent) {
    ShapeRecognizer recognizer(0.0);
    EXPECT_FALSE(recognizer.recognize(lineStroke(11)));
    EXPECT_FALSE(recognizer.recognize(std::vector<StrokePoint>(20, pt(0.4, 0.4))));
    // Path length > 0 but the box is degenerate in both directions cannot happen; a tiny
    // segment below the epsilon is "no extent".
    std::vector<StrokePoint> tiny(12, pt(0.4, 0.4));
    tiny.back().x += 1e-10;
    EXPECT_FALSE(recognizer.recognize(tiny));
}

TEST(ShapeRecognizerTest, RecognisesALineWithBounds) {
    ShapeRecognizer recognizer(0.8);
    auto match = recognizer.recognize(lineStroke(12));
    ASSERT_TRUE(match);
    EXPECT_EQ(match->kind, ShapeKind::line);
    EXPECT_GT(match->score, 0.95);
    EXPECT_DOUBLE_EQ(match->bounds.x, 0.1);
    EXPECT_DOUBLE_EQ(match->bounds.y, 0.3);
    EXPECT_NEAR(match->bounds.width, 0.55, 1e-12);
    EXPECT_DOUBLE_EQ(match->bounds.height, 0);
}

TEST(ShapeRecognizerTest, ClosedStrokesAreOnlyCirclesOrRectangles) {
    ShapeRecognizer recognizer(0.0);
    auto circle = recognizer.recognize(circleStroke(40, 0.5, 0.5, 0.2));
    ASSERT_TRUE(circle);
    EXPECT_EQ(circle->kind, ShapeKind::circle);
    EXPECT_GT(circle->score, 0.85);
    EXPECT_NEAR(circle->bounds.width, 0.4, 1e-9);

    auto rect = recognizer.recognize(
        polygonStroke({pt(0.2, 0.2), pt(0.6, 0.2), pt(0.6, 0.5), pt(0.2, 0.5)}, 8));
    ASSERT_TRUE(rect);
    EXPECT_EQ(rect->kind, ShapeKind::rectangle);
    EXPECT_GT(rect->score, 0.85);

    // A closed, very flat loop (there and back along a line) is still closed: never a line.
    std::vector<StrokePoint> back = lineStroke(12);
    std::vector<StrokePoint> there = back;
    std::reverse(back.begin(), back.end());
    there.insert(there.end(), back.begin(), back.end());
    auto loop = recognizer.recognize(there);
    ASSERT_TRUE(loop);
    EXPECT_TRUE(loop->kind == ShapeKind::circle || loop->kind == ShapeKind::rectangle);
}

TEST(ShapeRecognizerTest, NearlyFlatOpenStrokesAreElongated) {
    // 1e-12 high and 100 wide: aspect ≥ 5, so only line and arrow compete.
    ShapeRecognizer recognizer(0.0);
    std::vector<StrokePoint> points;
    for (int i = 0; i < 12; ++i)
        points.push_back(pt(100.0 * i / 11, (i % 2) * 1e-12));
    auto match = recognizer.recognize(points);
    ASSERT_TRUE(match);
    EXPECT_TRUE(match->kind == ShapeKind::line || match->kind == ShapeKind::arrow);
    EXPECT_EQ(match->kind, ShapeKind::line);
}

TEST(ShapeRecognizerTest, RecognisesTheArrowTemplateShapeAndAppliesTheThreshold) {
    // Shaft towards the tip, then both barbs, as the template draws it (scaled and moved).
    std::vector<StrokePoint> corners = {pt(0.9, 0.5), pt(0.1, 0.5), pt(0.292, 0.356), pt(0.1, 0.5),
                                        pt(0.292, 0.644)};
    std::vector<StrokePoint> points;
    for (std::size_t c = 0; c + 1 < corners.size(); ++c) {
        for (int k = 0; k < 6; ++k) {
            const double t = k / 6.0;
            points.push_back(pt(corners[c].x + t * (corners[c + 1].x - corners[c].x),
                                corners[c].y + t * (corners[c + 1].y - corners[c].y)));
        }
    }
    points.push_back(corners.back());
    auto match = ShapeRecognizer(0.0).recognize(points);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->kind, ShapeKind::arrow);
    EXPECT_FALSE(ShapeRecognizer(match->score + 1e-9).recognize(points));
    EXPECT_TRUE(ShapeRecognizer(match->score).recognize(points));
}

TEST(ShapeRecognizerTest, TemplatesAreNormalisedAndInTheDocumentedOrder) {
    ShapeRecognizer recognizer(0.5);
    const auto& templates = recognizer.templates();
    ASSERT_EQ(templates.size(), 12u);
    EXPECT_EQ(templates[0].kind, ShapeKind::line);
    EXPECT_EQ(templates[1].kind, ShapeKind::circle);
    EXPECT_EQ(templates[2].kind, ShapeKind::circle);
    for (int i = 3; i < 11; ++i)
        EXPECT_EQ(templates[static_cast<std::size_t>(i)].kind, ShapeKind::rectangle);
    EXPECT_EQ(templates[11].kind, ShapeKind::arrow);
    for (const auto& t : templates) {
        ASSERT_EQ(t.points.size(), 64u);
        double cx = 0, cy = 0;
        for (auto p : t.points) {
            cx += p.x;
            cy += p.y;
        }
        EXPECT_NEAR(cx / 64, 0, 1e-12);
        EXPECT_NEAR(cy / 64, 0, 1e-12);
    }
}

TEST(ShapeRecognizerTest, HostileCoordinatesNeverCrash) {
    ShapeRecognizer recognizer(0.0);
    std::vector<StrokePoint> points = lineStroke(12);
    points[3].x = std::numeric_limits<double>::infinity();
    points[4].y = std::numeric_limits<double>::quiet_NaN();
    points[5].x = 1e308;
    // No crash or hang; a match, if any, carries a usable score and bounds.
    const auto match = recognizer.recognize(points);
    if (match) {
        EXPECT_TRUE(std::isfinite(match->score));
        EXPECT_TRUE(std::isfinite(match->bounds.width) && std::isfinite(match->bounds.height));
    }
}

// --- Smoothing ---------------------------------------------------------------------------

TEST(StrokeSmoothingTest, ShortInputsAndNonPositiveSegmentsAreReturnedUnchanged) {
    std::vector<StrokePoint> two = {pt(0, 0, 1), pt(1, 1, 2)};
    EXPECT_EQ(StrokeSmoothing::smooth(two, 8), two);
    std::vector<StrokePoint> three = {pt(0, 0, 1), pt(1, 1, 2), pt(2, 0, 3)};
    EXPECT_EQ(StrokeSmoothing::smooth(three, 0), three);
    EXPECT_EQ(StrokeSmoothing::smooth(three, -2), three);
    EXPECT_TRUE(StrokeSmoothing::smooth({}, 8).empty());
}

TEST(StrokeSmoothingTest, ThreePointsGiveSeventeenWithExactEnds) {
    std::vector<StrokePoint> three = {pt(0, 0, 0), pt(1, 1, 10), pt(2, 0, 20)};
    auto out = StrokeSmoothing::smooth(three, 8);
    ASSERT_EQ(out.size(), 17u);
    EXPECT_EQ(out.front(), three.front());
    EXPECT_EQ(out[8], three[1]);
    EXPECT_EQ(out.back(), three.back());
    // Span 0, t = 0.5, P0 = P1 = (0,0), P2 = (1,1), P3 = (2,0):
    // 0.5·(0 + 1·0.5 + (4 − 2)·0.25 + (−3 + 2)·0.125) = 0.4375 for x.
    EXPECT_DOUBLE_EQ(out[4].x, 0.4375);
    // Timestamps 0, 0, 10, 20 at t = 0.5: 0.5·(5 + 20·0.25 + (−30 + 20)·0.125) = 4.375 → 4.
    EXPECT_EQ(out[4].timestampMs, 4);
}

TEST(StrokeSmoothingTest, TimestampsRoundHalfAwayFromZeroAndClampToRange) {
    // With P0 = P1 = 0, P2 = P3 = 1 at t = 0.5 the formula gives exactly 0.5 of P2 − P1.
    std::vector<StrokePoint> halves = {pt(0, 0, 0), pt(0, 0, 0), pt(1, 0, 1), pt(1, 0, 1)};
    auto out = StrokeSmoothing::smooth(halves, 2);
    EXPECT_EQ(out[3].timestampMs, 1);  // span 1, t = 0.5: 0.5 rounds away from zero
    std::vector<StrokePoint> negative = {pt(0, 0, 0), pt(0, 0, 0), pt(1, 0, -1), pt(1, 0, -1)};
    EXPECT_EQ(StrokeSmoothing::smooth(negative, 2)[3].timestampMs, -1);

    // Peer-controlled extremes overshoot the 64-bit range between them: clamped, never UB.
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    std::vector<StrokePoint> extreme = {pt(0, 0, kMin), pt(0, 0, kMax), pt(0, 0, kMin),
                                        pt(0, 0, kMax)};
    auto clamped = StrokeSmoothing::smooth(extreme, 8);
    ASSERT_EQ(clamped.size(), 25u);
    EXPECT_EQ(clamped[8].timestampMs, kMax);
    EXPECT_EQ(clamped[16].timestampMs, kMin);
    EXPECT_EQ(clamped.back().timestampMs, kMax);
}

TEST(StrokeSmoothingTest, PropertyEveryInputPointIsOnTheCurve) {
    std::mt19937_64 rng(1234);
    std::uniform_real_distribution<double> coord(-2, 2);
    std::uniform_int_distribution<std::int64_t> ts(-1'000'000'000'000, 1'000'000'000'000);
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t n = 1 + rng() % 40;
        const int segments = 1 + static_cast<int>(rng() % 12);
        std::vector<StrokePoint> points;
        for (std::size_t i = 0; i < n; ++i) {
            points.push_back({coord(rng), coord(rng), coord(rng), coord(rng), ts(rng)});
        }
        auto out = StrokeSmoothing::smooth(points, segments);
        if (n < 3) {
            EXPECT_EQ(out, points);
            continue;
        }
        ASSERT_EQ(out.size(), (n - 1) * static_cast<std::size_t>(segments) + 1);
        for (std::size_t i = 0; i + 1 < n; ++i) {
            EXPECT_EQ(out[i * static_cast<std::size_t>(segments)], points[i]) << trial << " " << i;
        }
        EXPECT_EQ(out.back(), points.back());
    }
}

TEST(StrokeSmoothingTest, SmoothFromExtendsAPrefixToTheSameCurve) {
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> coord(0, 1);
    std::vector<StrokePoint> points;
    for (int i = 0; i < 3; ++i)
        points.push_back(pt(coord(rng), coord(rng), i));
    std::vector<StrokePoint> curve = StrokeSmoothing::smooth(points, 8);
    while (points.size() < 60) {
        const std::size_t before = points.size();
        const std::size_t added = 1 + rng() % 4;
        for (std::size_t k = 0; k < added; ++k) {
            points.push_back(pt(coord(rng), coord(rng), static_cast<std::int64_t>(points.size())));
        }
        std::vector<StrokePoint> previous = curve;
        const std::size_t firstChanged = StrokeSmoothing::smoothFrom(points, 8, before - 2, curve);
        ASSERT_EQ(curve, StrokeSmoothing::smooth(points, 8));
        ASSERT_EQ(firstChanged, (before - 2) * 8);
        EXPECT_TRUE(std::equal(previous.begin(),
                               previous.begin() + static_cast<std::ptrdiff_t>(firstChanged),
                               curve.begin()));
    }
    // A buffer that is not a prefix is recomputed whole.
    std::vector<StrokePoint> wrong(3);
    EXPECT_EQ(StrokeSmoothing::smoothFrom(points, 8, 20, wrong), 0u);
    EXPECT_EQ(wrong, StrokeSmoothing::smooth(points, 8));
}

}  // namespace
}  // namespace velurio
