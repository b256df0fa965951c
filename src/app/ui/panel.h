#pragma once
// Pieces shared by the small windows of the shell (toolbar, status pin, tray popup): the window
// flags of a floating panel, the hairline that separates groups, and the screen to fall back on.
// Main thread only; widgets are owned by their Qt parent.

#include <QWidget>

class QScreen;

namespace velurio {

// Above the overlay (override-redirect, stays on top), never focused, no system shadow.
inline constexpr Qt::WindowFlags kPanelFlags =
    Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::X11BypassWindowManagerHint |
    Qt::WindowDoesNotAcceptFocus | Qt::NoDropShadowWindowHint;

// A one-pixel line in the theme's hairline colour with `padding` pixels on each side. A
// horizontal one spans the width it is given; a vertical one is `length` pixels tall.
class Hairline : public QWidget {
  public:
    Hairline(Qt::Orientation orientation, int padding, int length, QWidget* parent);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    Qt::Orientation m_orientation;
    int m_padding;
};

// The primary screen unless it is `excluded`, else the first other screen; nullptr when none is
// left (no display at all, or the last one went away).
QScreen* fallbackScreen(QScreen* excluded = nullptr);

}  // namespace velurio
