#include "app/overlay/stroke_painter.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPen>

#include <algorithm>
#include <cmath>

namespace velurio {

QPointF safePoint(PointF point) {
    auto clamp = [](double v) {
        if (!std::isfinite(v))
            return v > 0 ? kCoordinateLimit : (v < 0 ? -kCoordinateLimit : 0.0);
        return std::clamp(v, -kCoordinateLimit, kCoordinateLimit);
    };
    return QPointF(clamp(point.x), clamp(point.y));
}

StrokePath safePath(const Stroke& stroke, SizeF size) {
    StrokePath path = StrokeGeometry::path(stroke, size);
    for (Subpath& subpath : path.subpaths) {
        for (PointF& p : subpath.points) {
            const QPointF safe = safePoint(p);
            p = PointF{safe.x(), safe.y()};
        }
    }
    return path;
}

QPainterPath toPainterPath(const StrokePath& path) {
    QPainterPath result;
    for (const Subpath& subpath : path.subpaths) {
        if (subpath.points.empty())
            continue;
        result.moveTo(subpath.points.front().x, subpath.points.front().y);
        for (std::size_t i = 1; i < subpath.points.size(); ++i) {
            result.lineTo(subpath.points[i].x, subpath.points[i].y);
        }
        if (subpath.closed)
            result.closeSubpath();
    }
    return result;
}

QColor toQColor(const RGBAColor& color) {
    return QColor::fromRgbF(static_cast<float>(color.red), static_cast<float>(color.green),
                            static_cast<float>(color.blue), static_cast<float>(color.alpha));
}

QColor opaqueColor(const InkColor& color) {
    return QColor::fromRgbF(static_cast<float>(color.red), static_cast<float>(color.green),
                            static_cast<float>(color.blue), 1.0f);
}

SizeF toSizeF(const QSizeF& size) {
    return SizeF{size.width(), size.height()};
}

void paintStroke(QPainter& painter, const Stroke& stroke, SizeF size) {
    if (!StrokeGeometry::isDrawnAsStroke(stroke) || stroke.points.empty())
        return;
    const StrokePath path = safePath(stroke, size);
    QPen pen(toQColor(StrokeGeometry::color(stroke)), StrokeGeometry::lineWidth(stroke, size),
             Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    // A one-point polyline is a lone move-to, which a path stroker does not draw; a dot is.
    const bool single = path.subpaths.size() == 1 && path.subpaths.front().points.size() == 1;
    if (single) {
        const PointF p = path.subpaths.front().points.front();
        painter.drawPoint(QPointF(p.x, p.y));
    } else {
        painter.drawPath(toPainterPath(path));
    }
    painter.restore();
}

QRect strokeBounds(const Stroke& stroke, SizeF size) {
    if (!StrokeGeometry::isDrawnAsStroke(stroke) || stroke.points.empty())
        return {};
    const QRectF box = toPainterPath(safePath(stroke, size)).boundingRect();
    const double margin = StrokeGeometry::lineWidth(stroke, size) / 2 + 2;
    return box.adjusted(-margin, -margin, margin, margin).toAlignedRect();
}

double noteFontSize(double height) {
    return height / StrokeGeometry::referenceHeight * 28.0;
}

QFont noteFont(double height) {
    QFont font;
    font.setPixelSize(std::max(1, static_cast<int>(std::lround(noteFontSize(height)))));
    font.setWeight(QFont::DemiBold);
    return font;
}

namespace {

QRectF textBox(const TextAnnotation& note, SizeF size) {
    const double x = note.position.x * size.width;
    const double y = note.position.y * size.height;
    const QFontMetricsF metrics(noteFont(size.height));
    const QString text = QString::fromStdString(note.text);
    const double width = metrics.horizontalAdvance(text) + 4;
    return QRectF(x, y, width, std::max(metrics.height(), noteFontSize(size.height) * 1.6));
}

}  // namespace

void paintText(QPainter& painter, const TextAnnotation& note, SizeF size) {
    painter.save();
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setFont(noteFont(size.height));
    painter.setPen(opaqueColor(note.color));
    // Top-left placement: the text's line box starts at the note's position (not its baseline).
    painter.drawText(textBox(note, size), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                     QString::fromStdString(note.text));
    painter.restore();
}

QRect textBounds(const TextAnnotation& note, SizeF size) {
    return textBox(note, size).adjusted(-2, -2, 2, 2).toAlignedRect();
}

}  // namespace velurio
