// Stroke geometry as data: where a normalised stroke lies on an overlay of a given size, with
// which width and colour it is drawn, and how far a point is from it (for the erasers).
//
// No drawing happens here. A renderer (the Qt overlay, PNG export) turns a StrokePath into its
// own path type: each Subpath is one move-to followed by line-tos, closed when `closed` is set.
// Every length is defined for an overlay 1080 points tall and scaled by height / 1080; the
// overlay's width never scales a length. Everything is pure and thread-agnostic.
//
// Live strokes: LiveStrokePath keeps the path of a stroke in progress and extends it as points
// arrive. Appending points to a freehand stroke of more than 6 points changes only the last
// span of its Catmull-Rom curve and adds new ones, so the update reports the first vertex that
// changed; everything before it is identical and need not be redrawn.
#pragma once

#include "core/stroke.h"
#include "protocol/messages.h"

#include <cstddef>
#include <span>
#include <vector>

namespace velurio {

// A point and a size in overlay points (origin top left, y growing downwards).
struct PointF {
    double x = 0;
    double y = 0;
    bool operator==(const PointF&) const = default;
};

struct SizeF {
    double width = 0;
    double height = 0;
    bool operator==(const SizeF&) const = default;
};

// Colour with alpha, components 0…1, not premultiplied.
struct RGBAColor {
    double red = 0;
    double green = 0;
    double blue = 0;
    double alpha = 1;
    bool operator==(const RGBAColor&) const = default;
};

// One connected piece of a path: move to points[0], then a line to each following point;
// `closed` adds the closing line back to points[0]. A subpath of one point draws nothing with
// plain stroking (it is a lone move-to), exactly like a one-point polyline.
struct Subpath {
    std::vector<PointF> points;
    bool closed = false;
    bool operator==(const Subpath&) const = default;
};

// A stroke's path: empty for a stroke without points; one open polyline for freehand tools;
// one closed 4-corner subpath for the rectangle tool; shaft, then the two barbs for the arrow.
struct StrokePath {
    std::vector<Subpath> subpaths;
    bool operator==(const StrokePath&) const = default;
};

namespace StrokeGeometry {

inline constexpr double referenceHeight = 1080.0;
// Freehand strokes with more than this many points are drawn smoothed.
inline constexpr std::size_t maxUnsmoothedPoints = 6;
inline constexpr int segmentsPerSpan = 8;
// Eraser hit radius on a 1080-point-tall overlay.
inline constexpr double eraserRadiusAtReference = 24.0;
// Arrow head length in multiples of the line width.
inline constexpr double arrowHeadFactor = 6.0;

// (p.x · width, p.y · height).
PointF point(const StrokePoint& p, SizeF size) noexcept;

// height / 1080 · baseWidth of the stroke's thickness. Pressure and tilt play no part.
double lineWidth(const Stroke& stroke, SizeF size) noexcept;

// The stroke colour's components with the tool's ink opacity (0.4 marker, else 1.0).
RGBAColor color(const Stroke& stroke) noexcept;

// Laser and text strokes are never drawn as stroke paths (the laser has its own layer, text
// notes are not strokes); draw() of a renderer skips these.
bool isDrawnAsStroke(const Stroke& stroke) noexcept;

// The points a freehand path runs through, in normalised coordinates: the stroke's own points
// when there are at most 6, else StrokeSmoothing::smooth(points, 8).
std::vector<StrokePoint> displayPoints(std::span<const StrokePoint> points);

// The path of a stroke (uses first and last of the display points for rectangle and arrow).
StrokePath path(const Stroke& stroke, SizeF size);

// Shaft from `from` to `to`, then two open barbs at `to`, 150° either side of the shaft's
// direction (atan2(dy, dx); 0 for a zero-length shaft), each `headLength` long.
StrokePath arrowPath(PointF from, PointF to, double headLength);

// The axis-aligned rectangle with opposite corners a and b, as a closed subpath starting at
// its top-left corner and running clockwise on screen (top-left, top-right, bottom-right,
// bottom-left), whatever corner the stroke began at.
StrokePath rectanglePath(PointF a, PointF b);

double distance(PointF from, PointF to) noexcept;
// Distance to the closed segment a–b (to a when the segment is degenerate).
double distance(PointF from, PointF segmentStart, PointF segmentEnd) noexcept;
// Distance from `point` (overlay points) to the polyline of the stroke's RAW points mapped to
// `size` — never the smoothed curve, so what the eraser measures matches the sampled ink.
// +infinity for a stroke without points; for one point, the distance to it.
double distance(PointF point, const Stroke& stroke, SizeF size) noexcept;

// Eraser hit radius: height / 1080 · 24. A stroke is hit when distance() < this (strictly).
double eraserHitRadius(SizeF size) noexcept;

}  // namespace StrokeGeometry

// What changed in a LiveStrokePath after sync().
struct LiveStrokePathUpdate {
    // The whole path was rebuilt (first sync, shape tools, the switch from the raw polyline to
    // the smoothed curve at the 7th point, a change of size or tool, fewer points than before,
    // or a first or last synced point that differs). When true, redraw everything.
    bool rebuilt = true;
    // When !rebuilt: the vertices of the polyline (subpaths[0]) before this index are
    // unchanged; redraw from the segment that ends at this vertex (i.e. starting at vertex
    // firstChangedVertex − 1, if any) to the end.
    std::size_t firstChangedVertex = 0;
    // Nothing changed at all (no new points, same size).
    bool unchanged = false;
};

// The path of a stroke in progress, extended incrementally as its points grow.
//
// Usage (for a `began` stroke and each `appended` event): keep one LiveStrokePath per stroke
// id, call sync() with the store's current stroke and the overlay size, and redraw what the
// returned update names. path() always equals StrokeGeometry::path(stroke, size) for the last
// synced stroke, provided points are only ever appended between syncs (as the store does);
// a stroke whose interior points were edited in place needs a fresh LiveStrokePath.
// Freehand extension costs O(new points), not O(all points).
class LiveStrokePath {
  public:
    LiveStrokePath() = default;

    LiveStrokePathUpdate sync(const Stroke& stroke, SizeF size);

    const StrokePath& path() const noexcept { return m_path; }
    std::size_t pointCount() const noexcept { return m_points.size(); }

  private:
    void rebuild(const Stroke& stroke, SizeF size);

    InkTool m_tool = InkTool::pen;
    SizeF m_size;
    bool m_valid = false;
    std::vector<StrokePoint> m_points;    // raw points synced so far
    std::vector<StrokePoint> m_smoothed;  // the smoothed curve while m_points.size() > 6
    StrokePath m_path;
};

}  // namespace velurio
