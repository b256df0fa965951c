#include "app/overlay/annotation_canvas_view.h"

#include "app/overlay/stroke_painter.h"
#include "app/settings/toolbar_state.h"
#include "core/shape_snapping.h"

#include <QKeyEvent>
#include <QLineF>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace velurio {

namespace {

// Laser look: a warm core with a glow around it; the glow is drawn as two wider passes.
const QColor kLaserCore(255, 106, 61);
const QColor kLaserGlow(255, 77, 46);
constexpr double kLaserBaseWidth = 10.0;
constexpr std::chrono::milliseconds kFadeFrame{16};

// Cursor highlight ring.
constexpr double kRingDiameter = 40.0;
const QColor kRingFill(255, 194, 36, 71);     // opacity 0.28
const QColor kRingBorder(255, 194, 36, 230);  // opacity 0.9

Polyline toPolyline(const std::vector<PointF>& points, std::size_t from = 0) {
    Polyline result;
    result.reserve(points.size() - std::min(from, points.size()));
    for (std::size_t i = from; i < points.size(); ++i)
        result.push_back(safePoint(points[i]));
    return result;
}

Subpaths toSubpaths(const StrokePath& path) {
    Subpaths result;
    for (const Subpath& subpath : path.subpaths) {
        Polyline line = toPolyline(subpath.points);
        if (subpath.closed && !line.empty())
            line.push_back(line.front());
        result.push_back(std::move(line));
    }
    return result;
}

QRect ringRect(QPointF centre) {
    const double r = kRingDiameter / 2 + 2;
    return QRectF(centre.x() - r, centre.y() - r, 2 * r, 2 * r).toAlignedRect();
}

}  // namespace

NoteEditor::NoteEditor(QWidget* parent) : QLineEdit(parent) {}

void NoteEditor::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        Q_EMIT escapePressed();
        event->ignore();
        return;
    }
    QLineEdit::keyPressEvent(event);
}

AnnotationCanvasView::AnnotationCanvasView(Scheduler& scheduler, QWidget* parent)
    : QWidget(parent), m_scheduler(scheduler), m_recognizer(ShapeSnapping::kMinimumScore) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_OpaquePaintEvent);  // paintEvent writes every pixel of its region
    setFocusPolicy(Qt::NoFocus);
    setMouseTracking(false);
}

AnnotationCanvasView::~AnnotationCanvasView() {
    cancelLaserFade();
    cancelShapeHold();
}

SizeF AnnotationCanvasView::geometrySize() const {
    return SizeF{static_cast<double>(width()), static_cast<double>(height())};
}

qreal AnnotationCanvasView::pixelRatio() const {
    return devicePixelRatioF();
}

void AnnotationCanvasView::setMouseEnabled(bool enabled) {
    m_mouseEnabled = enabled;
    if (!enabled) {
        cancelShapeHold();
        unsetCursor();
        // A note being typed when drawing turns off is kept, and the keyboard focus goes back
        // at once instead of staying with a window that now lets every click through.
        commitText();
    }
}

std::unique_ptr<StrokeLayer> AnnotationCanvasView::makeLayer(const Stroke& stroke) {
    const double width = StrokeGeometry::lineWidth(stroke, geometrySize());
    std::vector<StrokeLayer::Pass> passes;
    if (stroke.tool == InkTool::laser) {
        const double w = geometrySize().height / StrokeGeometry::referenceHeight * kLaserBaseWidth;
        passes.push_back({kLaserGlow, w + 20, 0.16});
        passes.push_back({kLaserGlow, w + 9, 0.3});
        passes.push_back({kLaserCore, w, 1.0});
    } else {
        passes.push_back({opaqueColor(stroke.color), width, inkOpacity(stroke.tool)});
    }
    return std::make_unique<StrokeLayer>(size(), pixelRatio(), std::move(passes), m_layerImages);
}

QRect AnnotationCanvasView::syncLive(LiveLayer& live, const Stroke& stroke) {
    const LiveStrokePathUpdate update = live.path.sync(stroke, geometrySize());
    if (update.unchanged)
        return {};
    const StrokePath& path = live.path.path();
    if (update.rebuilt || path.subpaths.size() != 1)
        return live.layer->replace(toSubpaths(path));
    return live.layer->extend(update.firstChangedVertex,
                              toPolyline(path.subpaths.front().points, update.firstChangedVertex));
}

void AnnotationCanvasView::dropLive(std::map<std::string, LiveLayer>::iterator found) {
    std::erase(m_liveOrder, found->first);
    m_live.erase(found);
}

void AnnotationCanvasView::beginLive(const Stroke& stroke) {
    auto found = m_live.find(stroke.id);
    if (found != m_live.end()) {
        update(found->second.layer->bounds());
        dropLive(found);
    }
    LiveLayer live;
    live.layer = makeLayer(stroke);
    const QRect dirty = syncLive(live, stroke);
    m_live.emplace(stroke.id, std::move(live));
    m_liveOrder.push_back(stroke.id);
    update(dirty);
}

void AnnotationCanvasView::commitLive(const Stroke& stroke) {
    auto found = m_live.find(stroke.id);
    if (found == m_live.end())
        return;
    LiveLayer& live = found->second;
    QRect dirty = syncLive(live, stroke);
    // The committed picture is what the layer shows, composited once into the cache.
    if (!m_cache.isNull()) {
        QPainter painter(&m_cache);
        live.layer->composite(painter, live.layer->bounds());
    }
    const QRect bounds = live.layer->bounds().united(strokeBounds(stroke, geometrySize()));
    dirty = dirty.united(live.layer->bounds());
    m_items.push_back({false, stroke.id, bounds});
    m_committedStrokes[stroke.id] = stroke;
    dropLive(found);
    update(dirty);
}

void AnnotationCanvasView::addCommittedStroke(const Stroke& stroke) {
    const QRect bounds = strokeBounds(stroke, geometrySize());
    if (!m_cache.isNull()) {
        QPainter painter(&m_cache);
        paintStroke(painter, stroke, geometrySize());
    }
    m_items.push_back({false, stroke.id, bounds});
    m_committedStrokes[stroke.id] = stroke;
    update(bounds);
}

void AnnotationCanvasView::addCommittedText(const TextAnnotation& note) {
    const QRect bounds = textBounds(note, geometrySize());
    if (!m_cache.isNull()) {
        QPainter painter(&m_cache);
        paintText(painter, note, geometrySize());
    }
    m_items.push_back({true, note.id, bounds});
    m_committedTexts[note.id] = note;
    update(bounds);
}

void AnnotationCanvasView::removeCommitted(const std::string& id, bool isText) {
    QRect area;
    for (auto it = m_items.begin(); it != m_items.end();) {
        if (it->isText == isText && it->id == id) {
            area = area.united(it->bounds);
            it = m_items.erase(it);
        } else {
            ++it;
        }
    }
    if (isText) {
        m_committedTexts.erase(id);
    } else {
        m_committedStrokes.erase(id);
    }
    if (!area.isEmpty())
        redrawCache(area);
}

void AnnotationCanvasView::redrawCache(const QRect& area) {
    const QRect clipped = area.intersected(rect());
    if (clipped.isEmpty() || m_cache.isNull())
        return;
    QPainter painter(&m_cache);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(clipped, Qt::transparent);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setClipRect(clipped);
    for (const CommittedItem& item : m_items) {
        if (!item.bounds.intersects(clipped))
            continue;
        if (item.isText) {
            auto found = m_committedTexts.find(item.id);
            if (found != m_committedTexts.end())
                paintText(painter, found->second, geometrySize());
        } else {
            auto found = m_committedStrokes.find(item.id);
            if (found != m_committedStrokes.end())
                paintStroke(painter, found->second, geometrySize());
        }
    }
    update(clipped);
}

void AnnotationCanvasView::clearAll() {
    m_items.clear();
    m_committedStrokes.clear();
    m_committedTexts.clear();
    m_live.clear();
    m_liveOrder.clear();
    if (!m_cache.isNull())
        m_cache.fill(Qt::transparent);
}

void AnnotationCanvasView::rebuildAll() {
    clearAll();
    if (m_store == nullptr)
        return;
    for (const Stroke& stroke : m_store->strokes()) {
        m_items.push_back({false, stroke.id, strokeBounds(stroke, geometrySize())});
        m_committedStrokes[stroke.id] = stroke;
    }
    for (const TextAnnotation& note : m_store->texts()) {
        m_items.push_back({true, note.id, textBounds(note, geometrySize())});
        m_committedTexts[note.id] = note;
    }
    redrawCache(rect());
    update();
}

void AnnotationCanvasView::apply(const StrokeEvent& event) {
    if (m_store == nullptr)
        return;
    switch (event.kind) {
        case StrokeEvent::Kind::began:
            if (event.stroke.tool == InkTool::eraser)
                break;
            // A stroke in progress gets a live layer; one put back by redo is already committed.
            if (m_store->activeStroke(event.stroke.id) != nullptr) {
                beginLive(event.stroke);
            } else {
                removeCommitted(event.stroke.id, false);
                addCommittedStroke(event.stroke);
            }
            break;
        case StrokeEvent::Kind::appended: {
            const Stroke* stroke = m_store->activeStroke(event.id);
            auto found = m_live.find(event.id);
            if (stroke != nullptr && found != m_live.end())
                update(syncLive(found->second, *stroke));
            break;
        }
        case StrokeEvent::Kind::ended:
            commitLive(event.stroke);
            break;
        case StrokeEvent::Kind::laserLive:
            showLaser(event.stroke);
            break;
        case StrokeEvent::Kind::laserEnded:
            endLaser(event.stroke);
            break;
        case StrokeEvent::Kind::removed: {
            auto found = m_live.find(event.id);
            if (found != m_live.end()) {
                update(found->second.layer->bounds());
                dropLive(found);
            }
            removeCommitted(event.id, false);
            break;
        }
        case StrokeEvent::Kind::textAdded:
            addCommittedText(event.text);
            break;
        case StrokeEvent::Kind::textRemoved:
            removeCommitted(event.id, true);
            break;
        case StrokeEvent::Kind::cleared:
            clearAll();
            removeLaser();
            update();
            break;
        case StrokeEvent::Kind::changed:
            rebuildAll();
            break;
    }
}

void AnnotationCanvasView::showLaser(const Stroke& stroke) {
    if (!m_laser) {
        m_laser = std::make_unique<LiveLayer>();
        m_laser->layer = makeLayer(stroke);
    }
    cancelLaserFade();
    if (m_laserOpacity != 1.0) {
        m_laserOpacity = 1.0;
        update(m_laser->layer->bounds());
    }
    update(syncLive(*m_laser, stroke));
}

void AnnotationCanvasView::endLaser(const Stroke& stroke) {
    if (!m_laser)
        return;
    update(syncLive(*m_laser, stroke));
    cancelLaserFade();
    m_laserTask = m_scheduler.schedule(kLaserHold, [this]() {
        m_laserTask = 0;
        if (!m_laser)
            return;
        m_fadeStart = m_scheduler.now();
        fadeTick();
    });
}

void AnnotationCanvasView::fadeTick() {
    if (!m_laser)
        return;
    const auto elapsed = m_scheduler.now() - m_fadeStart;
    const double progress = std::clamp(
        static_cast<double>(elapsed.count()) / static_cast<double>(kLaserFade.count()), 0.0, 1.0);
    m_laserOpacity = 1.0 - progress;
    update(m_laser->layer->bounds());
    if (progress < 1.0) {
        m_laserTask = m_scheduler.schedule(kFadeFrame, [this]() {
            m_laserTask = 0;
            fadeTick();
        });
    } else {
        m_laserTask = m_scheduler.schedule(kLaserLinger, [this]() {
            m_laserTask = 0;
            removeLaser();
        });
    }
}

void AnnotationCanvasView::cancelLaserFade() {
    m_scheduler.cancelAndClear(m_laserTask);
}

void AnnotationCanvasView::removeLaser() {
    cancelLaserFade();
    if (!m_laser)
        return;
    update(m_laser->layer->bounds());
    m_laser.reset();
    m_laserOpacity = 1.0;
}

void AnnotationCanvasView::setCursorRing(std::optional<QPointF> centre) {
    if (centre == m_ring)
        return;
    if (m_ring)
        update(ringRect(*m_ring));
    m_ring = centre;
    if (m_ring)
        update(ringRect(*m_ring));
}

void AnnotationCanvasView::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    for (const QRect& area : event->region()) {
        painter.setCompositionMode(QPainter::CompositionMode_Source);
        if (m_cache.isNull()) {
            painter.fillRect(area, Qt::transparent);
        } else {
            const qreal dpr = m_cache.devicePixelRatio();
            painter.drawImage(
                QRectF(area), m_cache,
                QRectF(area.x() * dpr, area.y() * dpr, area.width() * dpr, area.height() * dpr));
        }
        painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
        for (const std::string& id : m_liveOrder) {
            auto found = m_live.find(id);
            if (found != m_live.end())
                found->second.layer->composite(painter, area);
        }
        if (m_laser)
            m_laser->layer->composite(painter, area, m_laserOpacity);
    }
    if (m_ring) {
        painter.setClipRegion(event->region());
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(kRingBorder, 2));
        painter.setBrush(kRingFill);
        const double r = kRingDiameter / 2;
        painter.drawEllipse(QRectF(m_ring->x() - r + 1, m_ring->y() - r + 1, 2 * r - 2, 2 * r - 2));
    }
    Q_EMIT painted();
}

void AnnotationCanvasView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const qreal dpr = pixelRatio();
    m_cache =
        QImage(qRound(width() * dpr), qRound(height() * dpr), QImage::Format_ARGB32_Premultiplied);
    m_cache.setDevicePixelRatio(dpr);
    m_cache.fill(Qt::transparent);
    // Layers were made for the old size; strokes in progress lose theirs until the next
    // `changed`, and committed items are redrawn at the new size by that same event.
    m_live.clear();
    m_liveOrder.clear();
    if (m_laser)
        removeLaser();
    std::vector<CommittedItem> items;
    items.swap(m_items);
    for (const CommittedItem& item : items) {
        if (item.isText) {
            auto found = m_committedTexts.find(item.id);
            if (found != m_committedTexts.end())
                m_items.push_back({true, item.id, textBounds(found->second, geometrySize())});
        } else {
            auto found = m_committedStrokes.find(item.id);
            if (found != m_committedStrokes.end())
                m_items.push_back({false, item.id, strokeBounds(found->second, geometrySize())});
        }
    }
    redrawCache(rect());
}

bool AnnotationCanvasView::mouseReady() const {
    return m_mouseEnabled && m_store != nullptr && m_toolbarState != nullptr;
}

StrokePoint AnnotationCanvasView::strokePoint(QPointF position) const {
    StrokePoint point;
    point.x = width() > 0 ? position.x() / width() : 0;
    point.y = height() > 0 ? position.y() / height() : 0;
    point.pressure = 0.5;
    point.tilt = 0;
    point.timestampMs = m_scheduler.now().count();
    return point;
}

void AnnotationCanvasView::mousePressEvent(QMouseEvent* event) {
    if (!mouseReady() || event->button() != Qt::LeftButton)
        return;
    const StrokePoint point = strokePoint(event->position());
    switch (m_toolbarState->tool()) {
        case InkTool::eraser:
            m_store->eraseLocal(PointF{point.x, point.y}, geometrySize());
            break;
        case InkTool::text:
            openTextEditor(event->position());
            break;
        default:
            m_store->beginLocalStroke(m_toolbarState->tool(), m_toolbarState->color(),
                                      m_toolbarState->thickness(), point);
            m_snapped = false;
            if (convertsToShapeOnHold(m_toolbarState->tool()))
                armShapeHold(event->position());
            break;
    }
}

void AnnotationCanvasView::mouseMoveEvent(QMouseEvent* event) {
    if (!mouseReady() || (event->buttons() & Qt::LeftButton) == 0)
        return;
    const StrokePoint point = strokePoint(event->position());
    switch (m_toolbarState->tool()) {
        case InkTool::eraser:
            m_store->eraseLocal(PointF{point.x, point.y}, geometrySize());
            break;
        case InkTool::text:
            break;
        default:
            if (m_snapped)
                break;  // the shape stands until the button is released
            if (const auto id = m_store->activeLocalStrokeID()) {
                m_store->appendLocalStroke(*id, std::span<const StrokePoint>(&point, 1));
            }
            if (m_holdTask != 0 &&
                QLineF(event->position(), m_holdAnchor).length() > kHoldTolerance)
                armShapeHold(event->position());
            break;
    }
}

void AnnotationCanvasView::armShapeHold(QPointF position) {
    cancelShapeHold();
    m_holdAnchor = position;
    m_holdTask = m_scheduler.schedule(kShapeHold, [this]() {
        m_holdTask = 0;
        shapeHoldElapsed();
    });
}

void AnnotationCanvasView::cancelShapeHold() {
    m_scheduler.cancelAndClear(m_holdTask);
}

void AnnotationCanvasView::shapeHoldElapsed() {
    if (!mouseReady() || m_snapped)
        return;
    const auto id = m_store->activeLocalStrokeID();
    if (!id)
        return;
    const Stroke* stroke = m_store->activeStroke(*id);
    if (stroke == nullptr || !convertsToShapeOnHold(stroke->tool))
        return;
    const auto match = ShapeSnapping::recognize(m_recognizer, stroke->points, geometrySize());
    if (!match)
        return;  // no shape: the stroke stays as drawn
    auto traced = ShapeSnapping::tracePoints(*match, stroke->points, geometrySize());
    m_snapped = m_store->replaceLocalStrokePoints(*id, std::move(traced));
}

void AnnotationCanvasView::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        cancelShapeHold();
        m_snapped = false;
    }
    if (!mouseReady() || event->button() != Qt::LeftButton)
        return;
    const InkTool tool = m_toolbarState->tool();
    if (tool == InkTool::text || tool == InkTool::eraser)
        return;
    if (const auto id = m_store->activeLocalStrokeID())
        m_store->endLocalStroke(*id);
}

void AnnotationCanvasView::openTextEditor(QPointF at) {
    const bool wasOpen = m_editor != nullptr;
    if (wasOpen) {
        // Committing the open note keeps the focus with us: a new editor opens at once.
        auto closed = std::move(onEditorClosed);
        commitText();
        onEditorClosed = std::move(closed);
    }
    auto* editor = new NoteEditor(this);
    editor->setGeometry(QRectF(at.x(), at.y(), 320, 40).toRect());
    editor->setFont(noteFont(geometrySize().height));
    editor->setFrame(false);
    editor->setPlaceholderText(QStringLiteral("Texto…"));
    editor->setStyleSheet(QStringLiteral(
        "QLineEdit { color: white; background: rgba(22, 21, 19, 217); border: none; }"));
    m_editorPosition =
        PointF{width() > 0 ? at.x() / width() : 0, height() > 0 ? at.y() / height() : 0};
    m_editor = editor;
    connect(editor, &QLineEdit::returnPressed, this, &AnnotationCanvasView::commitText);
    connect(editor, &NoteEditor::escapePressed, this, &AnnotationCanvasView::discardText);
    editor->show();
    if (!wasOpen && onEditorOpened)
        onEditorOpened();
    editor->setFocus(Qt::OtherFocusReason);
}

void AnnotationCanvasView::commitText() {
    if (!m_editor)
        return;
    const QString text = m_editor->text().trimmed();
    if (!text.isEmpty() && m_store != nullptr && m_toolbarState != nullptr) {
        m_store->addText(text.toStdString(), m_editorPosition, m_toolbarState->color());
    }
    discardText();
}

void AnnotationCanvasView::discardText() {
    if (!m_editor)
        return;
    NoteEditor* editor = m_editor;
    m_editor = nullptr;
    editor->hide();
    editor->deleteLater();
    if (onEditorClosed)
        onEditorClosed();
}

}  // namespace velurio
