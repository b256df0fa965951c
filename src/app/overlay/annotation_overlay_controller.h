#pragma once
// The overlay: a frameless, translucent window covering one screen above every other window
// (override-redirect on X11, so no window manager stacks, decorates or focuses it), showing the
// annotation canvas. It lets the pointer through to the windows below unless mouse drawing is
// on, switching by changing its input region, never by re-creating or hiding the window. It
// takes the keyboard focus only while a note editor is open, and then gives it back to the
// window that had it. It also draws the cursor highlight ring and shows hint bubbles.
//
// While it takes the pointer, it takes it only inside the screen's work area: the desktop's
// panels (the struts along the edges, with the tray) stay reachable, and the ink is still
// painted over them. While a dialog of ours is up (a modal scope), the overlay lets every
// click through and stacks itself right below the dialog, so the dialog is seen and used; the
// previous state returns when the scope ends.
//
// Main thread only.

#include "app/clock/scheduler.h"
#include "app/overlay/annotation_canvas_view.h"

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QRegion>
#include <QScreen>
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
    // Where the overlay takes the pointer while it does (window coordinates): the screen's
    // work area, or the whole window when the desktop reserves no panel space. Empty while
    // pointer events pass through or a modal scope is open.
    QRegion inputRegion() const;

    // A dialog is up for as long as a scope lives (scopes nest). Main thread; the controller
    // must outlive its scopes.
    class ModalScope {
      public:
        explicit ModalScope(AnnotationOverlayController& overlay);
        ~ModalScope();
        ModalScope(const ModalScope&) = delete;
        ModalScope& operator=(const ModalScope&) = delete;

      private:
        AnnotationOverlayController& m_overlay;
    };
    bool modal() const { return m_modalDepth > 0; }
    bool noteEditorOpen() const { return m_focusBeforeEditor.has_value(); }

    void showMouseHint(const QString& text, std::chrono::milliseconds duration);
    // The hint bubble currently shown, if any.
    QWidget* hintPanel() const { return m_hint && m_hint->isVisible() ? m_hint.data() : nullptr; }

    bool highlightCursor = false;
    void updateCursorHighlightVisibility();
    // One step of the cursor highlight (the timer calls it 30 times a second).
    void updateCursorPosition();

    // The window's device pixel ratio (the backing scale), 2 when it cannot be read.
    double backingScale() const;

  Q_SIGNALS:
    // A modal scope began (true) or the last one ended (false).
    void modalChanged(bool modal);
    // A note editor opened (true) or closed (false).
    void noteEditorChanged(bool open);

  private:
    void editorOpened();
    void editorClosed();
    void beginModal();
    void endModal();
    void applyInputRegion();
    void keepBelowDialog();
    void followScreen(QScreen* screen);

    StrokeStore& m_store;
    Scheduler& m_scheduler;
    std::unique_ptr<AnnotationCanvasView> m_canvas;
    bool m_ignoresMouse = true;
    int m_modalDepth = 0;
    bool m_restacked = false;
    QTimer* m_modalTimer = nullptr;
    QPointer<QScreen> m_screen;
    QMetaObject::Connection m_workAreaConnection;
    QTimer* m_cursorTimer = nullptr;
    QPointer<QWidget> m_hint;
    Scheduler::Id m_hintTask = 0;
    std::optional<std::uint32_t> m_focusBeforeEditor;
};

}  // namespace velurio
