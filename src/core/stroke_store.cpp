#include "core/stroke_store.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace velurio {

namespace {

void appendPoints(Stroke& stroke, std::span<const StrokePoint> points) {
    stroke.points.insert(stroke.points.end(), points.begin(), points.end());
}

// Index of the last element of `strokes` with `id`, or size() when there is none.
std::size_t lastIndexOf(const std::vector<Stroke>& strokes, std::string_view id) {
    for (std::size_t i = strokes.size(); i-- > 0;) {
        if (strokes[i].id == id)
            return i;
    }
    return strokes.size();
}

}  // namespace

// --- Observation ---------------------------------------------------------------------------

StrokeStore::ObserverID StrokeStore::addObserver(std::function<void(Changes)> observer) {
    const ObserverID id = m_nextObserverID++;
    m_observers.push_back({id, std::move(observer)});
    return id;
}

void StrokeStore::removeObserver(ObserverID id) {
    std::erase_if(m_observers, [id](const Observer& o) { return o.id == id; });
}

void StrokeStore::emit(const StrokeEvent& event) {
    if (onEvent)
        onEvent(event);
}

void StrokeStore::send(SessionMessage message) {
    if (onSend)
        onSend(message);
}

void StrokeStore::notify(Changes changes) {
    if (changes.empty() || m_observers.empty())
        return;
    // A copy, so that an observer may remove itself (or add another) while being told.
    const auto observers = m_observers;
    for (const Observer& observer : observers) {
        if (observer.callback)
            observer.callback(changes);
    }
}

std::string StrokeStore::nextLocalID(std::string_view prefix) {
    ++m_localCounter;
    char digits[32];
    std::snprintf(digits, sizeof digits, "%04llu", static_cast<unsigned long long>(m_localCounter));
    std::string id(prefix);
    id.append(digits);
    return id;
}

const Stroke* StrokeStore::activeStroke(std::string_view id) const noexcept {
    auto it = m_activeStrokes.find(id);
    return it == m_activeStrokes.end() ? nullptr : &it->second;
}

std::optional<std::string> StrokeStore::activeLocalStrokeID() const {
    if (m_activeLaser)
        return m_activeLaser->id;
    auto it = m_activeStrokes.lower_bound(std::string_view("m-"));
    if (it != m_activeStrokes.end() && it->first.starts_with("m-"))
        return it->first;
    return std::nullopt;
}

// Appends a finished (non-eraser, non-laser) stroke to the committed strokes and history.
void StrokeStore::commit(Stroke stroke) {
    m_undoOrder.push_back({UndoRef::Kind::stroke, stroke.id});
    m_redoStack.clear();
    m_strokes.push_back(std::move(stroke));
}

// --- From the tablet -------------------------------------------------------------------------

namespace {
// Local ids are "m-" and at least four digits ("m-t…" are texts, never in progress).
bool isLocalStrokeID(std::string_view id) {
    if (!id.starts_with("m-") || id.size() < 6)
        return false;
    return std::all_of(id.begin() + 2, id.end(), [](char c) { return c >= '0' && c <= '9'; });
}
}  // namespace

void StrokeStore::abandonRemoteStrokes() {
    std::vector<Stroke> dropped;
    for (auto it = m_activeStrokes.begin(); it != m_activeStrokes.end();) {
        if (isLocalStrokeID(it->first)) {
            ++it;
            continue;
        }
        dropped.push_back(std::move(it->second));
        it = m_activeStrokes.erase(it);
    }
    for (const Stroke& stroke : dropped) {
        if (stroke.tool != InkTool::eraser)  // an eraser in progress was never shown
            emit(StrokeEvent::removed(stroke.id));
    }
    if (m_activeLaser && !isLocalStrokeID(m_activeLaser->id)) {
        Stroke laser = *std::exchange(m_activeLaser, std::nullopt);
        emit(StrokeEvent::laserEnded(std::move(laser)));
    }
}

void StrokeStore::apply(const StrokeMessage& message) {
    switch (message.op) {
        case StrokeOp::begin: {
            auto stroke = Stroke::fromBegin(message);
            if (!stroke)
                return;
            if (stroke->tool == InkTool::eraser) {
                m_activeStrokes.insert_or_assign(stroke->id, *std::move(stroke));
                return;
            }
            if (stroke->tool == InkTool::laser) {
                m_activeLaser = *std::move(stroke);
                emit(StrokeEvent::laserLive(*m_activeLaser));
                return;
            }
            std::string id = stroke->id;
            m_activeStrokes.insert_or_assign(id, *stroke);
            emit(StrokeEvent::began(*std::move(stroke)));
            return;
        }
        case StrokeOp::append: {
            if (m_activeLaser && m_activeLaser->id == message.id) {
                appendPoints(*m_activeLaser, message.pts);
                emit(StrokeEvent::laserLive(*m_activeLaser));
                return;
            }
            auto it = m_activeStrokes.find(message.id);
            if (it == m_activeStrokes.end())
                return;
            appendPoints(it->second, message.pts);
            if (it->second.tool == InkTool::eraser)
                return;
            emit(StrokeEvent::appended(message.id));
            return;
        }
        case StrokeOp::end: {
            if (m_activeLaser && m_activeLaser->id == message.id) {
                Stroke laser = *std::move(m_activeLaser);
                m_activeLaser.reset();
                appendPoints(laser, message.pts);
                emit(StrokeEvent::laserEnded(std::move(laser)));
                return;
            }
            auto node = m_activeStrokes.extract(message.id);
            if (node.empty())
                return;
            Stroke stroke = std::move(node.mapped());
            appendPoints(stroke, message.pts);
            if (stroke.tool == InkTool::eraser) {
                erase(stroke.points, m_overlaySize);
                return;
            }
            commit(stroke);
            emit(StrokeEvent::ended(std::move(stroke)));
            notify(Changes(Change::strokes) | Change::undoHistory | Change::redoStack);
            return;
        }
    }
}

void StrokeStore::handleUndoRequest(std::string_view id) {
    const std::size_t index = lastIndexOf(m_strokes, id);
    if (index == m_strokes.size())
        return;
    Stroke stroke = std::move(m_strokes[index]);
    m_strokes.erase(m_strokes.begin() + static_cast<std::ptrdiff_t>(index));
    std::erase_if(m_undoOrder,
                  [&](const UndoRef& r) { return r.kind == UndoRef::Kind::stroke && r.id == id; });
    std::string strokeID = stroke.id;
    m_redoStack.push_back(std::move(stroke));
    emit(StrokeEvent::removed(strokeID));
    send(UndoMessage{strokeID});
    notify(Changes(Change::strokes) | Change::undoHistory | Change::redoStack);
}

void StrokeStore::handleRedoRequest(std::string_view id) {
    auto it = std::find_if(m_redoStack.begin(), m_redoStack.end(),
                           [&](const Stroke& s) { return s.id == id; });
    if (it == m_redoStack.end())
        return;
    Stroke stroke = std::move(*it);
    m_redoStack.erase(it);
    m_undoOrder.push_back({UndoRef::Kind::stroke, stroke.id});
    m_strokes.push_back(stroke);
    emit(StrokeEvent::began(stroke));
    send(RedoMessage{stroke.id});
    notify(Changes(Change::strokes) | Change::undoHistory | Change::redoStack);
}

// --- Local drawing -----------------------------------------------------------------------------

Stroke StrokeStore::beginLocalStroke(InkTool tool, const InkColor& color, StrokeThickness thickness,
                                     const StrokePoint& point) {
    Stroke stroke{nextLocalID("m-"), tool, color, thickness, {point}};
    if (tool == InkTool::laser) {
        m_activeLaser = stroke;
        emit(StrokeEvent::laserLive(stroke));
        return stroke;
    }
    m_activeStrokes.insert_or_assign(stroke.id, stroke);
    emit(StrokeEvent::began(stroke));
    send(stroke.wireMessage(StrokeOp::begin));
    return stroke;
}

void StrokeStore::appendLocalStroke(std::string_view id, std::span<const StrokePoint> points) {
    if (points.empty())
        return;
    if (m_activeLaser && m_activeLaser->id == id) {
        appendPoints(*m_activeLaser, points);
        emit(StrokeEvent::laserLive(*m_activeLaser));
        return;
    }
    auto it = m_activeStrokes.find(id);
    if (it == m_activeStrokes.end())
        return;
    appendPoints(it->second, points);
    if (it->second.tool == InkTool::eraser)
        return;
    emit(StrokeEvent::appended(it->first));
    // Look the stroke up again: the listener may only read, but keep no iterator across it.
    if (const Stroke* stroke = activeStroke(id)) {
        send(stroke->wireMessage(StrokeOp::append,
                                 std::vector<StrokePoint>(points.begin(), points.end())));
    }
}

bool StrokeStore::replaceLocalStrokePoints(std::string_view id, std::vector<StrokePoint> points) {
    if (points.empty())
        return false;
    auto it = m_activeStrokes.find(id);
    if (it == m_activeStrokes.end() || it->second.tool == InkTool::eraser)
        return false;
    it->second.points = std::move(points);
    emit(StrokeEvent::began(it->second));
    return true;
}

void StrokeStore::endLocalStroke(std::string_view id) {
    if (m_activeLaser && m_activeLaser->id == id) {
        Stroke laser = *std::move(m_activeLaser);
        m_activeLaser.reset();
        emit(StrokeEvent::laserEnded(std::move(laser)));
        return;
    }
    auto found = m_activeStrokes.find(id);
    if (found == m_activeStrokes.end())
        return;
    auto node = m_activeStrokes.extract(found);
    Stroke stroke = std::move(node.mapped());
    if (stroke.tool == InkTool::eraser) {
        erase(stroke.points, m_overlaySize);
        return;
    }
    commit(stroke);
    emit(StrokeEvent::ended(stroke));
    send(stroke.wireMessage(StrokeOp::end));
    notify(Changes(Change::strokes) | Change::undoHistory | Change::redoStack);
}

void StrokeStore::eraseLocal(PointF point, SizeF size) {
    StrokePoint p;
    p.x = point.x;
    p.y = point.y;
    erase(std::span<const StrokePoint>(&p, 1), size);
}

TextAnnotation StrokeStore::addText(std::string text, PointF position, const InkColor& color) {
    TextAnnotation note{nextLocalID("m-t"), std::move(text), color, position};
    m_texts.push_back(note);
    m_undoOrder.push_back({UndoRef::Kind::text, note.id});
    const bool hadRedo = !m_redoStack.empty();
    m_redoStack.clear();
    emit(StrokeEvent::textAdded(note));
    notify(Changes(Change::texts) | Change::undoHistory |
           (hadRedo ? Changes(Change::redoStack) : Changes()));
    return note;
}

// --- Erasing -----------------------------------------------------------------------------------

void StrokeStore::erase(std::span<const StrokePoint> points, SizeF size) {
    if (points.empty() || m_strokes.empty())
        return;
    const double radius = StrokeGeometry::eraserHitRadius(size);
    std::vector<PointF> probes;
    probes.reserve(points.size());
    for (const StrokePoint& p : points) {
        const PointF probe = StrokeGeometry::point(p, size);
        // A dragged eraser repeats positions; measuring the same one twice cannot change a hit.
        if (probes.empty() || !(probes.back() == probe))
            probes.push_back(probe);
    }

    std::vector<Stroke> kept;
    std::vector<std::string> removed;
    kept.reserve(m_strokes.size());
    for (Stroke& stroke : m_strokes) {
        bool hit = false;
        if (!stroke.points.empty()) {
            // A probe farther than the radius outside the stroke's bounding box cannot hit it;
            // skipping those keeps a long sweep over many strokes cheap. The margin is widened
            // a little so rounding can never skip a probe the exact measure would count.
            PointF low = StrokeGeometry::point(stroke.points.front(), size);
            PointF high = low;
            for (const StrokePoint& sp : stroke.points) {
                const PointF q = StrokeGeometry::point(sp, size);
                low = {std::min(low.x, q.x), std::min(low.y, q.y)};
                high = {std::max(high.x, q.x), std::max(high.y, q.y)};
            }
            const double margin = radius * (1 + 1e-9) + 1e-9;
            for (const PointF& probe : probes) {
                if (probe.x < low.x - margin || probe.x > high.x + margin ||
                    probe.y < low.y - margin || probe.y > high.y + margin) {
                    continue;
                }
                if (StrokeGeometry::distance(probe, stroke, size) < radius) {
                    hit = true;
                    break;
                }
            }
        }
        if (hit) {
            removed.push_back(stroke.id);
        } else {
            kept.push_back(std::move(stroke));
        }
    }
    m_strokes = std::move(kept);
    if (removed.empty())
        return;
    for (const std::string& id : removed) {
        std::erase_if(m_undoOrder, [&](const UndoRef& r) {
            return r.kind == UndoRef::Kind::stroke && r.id == id;
        });
    }
    // Erasing cannot be redone: the strokes do not go to the redo stack, which stays as it is.
    for (const std::string& id : removed) {
        emit(StrokeEvent::removed(id));
        send(UndoMessage{id});
    }
    notify(Changes(Change::strokes) | Change::undoHistory);
}

// --- Commands ------------------------------------------------------------------------------------

std::optional<std::string> StrokeStore::undo() {
    if (m_undoOrder.empty())
        return std::nullopt;
    UndoRef ref = std::move(m_undoOrder.back());
    m_undoOrder.pop_back();
    if (ref.kind == UndoRef::Kind::text) {
        std::erase_if(m_texts, [&](const TextAnnotation& t) { return t.id == ref.id; });
        emit(StrokeEvent::textRemoved(ref.id));
        notify(Changes(Change::texts) | Change::undoHistory);
        return ref.id;
    }
    const std::size_t index = lastIndexOf(m_strokes, ref.id);
    if (index == m_strokes.size()) {
        // The entry named a stroke that is gone; it stays consumed.
        notify(Change::undoHistory);
        return std::nullopt;
    }
    m_redoStack.push_back(std::move(m_strokes[index]));
    m_strokes.erase(m_strokes.begin() + static_cast<std::ptrdiff_t>(index));
    emit(StrokeEvent::removed(ref.id));
    send(UndoMessage{ref.id});
    notify(Changes(Change::strokes) | Change::undoHistory | Change::redoStack);
    return ref.id;
}

std::optional<std::string> StrokeStore::redo() {
    if (m_redoStack.empty())
        return std::nullopt;
    Stroke stroke = std::move(m_redoStack.back());
    m_redoStack.pop_back();
    m_undoOrder.push_back({UndoRef::Kind::stroke, stroke.id});
    m_strokes.push_back(stroke);
    std::string id = stroke.id;
    emit(StrokeEvent::began(std::move(stroke)));
    send(RedoMessage{id});
    notify(Changes(Change::strokes) | Change::undoHistory | Change::redoStack);
    return id;
}

void StrokeStore::clear(bool echoToPeer) {
    m_strokes.clear();
    m_texts.clear();
    m_activeStrokes.clear();
    m_redoStack.clear();
    m_undoOrder.clear();
    m_activeLaser.reset();
    emit(StrokeEvent::cleared());
    if (echoToPeer)
        send(ClearMessage{});
    notify(Changes(Change::strokes) | Change::texts | Change::undoHistory | Change::redoStack);
}

}  // namespace velurio
