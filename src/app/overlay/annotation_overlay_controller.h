#pragma once
// The overlay: a frameless, translucent window covering one screen above every other window
// (override-redirect on X11, so no window manager stacks, decorates or focuses it), showing the
// annotation canvas. It lets the pointer through to the windows below unless mouse drawing is
// on, switching by changing its input region, never by re-creating or hiding the window. It
// takes the keyboard focus only while a note editor is open, and then gives it back to the
// window that had it. It also draws the cursor highlight ring and shows hint bubbles.
//
// Main thread only.

#include "app/clock/scheduler.h"
#include "app/overlay/annotation_canvas_view.h"

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>

class QScreen;
class QLabel;

namespace velurio {

class StrokeStore;
class ToolbarState;

class AnnotationOverlayController : public QObject {
    Q_OBJECT
  public:
    // Builds the window on `screen`, attaches the canvas to the store (its onEvent) and shows
    // the window. `scheduler` (laser fade, hint expiry) must outlive the controller.
    AnnotationOverlayController(QScreen* screen, StrokeStore& store, ToolbarState& toolbarState,
                                Scheduler& scheduler, QObject* parent = nullptr);
    ~AnnotationOverlayController() override;

    AnnotationCanvasView* canvas() const { return m_canvas.get(); }
    QWidget* window() const { return m_canvas.get(); }

    // Moves the window onto another screen's area. The caller sends the canvas a `changed`
    // event afterwards to redraw at the new size.
    void moveToScreen(QScreen* screen);
    void setScreenGeometry(const QRect& geometry);

    // Whether pointer events pass through to the windows below.
    void setIgnoresMouseEvents(bool ignores);
    bool ignoresMouseEvents() const { return m_ignoresMouse; }

    void showMouseHint(const QString& text, std::chrono::milliseconds duration);
    // The hint bubble currently shown, if any.
    QWidget* hintPanel() const { return m_hint && m_hint->isVisible() ? m_hint.data() : nullptr; }

    bool highlightCursor = false;
    void updateCursorHighlightVisibility();
    // One step of the cursor highlight (the timer calls it 30 times a second).
    void updateCursorPosition();

    // The window's device pixel ratio (the backing scale), 2 when it cannot be read.
    double backingScale() const;

  private:
    void editorOpened();
    void editorClosed();

    StrokeStore& m_store;
    Scheduler& m_scheduler;
    std::unique_ptr<AnnotationCanvasView> m_canvas;
    bool m_ignoresMouse = true;
    QTimer* m_cursorTimer = nullptr;
    QPointer<QWidget> m_hint;
    Scheduler::Id m_hintTask = 0;
    std::optional<std::uint32_t> m_focusBeforeEditor;
};

}  // namespace velurio
