#include "core/shape_recognizer.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace velurio {

namespace {

using Point = ShapeRecognizer::Point;

constexpr double kEpsilon = 1e-9;
constexpr double kPhi = 0.6180339887498949;
constexpr double kOneMinusPhi = 0.3819660112501051;
constexpr double kAngleRange = std::numbers::pi / 4;
constexpr double kAngleTolerance = 0.03490658503988659;  // 2°
constexpr double kHalfDiagonal = 0.7071067811865476;     // 0.5·√2
constexpr std::size_t kMinimumPoints = 12;

double distance(Point a, Point b) {
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    return std::sqrt(dx * dx + dy * dy);
}

double pathLength(const std::vector<Point>& points) {
    double length = 0;
    for (std::size_t i = 1; i < points.size(); ++i)
        length += distance(points[i - 1], points[i]);
    return length;
}

std::vector<Point> resample(const std::vector<Point>& points, std::size_t n) {
    const double interval = pathLength(points) / static_cast<double>(n - 1);
    if (!(interval > 0))
        return points;
    std::vector<Point> out;
    out.reserve(n + 1);
    out.push_back(points.front());
    double covered = 0;
    for (std::size_t i = 1; i < points.size(); ++i) {
        Point prev = points[i - 1];
        const Point p = points[i];
        double d = distance(prev, p);
        while (d > 0 && covered + d >= interval) {
            const double f = (interval - covered) / d;
            const Point q{prev.x + f * (p.x - prev.x), prev.y + f * (p.y - prev.y)};
            out.push_back(q);
            prev = q;
            d = distance(prev, p);
            covered = 0;
        }
        covered += d;
    }
    while (out.size() < n)
        out.push_back(points.back());
    out.resize(n);
    return out;
}

Point centroid(const std::vector<Point>& points) {
    Point c;
    for (const Point& p : points) {
        c.x += p.x;
        c.y += p.y;
    }
    const double count = static_cast<double>(points.size());
    return {c.x / count, c.y / count};
}

std::vector<Point> rotateAbout(const std::vector<Point>& points, double angle, Point c) {
    const double cosA = std::cos(angle);
    const double sinA = std::sin(angle);
    std::vector<Point> out;
    out.reserve(points.size());
    for (const Point& p : points) {
        const double dx = p.x - c.x;
        const double dy = p.y - c.y;
        out.push_back({dx * cosA - dy * sinA + c.x, dx * sinA + dy * cosA + c.y});
    }
    return out;
}

struct Bounds {
    double minX, minY, maxX, maxY;
};

Bounds boundsOf(const std::vector<Point>& points) {
    Bounds b{points.front().x, points.front().y, points.front().x, points.front().y};
    for (const Point& p : points) {
        b.minX = std::min(b.minX, p.x);
        b.minY = std::min(b.minY, p.y);
        b.maxX = std::max(b.maxX, p.x);
        b.maxY = std::max(b.maxY, p.y);
    }
    return b;
}

// Mean distance between corresponding points after rotating `stroke` about the origin.
double distanceAtAngle(const std::vector<Point>& stroke, const std::vector<Point>& templ,
                       double angle) {
    const std::size_t count = std::min(stroke.size(), templ.size());
    if (count == 0)
        return std::numeric_limits<double>::quiet_NaN();
    const double cosA = std::cos(angle);
    const double sinA = std::sin(angle);
    double sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const Point p = stroke[i];
        const Point r{p.x * cosA - p.y * sinA, p.x * sinA + p.y * cosA};
        sum += distance(r, templ[i]);
    }
    return sum / static_cast<double>(count);
}

double distanceAtBestAngle(const std::vector<Point>& stroke, const std::vector<Point>& templ) {
    double a = -kAngleRange;
    double b = kAngleRange;
    double x1 = kPhi * a + kOneMinusPhi * b;
    double f1 = distanceAtAngle(stroke, templ, x1);
    double x2 = kOneMinusPhi * a + kPhi * b;
    double f2 = distanceAtAngle(stroke, templ, x2);
    while (std::abs(b - a) > kAngleTolerance) {
        if (f1 < f2) {
            b = x2;
            x2 = x1;
            f2 = f1;
            x1 = kPhi * a + kOneMinusPhi * b;
            f1 = distanceAtAngle(stroke, templ, x1);
        } else {
            a = x1;
            x1 = x2;
            f1 = f2;
            x2 = kOneMinusPhi * a + kPhi * b;
            f2 = distanceAtAngle(stroke, templ, x2);
        }
    }
    return std::min(f1, f2);
}

std::vector<ShapeRecognizer::Template> buildTemplates() {
    std::vector<ShapeRecognizer::Template> templates;
    auto add = [&](ShapeKind kind, std::vector<Point> points) {
        templates.push_back({kind, ShapeRecognizer::normalize(std::move(points))});
    };
    add(ShapeKind::line, {{0, 0}, {1, 0}});
    for (double direction : {1.0, -1.0}) {
        std::vector<Point> circle;
        for (int k = 0; k <= 48; ++k) {
            const double angle = direction * 2 * std::numbers::pi * k / 48;
            circle.push_back({0.5 + 0.5 * std::cos(angle), 0.5 + 0.5 * std::sin(angle)});
        }
        add(ShapeKind::circle, std::move(circle));
    }
    const Point corners[4] = {{0, 0}, {1, 0}, {1, 1}, {0, 1}};
    for (int start = 0; start < 4; ++start) {
        for (int direction : {1, -1}) {
            std::vector<Point> rect;
            for (int step = 0; step <= 4; ++step) {
                rect.push_back(corners[((start + direction * step) % 4 + 4) % 4]);
            }
            add(ShapeKind::rectangle, std::move(rect));
        }
    }
    add(ShapeKind::arrow, {{1, 0.5}, {0, 0.5}, {0.24, 0.32}, {0, 0.5}, {0.24, 0.68}});
    return templates;
}

}  // namespace

std::vector<Point> ShapeRecognizer::normalize(std::vector<Point> points) {
    if (points.empty())
        return points;
    points = resample(points, sampleCount);
    Point c = centroid(points);
    points = rotateAbout(points, -std::atan2(points.front().y - c.y, points.front().x - c.x), c);
    const Bounds b = boundsOf(points);
    const double side = std::max({b.maxX - b.minX, b.maxY - b.minY, kEpsilon});
    for (Point& p : points) {
        p.x /= side;
        p.y /= side;
    }
    c = centroid(points);
    for (Point& p : points) {
        p.x -= c.x;
        p.y -= c.y;
    }
    return points;
}

ShapeRecognizer::ShapeRecognizer(double minimum)
    : minimumScore(minimum), m_templates(buildTemplates()) {}

std::optional<ShapeMatch> ShapeRecognizer::recognize(
    std::span<const StrokePoint> strokePoints) const {
    if (strokePoints.size() < kMinimumPoints)
        return std::nullopt;
    std::vector<Point> points;
    points.reserve(strokePoints.size());
    for (const StrokePoint& p : strokePoints)
        points.push_back({p.x, p.y});
    if (!(pathLength(points) > kEpsilon))
        return std::nullopt;
    const Bounds b = boundsOf(points);
    const double width = b.maxX - b.minX;
    const double height = b.maxY - b.minY;
    const double longer = std::max(width, height);
    if (!(longer > kEpsilon))
        return std::nullopt;

    bool candidate[4] = {false, false, false, false};  // indexed by ShapeKind
    auto allow = [&](ShapeKind kind) { candidate[static_cast<int>(kind)] = true; };
    if (distance(points.front(), points.back()) <= 0.25 * longer) {
        allow(ShapeKind::circle);
        allow(ShapeKind::rectangle);
    } else {
        const double shorter = std::min(width, height);
        const double aspect = shorter > kEpsilon ? longer / shorter : longer / kEpsilon;
        allow(ShapeKind::line);
        allow(ShapeKind::arrow);
        if (aspect < 5) {
            allow(ShapeKind::circle);
            allow(ShapeKind::rectangle);
        }
    }

    const std::vector<Point> normalized = normalize(std::move(points));
    const Template* best = nullptr;
    double bestScore = 0;
    for (const Template& t : m_templates) {
        if (!candidate[static_cast<int>(t.kind)])
            continue;
        const double score = 1 - distanceAtBestAngle(normalized, t.points) / kHalfDiagonal;
        if (std::isnan(score))
            continue;
        if (best == nullptr || score > bestScore) {
            best = &t;
            bestScore = score;
        }
    }
    if (best == nullptr || bestScore < minimumScore)
        return std::nullopt;
    return ShapeMatch{best->kind, bestScore, InkRect{b.minX, b.minY, width, height}};
}

}  // namespace velurio
