#include "app/overlay/annotation_overlay_controller.h"

#include "app/overlay/stroke_painter.h"
#include "app/settings/toolbar_state.h"
#include "core/stroke_store.h"
#include "platform/x11/x11_window_support.h"

#include <QApplication>
#include <QCursor>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QWindow>

#include <utility>

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
    followScreen(screen);

    // While a dialog is up, the window manager may restack it whenever it likes (mapping,
    // focus): the overlay checks a few times a second that it is still below.
    m_modalTimer = new QTimer(this);
    m_modalTimer->setInterval(100);
    connect(m_modalTimer, &QTimer::timeout, this, &AnnotationOverlayController::keepBelowDialog);

    m_cursorTimer = new QTimer(this);
    m_cursorTimer->setInterval(1000 / 30);
    connect(m_cursorTimer, &QTimer::timeout, this,
            &AnnotationOverlayController::updateCursorPosition);
    updateCursorHighlightVisibility();
}

AnnotationOverlayController::~AnnotationOverlayController() {
    m_scheduler.cancelAndClear(m_hintTask);
    if (m_hint)
        m_hint->close();
    m_store.onEvent = nullptr;
}

void AnnotationOverlayController::moveToScreen(QScreen* screen) {
    if (screen == nullptr)
        return;
    m_canvas->setScreen(screen);
    followScreen(screen);
    setScreenGeometry(screen->geometry());
}

void AnnotationOverlayController::followScreen(QScreen* screen) {
    if (m_workAreaConnection)
        disconnect(m_workAreaConnection);
    m_screen = screen;
    if (screen != nullptr) {
        // A panel appearing, going or changing size moves the work area.
        m_workAreaConnection = connect(screen, &QScreen::availableGeometryChanged, this,
                                       &AnnotationOverlayController::applyInputRegion);
    }
}

void AnnotationOverlayController::setScreenGeometry(const QRect& geometry) {
    m_canvas->setGeometry(geometry);
    m_store.setOverlaySize(
        SizeF{static_cast<double>(geometry.width()), static_cast<double>(geometry.height())});
    applyInputRegion();
}

void AnnotationOverlayController::setIgnoresMouseEvents(bool ignores) {
    m_ignoresMouse = ignores;
    applyInputRegion();
}

QRegion AnnotationOverlayController::inputRegion() const {
    if (m_ignoresMouse || m_modalDepth > 0)
        return {};
    const QRect frame = m_canvas->geometry();
    QRect area = frame;
    if (m_screen) {
        const QRect available = m_screen->availableGeometry();
        if (available.isValid() && !available.isEmpty())
            area = available.intersected(frame);
    }
    if (area.isEmpty())
        area = frame;
    return QRegion(area.translated(-frame.topLeft()));
}

void AnnotationOverlayController::applyInputRegion() {
    QWindow* handle = m_canvas->windowHandle();
    const QRegion region = inputRegion();
    if (region.isEmpty()) {
        x11::setInputTransparent(handle, true);
    } else if (region == QRegion(QRect(QPoint(0, 0), m_canvas->size()))) {
        x11::setInputTransparent(handle, false);
    } else {
        x11::setInputRegion(handle, region);
    }
}

AnnotationOverlayController::ModalScope::ModalScope(AnnotationOverlayController& overlay)
    : m_overlay(overlay) {
    m_overlay.beginModal();
}

AnnotationOverlayController::ModalScope::~ModalScope() {
    m_overlay.endModal();
}

void AnnotationOverlayController::beginModal() {
    if (m_modalDepth++ > 0)
        return;
    // A note being typed is kept; the dialog gets the keyboard.
    m_canvas->commitText();
    applyInputRegion();
    m_modalTimer->start();
    Q_EMIT modalChanged(true);
}

void AnnotationOverlayController::endModal() {
    if (m_modalDepth == 0 || --m_modalDepth > 0)
        return;
    m_modalTimer->stop();
    // Back on top only when it went below a dialog: raising it otherwise would also lift it
    // over windows that were meant to stay above it.
    if (std::exchange(m_restacked, false))
        m_canvas->raise();
    applyInputRegion();
    Q_EMIT modalChanged(false);
}

void AnnotationOverlayController::keepBelowDialog() {
    QWindow* own = m_canvas->windowHandle();
    // Our own dialog when one is up; otherwise (a dialog of the desktop's file chooser, another
    // process) whatever the window manager made active.
    std::optional<std::uint32_t> target;
    if (QWidget* dialog = QApplication::activeModalWidget()) {
        if (dialog->windowHandle() != nullptr && dialog->isVisible())
            target = x11::windowId(dialog->windowHandle());
    }
    if (!target)
        target = x11::activeWindow();
    if (target && *target != 0 && *target != x11::windowId(own) && x11::stackBelow(own, *target))
        m_restacked = true;
}

double AnnotationOverlayController::backingScale() const {
    const QWindow* handle = m_canvas->windowHandle();
    return handle != nullptr ? handle->devicePixelRatio() : 2.0;
}

void AnnotationOverlayController::showMouseHint(const QString& text,
                                                std::chrono::milliseconds duration) {
    m_scheduler.cancelAndClear(m_hintTask);
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
    m_focusBeforeEditor = x11::inputFocus().value_or(1u);
    if (QWindow* handle = m_canvas->windowHandle())
        handle->requestActivate();
    m_canvas->activateWindow();
    Q_EMIT noteEditorChanged(true);
}

void AnnotationOverlayController::editorClosed() {
    if (m_focusBeforeEditor) {
        const std::uint32_t own = x11::windowId(m_canvas->windowHandle());
        const std::uint32_t previous = *m_focusBeforeEditor;
        x11::restoreInputFocus(previous == own ? 1u : previous);
    }
    const bool wasOpen = m_focusBeforeEditor.has_value();
    m_focusBeforeEditor.reset();
    if (wasOpen)
        Q_EMIT noteEditorChanged(false);
}

}  // namespace velurio
