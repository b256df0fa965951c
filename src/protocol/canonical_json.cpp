#include "protocol/canonical_json.h"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <type_traits>

namespace velurio {

namespace CanonicalJSON {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Length of the well-formed UTF-8 sequence starting at text[i], or 0 when it is malformed
// (overlong forms, surrogates, code points above U+10FFFF and truncated sequences included).
std::size_t utf8SequenceLength(std::string_view text, std::size_t i) noexcept {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned char lowerBound = 0x80;
    unsigned char upperBound = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            lowerBound = 0xA0;
        if (lead == 0xED)
            upperBound = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            lowerBound = 0x90;
        if (lead == 0xF4)
            upperBound = 0x8F;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    const unsigned char second = byte(i + 1);
    if (second < lowerBound || second > upperBound) {
        return 0;
    }
    for (std::size_t k = 2; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

}  // namespace

void appendEscaped(std::string& out, std::string_view text) {
    out.push_back('"');
    std::size_t runStart = 0;
    std::size_t i = 0;
    const auto flush = [&](std::size_t end) { out.append(text.data() + runStart, end - runStart); };
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\' && c < 0x80) {
            ++i;
            continue;
        }
        if (c >= 0x80) {
            // Text is meant to be UTF-8; a malformed byte becomes U+FFFD so the output is
            // always valid JSON (decoded texts are already validated and pass unchanged).
            const std::size_t length = utf8SequenceLength(text, i);
            if (length != 0) {
                i += length;
                continue;
            }
            flush(i);
            out.append("\xEF\xBF\xBD");
            ++i;
            runStart = i;
            continue;
        }
        flush(i);
        switch (c) {
            case '\t':
                out.append("\\t");
                break;
            case '\n':
                out.append("\\n");
                break;
            case '\r':
                out.append("\\r");
                break;
            case '"':
                out.append("\\\"");
                break;
            case '\\':
                out.append("\\\\");
                break;
            default: {
                const char escaped[] = {
                    '\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 0xF]};
                out.append(escaped, sizeof escaped);
            }
        }
        ++i;
        runStart = i;
    }
    flush(i);
    out.push_back('"');
}

std::string escape(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    appendEscaped(out, text);
    return out;
}

void appendInteger(std::string& out, std::int64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void appendUnsigned(std::string& out, std::uint64_t value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

namespace {

// Shortest round-trip text of a finite, non-zero double in the style of std::to_chars without
// a format (fixed or scientific, whichever is shorter; ties go to fixed), except that a value
// whose fixed form would be a bare integer always takes the scientific form. The digits come
// from fmt's Dragonbox, about three times faster than std::to_chars, which dominates the cost
// of writing stroke messages; the layout is ours.
void appendShortest(std::string& out, double value) {
    const auto decimal = fmt::detail::dragonbox::to_decimal(value);
    char digits[20];
    const auto digitsEnd = std::to_chars(digits, digits + sizeof digits, decimal.significand).ptr;
    const int n = static_cast<int>(digitsEnd - digits);
    const int exponent10 = decimal.exponent;            // value = digits * 10^exponent10
    const int scientificExponent = exponent10 + n - 1;  // value = d.ddd * 10^scientificExponent

    if (value < 0) {
        out.push_back('-');
    }
    const int absExponent = scientificExponent < 0 ? -scientificExponent : scientificExponent;
    const int scientificLength = n + (n > 1 ? 1 : 0) + 2 + (absExponent >= 100 ? 3 : 2);
    int fixedLength = 0;
    if (exponent10 >= 0) {
        fixedLength = scientificLength + 1;  // never a bare integer: see above
    } else if (scientificExponent >= 0) {
        fixedLength = n + 1;
    } else {
        fixedLength = 2 + (-scientificExponent - 1) + n;
    }

    if (fixedLength <= scientificLength) {
        if (scientificExponent >= 0) {
            const auto integerDigits = static_cast<std::size_t>(scientificExponent + 1);
            out.append(digits, integerDigits);
            out.push_back('.');
            out.append(digits + integerDigits, static_cast<std::size_t>(n) - integerDigits);
        } else {
            out.append("0.");
            out.append(static_cast<std::size_t>(-scientificExponent - 1), '0');
            out.append(digits, static_cast<std::size_t>(n));
        }
        return;
    }
    out.push_back(digits[0]);
    if (n > 1) {
        out.push_back('.');
        out.append(digits + 1, static_cast<std::size_t>(n - 1));
    }
    out.push_back('e');
    out.push_back(scientificExponent < 0 ? '-' : '+');
    if (absExponent < 10) {
        out.push_back('0');
    }
    char exponentText[4];
    const auto exponentEnd =
        std::to_chars(exponentText, exponentText + sizeof exponentText, absExponent).ptr;
    out.append(exponentText, exponentEnd);
}

}  // namespace

void appendNumber(std::string& out, double value) {
    if (std::isnan(value)) {
        value = 0.0;
    } else if (std::isinf(value)) {
        value =
            value > 0 ? std::numeric_limits<double>::max() : std::numeric_limits<double>::lowest();
    }
    // An integral value below 1e15 is written as an integer. Below 1e15 the conversion to
    // int64 is exact for integral values, so converting back tells whether the value equals
    // its rounding without a call into libm (this runs for every coordinate written).
    if (std::fabs(value) < 1e15) {
        const auto integral = static_cast<std::int64_t>(value);
        if (static_cast<double>(integral) == value) {
            appendInteger(out, integral);  // -0.0 becomes 0
            return;
        }
    }
    appendShortest(out, value);
}

}  // namespace CanonicalJSON

namespace {

using CanonicalJSON::appendEscaped;
using CanonicalJSON::appendInteger;
using CanonicalJSON::appendNumber;
using CanonicalJSON::appendUnsigned;

// Appends ',"key":' — keys are plain ASCII identifiers, so the escaped form is the key itself.
void key(std::string& out, std::string_view name) {
    out.append(",\"");
    out.append(name);
    out.append("\":");
}

void open(std::string& out, MessageType type) {
    out.append("{\"t\":\"");
    out.append(rawValue(type));
    out.push_back('"');
}

void appendBool(std::string& out, bool value) {
    out.append(value ? "true" : "false");
}

void write(std::string& out, const HelloMessage& m) {
    open(out, m.kType);
    key(out, "v");
    appendInteger(out, m.v);
    key(out, "session_id");
    appendEscaped(out, m.sessionId);
    key(out, "role");
    appendEscaped(out, rawValue(m.role));
    key(out, "device_id");
    appendEscaped(out, m.deviceId);
    key(out, "device_name");
    appendEscaped(out, m.deviceName);
    key(out, "token");
    appendEscaped(out, m.token);
    key(out, "attestation");
    appendEscaped(out, m.attestation);
    key(out, "resume");
    appendBool(out, m.resume);
}

void write(std::string& out, const CapabilitiesMessage& m) {
    open(out, m.kType);
    key(out, "video_codec");
    appendEscaped(out, m.videoCodec);
    key(out, "max_width");
    appendInteger(out, m.maxWidth);
    key(out, "max_height");
    appendInteger(out, m.maxHeight);
    key(out, "max_fps");
    appendInteger(out, m.maxFps);
    key(out, "quic");
    appendBool(out, m.quic);
    key(out, "pencil");
    appendBool(out, m.pencil);
    key(out, "ink_batch_ms");
    appendInteger(out, m.inkBatchMs);
}

void write(std::string& out, const ToolStateMessage& m) {
    open(out, m.kType);
    key(out, "tool");
    appendEscaped(out, m.tool);
    key(out, "color");
    appendEscaped(out, m.color);
    key(out, "width");
    appendInteger(out, m.width);
}

void write(std::string& out, const ClearMessage& m) {
    open(out, m.kType);
}

// undo and redo share their one field.
template <class M>
requires std::is_same_v<M, UndoMessage> || std::is_same_v<M, RedoMessage>
void write(std::string& out, const M& m) {
    open(out, m.kType);
    key(out, "id");
    appendEscaped(out, m.id);
}

void write(std::string& out, const SlideChangedMessage& m) {
    open(out, m.kType);
    key(out, "hash");
    appendUnsigned(out, m.hash);
}

// ping and pong share their two fields.
template <class M>
requires std::is_same_v<M, PingMessage> || std::is_same_v<M, PongMessage>
void write(std::string& out, const M& m) {
    open(out, m.kType);
    key(out, "seq");
    appendUnsigned(out, m.seq);
    key(out, "ts");
    appendInteger(out, m.ts);
}

void write(std::string& out, const EndMessage& m) {
    open(out, m.kType);
    if (m.reason) {
        key(out, "reason");
        appendEscaped(out, rawValue(*m.reason));
    }
}

void write(std::string& out, const StrokeMessage& m) {
    open(out, m.kType);
    key(out, "id");
    appendEscaped(out, m.id);
    key(out, "op");
    appendEscaped(out, rawValue(m.op));
    key(out, "tool");
    appendEscaped(out, m.tool);
    key(out, "color");
    appendEscaped(out, m.color);
    key(out, "width");
    appendInteger(out, m.width);
    key(out, "pts");
    out.push_back('[');
    bool first = true;
    for (const StrokePoint& p : m.pts) {
        out.append(first ? "[" : ",[");
        first = false;
        appendNumber(out, p.x);
        out.push_back(',');
        appendNumber(out, p.y);
        out.push_back(',');
        appendNumber(out, p.pressure);
        out.push_back(',');
        appendNumber(out, p.tilt);
        out.push_back(',');
        appendInteger(out, p.timestampMs);
        out.push_back(']');
    }
    out.push_back(']');
}

void write(std::string& out, const DisplaysMessage& m) {
    open(out, m.kType);
    key(out, "displays");
    out.push_back('[');
    bool first = true;
    for (const DisplayDescriptor& d : m.displays) {
        out.append(first ? "{\"id\":" : ",{\"id\":");
        first = false;
        appendUnsigned(out, d.id);
        out.append(",\"name\":");
        appendEscaped(out, d.name);
        out.append(",\"width\":");
        appendInteger(out, d.width);
        out.append(",\"height\":");
        appendInteger(out, d.height);
        out.push_back('}');
    }
    out.push_back(']');
    if (m.selectedDisplayID) {
        key(out, "selected_display_id");
        appendUnsigned(out, *m.selectedDisplayID);
    }
    key(out, "status");
    appendEscaped(out, rawValue(m.status));
}

void write(std::string& out, const SelectDisplayMessage& m) {
    open(out, m.kType);
    key(out, "display_id");
    appendUnsigned(out, m.displayID);
}

// A size guess that avoids regrowing for typical messages.
template <class M>
std::size_t estimatedSize(const M&) {
    return 128;
}
std::size_t estimatedSize(const StrokeMessage& m) {
    // A point is at most 5 shortest doubles (24 bytes each) and an integer; 64 covers usual ones.
    return 96 + m.id.size() + m.tool.size() + m.color.size() + m.pts.size() * 64;
}
std::size_t estimatedSize(const SessionMessage& m) {
    return std::visit([](const auto& message) { return estimatedSize(message); }, m.payload);
}

template <class M>
std::string render(const M& m) {
    std::string out;
    out.reserve(estimatedSize(m));
    write(out, m);
    out.push_back('}');
    return out;
}

}  // namespace

void appendCanonicalJSON(std::string& out, const SessionMessage& m) {
    std::visit([&out](const auto& message) { write(out, message); }, m.payload);
    out.push_back('}');
}

std::string canonicalJSON(const SessionMessage& m) {
    std::string out;
    out.reserve(estimatedSize(m));
    appendCanonicalJSON(out, m);
    return out;
}

std::string canonicalJSON(const HelloMessage& m) {
    return render(m);
}
std::string canonicalJSON(const CapabilitiesMessage& m) {
    return render(m);
}
std::string canonicalJSON(const ToolStateMessage& m) {
    return render(m);
}
std::string canonicalJSON(const ClearMessage& m) {
    return render(m);
}
std::string canonicalJSON(const UndoMessage& m) {
    return render(m);
}
std::string canonicalJSON(const RedoMessage& m) {
    return render(m);
}
std::string canonicalJSON(const SlideChangedMessage& m) {
    return render(m);
}
std::string canonicalJSON(const PingMessage& m) {
    return render(m);
}
std::string canonicalJSON(const PongMessage& m) {
    return render(m);
}
std::string canonicalJSON(const EndMessage& m) {
    return render(m);
}
std::string canonicalJSON(const StrokeMessage& m) {
    return render(m);
}
std::string canonicalJSON(const DisplaysMessage& m) {
    return render(m);
}
std::string canonicalJSON(const SelectDisplayMessage& m) {
    return render(m);
}

std::string SessionMessage::canonicalJSON() const {
    return velurio::canonicalJSON(*this);
}

}  // namespace velurio
