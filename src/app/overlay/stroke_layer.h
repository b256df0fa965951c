#pragma once
// One stroke's private raster layer. Drawing cost per update is proportional to the area that
// changed, not to the length of the stroke: the layer keeps the stroke's polyline in chunks with
// their bounding boxes, and an update clears and redraws only the rectangle that the changed
// tail covers (before and after), redrawing just the chunks that cross it.
//
// Each pass is drawn opaque into its own image and composited at the pass's opacity, so a
// translucent stroke (the marker) that overlaps itself is never blended twice.

#include <QColor>
#include <QImage>
#include <QPointF>
#include <QRect>
#include <QRectF>
#include <QSize>

#include <cstddef>
#include <vector>

class QPainter;

namespace velurio {

// One polyline (or several, for the arrow's barbs) in overlay points.
using Polyline = std::vector<QPointF>;
using Subpaths = std::vector<Polyline>;

// Screen-sized layer images kept for the next stroke. A new one costs milliseconds (its pages are
// fresh and all of them get cleared), and the first point of every stroke waited for it. A layer
// gives its images back transparent again (it clears only where it drew).
// Thread: the overlay's. Lifetime: outlives every layer that takes from it.
class LayerImagePool {
  public:
    static constexpr std::size_t kKept = 3;  // the laser's passes

    // A transparent image of this size in pixels: a kept one, else a new one.
    QImage take(QSize pixels, qreal devicePixelRatio);
    // Keeps a transparent image (up to kKept).
    void give(QImage image);
    std::size_t kept() const { return m_images.size(); }

  private:
    std::vector<QImage> m_images;
};

class StrokeLayer {
  public:
    struct Pass {
        QColor color;  // drawn opaque
        qreal width = 1;
        qreal opacity = 1;  // applied when compositing
    };

    // `size` in overlay points; the images are size × devicePixelRatio, taken from `pool` (they
    // go back to it when the layer goes).
    StrokeLayer(QSize size, qreal devicePixelRatio, std::vector<Pass> passes, LayerImagePool& pool);
    ~StrokeLayer();
    StrokeLayer(const StrokeLayer&) = delete;
    StrokeLayer& operator=(const StrokeLayer&) = delete;

    // Replaces the whole drawing (rectangles, arrows, or a freehand stroke whose every point
    // moved). Returns the rectangle of the overlay to repaint.
    QRect replace(const Subpaths& subpaths);

    // Keeps the first `unchangedPrefix` points of a single-polyline drawing and replaces the
    // rest by `tail`. Returns the rectangle of the overlay to repaint.
    QRect extend(std::size_t unchangedPrefix, const Polyline& tail);

    // Composites the passes, clipped to `clip`, at `opacity` times each pass's own opacity.
    void composite(QPainter& painter, const QRect& clip, qreal opacity = 1.0) const;

    // Bounding rectangle of everything drawn, in overlay points.
    QRect bounds() const { return m_bounds; }
    const std::vector<Pass>& passes() const { return m_passes; }

  private:
    struct Chunk {
        std::size_t subpath = 0;
        std::size_t begin = 0;  // first point
        std::size_t end = 0;    // last point (inclusive); consecutive chunks share a point
        QRectF box;
    };

    void rebuildChunks(std::size_t subpath, std::size_t fromChunkPoint);
    QRectF tailBox(std::size_t subpath, std::size_t fromPoint) const;
    QRect redraw(const QRectF& dirty, bool recomputeBounds);
    QRect inflate(const QRectF& box) const;

    LayerImagePool& m_pool;
    QSize m_size;
    qreal m_dpr;
    std::vector<Pass> m_passes;
    std::vector<QImage> m_images;
    Subpaths m_subpaths;
    std::vector<Chunk> m_chunks;
    QRect m_bounds;
    qreal m_margin = 1;
};

}  // namespace velurio
