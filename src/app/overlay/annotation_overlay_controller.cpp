#include "app/overlay/annotation_overlay_controller.h"

#include "app/overlay/stroke_painter.h"
#include "app/settings/toolbar_state.h"
#include "core/stroke_store.h"
#include "platform/x11/x11_window_support.h"

#include <QCursor>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QWindow>

namespace velurio {

namespace {

constexpr Qt::WindowFlags kOverlayFlags =
    Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
    Qt::X11BypassWindowManagerHint | Qt::NoDropShadowWindowHint;

// The hint bubble: a label on a dark rounded background, never taking input. A tool window, so
// showing it leaves an open popup (the tray's) open; Qt closes popups for a new plain window.
class HintBubble : public QWidget {
  public:
    explicit HintBubble(const QString& text)
        : QWidget(nullptr, kOverlayFlags | Qt::Tool | Qt::WindowTransparentForInput |
                               Qt::WindowDoesNotAcceptFocus) {
        setAttribute(Qt::WA_TranslucentBackground);
        setAttribute(Qt::WA_ShowWithoutActivating);
        setAttribute(Qt::WA_DeleteOnClose);
        auto* label = new QLabel(text, this);
        QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPixelSize(12);
        font.setWeight(QFont::Medium);
        label->setFont(font);
        label->setStyleSheet(QStringLiteral("color: rgb(217, 213, 206); background: transparent;"));
        label->adjustSize();
        const QSize textSize = label->sizeHint();
        label->move(12, 5);
        label->resize(textSize);
        resize(textSize.width() + 24, textSize.height() + 12);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        painter.fillRect(rect(), Qt::transparent);
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(22, 21, 19, 204));
        const qreal radius = height() / 2.0;
        painter.drawRoundedRect(QRectF(rect()), radius, radius);
    }
};

}  // namespace

AnnotationOverlayController::AnnotationOverlayController(QScreen* screen, StrokeStore& store,
                                                         ToolbarState& toolbarState,
                                                         Scheduler& scheduler, QObject* parent)
    : QObject(parent), m_store(store), m_scheduler(scheduler) {
    m_canvas = std::make_unique<AnnotationCanvasView>(scheduler);
    m_canvas->setWindowFlags(kOverlayFlags);
    m_canvas->setAttribute(Qt::WA_ShowWithoutActivating);
    m_canvas->setWindowTitle(QStringLiteral("Velurio overlay"));
    m_canvas->setStore(&store);
    m_canvas->setToolbarState(&toolbarState);
    m_canvas->onEditorOpened = [this]() { editorOpened(); };
    m_canvas->onEditorClosed = [this]() { editorClosed(); };
    store.onEvent = [canvas =
                         QPointer<AnnotationCanvasView>(m_canvas.get())](const StrokeEvent& event) {
        if (canvas)
            canvas->apply(event);
    };
    const QRect geometry = screen != nullptr ? screen->geometry() : QRect(0, 0, 1920, 1080);
    if (screen != nullptr)
        m_canvas->setScreen(screen);
    m_canvas->setGeometry(geometry);
    store.setOverlaySize(
        SizeF{static_cast<double>(geometry.width()), static_cast<double>(geometry.height())});

    // Create the native window first so it starts with an empty input region: it never
    // catches a click before the coordinator decides the interaction mode.
    m_canvas->winId();
    x11::setInputTransparent(m_canvas->windowHandle(), true);
    m_canvas->show();
    m_canvas->raise();

    m_cursorTimer = new QTimer(this);
    m_cursorTimer->setInterval(1000 / 30);
    connect(m_cursorTimer, &QTimer::timeout, this,
            &AnnotationOverlayController::updateCursorPosition);
    updateCursorHighlightVisibility();
}

AnnotationOverlayController::~AnnotationOverlayController() {
    if (m_hintTask != 0)
        m_scheduler.cancel(m_hintTask);
    if (m_hint)
        m_hint->close();
    m_store.onEvent = nullptr;
}

void AnnotationOverlayController::moveToScreen(QScreen* screen) {
    if (screen == nullptr)
        return;
    m_canvas->setScreen(screen);
    setScreenGeometry(screen->geometry());
}

void AnnotationOverlayController::setScreenGeometry(const QRect& geometry) {
    m_canvas->setGeometry(geometry);
    m_store.setOverlaySize(
        SizeF{static_cast<double>(geometry.width()), static_cast<double>(geometry.height())});
}

void AnnotationOverlayController::setIgnoresMouseEvents(bool ignores) {
    m_ignoresMouse = ignores;
    x11::setInputTransparent(m_canvas->windowHandle(), ignores);
}

double AnnotationOverlayController::backingScale() const {
    const QWindow* handle = m_canvas->windowHandle();
    return handle != nullptr ? handle->devicePixelRatio() : 2.0;
}

void AnnotationOverlayController::showMouseHint(const QString& text,
                                                std::chrono::milliseconds duration) {
    if (m_hintTask != 0)
        m_scheduler.cancel(m_hintTask);
    m_hintTask = 0;
    if (m_hint)
        m_hint->close();
    auto* bubble = new HintBubble(text);
    // Near the bottom-left corner of the overlay's screen: 27 points in, 22 points up.
    const QRect area = m_canvas->geometry();
    bubble->move(area.left() + 27, area.bottom() + 1 - 22 - bubble->height());
    bubble->show();
    bubble->raise();
    m_hint = bubble;
    m_hintTask = m_scheduler.schedule(duration, [this]() {
        m_hintTask = 0;
        if (m_hint)
            m_hint->close();
    });
}

void AnnotationOverlayController::updateCursorHighlightVisibility() {
    if (!highlightCursor) {
        m_cursorTimer->stop();
        m_canvas->setCursorRing(std::nullopt);
        return;
    }
    if (!m_cursorTimer->isActive())
        m_cursorTimer->start();
    updateCursorPosition();
}

void AnnotationOverlayController::updateCursorPosition() {
    const QPoint global = QCursor::pos();
    const QRect frame = m_canvas->geometry();
    if (frame.contains(global)) {
        m_canvas->setCursorRing(QPointF(global - frame.topLeft()));
    } else {
        m_canvas->setCursorRing(std::nullopt);
    }
}

void AnnotationOverlayController::editorOpened() {
    m_focusBeforeEditor = x11::inputFocus();
    if (QWindow* handle = m_canvas->windowHandle())
        handle->requestActivate();
    m_canvas->activateWindow();
}

void AnnotationOverlayController::editorClosed() {
    if (m_focusBeforeEditor) {
        const std::uint32_t own = x11::windowId(m_canvas->windowHandle());
        const std::uint32_t previous = *m_focusBeforeEditor;
        x11::restoreInputFocus(previous == own ? 1u : previous);
    }
    m_focusBeforeEditor.reset();
}

}  // namespace velurio
