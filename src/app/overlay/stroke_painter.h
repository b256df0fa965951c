#pragma once
// Drawing of committed strokes and text notes with QPainter, shared by the overlay's cache and
// PNG export so that both show exactly the same picture.

#include "core/stroke.h"
#include "core/stroke_geometry.h"
#include "core/stroke_store.h"

#include <QColor>
#include <QFont>
#include <QPainterPath>
#include <QRect>
#include <QSizeF>

class QPainter;

namespace velurio {

// Coordinates of stroke points come from the tablet unchecked: a value far outside the overlay
// (or not finite) is brought into ±kCoordinateLimit so that no painter or integer rectangle
// ever sees it. Nothing drawn inside the overlay changes.
inline constexpr double kCoordinateLimit = 1.0e4;
QPointF safePoint(PointF point);
// The stroke's path with every point passed through safePoint.
StrokePath safePath(const Stroke& stroke, SizeF size);

QPainterPath toPainterPath(const StrokePath& path);
QColor toQColor(const RGBAColor& color);
// The colour of a stroke at full opacity (layers apply the tool's opacity when compositing).
QColor opaqueColor(const InkColor& color);
SizeF toSizeF(const QSizeF& size);

// Strokes the stroke's path (round caps and joins, marker alpha) unless it is a laser or text
// stroke. A path with self-overlaps is filled once, so the marker never blends with itself.
void paintStroke(QPainter& painter, const Stroke& stroke, SizeF size);
// The area paintStroke touches, in overlay points (empty when it draws nothing).
QRect strokeBounds(const Stroke& stroke, SizeF size);

// The font of text notes on an overlay `height` points tall: the system font, semibold, of
// height / 1080 × 28 pixels.
QFont noteFont(double height);
double noteFontSize(double height);
// Draws the note with its top-left corner at (position.x × width, position.y × height).
void paintText(QPainter& painter, const TextAnnotation& note, SizeF size);
QRect textBounds(const TextAnnotation& note, SizeF size);

}  // namespace velurio
