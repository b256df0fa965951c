// Uniform Catmull-Rom smoothing of a stroke's sampled points.
//
// The curve passes through every input point: point i is emitted exactly at t = 0 of span i
// and the last point is appended unchanged. Spans are independent given their four control
// points, which is what lets a live stroke's curve be extended without recomputing it whole
// (see smoothFrom and LiveStrokePath in stroke_geometry.h).
#pragma once

#include "protocol/messages.h"

#include <cstddef>
#include <span>
#include <vector>

namespace velurio {

namespace StrokeSmoothing {

// Fewer than 3 points, or segmentsPerSpan ≤ 0: the points unchanged. Otherwise, with
// n = count − 1 spans, n·segmentsPerSpan + 1 points: for span i and j = 0…segmentsPerSpan−1,
// the Catmull-Rom point at t = j/segmentsPerSpan through point[max(i−1,0)], point[i],
// point[i+1], point[min(i+2,n)] (x, y, pressure and tilt alike; the timestamp by the same
// formula, rounded half away from zero to whole milliseconds and clamped to the 64-bit range),
// then the last point.
std::vector<StrokePoint> smooth(std::span<const StrokePoint> points, int segmentsPerSpan);

// The span of the curve that starts at input point `span`, as emitted by smooth():
// segmentsPerSpan points, appended to `out`. Preconditions: points.size() ≥ 3,
// segmentsPerSpan > 0, span < points.size() − 1.
void appendSpan(std::span<const StrokePoint> points, std::size_t span, int segmentsPerSpan,
                std::vector<StrokePoint>& out);

// Brings `out`, which holds smooth() of a shorter prefix of `points` (of at least 3 points,
// with the same segmentsPerSpan), up to smooth(points): keeps out's first
// firstSpan·segmentsPerSpan points and recomputes from span `firstSpan` on. Returns the index
// of the first point of `out` that may differ from before. With n₀ points before, the spans
// from n₀−2 on change: pass firstSpan = n₀ − 2. Preconditions as for smooth() producing the
// curve (points.size() ≥ 3, segmentsPerSpan > 0) and firstSpan ≤ points.size() − 2.
std::size_t smoothFrom(std::span<const StrokePoint> points, int segmentsPerSpan,
                       std::size_t firstSpan, std::vector<StrokePoint>& out);

}  // namespace StrokeSmoothing

}  // namespace velurio
