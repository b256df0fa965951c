#pragma once
// A small activity spinner drawn as the icon of a button (the login button while it signs in)
// or as a label of its own (the pairing window's "Procurando"). Main thread only.

#include <QColor>
#include <QLabel>

class QAbstractButton;

namespace velurio {

// Turns an arc in `button`'s icon until stopSpinner(); white on the accent button.
void startSpinner(QAbstractButton* button);
void stopSpinner(QAbstractButton* button);

// A 14 × 14 label whose arc turns while it is visible.
class SpinnerLabel : public QLabel {
  public:
    SpinnerLabel(const QColor& color, QWidget* parent);

  protected:
    void timerEvent(QTimerEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    QColor m_color;
    int m_timer = 0;
    int m_step = 0;
};

}  // namespace velurio
