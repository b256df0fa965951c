#include "app/ui/widgets.h"

#include "app/ui/theme.h"

#include <QFontDatabase>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>

namespace velurio {

QFont themeFont(int pixels, QFont::Weight weight, bool monospaced, double letterSpacing) {
    QFont font = monospaced ? QFontDatabase::systemFont(QFontDatabase::FixedFont)
                            : QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(pixels);
    font.setWeight(weight);
    if (letterSpacing != 0)
        font.setLetterSpacing(QFont::AbsoluteSpacing, letterSpacing);
    return font;
}

QLabel* themeLabel(const QString& text, const QFont& font, const QColor& color, QWidget* parent,
                   bool wrap) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    label->setPalette(palette);
    label->setWordWrap(wrap);
    label->setTextFormat(Qt::PlainText);
    return label;
}

ThemeButton::ThemeButton(const QString& text, Style style, QWidget* parent)
    : QPushButton(text, parent), m_style(style), m_linkColor(Theme::tintaClara()) {
    setFont(themeFont(style == Style::link ? 12 : 13, QFont::DemiBold));
    setCursor(Qt::PointingHandCursor);
    setFlat(true);
    setAccessibleName(text);
}

void ThemeButton::setLinkColor(const QColor& color) {
    m_linkColor = color;
    update();
}

QSize ThemeButton::sizeHint() const {
    const QFontMetrics metrics(font());
    const int textWidth = metrics.horizontalAdvance(text());
    if (m_style == Style::link)
        return {textWidth + 4, metrics.height() + 4};
    return {textWidth + 2 * kPadding, kHeight};
}

void ThemeButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setFont(font());
    const bool enabled = isEnabled();
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    switch (m_style) {
        case Style::accent: {
            QPainterPath shape;
            shape.addRoundedRect(box, kRadius, kRadius);
            double opacity = isDown() ? 0.8 : 1.0;
            if (!enabled)
                opacity *= 0.45;
            painter.fillPath(shape, Theme::withOpacity(Theme::tinta(), opacity));
            painter.setPen(enabled ? QColor(Qt::white) : Theme::withOpacity(Qt::white, 0.6));
            break;
        }
        case Style::outline: {
            QPainterPath shape;
            shape.addRoundedRect(box, kRadius, kRadius);
            if (isDown())
                painter.fillPath(shape, Theme::withOpacity(Theme::bordaCard(), 0.5));
            painter.setPen(QPen(Theme::bordaCard(), 1));
            painter.drawPath(shape);
            painter.setPen(enabled ? Theme::textoPrimario() : Theme::textoTerciario());
            break;
        }
        case Style::link:
            painter.setPen(enabled ? (isDown() ? Theme::withOpacity(m_linkColor, 0.7) : m_linkColor)
                                   : Theme::textoTerciario());
            painter.drawText(rect(), Qt::AlignVCenter | Qt::AlignLeft, text());
            return;
    }
    // The accent button may carry something drawn before the label (a spinner): leave room for
    // it on the left when the icon size says so.
    QRect textArea = rect();
    if (!icon().isNull()) {
        const QSize iconSize = this->iconSize();
        const int total = iconSize.width() + 8 + QFontMetrics(font()).horizontalAdvance(text());
        const int left = (width() - total) / 2;
        icon().paint(&painter, QRect(QPoint(left, (height() - iconSize.height()) / 2), iconSize));
        textArea.setLeft(left + iconSize.width() + 8);
        painter.drawText(textArea, Qt::AlignVCenter | Qt::AlignLeft, text());
        return;
    }
    painter.drawText(textArea, Qt::AlignCenter, text());
}

Card::Card(QWidget* parent, double radius) : QWidget(parent), m_radius(radius) {}

void Card::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), m_radius, m_radius);
    painter.fillPath(shape, Theme::cardFundo());
    painter.setPen(QPen(Theme::bordaCard(), 1));
    painter.drawPath(shape);
}

void setWindowBackground(QWidget* window, const QColor& color) {
    QPalette palette = window->palette();
    palette.setColor(QPalette::Window, color);
    palette.setColor(QPalette::WindowText, Theme::textoPrimario());
    palette.setColor(QPalette::Text, Theme::textoPrimario());
    palette.setColor(QPalette::Base, Theme::cardFundo());
    palette.setColor(QPalette::Button, Theme::cardFundo());
    palette.setColor(QPalette::ButtonText, Theme::textoPrimario());
    palette.setColor(QPalette::PlaceholderText, Theme::textoTerciario());
    palette.setColor(QPalette::Highlight, Theme::tinta());
    palette.setColor(QPalette::HighlightedText, Qt::white);
    window->setPalette(palette);
    window->setAutoFillBackground(true);
}

}  // namespace velurio
