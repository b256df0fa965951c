// The canonical JSON writer: one message always gives the same bytes.
//
// Key order is fixed per message type, nothing is indented, and numbers follow one rule:
// a double that equals its rounding and is below 1e15 in magnitude is written as an integer,
// any other finite double as the shortest text that reads back to the same value.
// JSON has no NaN or infinity. The writer never emits invalid JSON: a NaN is written as 0 and
// an infinity as the largest finite double of its sign (1.7976931348623157e+308); decoding
// that text gives a finite value, so such points survive a round trip clamped, never as
// garbage. Neither arises from decoded messages or from the mouse.
#pragma once

#include "protocol/messages.h"

#include <string>
#include <string_view>

namespace velurio {

namespace CanonicalJSON {

// The JSON string literal for `text`, quotation marks included. `text` is taken as UTF-8 and
// copied byte for byte except for the escaped control characters, '"' and '\\'.
std::string escape(std::string_view text);
void appendEscaped(std::string& out, std::string_view text);

// Appends a double by the number rule above.
void appendNumber(std::string& out, double value);
// Appends a signed or unsigned integer as plain decimal text.
void appendInteger(std::string& out, std::int64_t value);
void appendUnsigned(std::string& out, std::uint64_t value);

}  // namespace CanonicalJSON

// Canonical texts of every message. SessionMessage::canonicalJSON forwards to these.
std::string canonicalJSON(const HelloMessage& m);
std::string canonicalJSON(const CapabilitiesMessage& m);
std::string canonicalJSON(const ToolStateMessage& m);
std::string canonicalJSON(const ClearMessage& m);
std::string canonicalJSON(const UndoMessage& m);
std::string canonicalJSON(const RedoMessage& m);
std::string canonicalJSON(const SlideChangedMessage& m);
std::string canonicalJSON(const PingMessage& m);
std::string canonicalJSON(const PongMessage& m);
std::string canonicalJSON(const EndMessage& m);
std::string canonicalJSON(const StrokeMessage& m);
std::string canonicalJSON(const DisplaysMessage& m);
std::string canonicalJSON(const SelectDisplayMessage& m);
std::string canonicalJSON(const SessionMessage& m);

// Appends the canonical text to `out` (no allocation beyond the string's own growth).
void appendCanonicalJSON(std::string& out, const SessionMessage& m);

}  // namespace velurio
