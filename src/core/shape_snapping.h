// Turning a hand-drawn pen stroke into the shape it was meant to be (the stroke held still at
// its end): the recogniser decides line, arrow, rectangle or circle, and the stroke's points are
// replaced by points that trace that shape cleanly. The result stays a pen stroke, so it is
// drawn, saved, erased and undone like any other.
//
// Recognition runs in canvas units (points), not normalised ones: on a 16:9 overlay a square
// would otherwise look like a tall rectangle and a circle like an ellipse.
//
// Pure functions; any thread.
#pragma once

#include "core/shape_match.h"
#include "core/shape_recognizer.h"
#include "core/stroke_geometry.h"
#include "protocol/messages.h"

#include <optional>
#include <span>
#include <vector>

namespace velurio::ShapeSnapping {

// The recogniser's acceptance threshold for snapping, chosen from the score distributions of
// rough shapes and of scribbles (bench/shapes/shape_scores.cpp).
inline constexpr double kMinimumScore = 0.82;
// A line (or an arrow's shaft) strays at most this share of its length from the straight.
inline constexpr double kStraightness = 0.1;
// Points on the traced circle (an ellipse inscribed in the stroke's bounds).
inline constexpr int kCirclePoints = 48;

// The recogniser's match for `points` (normalised to a canvas of `size`), with bounds in
// canvas units; nothing when the stroke is no shape. The template score alone lets scribbles
// through (a wavy underline scores like a line, a closed doodle like a rectangle), so a match
// must also pass a check of its own geometry:
// - line: no point farther than kStraightness × its length from the chord, and a path at most
//   1.2 × the chord;
// - arrow (also when the templates said line): a straight shaft (as a line) from the first
//   point to where it first nearly reaches its farthest point (the tip),
//   then a head that stays within half the shaft of the tip and is at least a fifth of it long;
// - rectangle / circle: the stroke goes all the way round and follows the bounds' border
//   (mean distance ≤ 8 % of the shorter side) or the inscribed ellipse (mean radial error
//   ≤ 10 %); the better fit decides between the two, whichever the templates preferred.
std::optional<ShapeMatch> recognize(const ShapeRecognizer& recognizer,
                                    std::span<const StrokePoint> points, SizeF size);

// The normalised points that trace `match` for the stroke `points` on a canvas of `size`:
// - line: the stroke's first and last points;
// - arrow: from the first point to the point farthest from it (the tip), then the two barbs
//   (150° off the shaft, a quarter of its length but at least 12 points): tail, tip, barb, tip,
//   barb;
// - rectangle: the corners of the bounds, closed (five points, so drawn with sharp corners);
// - circle: kCirclePoints + 1 points on the ellipse inscribed in the bounds, closed.
// Pressure and tilt come from the first point; timestamps run from the first point's to the
// last point's.
std::vector<StrokePoint> tracePoints(const ShapeMatch& match, std::span<const StrokePoint> points,
                                     SizeF size);

}  // namespace velurio::ShapeSnapping
