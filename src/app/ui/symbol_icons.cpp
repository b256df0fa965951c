#include "app/ui/symbol_icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace velurio {

namespace {

// Paths are laid out on a 16 × 16 grid, then scaled to the glyph size.
constexpr double kGrid = 16.0;

QPainterPath symbolPath(Symbol symbol) {
    QPainterPath path;
    switch (symbol) {
        case Symbol::pencilTip:
            path.moveTo(3, 13);
            path.lineTo(4, 9.5);
            path.lineTo(11, 2.5);
            path.lineTo(13.5, 5);
            path.lineTo(6.5, 12);
            path.closeSubpath();
            path.moveTo(4, 9.5);
            path.lineTo(6.5, 12);
            break;
        case Symbol::pencil:
            path.moveTo(2.5, 13.5);
            path.lineTo(3.2, 10.3);
            path.lineTo(11, 2.5);
            path.lineTo(13.5, 5);
            path.lineTo(5.7, 12.8);
            path.closeSubpath();
            path.moveTo(9.5, 4);
            path.lineTo(12, 6.5);
            break;
        case Symbol::highlighter:
            path.moveTo(4, 12);
            path.lineTo(6, 8);
            path.lineTo(11, 3);
            path.lineTo(13, 5);
            path.lineTo(8, 10);
            path.closeSubpath();
            path.moveTo(4, 12);
            path.lineTo(2.5, 13.5);
            path.moveTo(2, 14.5);
            path.lineTo(14, 14.5);
            break;
        case Symbol::scope:
            path.addEllipse(QPointF(8, 8), 5.5, 5.5);
            path.addEllipse(QPointF(8, 8), 1.2, 1.2);
            path.moveTo(8, 0.8);
            path.lineTo(8, 4);
            path.moveTo(8, 12);
            path.lineTo(8, 15.2);
            path.moveTo(0.8, 8);
            path.lineTo(4, 8);
            path.moveTo(12, 8);
            path.lineTo(15.2, 8);
            break;
        case Symbol::arrowUpRight:
            path.moveTo(3, 13);
            path.lineTo(13, 3);
            path.moveTo(5.5, 3);
            path.lineTo(13, 3);
            path.lineTo(13, 10.5);
            break;
        case Symbol::rectangle:
            path.addRoundedRect(QRectF(1.5, 3.5, 13, 9), 1.5, 1.5);
            break;
        case Symbol::textformat:
            // A capital T and a small a.
            path.moveTo(1, 3.5);
            path.lineTo(9, 3.5);
            path.moveTo(5, 3.5);
            path.lineTo(5, 13);
            path.addEllipse(QPointF(12, 11), 2.2, 2.2);
            path.moveTo(14.2, 8.5);
            path.lineTo(14.2, 13);
            break;
        case Symbol::eraser:
            path.moveTo(6, 13.5);
            path.lineTo(2, 9.5);
            path.lineTo(9, 2.5);
            path.lineTo(14, 7.5);
            path.lineTo(8, 13.5);
            path.closeSubpath();
            path.moveTo(5, 6.5);
            path.lineTo(11, 12.5);
            path.moveTo(8, 13.5);
            path.lineTo(14.5, 13.5);
            break;
        case Symbol::undo:
            path.moveTo(5.5, 2.5);
            path.lineTo(2, 6);
            path.lineTo(5.5, 9.5);
            path.moveTo(2, 6);
            path.lineTo(10, 6);
            path.cubicTo(16, 6, 16, 14, 10, 14);
            path.lineTo(6, 14);
            break;
        case Symbol::redo:
            path.moveTo(10.5, 2.5);
            path.lineTo(14, 6);
            path.lineTo(10.5, 9.5);
            path.moveTo(14, 6);
            path.lineTo(6, 6);
            path.cubicTo(0, 6, 0, 14, 6, 14);
            path.lineTo(10, 14);
            break;
        case Symbol::trash:
            path.moveTo(2, 4);
            path.lineTo(14, 4);
            path.moveTo(6, 4);
            path.lineTo(6.5, 2);
            path.lineTo(9.5, 2);
            path.lineTo(10, 4);
            path.moveTo(3.5, 4);
            path.lineTo(4.5, 14.5);
            path.lineTo(11.5, 14.5);
            path.lineTo(12.5, 4);
            path.moveTo(6.5, 7);
            path.lineTo(6.8, 12);
            path.moveTo(9.5, 7);
            path.lineTo(9.2, 12);
            break;
        case Symbol::ipad:
            // A tablet upright: rounded body, home dot at the bottom.
            path.addRoundedRect(QRectF(3, 1.5, 10, 13), 1.8, 1.8);
            path.addEllipse(QPointF(8, 12.6), 0.45, 0.45);
            break;
        case Symbol::xmark:
            path.moveTo(3.5, 3.5);
            path.lineTo(12.5, 12.5);
            path.moveTo(12.5, 3.5);
            path.lineTo(3.5, 12.5);
            break;
    }
    return path;
}

}  // namespace

void drawSymbol(QPainter& painter, Symbol symbol, const QRectF& box, const QColor& color,
                double pointSize, bool semibold) {
    // A symbol of a 15-point font is roughly 17 pixels across.
    const double size = pointSize * 1.15;
    const double scale = size / kGrid;
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(box.center().x() - size / 2, box.center().y() - size / 2);
    painter.scale(scale, scale);
    QPen pen(color, semibold ? 1.9 : 1.5);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(symbolPath(symbol));
    painter.restore();
}

QIcon applicationIcon() {
    QIcon icon;
    for (const int scale : {1, 2, 3}) {
        QPixmap pixmap(18 * scale, 18 * scale);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(scale, scale);
        // The curve is defined with the origin at the bottom left: flip the y axis.
        painter.translate(0, 18);
        painter.scale(1, -1);
        QPainterPath path;
        path.moveTo(3, 6);
        path.cubicTo(4.2, 8.8, 5.2, 11.4, 6.2, 11.5);
        path.cubicTo(7.4, 11.6, 8.0, 8.8, 9.4, 6.6);
        path.cubicTo(10.7, 4.7, 11.9, 8.6, 13.0, 10.6);
        path.cubicTo(13.7, 11.8, 14.4, 12.8, 14.7, 12.8);
        QPen pen(QColor::fromRgbF(201.0F / 255, 65.0F / 255, 27.0F / 255, 1.0F), 2.2);
        pen.setCapStyle(Qt::RoundCap);
        pen.setJoinStyle(Qt::RoundJoin);
        painter.setPen(pen);
        painter.drawPath(path);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace velurio
