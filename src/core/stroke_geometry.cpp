#include "core/stroke_geometry.h"

#include "core/stroke_smoothing.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace velurio {

namespace {

bool isFreehand(InkTool tool) noexcept {
    return tool != InkTool::rectangle && tool != InkTool::arrow;
}

double scale(SizeF size) noexcept {
    return size.height / StrokeGeometry::referenceHeight;
}

Subpath polyline(std::span<const StrokePoint> points, SizeF size) {
    Subpath subpath;
    subpath.points.reserve(points.size());
    for (const StrokePoint& p : points)
        subpath.points.push_back(StrokeGeometry::point(p, size));
    return subpath;
}

}  // namespace

namespace StrokeGeometry {

PointF point(const StrokePoint& p, SizeF size) noexcept {
    return {p.x * size.width, p.y * size.height};
}

double lineWidth(const Stroke& stroke, SizeF size) noexcept {
    return scale(size) * baseWidth(stroke.thickness);
}

RGBAColor color(const Stroke& stroke) noexcept {
    return {stroke.color.red, stroke.color.green, stroke.color.blue, inkOpacity(stroke.tool)};
}

bool isDrawnAsStroke(const Stroke& stroke) noexcept {
    return stroke.tool != InkTool::laser && stroke.tool != InkTool::text;
}

std::vector<StrokePoint> displayPoints(std::span<const StrokePoint> points) {
    if (points.size() > maxUnsmoothedPoints)
        return StrokeSmoothing::smooth(points, segmentsPerSpan);
    return std::vector<StrokePoint>(points.begin(), points.end());
}

StrokePath rectanglePath(PointF a, PointF b) {
    const double left = std::min(a.x, b.x);
    const double right = std::max(a.x, b.x);
    const double top = std::min(a.y, b.y);
    const double bottom = std::max(a.y, b.y);
    return StrokePath{
        {Subpath{{{left, top}, {right, top}, {right, bottom}, {left, bottom}}, true}}};
}

StrokePath arrowPath(PointF from, PointF to, double headLength) {
    const double angle = std::atan2(to.y - from.y, to.x - from.x);
    constexpr double kBarbAngle = 5.0 * std::numbers::pi / 6.0;  // 150°
    const PointF barb1{to.x + headLength * std::cos(angle + kBarbAngle),
                       to.y + headLength * std::sin(angle + kBarbAngle)};
    const PointF barb2{to.x + headLength * std::cos(angle - kBarbAngle),
                       to.y + headLength * std::sin(angle - kBarbAngle)};
    return StrokePath{
        {Subpath{{from, to}, false}, Subpath{{to, barb1}, false}, Subpath{{to, barb2}, false}}};
}

StrokePath path(const Stroke& stroke, SizeF size) {
    if (stroke.points.empty())
        return {};
    if (isFreehand(stroke.tool))
        return StrokePath{{polyline(displayPoints(stroke.points), size)}};
    // Smoothing keeps the first and last points, so the shapes only need the raw ends.
    const PointF a = point(stroke.points.front(), size);
    const PointF b = point(stroke.points.back(), size);
    if (stroke.tool == InkTool::rectangle)
        return rectanglePath(a, b);
    return arrowPath(a, b, lineWidth(stroke, size) * arrowHeadFactor);
}

double distance(PointF from, PointF to) noexcept {
    const double dx = to.x - from.x;
    const double dy = to.y - from.y;
    return std::sqrt(dx * dx + dy * dy);
}

double distance(PointF p, PointF a, PointF b) noexcept {
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    const double lengthSquared = dx * dx + dy * dy;
    if (!(lengthSquared > 0))
        return distance(p, a);
    double t = ((p.x - a.x) * dx + (p.y - a.y) * dy) / lengthSquared;
    t = std::clamp(t, 0.0, 1.0);
    return distance(p, PointF{a.x + t * dx, a.y + t * dy});
}

double distance(PointF p, const Stroke& stroke, SizeF size) noexcept {
    if (stroke.points.empty())
        return std::numeric_limits<double>::infinity();
    PointF previous = point(stroke.points.front(), size);
    double best = distance(p, previous);
    for (std::size_t i = 1; i < stroke.points.size(); ++i) {
        const PointF current = point(stroke.points[i], size);
        best = std::min(best, distance(p, previous, current));
        previous = current;
    }
    return best;
}

double eraserHitRadius(SizeF size) noexcept {
    return scale(size) * eraserRadiusAtReference;
}

}  // namespace StrokeGeometry

void LiveStrokePath::rebuild(const Stroke& stroke, SizeF size) {
    m_tool = stroke.tool;
    m_size = size;
    m_valid = true;
    m_points = stroke.points;
    m_smoothed.clear();
    if (isFreehand(m_tool) && m_points.size() > StrokeGeometry::maxUnsmoothedPoints) {
        StrokeSmoothing::smoothFrom(m_points, StrokeGeometry::segmentsPerSpan, 0, m_smoothed);
        m_path = StrokePath{{polyline(m_smoothed, size)}};
    } else {
        m_path = StrokeGeometry::path(stroke, size);
    }
}

LiveStrokePathUpdate LiveStrokePath::sync(const Stroke& stroke, SizeF size) {
    const std::size_t previousCount = m_points.size();
    // The store only ever appends to a live stroke, so checking the ends of what was synced
    // (O(1)) recognises an extension; a stroke replaced under the same id differs there.
    const bool extension =
        m_valid && m_tool == stroke.tool && m_size == size &&
        stroke.points.size() >= previousCount &&
        (previousCount == 0 || (stroke.points.front() == m_points.front() &&
                                stroke.points[previousCount - 1] == m_points.back()));
    if (extension && stroke.points.size() == previousCount) {
        return {false, m_path.subpaths.empty() ? 0 : m_path.subpaths.front().points.size(), true};
    }
    // Shapes depend on the last point only and are tiny: rebuild. The freehand path switches
    // from the raw polyline to the smoothed curve at the 7th point: rebuild there too.
    if (!extension || !isFreehand(stroke.tool) ||
        previousCount <= StrokeGeometry::maxUnsmoothedPoints) {
        // A raw polyline (≤ 6 points before and after) still only grows at its end.
        if (extension && isFreehand(stroke.tool) &&
            stroke.points.size() <= StrokeGeometry::maxUnsmoothedPoints && previousCount > 0) {
            m_points.insert(m_points.end(),
                            stroke.points.begin() + static_cast<std::ptrdiff_t>(previousCount),
                            stroke.points.end());
            auto& vertices = m_path.subpaths.front().points;
            for (std::size_t i = previousCount; i < m_points.size(); ++i) {
                vertices.push_back(StrokeGeometry::point(m_points[i], size));
            }
            return {false, previousCount, false};
        }
        rebuild(stroke, size);
        return {true, 0, false};
    }
    m_points.insert(m_points.end(),
                    stroke.points.begin() + static_cast<std::ptrdiff_t>(previousCount),
                    stroke.points.end());
    const std::size_t firstChanged = StrokeSmoothing::smoothFrom(
        m_points, StrokeGeometry::segmentsPerSpan, previousCount - 2, m_smoothed);
    auto& vertices = m_path.subpaths.front().points;
    vertices.resize(firstChanged);
    for (std::size_t i = firstChanged; i < m_smoothed.size(); ++i) {
        vertices.push_back(StrokeGeometry::point(m_smoothed[i], size));
    }
    return {false, firstChanged, false};
}

}  // namespace velurio
