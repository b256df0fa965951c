#include "core/stroke_smoothing.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace velurio {

namespace {

// The Catmull-Rom polynomial of one component over one span, in the form
// 0.5 · (2·P1 + a·t + b·t² + c·t³). The coefficients are computed once per span with the same
// operations the textbook formula uses, so every value is bit-identical to evaluating it whole.
struct SpanPolynomial {
    double twoP1, a, b, c;

    SpanPolynomial(double p0, double p1, double p2, double p3) noexcept
        : twoP1(2.0 * p1),
          a(p2 - p0),
          b(2.0 * p0 - 5.0 * p1 + 4.0 * p2 - p3),
          c(3.0 * p1 - p0 - 3.0 * p2 + p3) {}

    double at(double t, double t2, double t3) const noexcept {
        return 0.5 * (twoP1 + a * t + b * t2 + c * t3);
    }
};

// Rounds half away from zero into the 64-bit range. Timestamps come from the peer, and the
// curve overshoots between extreme values, so the conversion must not overflow.
std::int64_t roundedTimestamp(double value) noexcept {
    constexpr double kLimit = 9223372036854775808.0;  // 2^63
    if (std::isnan(value))
        return 0;
    double rounded = std::round(value);
    if (rounded >= kLimit)
        return std::numeric_limits<std::int64_t>::max();
    if (rounded < -kLimit)
        return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(rounded);
}

}  // namespace

namespace StrokeSmoothing {

void appendSpan(std::span<const StrokePoint> points, std::size_t span, int segmentsPerSpan,
                std::vector<StrokePoint>& out) {
    const std::size_t last = points.size() - 1;
    const StrokePoint& p0 = points[span == 0 ? 0 : span - 1];
    const StrokePoint& p1 = points[span];
    const StrokePoint& p2 = points[span + 1];
    const StrokePoint& p3 = points[std::min(span + 2, last)];
    // t = 0 is exactly p1; emitting it as is keeps every input point bit-identical in the
    // output even where the formula would round (large timestamps, huge coordinates).
    out.push_back(p1);
    const SpanPolynomial x(p0.x, p1.x, p2.x, p3.x);
    const SpanPolynomial y(p0.y, p1.y, p2.y, p3.y);
    const SpanPolynomial pressure(p0.pressure, p1.pressure, p2.pressure, p3.pressure);
    const SpanPolynomial tilt(p0.tilt, p1.tilt, p2.tilt, p3.tilt);
    const SpanPolynomial time(
        static_cast<double>(p0.timestampMs), static_cast<double>(p1.timestampMs),
        static_cast<double>(p2.timestampMs), static_cast<double>(p3.timestampMs));
    const double segments = static_cast<double>(segmentsPerSpan);
    for (int j = 1; j < segmentsPerSpan; ++j) {
        const double t = static_cast<double>(j) / segments;
        const double t2 = t * t;
        const double t3 = t2 * t;
        out.push_back({x.at(t, t2, t3), y.at(t, t2, t3), pressure.at(t, t2, t3), tilt.at(t, t2, t3),
                       roundedTimestamp(time.at(t, t2, t3))});
    }
}

std::size_t smoothFrom(std::span<const StrokePoint> points, int segmentsPerSpan,
                       std::size_t firstSpan, std::vector<StrokePoint>& out) {
    const std::size_t spans = points.size() - 1;
    firstSpan = std::min(firstSpan, spans);
    std::size_t keep = firstSpan * static_cast<std::size_t>(segmentsPerSpan);
    if (out.size() < keep) {
        // Not a prefix of this curve: recompute it whole rather than leave a gap.
        firstSpan = 0;
        keep = 0;
    }
    out.resize(keep);
    const std::size_t firstChanged = out.size();
    // Reserve with headroom: an exact reserve on every extension of a live stroke would
    // reallocate (and copy the whole curve) each time.
    const std::size_t needed = spans * static_cast<std::size_t>(segmentsPerSpan) + 1;
    if (out.capacity() < needed)
        out.reserve(std::max(needed, out.capacity() * 2));
    for (std::size_t span = firstSpan; span < spans; ++span) {
        appendSpan(points, span, segmentsPerSpan, out);
    }
    out.push_back(points.back());
    return firstChanged;
}

std::vector<StrokePoint> smooth(std::span<const StrokePoint> points, int segmentsPerSpan) {
    if (points.size() < 3 || segmentsPerSpan <= 0) {
        return std::vector<StrokePoint>(points.begin(), points.end());
    }
    std::vector<StrokePoint> out;
    smoothFrom(points, segmentsPerSpan, 0, out);
    return out;
}

}  // namespace StrokeSmoothing

}  // namespace velurio
