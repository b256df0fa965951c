#pragma once
// The small line symbols of the toolbar, the status pin, the tray and the pairing window, drawn
// with QPainter paths (no image files). Main thread only (they paint with QPainter).

#include <QColor>
#include <QIcon>
#include <QRectF>

class QPainter;

namespace velurio {

enum class Symbol {
    pencilTip,
    highlighter,
    scope,
    arrowUpRight,
    rectangle,
    textformat,
    eraser,
    undo,
    redo,
    trash,
    pencil,
    xmark,
    ipad,
};

// Draws `symbol` centred in `box`, sized like a glyph of a `pointSize` font, in `color`;
// `semibold` thickens the lines.
void drawSymbol(QPainter& painter, Symbol symbol, const QRectF& box, const QColor& color,
                double pointSize, bool semibold = false);

// The application's tray icon: one red ink curve on an 18 × 18 canvas, rendered at 1×, 2× and
// 3× so trays of any size get a sharp picture.
QIcon applicationIcon();

}  // namespace velurio
