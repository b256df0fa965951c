#include "core/shape_snapping.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace velurio::ShapeSnapping {

namespace {

StrokePoint pointAt(const StrokePoint& style, double x, double y, SizeF size) {
    StrokePoint p = style;
    p.x = size.width > 0 ? x / size.width : 0;
    p.y = size.height > 0 ? y / size.height : 0;
    return p;
}

constexpr double kCircleTolerance = 0.1;
constexpr double kRectangleTolerance = 0.08;

struct Pt {
    double x;
    double y;
};

double distance(Pt a, Pt b) {
    return std::hypot(a.x - b.x, a.y - b.y);
}

// Distance from p to the line through a and b (to a when they coincide).
double offLine(Pt p, Pt a, Pt b) {
    const double length = distance(a, b);
    if (length <= 1e-9)
        return distance(p, a);
    return std::abs((b.x - a.x) * (a.y - p.y) - (a.x - p.x) * (b.y - a.y)) / length;
}

double pathLength(const std::vector<Pt>& pts, std::size_t from, std::size_t to) {
    double total = 0;
    for (std::size_t i = from + 1; i <= to && i < pts.size(); ++i)
        total += distance(pts[i - 1], pts[i]);
    return total;
}

// The stroke walked in steps of at most `step` units, so that coverage does not depend on how
// far apart the mouse events were.
std::vector<Pt> densify(const std::vector<Pt>& pts, double step) {
    std::vector<Pt> out;
    for (std::size_t i = 0; i + 1 < pts.size(); ++i) {
        const double d = distance(pts[i], pts[i + 1]);
        const int n = std::max(1, static_cast<int>(std::ceil(d / step)));
        for (int k = 0; k < n; ++k) {
            const double t = static_cast<double>(k) / n;
            out.push_back({pts[i].x + t * (pts[i + 1].x - pts[i].x),
                           pts[i].y + t * (pts[i + 1].y - pts[i].y)});
        }
    }
    if (!pts.empty())
        out.push_back(pts.back());
    return out;
}

bool straightLine(const std::vector<Pt>& pts) {
    const double chord = distance(pts.front(), pts.back());
    if (chord <= 1e-9)
        return false;
    for (const Pt& p : pts) {
        if (offLine(p, pts.front(), pts.back()) > kStraightness * chord)
            return false;
    }
    return pathLength(pts, 0, pts.size() - 1) <= 1.2 * chord;
}

bool plausibleArrow(const std::vector<Pt>& pts) {
    // The tip: where the shaft first reaches (nearly) its full length; the hand comes back to
    // it between the barbs, a few pixels off.
    double farthest = 0;
    for (const Pt& p : pts)
        farthest = std::max(farthest, distance(p, pts.front()));
    std::size_t tip = 0;
    while (tip + 1 < pts.size() && distance(pts[tip], pts.front()) < 0.97 * farthest)
        ++tip;
    const double shaft = distance(pts[tip], pts.front());
    if (shaft <= 1e-9 || tip + 2 >= pts.size())
        return false;
    for (std::size_t i = 0; i <= tip; ++i) {
        if (offLine(pts[i], pts.front(), pts[tip]) > kStraightness * shaft)
            return false;
    }
    if (pathLength(pts, 0, tip) > 1.2 * shaft)
        return false;
    // The head: drawn near the tip, and long enough for two barbs.
    for (std::size_t i = tip; i < pts.size(); ++i) {
        if (distance(pts[i], pts[tip]) > 0.5 * shaft)
            return false;
    }
    return pathLength(pts, tip, pts.size() - 1) >= 0.2 * shaft;
}

// Closed shapes: how well the stroke follows the ellipse inscribed in its bounds, and the
// bounds' border, and whether it goes all the way round.
struct ClosedFit {
    bool circle = false;
    bool rectangle = false;
    double circleError = 1;
    double rectangleError = 1;
};

ClosedFit fitClosed(const std::vector<Pt>& pts, const InkRect& b) {
    ClosedFit fit;
    const double shorter = std::min(b.width, b.height);
    if (shorter <= 1e-9)
        return fit;
    const std::vector<Pt> dense = densify(pts, shorter / 64);
    const double cx = b.x + b.width / 2;
    const double cy = b.y + b.height / 2;
    constexpr int kArcs = 12;
    constexpr int kSideBins = 8;
    bool arcs[kArcs] = {};
    bool sides[4][kSideBins] = {};
    double ellipseSum = 0;
    double borderSum = 0;
    for (const Pt& p : dense) {
        const double ux = (p.x - cx) / (b.width / 2);
        const double uy = (p.y - cy) / (b.height / 2);
        ellipseSum += std::abs(std::hypot(ux, uy) - 1);
        const double angle = std::atan2(uy, ux) + std::numbers::pi;
        arcs[std::min(kArcs - 1, static_cast<int>(angle / (2 * std::numbers::pi) * kArcs))] = true;
        const double toSide[4] = {std::abs(p.y - b.y), std::abs(p.x - (b.x + b.width)),
                                  std::abs(p.y - (b.y + b.height)), std::abs(p.x - b.x)};
        const int nearest = static_cast<int>(std::min_element(toSide, toSide + 4) - toSide);
        borderSum += toSide[nearest];
        if (toSide[nearest] <= 0.12 * shorter) {
            const double along = nearest % 2 == 0 ? (p.x - b.x) / b.width : (p.y - b.y) / b.height;
            const int bin = std::clamp(static_cast<int>(along * kSideBins), 0, kSideBins - 1);
            sides[nearest][bin] = true;
        }
    }
    const auto count = static_cast<double>(dense.size());
    fit.circleError = ellipseSum / count;
    fit.rectangleError = borderSum / count / shorter;
    int arcsHit = 0;
    for (bool hit : arcs)
        arcsHit += hit ? 1 : 0;
    int sideBinsHit = 0;
    for (const auto& side : sides) {
        for (bool hit : side)
            sideBinsHit += hit ? 1 : 0;
    }
    fit.circle = fit.circleError <= kCircleTolerance && arcsHit == kArcs;
    fit.rectangle = fit.rectangleError <= kRectangleTolerance && sideBinsHit >= 4 * kSideBins - 4;
    return fit;
}

}  // namespace

std::optional<ShapeMatch> recognize(const ShapeRecognizer& recognizer,
                                    std::span<const StrokePoint> points, SizeF size) {
    std::vector<StrokePoint> scaled(points.begin(), points.end());
    std::vector<Pt> pts;
    pts.reserve(scaled.size());
    for (StrokePoint& p : scaled) {
        p.x *= size.width;
        p.y *= size.height;
        pts.push_back({p.x, p.y});
    }
    auto match = recognizer.recognize(scaled);
    if (!match)
        return std::nullopt;
    switch (match->kind) {
        case ShapeKind::line:
            // An arrow drawn quickly can score best as a line; its head tells it apart.
            if (straightLine(pts))
                break;
            if (!plausibleArrow(pts))
                return std::nullopt;
            match->kind = ShapeKind::arrow;
            break;
        case ShapeKind::arrow:
            if (!plausibleArrow(pts))
                return std::nullopt;
            break;
        case ShapeKind::rectangle:
        case ShapeKind::circle: {
            // The templates tell closed shapes from open ones well, a circle from a rectangle
            // less so: the better of the two fits decides, and a stroke that fits neither
            // (a closed scribble) is no shape.
            const ClosedFit fit = fitClosed(pts, match->bounds);
            if (fit.circle && (!fit.rectangle || fit.circleError / kCircleTolerance <
                                                     fit.rectangleError / kRectangleTolerance)) {
                match->kind = ShapeKind::circle;
            } else if (fit.rectangle) {
                match->kind = ShapeKind::rectangle;
            } else {
                return std::nullopt;
            }
            break;
        }
    }
    return match;
}

std::vector<StrokePoint> tracePoints(const ShapeMatch& match, std::span<const StrokePoint> points,
                                     SizeF size) {
    if (points.empty())
        return {};
    const StrokePoint& first = points.front();
    const StrokePoint& last = points.back();
    std::vector<StrokePoint> out;
    auto add = [&](double x, double y) { out.push_back(pointAt(first, x, y, size)); };
    const double fx = first.x * size.width;
    const double fy = first.y * size.height;
    const InkRect& b = match.bounds;
    switch (match.kind) {
        case ShapeKind::line:
            add(fx, fy);
            add(last.x * size.width, last.y * size.height);
            break;
        case ShapeKind::arrow: {
            double tipX = fx;
            double tipY = fy;
            double farthest = -1;
            for (const StrokePoint& p : points) {
                const double d = std::hypot(p.x * size.width - fx, p.y * size.height - fy);
                if (d > farthest) {
                    farthest = d;
                    tipX = p.x * size.width;
                    tipY = p.y * size.height;
                }
            }
            const double angle = std::atan2(tipY - fy, tipX - fx);
            const double head = std::max(12.0, farthest / 4);
            const double spread = 5 * std::numbers::pi / 6;
            add(fx, fy);
            add(tipX, tipY);
            add(tipX + head * std::cos(angle + spread), tipY + head * std::sin(angle + spread));
            add(tipX, tipY);
            add(tipX + head * std::cos(angle - spread), tipY + head * std::sin(angle - spread));
            break;
        }
        case ShapeKind::rectangle:
            add(b.x, b.y);
            add(b.x + b.width, b.y);
            add(b.x + b.width, b.y + b.height);
            add(b.x, b.y + b.height);
            add(b.x, b.y);
            break;
        case ShapeKind::circle: {
            const double cx = b.x + b.width / 2;
            const double cy = b.y + b.height / 2;
            // Start where the stroke started, so the shape keeps the hand's direction of travel.
            const double start = std::atan2((fy - cy) / std::max(b.height, 1e-9),
                                            (fx - cx) / std::max(b.width, 1e-9));
            for (int k = 0; k <= kCirclePoints; ++k) {
                const double a = start + 2 * std::numbers::pi * k / kCirclePoints;
                add(cx + b.width / 2 * std::cos(a), cy + b.height / 2 * std::sin(a));
            }
            break;
        }
    }
    // Timestamps from the first point's to the last point's, evenly.
    const std::size_t n = out.size();
    for (std::size_t i = 0; i < n; ++i) {
        const double t = n > 1 ? static_cast<double>(i) / static_cast<double>(n - 1) : 0;
        out[i].timestampMs =
            first.timestampMs +
            std::llround(t * static_cast<double>(last.timestampMs - first.timestampMs));
    }
    return out;
}

}  // namespace velurio::ShapeSnapping
