// The annotation model: committed strokes and text notes, strokes in progress (from the tablet
// and from the local mouse), the live laser stroke, and the undo/redo history.
//
// The store never draws and never talks to the network. It reports every change as a
// StrokeEvent to one listener (the overlay canvas) and every change the tablet must mirror as a
// SessionMessage to one sender (the session coordinator). For each operation the event is
// delivered first, then the message. Other views (the toolbar's undo/redo buttons, export)
// observe coarse changes through addObserver().
//
// Thread: confined to the main thread. All callbacks run synchronously on it, from inside the
// operation that caused them. Callbacks may read the store (e.g. activeStroke(id) on an
// `appended` event) but must not modify it re-entrantly.
//
// Invariants: eraser strokes never enter strokes(), the undo history or the redo stack; laser
// strokes never enter activeStrokes(), strokes(), the history or the redo stack; local ids are
// "m-%04d" for strokes and "m-t%04d" for texts, from one counter, so they never collide.
#pragma once

#include "core/ink_color.h"
#include "core/ink_tool.h"
#include "core/stroke.h"
#include "core/stroke_geometry.h"
#include "protocol/messages.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velurio {

// A text note placed on the overlay; `position` is normalised (0…1 on each axis).
struct TextAnnotation {
    std::string id;
    std::string text;
    InkColor color;
    PointF position;
    bool operator==(const TextAnnotation&) const = default;
};

// One change of the store, for the overlay. Only the fields named for the kind are set.
struct StrokeEvent {
    enum class Kind : std::uint8_t {
        began,        // stroke: appeared (begun, or put back by redo); draw it with all points
        appended,     // id: points were added; the stroke is StrokeStore::activeStroke(id)
        ended,        // stroke: committed with its final points
        laserLive,    // stroke: the laser stroke with all its points so far
        laserEnded,   // stroke: the laser stroke ended, with its final points
        removed,      // id: the stroke is gone (undo or eraser)
        textAdded,    // text: a text note appeared
        textRemoved,  // id: the text note is gone
        cleared,      // everything is gone
        changed,      // rebuild everything from the store (no store operation emits it)
    };

    Kind kind = Kind::changed;
    Stroke stroke;        // began, ended, laserLive, laserEnded
    std::string id;       // appended, removed, textRemoved
    TextAnnotation text;  // textAdded

    static StrokeEvent began(Stroke s) { return {Kind::began, std::move(s), {}, {}}; }
    static StrokeEvent appended(std::string i) { return {Kind::appended, {}, std::move(i), {}}; }
    static StrokeEvent ended(Stroke s) { return {Kind::ended, std::move(s), {}, {}}; }
    static StrokeEvent laserLive(Stroke s) { return {Kind::laserLive, std::move(s), {}, {}}; }
    static StrokeEvent laserEnded(Stroke s) { return {Kind::laserEnded, std::move(s), {}, {}}; }
    static StrokeEvent removed(std::string i) { return {Kind::removed, {}, std::move(i), {}}; }
    static StrokeEvent textAdded(TextAnnotation t) {
        return {Kind::textAdded, {}, {}, std::move(t)};
    }
    static StrokeEvent textRemoved(std::string i) {
        return {Kind::textRemoved, {}, std::move(i), {}};
    }
    static StrokeEvent cleared() { return {Kind::cleared, {}, {}, {}}; }
    static StrokeEvent changed() { return {Kind::changed, {}, {}, {}}; }

    bool operator==(const StrokeEvent&) const = default;
};

// An entry of the undo history: a committed stroke or a text note, by id.
struct UndoRef {
    enum class Kind : std::uint8_t { stroke, text };
    Kind kind = Kind::stroke;
    std::string id;
    bool operator==(const UndoRef&) const = default;
};

class StrokeStore {
  public:
    // An observable part of the store, for addObserver().
    enum class Change : std::uint8_t {
        strokes = 1u << 0,      // strokes()
        texts = 1u << 1,        // texts()
        undoHistory = 1u << 2,  // undoHistory() (canUndo())
        redoStack = 1u << 3,    // redoStack() (canRedo())
    };
    // The set of parts one operation changed.
    class Changes {
      public:
        constexpr Changes() noexcept = default;
        constexpr Changes(Change change) noexcept
            : m_bits(static_cast<unsigned>(change)) {}  // NOLINT
        constexpr Changes operator|(Changes other) const noexcept {
            return Changes(m_bits | other.m_bits);
        }
        constexpr bool contains(Change change) const noexcept {
            return (m_bits & static_cast<unsigned>(change)) != 0;
        }
        constexpr bool empty() const noexcept { return m_bits == 0; }
        constexpr bool operator==(const Changes&) const noexcept = default;

      private:
        constexpr explicit Changes(unsigned bits) noexcept : m_bits(bits) {}
        unsigned m_bits = 0;
    };
    using ObserverID = std::uint64_t;

    StrokeStore() = default;
    StrokeStore(const StrokeStore&) = delete;
    StrokeStore& operator=(const StrokeStore&) = delete;

    // The single listener (the overlay) and the single sender (towards the tablet). Either may
    // be empty. Replacing one drops the previous.
    std::function<void(const StrokeEvent&)> onEvent;
    std::function<void(const SessionMessage&)> onSend;

    // Additional observers, told after an operation finished (after its event and message)
    // which of strokes, texts, history and redo stack changed. Called in registration order.
    ObserverID addObserver(std::function<void(Changes)> observer);
    void removeObserver(ObserverID id);

    // --- From the tablet -------------------------------------------------------------------
    // A stroke message: begin / append / end. Malformed begins (unknown tool, bad colour,
    // width not 2, 4 or 8) and appends/ends for unknown ids are ignored. Nothing is sent back
    // except the `undo` messages of an eraser sweep.
    void apply(const StrokeMessage& message);
    // Undo / redo asked for by the tablet, naming the stroke. Unknown ids do nothing; a stroke
    // still in progress is not committed and so is not undone.
    void handleUndoRequest(std::string_view id);
    void handleRedoRequest(std::string_view id);
    // The tablet is gone: its strokes in progress will never see their end, so they are
    // dropped (`removed` for each one shown) and its live laser ends (`laserEnded`). A tablet
    // that comes back sends again whatever the replay lacks. Local strokes stay. Nothing is
    // sent.
    void abandonRemoteStrokes();

    // --- Local drawing (the mouse on the overlay) -----------------------------------------
    // Starts a local stroke with the next id ("m-0001", ...) and returns it. Laser: becomes the
    // live laser, nothing sent. Other tools: active, `began`, and `stroke` begin sent with the
    // one point. (Local erasing goes through eraseLocal, local text through addText.)
    Stroke beginLocalStroke(InkTool tool, const InkColor& color, StrokeThickness thickness,
                            const StrokePoint& point);
    // Appends points (none: nothing happens) and sends only the new points.
    void appendLocalStroke(std::string_view id, std::span<const StrokePoint> points);
    // Replaces all points of a local stroke in progress (a freehand stroke snapped to the shape
    // it was meant to be): `began` with the new points, so the listener redraws it whole.
    // Nothing is sent: the end message carries every point. Unknown ids, the laser, the eraser
    // and an empty list do nothing; false then.
    bool replaceLocalStrokePoints(std::string_view id, std::vector<StrokePoint> points);
    // Commits the stroke and sends `stroke` end carrying all of its points.
    void endLocalStroke(std::string_view id);
    // Erases committed strokes under one normalised point, measured on a canvas of `size`.
    void eraseLocal(PointF point, SizeF size);
    // Adds a text note with the next id ("m-t0002", ...). Nothing is sent.
    TextAnnotation addText(std::string text, PointF position, const InkColor& color);

    // --- Commands -----------------------------------------------------------------------------
    // Undoes the most recent committed item; its id, or nothing (empty history, or a history
    // entry whose stroke is gone, which is consumed).
    std::optional<std::string> undo();
    // Puts back the most recently undone stroke; its id, or nothing.
    std::optional<std::string> redo();
    // Drops everything (strokes, texts, strokes in progress, laser, history, redo stack) with
    // one `cleared` event; sends `clear` when echoToPeer. The id counter is not reset.
    void clear(bool echoToPeer);

    // --- State ----------------------------------------------------------------------------------
    const std::vector<Stroke>& strokes() const noexcept { return m_strokes; }
    const std::vector<TextAnnotation>& texts() const noexcept { return m_texts; }
    // Strokes begun and not ended (all tools but the laser), by id.
    const std::map<std::string, Stroke, std::less<>>& activeStrokes() const noexcept {
        return m_activeStrokes;
    }
    const Stroke* activeStroke(std::string_view id) const noexcept;
    const std::optional<Stroke>& activeLaser() const noexcept { return m_activeLaser; }
    // The stroke the local mouse is drawing: the live laser if any, else the first stroke in
    // progress whose id begins with "m-" (ids in ascending order).
    std::optional<std::string> activeLocalStrokeID() const;
    const std::vector<Stroke>& redoStack() const noexcept { return m_redoStack; }
    const std::vector<UndoRef>& undoHistory() const noexcept { return m_undoOrder; }
    bool canUndo() const noexcept { return !m_undoOrder.empty(); }
    bool canRedo() const noexcept { return !m_redoStack.empty(); }
    std::uint64_t localCounter() const noexcept { return m_localCounter; }

    // Size in points of the overlay the strokes are shown on (1920×1080 until the overlay
    // sets its screen's size); the eraser sweep of an ended eraser stroke measures with it.
    SizeF overlaySize() const noexcept { return m_overlaySize; }
    void setOverlaySize(SizeF size) noexcept { m_overlaySize = size; }

  private:
    void emit(const StrokeEvent& event);
    void send(SessionMessage message);
    void notify(Changes changes);
    void commit(Stroke stroke);
    // Removes the committed strokes hit by any of `points` (normalised) on `size`.
    void erase(std::span<const StrokePoint> points, SizeF size);
    std::string nextLocalID(std::string_view prefix);

    std::vector<Stroke> m_strokes;
    std::vector<TextAnnotation> m_texts;
    std::map<std::string, Stroke, std::less<>> m_activeStrokes;
    std::optional<Stroke> m_activeLaser;
    std::vector<Stroke> m_redoStack;
    std::vector<UndoRef> m_undoOrder;
    std::uint64_t m_localCounter = 0;
    SizeF m_overlaySize{1920, 1080};

    struct Observer {
        ObserverID id;
        std::function<void(Changes)> callback;
    };
    std::vector<Observer> m_observers;
    ObserverID m_nextObserverID = 1;
};

}  // namespace velurio
