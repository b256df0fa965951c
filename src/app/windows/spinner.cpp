#include "app/windows/spinner.h"

#include <QAbstractButton>
#include <QPainter>
#include <QPointer>
#include <QTimer>
#include <QTimerEvent>

namespace velurio {

namespace {

constexpr int kSize = 14;
constexpr int kSteps = 12;
constexpr int kIntervalMs = 80;

QPixmap spinnerFrame(const QColor& color, int step) {
    QPixmap frame(kSize * 2, kSize * 2);
    frame.setDevicePixelRatio(2);
    frame.fill(Qt::transparent);
    QPainter painter(&frame);
    painter.setRenderHint(QPainter::Antialiasing);
    QPen pen(color, 2);
    pen.setCapStyle(Qt::RoundCap);
    painter.setPen(pen);
    const QRectF box(1.5, 1.5, kSize - 3, kSize - 3);
    painter.drawArc(box, -step * (360 / kSteps) * 16, 270 * 16);
    return frame;
}

}  // namespace

void startSpinner(QAbstractButton* button) {
    if (button->property("velurioSpinner").isValid())
        return;
    auto* timer = new QTimer(button);
    timer->setObjectName(QStringLiteral("spinnerTimer"));
    button->setProperty("velurioSpinner", true);
    button->setIconSize(QSize(kSize, kSize));
    auto step = std::make_shared<int>(0);
    const QPointer<QAbstractButton> guarded(button);
    auto paint = [guarded, step]() {
        if (!guarded)
            return;
        guarded->setIcon(QIcon(spinnerFrame(Qt::white, *step)));
        *step = (*step + 1) % kSteps;
    };
    paint();
    QObject::connect(timer, &QTimer::timeout, button, paint);
    timer->start(kIntervalMs);
}

void stopSpinner(QAbstractButton* button) {
    if (auto* timer = button->findChild<QTimer*>(QStringLiteral("spinnerTimer")))
        delete timer;
    button->setProperty("velurioSpinner", QVariant());
    button->setIcon(QIcon());
}

SpinnerLabel::SpinnerLabel(const QColor& color, QWidget* parent) : QLabel(parent), m_color(color) {
    setFixedSize(kSize, kSize);
    setPixmap(spinnerFrame(m_color, 0));
}

void SpinnerLabel::timerEvent(QTimerEvent* event) {
    if (event->timerId() != m_timer) {
        QLabel::timerEvent(event);
        return;
    }
    m_step = (m_step + 1) % kSteps;
    setPixmap(spinnerFrame(m_color, m_step));
}

void SpinnerLabel::showEvent(QShowEvent* event) {
    QLabel::showEvent(event);
    if (m_timer == 0)
        m_timer = startTimer(kIntervalMs);
}

void SpinnerLabel::hideEvent(QHideEvent* event) {
    QLabel::hideEvent(event);
    if (m_timer != 0) {
        killTimer(m_timer);
        m_timer = 0;
    }
}

}  // namespace velurio
