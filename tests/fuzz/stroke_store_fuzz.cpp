// Drives a StrokeStore with a sequence of decoded messages and local operations, checking the
// store's invariants after every step.
//
// Input: lines. A line starting with '!' is a local operation chosen by its second byte, with
// coordinates taken from the bytes after it; any other line is decoded as a control message
// and routed as the session would (stroke → apply, undo/redo → the tablet's requests,
// clear → clear). Undecodable lines are dropped, as the network path drops them.
#include "core/stroke_store.h"
#include "protocol/message_codec.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

namespace {

using namespace velurio;

[[noreturn]] void violated(const char* what) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
}

void check(bool condition, const char* what) {
    if (!condition)
        violated(what);
}

bool isLocalStrokeID(std::string_view id) {
    if (!id.starts_with("m-") || id.size() < 6)
        return false;
    for (char c : id.substr(2)) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

void checkInvariants(const StrokeStore& store) {
    std::map<std::string, int> committed;
    for (const Stroke& s : store.strokes()) {
        check(s.tool != InkTool::eraser && s.tool != InkTool::laser, "eraser or laser committed");
        ++committed[s.id];
    }
    for (const Stroke& s : store.redoStack()) {
        check(s.tool != InkTool::eraser && s.tool != InkTool::laser,
              "eraser or laser on redo stack");
    }
    for (const auto& [id, s] : store.activeStrokes()) {
        check(s.tool != InkTool::laser, "laser among active strokes");
        check(id == s.id, "active stroke filed under another id");
    }
    if (store.activeLaser())
        check(store.activeLaser()->tool == InkTool::laser, "non-laser live laser");
    std::map<std::string, int> history;
    for (const UndoRef& ref : store.undoHistory()) {
        if (ref.kind == UndoRef::Kind::text) {
            bool found = false;
            for (const TextAnnotation& t : store.texts())
                found |= t.id == ref.id;
            check(found, "history names a missing text");
        } else {
            ++history[ref.id];
        }
    }
    // Each stroke entry of the history can be matched with a committed stroke of its id.
    for (const auto& [id, count] : history) {
        check(count <= committed[id], "history names more strokes than are committed");
    }
}

StrokePoint pointFrom(std::string_view bytes, std::size_t offset) {
    auto byteAt = [&](std::size_t i) {
        return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0u;
    };
    return {byteAt(offset) / 255.0, byteAt(offset + 1) / 255.0, 0.5, 0,
            static_cast<std::int64_t>(byteAt(offset + 2))};
}

void localOperation(StrokeStore& store, std::string_view line) {
    const char op = line.size() > 1 ? line[1] : 'u';
    const auto tools = kAllInkTools;
    switch (op) {
        case 'b': {
            const InkTool tool =
                tools[(line.size() > 2 ? static_cast<unsigned char>(line[2]) : 0u) % 7];
            // The canvas never begins a local eraser or text stroke; keep to what it does.
            if (tool == InkTool::eraser || tool == InkTool::text)
                return;
            Stroke s = store.beginLocalStroke(tool, InkPalette::defaultColor(),
                                              StrokeThickness::thin, pointFrom(line, 3));
            check(isLocalStrokeID(s.id), "local id format");
            return;
        }
        case 'a':
            if (auto id = store.activeLocalStrokeID()) {
                const StrokePoint p = pointFrom(line, 2);
                store.appendLocalStroke(*id, std::span<const StrokePoint>(&p, 1));
            }
            return;
        case 'e':
            if (auto id = store.activeLocalStrokeID())
                store.endLocalStroke(*id);
            return;
        case 'x': {
            const StrokePoint p = pointFrom(line, 2);
            store.eraseLocal({p.x, p.y}, {1920, 1080});
            return;
        }
        case 't':
            store.addText(std::string(line.substr(2)), {0.5, 0.5}, InkPalette::defaultColor());
            return;
        case 'r':
            (void)store.redo();
            return;
        case 's':
            store.setOverlaySize(
                {static_cast<double>(line.size()) * 10, static_cast<double>(line.size()) * 7});
            return;
        default:
            (void)store.undo();
            return;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    StrokeStore store;
    const StrokeStore* self = &store;
    store.onEvent = [self](const StrokeEvent& event) {
        switch (event.kind) {
            case StrokeEvent::Kind::appended:
                check(self->activeStroke(event.id) != nullptr ||
                          (self->activeLaser() && self->activeLaser()->id == event.id),
                      "appended names no live stroke");
                break;
            case StrokeEvent::Kind::began:
            case StrokeEvent::Kind::ended:
                check(event.stroke.tool != InkTool::eraser && event.stroke.tool != InkTool::laser,
                      "eraser or laser shown as a stroke");
                break;
            case StrokeEvent::Kind::laserLive:
            case StrokeEvent::Kind::laserEnded:
                check(event.stroke.tool == InkTool::laser, "laser event for another tool");
                break;
            default:
                break;
        }
    };
    store.onSend = [](const SessionMessage& message) {
        // What goes back must itself be a well-formed message.
        auto decoded = MessageCodec::decode(MessageCodec::encodeToString(message));
        check(decoded.ok(), "sent message does not decode");
    };

    std::string_view input(reinterpret_cast<const char*>(data), size);
    int steps = 0;
    while (!input.empty() && steps < 4096) {
        const std::size_t newline = input.find('\n');
        const std::string_view line = input.substr(0, newline);
        input = newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);
        ++steps;
        if (!line.empty() && line[0] == '!') {
            localOperation(store, line);
        } else {
            auto message = MessageCodec::decode(line);
            if (!message.ok())
                continue;
            if (const auto* stroke = message->get<StrokeMessage>()) {
                store.apply(*stroke);
            } else if (const auto* undo = message->get<UndoMessage>()) {
                store.handleUndoRequest(undo->id);
            } else if (const auto* redo = message->get<RedoMessage>()) {
                store.handleRedoRequest(redo->id);
            } else if (message->is<ClearMessage>()) {
                store.clear(true);
            }
        }
        checkInvariants(store);
    }
    // Undo everything: every history entry is either undone or safely skipped.
    while (store.canUndo())
        (void)store.undo();
    check(store.texts().empty(), "texts left after undoing the whole history");
    checkInvariants(store);
    return 0;
}
