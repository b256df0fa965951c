#include "app/overlay/stroke_layer.h"

#include <QPainter>
#include <QPen>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <utility>

namespace velurio {

namespace {

// Segments per chunk: small enough that a redraw touches few points, large enough that a
// long stroke does not carry thousands of boxes.
constexpr std::size_t kChunkSegments = 8;

QRectF boxOf(const Polyline& points, std::size_t begin, std::size_t end) {
    qreal minX = points[begin].x(), maxX = minX, minY = points[begin].y(), maxY = minY;
    for (std::size_t i = begin + 1; i <= end; ++i) {
        minX = std::min(minX, points[i].x());
        maxX = std::max(maxX, points[i].x());
        minY = std::min(minY, points[i].y());
        maxY = std::max(maxY, points[i].y());
    }
    // A box of zero width or height is still a place where a round cap is drawn.
    return QRectF(QPointF(minX, minY), QPointF(maxX, maxY)).normalized().adjusted(0, 0, 1e-6, 1e-6);
}

}  // namespace

QImage LayerImagePool::take(QSize pixels, qreal devicePixelRatio) {
    std::erase_if(m_images, [&](const QImage& image) {
        return image.size() != pixels || image.devicePixelRatio() != devicePixelRatio;
    });
    if (!m_images.empty()) {
        QImage image = std::move(m_images.back());
        m_images.pop_back();
        return image;
    }
    QImage image(pixels, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(devicePixelRatio);
    image.fill(Qt::transparent);
    return image;
}

void LayerImagePool::give(QImage image) {
    if (m_images.size() < kKept && !image.isNull())
        m_images.push_back(std::move(image));
}

StrokeLayer::StrokeLayer(QSize size, qreal devicePixelRatio, std::vector<Pass> passes,
                         LayerImagePool& pool)
    : m_pool(pool), m_size(size), m_dpr(devicePixelRatio), m_passes(std::move(passes)) {
    for (const Pass& pass : m_passes)
        m_margin = std::max(m_margin, pass.width / 2 + 2);
    const QSize pixels(qRound(size.width() * m_dpr), qRound(size.height() * m_dpr));
    m_images.reserve(m_passes.size());
    for (std::size_t i = 0; i < m_passes.size(); ++i)
        m_images.push_back(m_pool.take(pixels, m_dpr));
}

StrokeLayer::~StrokeLayer() {
    // Everything drawn lies inside m_bounds (each redraw clears and draws within its dirty
    // rectangle, and the bounds cover them all); a point more for rounding at other scales.
    const QRect drawn = m_bounds.adjusted(-1, -1, 1, 1);
    for (QImage& image : m_images) {
        if (!drawn.isEmpty()) {
            QPainter painter(&image);
            painter.setCompositionMode(QPainter::CompositionMode_Source);
            painter.fillRect(drawn, Qt::transparent);
        }
        m_pool.give(std::move(image));
    }
}

QRect StrokeLayer::inflate(const QRectF& box) const {
    if (box.isNull())
        return {};
    return box.adjusted(-m_margin, -m_margin, m_margin, m_margin)
        .toAlignedRect()
        .intersected(QRect(QPoint(0, 0), m_size));
}

QRectF StrokeLayer::tailBox(std::size_t subpath, std::size_t fromPoint) const {
    // Chunks are ordered by subpath, then by first point: walk back from the end, so the cost
    // follows the length of the tail, not of the stroke.
    QRectF box;
    for (auto it = m_chunks.rbegin(); it != m_chunks.rend(); ++it) {
        if (it->subpath < subpath || (it->subpath == subpath && it->end < fromPoint))
            break;
        if (it->subpath != subpath)
            continue;
        box = box.isNull() ? it->box : box.united(it->box);
    }
    return box;
}

void StrokeLayer::rebuildChunks(std::size_t subpath, std::size_t fromChunkPoint) {
    // Only the last subpath is ever extended, so its chunks are the tail of m_chunks.
    auto keep = m_chunks.end();
    while (keep != m_chunks.begin()) {
        auto previous = std::prev(keep);
        if (previous->subpath != subpath || previous->begin < fromChunkPoint)
            break;
        keep = previous;
    }
    m_chunks.erase(keep, m_chunks.end());
    const Polyline& points = m_subpaths[subpath];
    if (points.empty())
        return;
    for (std::size_t begin = fromChunkPoint; begin < points.size(); begin += kChunkSegments) {
        const std::size_t end = std::min(begin + kChunkSegments, points.size() - 1);
        m_chunks.push_back({subpath, begin, end, boxOf(points, begin, end)});
        if (end == points.size() - 1)
            break;
    }
}

QRect StrokeLayer::replace(const Subpaths& subpaths) {
    QRectF dirty = m_bounds;
    m_subpaths = subpaths;
    m_chunks.clear();
    for (std::size_t s = 0; s < m_subpaths.size(); ++s)
        rebuildChunks(s, 0);
    for (const Chunk& chunk : m_chunks)
        dirty = dirty.isNull() ? chunk.box : dirty.united(chunk.box);
    return redraw(dirty, true);
}

QRect StrokeLayer::extend(std::size_t unchangedPrefix, const Polyline& tail) {
    if (m_subpaths.size() != 1 || unchangedPrefix == 0 ||
        unchangedPrefix > m_subpaths.front().size()) {
        Polyline whole;
        if (m_subpaths.size() == 1) {
            const Polyline& old = m_subpaths.front();
            whole.assign(old.begin(), old.begin() + static_cast<std::ptrdiff_t>(
                                                        std::min(unchangedPrefix, old.size())));
        }
        whole.insert(whole.end(), tail.begin(), tail.end());
        return replace(Subpaths{whole});
    }
    Polyline& points = m_subpaths.front();
    // Segments from the one ending at the first changed point onwards change.
    const std::size_t firstChangedSegment = unchangedPrefix - 1;
    const std::size_t chunkStart = firstChangedSegment - firstChangedSegment % kChunkSegments;

    QRectF dirty = tailBox(0, firstChangedSegment + 1);
    points.resize(unchangedPrefix);
    points.insert(points.end(), tail.begin(), tail.end());
    rebuildChunks(0, chunkStart);
    const QRectF added = tailBox(0, firstChangedSegment + 1);
    dirty = dirty.isNull() ? added : (added.isNull() ? dirty : dirty.united(added));
    return redraw(dirty, false);
}

QRect StrokeLayer::redraw(const QRectF& dirtyBox, bool recomputeBounds) {
    const QRect dirty = inflate(dirtyBox);
    if (dirty.isEmpty())
        return {};
    for (std::size_t p = 0; p < m_passes.size(); ++p) {
        QPainter painter(&m_images[p]);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(dirty, Qt::transparent);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.setClipRect(dirty);
        painter.setRenderHint(QPainter::Antialiasing);
        QPen pen(m_passes[p].color, m_passes[p].width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        const QRectF reach = QRectF(dirty).adjusted(-m_margin, -m_margin, m_margin, m_margin);
        for (const Chunk& chunk : m_chunks) {
            if (!chunk.box.intersects(reach) && !reach.contains(chunk.box.topLeft()))
                continue;
            const Polyline& points = m_subpaths[chunk.subpath];
            const std::size_t count = chunk.end - chunk.begin + 1;
            if (count == 1) {
                painter.drawPoint(points[chunk.begin]);
            } else {
                painter.drawPolyline(points.data() + chunk.begin, static_cast<int>(count));
            }
        }
    }
    if (recomputeBounds) {
        QRect all;
        for (const Chunk& chunk : m_chunks)
            all = all.united(inflate(chunk.box));
        m_bounds = all;
    } else {
        m_bounds = m_bounds.united(dirty);
    }
    return dirty;
}

void StrokeLayer::composite(QPainter& painter, const QRect& clip, qreal opacity) const {
    const QRect area = clip.intersected(m_bounds);
    if (area.isEmpty() || opacity <= 0)
        return;
    const qreal saved = painter.opacity();
    for (std::size_t p = 0; p < m_passes.size(); ++p) {
        painter.setOpacity(saved * opacity * m_passes[p].opacity);
        const QRect source(qRound(area.x() * m_dpr), qRound(area.y() * m_dpr),
                           qRound(area.width() * m_dpr), qRound(area.height() * m_dpr));
        painter.drawImage(QRectF(area), m_images[p], QRectF(source));
    }
    painter.setOpacity(saved);
}

}  // namespace velurio
