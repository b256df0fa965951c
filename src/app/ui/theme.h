#pragma once
// The application's fixed colours, shared by the toolbar, the status pin, the tray popup and the
// other windows. All opaque sRGB except `hairline`.

#include <QColor>

namespace velurio::Theme {

inline QColor tinta() {
    return QColor(0xC9, 0x41, 0x1B);
}
inline QColor tintaClara() {
    return QColor(0xFF, 0x6A, 0x3D);
}
inline QColor carvao() {
    return QColor(0x16, 0x15, 0x13);
}
inline QColor grafite() {
    return QColor(0x24, 0x23, 0x1F);
}
inline QColor cardFundo() {
    return QColor(0x16, 0x15, 0x13);
}
inline QColor bordaCard() {
    return QColor(0x3B, 0x39, 0x34);
}
inline QColor textoPrimario() {
    return QColor(0xF4, 0xF2, 0xEE);
}
inline QColor textoSecundario() {
    return QColor(0xA8, 0xA4, 0x9C);
}
inline QColor textoTerciario() {
    return QColor(0x5C, 0x59, 0x55);
}
inline QColor hairline() {
    return QColor::fromRgbF(1.0F, 1.0F, 1.0F, 0.14F);
}
inline QColor conectadoDot() {
    return QColor(0x35, 0xD0, 0x7F);
}

// `color` with its alpha multiplied by `opacity`.
inline QColor withOpacity(QColor color, double opacity) {
    color.setAlphaF(static_cast<float>(color.alphaF() * opacity));
    return color;
}

}  // namespace velurio::Theme
