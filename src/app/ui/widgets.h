#pragma once
// The building blocks of the windows and the tray popup: fonts in the theme's sizes, labels in
// the theme's colours, the three button looks (filled accent, outline, and a plain coloured
// link) and the rounded card that groups rows. Main thread only; widgets are owned by their Qt
// parent.

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

namespace velurio {

// The application's sans-serif (or monospaced) font at `pixels` with `weight`; `letterSpacing`
// in pixels between characters.
QFont themeFont(int pixels, QFont::Weight weight = QFont::Normal, bool monospaced = false,
                double letterSpacing = 0);

// A label drawn in `color` with `font`; word-wrapped when `wrap`.
QLabel* themeLabel(const QString& text, const QFont& font, const QColor& color, QWidget* parent,
                   bool wrap = false);

class ThemeButton : public QPushButton {
    Q_OBJECT
  public:
    enum class Style {
        accent,   // white label on the ink colour; 80 % opacity while pressed
        outline,  // primary text colour inside a card-border outline
        link,     // a plain coloured text, no background
    };
    // `font` defaults to 13-pixel semibold; `color` is the link colour (tintaClara by default).
    ThemeButton(const QString& text, Style style, QWidget* parent);
    void setLinkColor(const QColor& color);
    Style style() const { return m_style; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

    // The accent and outline buttons are this tall, with this much padding beside the label.
    static constexpr int kHeight = 36;
    static constexpr int kPadding = 14;
    static constexpr int kRadius = 9;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    Style m_style;
    QColor m_linkColor;
};

// A rounded rectangle filled with the card colour and outlined in the card border colour.
class Card : public QWidget {
  public:
    explicit Card(QWidget* parent, double radius = 14);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    double m_radius;
};

// Fills a top-level window's background with `color` through its palette.
void setWindowBackground(QWidget* window, const QColor& color);

}  // namespace velurio
