#include "app/ui/panel.h"

#include "app/ui/theme.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

namespace velurio {

Hairline::Hairline(Qt::Orientation orientation, int padding, int length, QWidget* parent)
    : QWidget(parent), m_orientation(orientation), m_padding(padding) {
    if (orientation == Qt::Horizontal) {
        setFixedHeight(2 * padding + 1);
    } else {
        setFixedSize(2 * padding + 1, length);
    }
}

void Hairline::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QRectF line = m_orientation == Qt::Horizontal ? QRectF(0, m_padding, width(), 1)
                                                        : QRectF(m_padding, 0, 1, height());
    painter.fillRect(line, Theme::hairline());
}

QScreen* fallbackScreen(QScreen* excluded) {
    QScreen* primary = QGuiApplication::primaryScreen();
    if (primary != nullptr && primary != excluded)
        return primary;
    const auto screens = QGuiApplication::screens();
    for (QScreen* candidate : screens) {
        if (candidate != excluded)
            return candidate;
    }
    return nullptr;
}

}  // namespace velurio
