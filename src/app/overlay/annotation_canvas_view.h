#pragma once
// The overlay's content: shows the stroke store and, when mouse drawing is on, turns mouse
// input into local strokes, erasing and text notes.
//
// Rendering: committed strokes and text notes live in one cached image that changes only when
// an item is committed, removed or the store is rebuilt. Every stroke in progress (and the
// laser) has its own StrokeLayer, extended only where new points change it; a repaint
// composites just the damaged rectangle. So the cost of one more point does not grow with the
// length of the stroke or the number of strokes on screen.
//
// Shapes on hold: when the mouse holds still for kShapeHold at the end of a pen stroke (the
// button still down), a stroke the recogniser takes for a line, arrow, rectangle or circle is
// replaced by that shape, traced as pen points; it is committed on release like any stroke, so
// one undo removes it. A stroke that is no shape stays as drawn. After the snap, further motion
// until the release is ignored.
//
// Main thread only. The layers mirror the store and change only through apply(): a canvas
// attached to a store that already has content must be sent a `changed` event to show it.

#include "app/clock/scheduler.h"
#include "app/overlay/stroke_layer.h"
#include "core/shape_recognizer.h"
#include "core/stroke_geometry.h"
#include "core/stroke_store.h"

#include <QImage>
#include <QLineEdit>
#include <QPointer>
#include <QWidget>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velurio {

class ToolbarState;

// The note editor: Return commits, Escape discards.
class NoteEditor : public QLineEdit {
    Q_OBJECT
  public:
    explicit NoteEditor(QWidget* parent);
  Q_SIGNALS:
    void escapePressed();

  protected:
    void keyPressEvent(QKeyEvent* event) override;
};

class AnnotationCanvasView : public QWidget {
    Q_OBJECT
  public:
    static constexpr std::chrono::milliseconds kLaserHold{900};
    static constexpr std::chrono::milliseconds kLaserFade{300};
    static constexpr std::chrono::milliseconds kLaserLinger{320};
    // How long the pointer must stay still at the end of a pen stroke for it to snap to a shape,
    // and how far (in points) it may wander meanwhile.
    static constexpr std::chrono::milliseconds kShapeHold{600};
    static constexpr double kHoldTolerance = 3.0;

    // `scheduler` drives the laser fade; it must outlive the canvas.
    AnnotationCanvasView(Scheduler& scheduler, QWidget* parent = nullptr);
    ~AnnotationCanvasView() override;

    void setStore(StrokeStore* store) { m_store = store; }
    void setToolbarState(ToolbarState* state) { m_toolbarState = state; }
    StrokeStore* store() const { return m_store; }

    bool mouseEnabled() const { return m_mouseEnabled; }
    void setMouseEnabled(bool enabled);

    // Updates the layers for one event of the store.
    void apply(const StrokeEvent& event);

    // The cursor highlight ring's centre in canvas coordinates, or none to hide it.
    void setCursorRing(std::optional<QPointF> centre);
    std::optional<QPointF> cursorRing() const { return m_ring; }

    // State for tests and the coordinator.
    bool hasLaser() const { return m_laser != nullptr; }
    double laserOpacity() const { return m_laserOpacity; }
    std::size_t liveLayerCount() const { return m_live.size(); }
    NoteEditor* textEditor() const { return m_editor; }
    void openTextEditor(QPointF at);
    void commitText();
    void discardText();

    // Called after the editor closes, with the X window that had the keyboard focus before it
    // opened (the overlay gives it back). Set by the controller.
    std::function<void()> onEditorClosed;
    std::function<void()> onEditorOpened;

  Q_SIGNALS:
    // After each paint into the window's buffer (for timing what reaches the screen).
    void painted();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    struct LiveLayer {
        LiveStrokePath path;
        std::unique_ptr<StrokeLayer> layer;
    };
    struct CommittedItem {
        bool isText = false;
        std::string id;
        QRect bounds;
    };

    SizeF geometrySize() const;
    qreal pixelRatio() const;
    std::unique_ptr<StrokeLayer> makeLayer(const Stroke& stroke);
    // Brings the live layer of `stroke` up to date; returns the rectangle to repaint.
    QRect syncLive(LiveLayer& live, const Stroke& stroke);
    // Forgets a live layer (its images go back to the pool).
    void dropLive(std::map<std::string, LiveLayer>::iterator found);
    void beginLive(const Stroke& stroke);
    void commitLive(const Stroke& stroke);
    void addCommittedStroke(const Stroke& stroke);
    void addCommittedText(const TextAnnotation& note);
    void removeCommitted(const std::string& id, bool isText);
    void redrawCache(const QRect& area);
    void rebuildAll();
    void clearAll();
    void showLaser(const Stroke& stroke);
    void endLaser(const Stroke& stroke);
    void removeLaser();
    void cancelLaserFade();
    void fadeTick();
    StrokePoint strokePoint(QPointF position) const;
    bool mouseReady() const;
    void armShapeHold(QPointF position);
    void cancelShapeHold();
    void shapeHoldElapsed();

    Scheduler& m_scheduler;
    StrokeStore* m_store = nullptr;
    ToolbarState* m_toolbarState = nullptr;
    bool m_mouseEnabled = false;

    LayerImagePool m_layerImages;  // before the layers: they give their images back to it
    QImage m_cache;                // committed strokes and text notes
    std::vector<CommittedItem> m_items;
    std::map<std::string, Stroke> m_committedStrokes;
    std::map<std::string, TextAnnotation> m_committedTexts;
    std::map<std::string, LiveLayer> m_live;
    std::vector<std::string> m_liveOrder;  // bottom to top

    std::unique_ptr<LiveLayer> m_laser;
    double m_laserOpacity = 1.0;
    Scheduler::Id m_laserTask = 0;
    std::chrono::milliseconds m_fadeStart{0};

    ShapeRecognizer m_recognizer;
    Scheduler::Id m_holdTask = 0;
    QPointF m_holdAnchor;
    bool m_snapped = false;

    std::optional<QPointF> m_ring;
    QPointer<NoteEditor> m_editor;
    PointF m_editorPosition;
};

}  // namespace velurio
