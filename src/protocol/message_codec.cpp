#include "protocol/message_codec.h"

#include "protocol/canonical_json.h"

#include <simdjson.h>

#include <cmath>
#include <limits>

namespace velurio {

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;
using simdjson::dom::object;

using Kind = DecodeError::Kind;

Failure<DecodeError> error(Kind kind, std::string description) {
    return fail(DecodeError{kind, std::move(description)});
}

std::string inQuotes(std::string_view key) {
    std::string text = "\"";
    text.append(key);
    text.push_back('"');
    return text;
}

Failure<DecodeError> missing(std::string_view key) {
    return error(Kind::keyNotFound, "missing key " + inQuotes(key));
}

Failure<DecodeError> wrongType(std::string_view key, std::string_view expected) {
    return error(Kind::typeMismatch, "expected " + std::string(expected) + " at " + inQuotes(key));
}

template <class I>
constexpr std::string_view integerName() {
    if constexpr (std::is_same_v<I, std::uint32_t>) {
        return "an unsigned 32-bit integer";
    } else if constexpr (std::is_same_v<I, std::uint64_t>) {
        return "an unsigned 64-bit integer";
    } else {
        return "a signed 64-bit integer";
    }
}

// Converts a JSON number to the integer type I when its value is integral and fits exactly:
// integer literals, and literals with a fraction or exponent whose value is integral.
template <class I>
Result<I, DecodeError> toInteger(element value, std::string_view key) {
    switch (value.type()) {
        case element_type::INT64: {
            const std::int64_t v = value.get_int64().value_unsafe();
            if constexpr (std::is_signed_v<I>) {
                return static_cast<I>(v);
            } else {
                if (v < 0 || static_cast<std::uint64_t>(v) > std::numeric_limits<I>::max()) {
                    break;
                }
                return static_cast<I>(v);
            }
        }
        case element_type::UINT64: {
            // simdjson only uses UINT64 for values above INT64_MAX.
            const std::uint64_t v = value.get_uint64().value_unsafe();
            if (v > static_cast<std::uint64_t>(std::numeric_limits<I>::max())) {
                break;
            }
            return static_cast<I>(v);
        }
        case element_type::DOUBLE: {
            const double d = value.get_double().value_unsafe();
            if (!std::isfinite(d) || d != std::trunc(d)) {
                return error(Kind::dataCorrupted,
                             "number at " + inQuotes(key) + " is not an integer");
            }
            // Bounds as exact powers of two; the upper bound is exclusive.
            constexpr double lower = std::is_signed_v<I> ? -9223372036854775808.0 : 0.0;
            constexpr double upper = std::is_same_v<I, std::uint32_t> ? 4294967296.0
                                     : std::is_signed_v<I>            ? 9223372036854775808.0
                                                                      : 18446744073709551616.0;
            if (d < lower || d >= upper) {
                break;
            }
            return static_cast<I>(d);
        }
        default:
            return wrongType(key, integerName<I>());
    }
    return error(Kind::dataCorrupted,
                 "number at " + inQuotes(key) + " does not fit " + std::string(integerName<I>()));
}

Result<double, DecodeError> toDouble(element value, std::string_view key) {
    switch (value.type()) {
        case element_type::INT64:
            return static_cast<double>(value.get_int64().value_unsafe());
        case element_type::UINT64:
            return static_cast<double>(value.get_uint64().value_unsafe());
        case element_type::DOUBLE:
            return value.get_double().value_unsafe();
        default:
            return wrongType(key, "a number");
    }
}

// Reads fields of one flat object in order; every accessor fails on the first problem.
class Fields {
  public:
    explicit Fields(object obj) : m_object(obj) {}

    // The element under `key`, or nothing when the key is absent or null.
    std::optional<element> find(std::string_view key) const {
        element value;
        if (m_object.at_key(key).get(value) != simdjson::SUCCESS || value.is_null()) {
            return std::nullopt;
        }
        return value;
    }

    Result<std::string, DecodeError> string(std::string_view key) const {
        const auto value = find(key);
        if (!value) {
            return missing(key);
        }
        std::string_view text;
        if (value->get_string().get(text) != simdjson::SUCCESS) {
            return wrongType(key, "a string");
        }
        return std::string(text);
    }

    template <class E>
    Result<E, DecodeError> enumeration(std::string_view key,
                                       std::optional<E> (*parse)(std::string_view) noexcept) const {
        auto text = string(key);
        if (!text) {
            return fail(std::move(text).error());
        }
        if (auto parsed = parse(*text)) {
            return *parsed;
        }
        return error(Kind::dataCorrupted,
                     "invalid value " + inQuotes(*text) + " at " + inQuotes(key));
    }

    template <class I>
    Result<I, DecodeError> integer(std::string_view key) const {
        const auto value = find(key);
        if (!value) {
            return missing(key);
        }
        return toInteger<I>(*value, key);
    }

    Result<bool, DecodeError> boolean(std::string_view key) const {
        const auto value = find(key);
        if (!value) {
            return missing(key);
        }
        bool flag = false;
        if (value->get_bool().get(flag) != simdjson::SUCCESS) {
            return wrongType(key, "a boolean");
        }
        return flag;
    }

    Result<simdjson::dom::array, DecodeError> array(std::string_view key) const {
        const auto value = find(key);
        if (!value) {
            return missing(key);
        }
        simdjson::dom::array items;
        if (value->get_array().get(items) != simdjson::SUCCESS) {
            return wrongType(key, "an array");
        }
        return items;
    }

  private:
    object m_object;
};

// Assigns a decoded field or returns its error from the enclosing decoder.
#define VELURIO_READ(target, expression)                         \
    do {                                                         \
        auto velurio_read_result = (expression);                 \
        if (!velurio_read_result) {                              \
            return fail(std::move(velurio_read_result).error()); \
        }                                                        \
        (target) = std::move(velurio_read_result).value();       \
    } while (false)

Result<StrokePoint, DecodeError> decodePoint(element value) {
    simdjson::dom::array items;
    if (value.get_array().get(items) != simdjson::SUCCESS) {
        return wrongType("pts", "a point array");
    }
    if (items.size() != 5) {
        return error(Kind::dataCorrupted, std::string(kStrokePointArityDescription));
    }
    auto it = items.begin();
    StrokePoint point;
    VELURIO_READ(point.x, toDouble(*it, "pts"));
    ++it;
    VELURIO_READ(point.y, toDouble(*it, "pts"));
    ++it;
    VELURIO_READ(point.pressure, toDouble(*it, "pts"));
    ++it;
    VELURIO_READ(point.tilt, toDouble(*it, "pts"));
    ++it;
    VELURIO_READ(point.timestampMs, toInteger<std::int64_t>(*it, "pts"));
    return point;
}

Result<DisplayDescriptor, DecodeError> decodeDescriptor(element value) {
    object obj;
    if (value.get_object().get(obj) != simdjson::SUCCESS) {
        return wrongType("displays", "a display object");
    }
    const Fields f(obj);
    DisplayDescriptor d;
    VELURIO_READ(d.id, f.integer<std::uint32_t>("id"));
    VELURIO_READ(d.name, f.string("name"));
    VELURIO_READ(d.width, f.integer<std::int64_t>("width"));
    VELURIO_READ(d.height, f.integer<std::int64_t>("height"));
    return d;
}

template <class M>
Result<M, DecodeError> decodeFields(const Fields& f);

template <>
Result<HelloMessage, DecodeError> decodeFields(const Fields& f) {
    HelloMessage m;
    VELURIO_READ(m.v, f.integer<std::int64_t>("v"));
    VELURIO_READ(m.sessionId, f.string("session_id"));
    VELURIO_READ(m.role, f.enumeration<PeerRole>("role", peerRoleFromRaw));
    VELURIO_READ(m.deviceId, f.string("device_id"));
    VELURIO_READ(m.deviceName, f.string("device_name"));
    VELURIO_READ(m.token, f.string("token"));
    VELURIO_READ(m.attestation, f.string("attestation"));
    if (f.find("resume")) {
        VELURIO_READ(m.resume, f.boolean("resume"));
    }
    return m;
}

template <>
Result<CapabilitiesMessage, DecodeError> decodeFields(const Fields& f) {
    CapabilitiesMessage m;
    VELURIO_READ(m.videoCodec, f.string("video_codec"));
    VELURIO_READ(m.maxWidth, f.integer<std::int64_t>("max_width"));
    VELURIO_READ(m.maxHeight, f.integer<std::int64_t>("max_height"));
    VELURIO_READ(m.maxFps, f.integer<std::int64_t>("max_fps"));
    VELURIO_READ(m.quic, f.boolean("quic"));
    VELURIO_READ(m.pencil, f.boolean("pencil"));
    if (f.find("ink_batch_ms")) {
        VELURIO_READ(m.inkBatchMs, f.integer<std::int64_t>("ink_batch_ms"));
    }
    return m;
}

template <>
Result<ToolStateMessage, DecodeError> decodeFields(const Fields& f) {
    ToolStateMessage m;
    VELURIO_READ(m.tool, f.string("tool"));
    VELURIO_READ(m.color, f.string("color"));
    VELURIO_READ(m.width, f.integer<std::int64_t>("width"));
    return m;
}

template <>
Result<ClearMessage, DecodeError> decodeFields(const Fields&) {
    return ClearMessage{};
}

// undo and redo share their one field.
template <class M>
Result<M, DecodeError> decodeIdOnly(const Fields& f) {
    M m;
    VELURIO_READ(m.id, f.string("id"));
    return m;
}

template <>
Result<UndoMessage, DecodeError> decodeFields(const Fields& f) {
    return decodeIdOnly<UndoMessage>(f);
}

template <>
Result<RedoMessage, DecodeError> decodeFields(const Fields& f) {
    return decodeIdOnly<RedoMessage>(f);
}

template <>
Result<SlideChangedMessage, DecodeError> decodeFields(const Fields& f) {
    SlideChangedMessage m;
    VELURIO_READ(m.hash, f.integer<std::uint64_t>("hash"));
    return m;
}

// ping and pong share their two fields.
template <class M>
Result<M, DecodeError> decodeSeqAndTs(const Fields& f) {
    M m;
    VELURIO_READ(m.seq, f.integer<std::uint32_t>("seq"));
    VELURIO_READ(m.ts, f.integer<std::int64_t>("ts"));
    return m;
}

template <>
Result<PingMessage, DecodeError> decodeFields(const Fields& f) {
    return decodeSeqAndTs<PingMessage>(f);
}

template <>
Result<PongMessage, DecodeError> decodeFields(const Fields& f) {
    return decodeSeqAndTs<PongMessage>(f);
}

template <>
Result<EndMessage, DecodeError> decodeFields(const Fields& f) {
    EndMessage m;
    if (f.find("reason")) {
        SessionEndReason reason{};
        VELURIO_READ(reason, f.enumeration<SessionEndReason>("reason", sessionEndReasonFromRaw));
        m.reason = reason;
    }
    return m;
}

template <>
Result<StrokeMessage, DecodeError> decodeFields(const Fields& f) {
    StrokeMessage m;
    VELURIO_READ(m.id, f.string("id"));
    VELURIO_READ(m.op, f.enumeration<StrokeOp>("op", strokeOpFromRaw));
    VELURIO_READ(m.tool, f.string("tool"));
    VELURIO_READ(m.color, f.string("color"));
    VELURIO_READ(m.width, f.integer<std::int64_t>("width"));
    simdjson::dom::array points;
    VELURIO_READ(points, f.array("pts"));
    m.pts.reserve(points.size());
    for (element value : points) {
        StrokePoint point;
        VELURIO_READ(point, decodePoint(value));
        m.pts.push_back(point);
    }
    return m;
}

template <>
Result<DisplaysMessage, DecodeError> decodeFields(const Fields& f) {
    DisplaysMessage m;
    simdjson::dom::array items;
    VELURIO_READ(items, f.array("displays"));
    for (element value : items) {
        DisplayDescriptor descriptor;
        VELURIO_READ(descriptor, decodeDescriptor(value));
        m.displays.push_back(std::move(descriptor));
    }
    if (f.find("selected_display_id")) {
        std::uint32_t selected = 0;
        VELURIO_READ(selected, f.integer<std::uint32_t>("selected_display_id"));
        m.selectedDisplayID = selected;
    }
    VELURIO_READ(m.status, f.enumeration<CaptureStatus>("status", captureStatusFromRaw));
    return m;
}

template <>
Result<SelectDisplayMessage, DecodeError> decodeFields(const Fields& f) {
    SelectDisplayMessage m;
    VELURIO_READ(m.displayID, f.integer<std::uint32_t>("display_id"));
    return m;
}

#undef VELURIO_READ

// Parses the bytes as one JSON object. The parser is reused per thread (it owns large
// buffers); every call validates the whole document afresh, so results never depend on
// earlier calls.
Result<object, DecodeError> parseObject(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) {
        // An empty span may carry a null pointer, which the parser must not see.
        return error(Kind::invalidJSON, "not valid JSON: empty payload");
    }
    thread_local simdjson::dom::parser parser;
    element document;
    const auto status = parser.parse(bytes.data(), bytes.size()).get(document);
    if (status != simdjson::SUCCESS) {
        return error(Kind::invalidJSON,
                     std::string("not valid JSON: ") + simdjson::error_message(status));
    }
    object obj;
    if (document.get_object().get(obj) != simdjson::SUCCESS) {
        return error(Kind::typeMismatch, "expected a JSON object");
    }
    return obj;
}

Result<MessageType, DecodeError> readTag(const Fields& f) {
    return f.enumeration<MessageType>("t", messageTypeFromRaw);
}

template <class M>
Result<M, DecodeError> decodeChecked(const Fields& f) {
    auto tag = readTag(f);
    if (!tag) {
        return fail(std::move(tag).error());
    }
    if (*tag != M::kType) {
        return error(Kind::typeMismatch, "esperava t=\"" + std::string(rawValue(M::kType)) +
                                             "\", veio t=\"" + std::string(rawValue(*tag)) + "\"");
    }
    return decodeFields<M>(f);
}

template <class M>
Result<SessionMessage, DecodeError> decodeAs(const Fields& f) {
    auto message = decodeChecked<M>(f);
    if (!message) {
        return fail(std::move(message).error());
    }
    return SessionMessage(std::move(message).value());
}

std::span<const std::uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

namespace MessageCodec {

std::vector<std::uint8_t> encode(const SessionMessage& message) {
    const std::string text = canonicalJSON(message);
    return {text.begin(), text.end()};
}

std::string encodeToString(const SessionMessage& message) {
    return canonicalJSON(message);
}

Result<SessionMessage, DecodeError> decode(std::span<const std::uint8_t> bytes) {
    auto obj = parseObject(bytes);
    if (!obj) {
        return fail(std::move(obj).error());
    }
    const Fields fields(*obj);
    auto tag = readTag(fields);
    if (!tag) {
        return fail(std::move(tag).error());
    }
    switch (*tag) {
        case MessageType::hello:
            return decodeAs<HelloMessage>(fields);
        case MessageType::capabilities:
            return decodeAs<CapabilitiesMessage>(fields);
        case MessageType::toolState:
            return decodeAs<ToolStateMessage>(fields);
        case MessageType::clear:
            return decodeAs<ClearMessage>(fields);
        case MessageType::undo:
            return decodeAs<UndoMessage>(fields);
        case MessageType::redo:
            return decodeAs<RedoMessage>(fields);
        case MessageType::slideChanged:
            return decodeAs<SlideChangedMessage>(fields);
        case MessageType::ping:
            return decodeAs<PingMessage>(fields);
        case MessageType::pong:
            return decodeAs<PongMessage>(fields);
        case MessageType::end:
            return decodeAs<EndMessage>(fields);
        case MessageType::stroke:
            return decodeAs<StrokeMessage>(fields);
        case MessageType::displays:
            return decodeAs<DisplaysMessage>(fields);
        case MessageType::selectDisplay:
            return decodeAs<SelectDisplayMessage>(fields);
    }
    return error(Kind::dataCorrupted, "unknown message type");
}

Result<SessionMessage, DecodeError> decode(std::string_view text) {
    return decode(asBytes(text));
}

}  // namespace MessageCodec

template <class M>
Result<M, DecodeError> decodeMessage(std::string_view text) {
    auto obj = parseObject(asBytes(text));
    if (!obj) {
        return fail(std::move(obj).error());
    }
    return decodeChecked<M>(Fields(*obj));
}

template Result<HelloMessage, DecodeError> decodeMessage<HelloMessage>(std::string_view);
template Result<CapabilitiesMessage, DecodeError> decodeMessage<CapabilitiesMessage>(
    std::string_view);
template Result<ToolStateMessage, DecodeError> decodeMessage<ToolStateMessage>(std::string_view);
template Result<ClearMessage, DecodeError> decodeMessage<ClearMessage>(std::string_view);
template Result<UndoMessage, DecodeError> decodeMessage<UndoMessage>(std::string_view);
template Result<RedoMessage, DecodeError> decodeMessage<RedoMessage>(std::string_view);
template Result<SlideChangedMessage, DecodeError> decodeMessage<SlideChangedMessage>(
    std::string_view);
template Result<PingMessage, DecodeError> decodeMessage<PingMessage>(std::string_view);
template Result<PongMessage, DecodeError> decodeMessage<PongMessage>(std::string_view);
template Result<EndMessage, DecodeError> decodeMessage<EndMessage>(std::string_view);
template Result<StrokeMessage, DecodeError> decodeMessage<StrokeMessage>(std::string_view);
template Result<DisplaysMessage, DecodeError> decodeMessage<DisplaysMessage>(std::string_view);
template Result<SelectDisplayMessage, DecodeError> decodeMessage<SelectDisplayMessage>(
    std::string_view);

}  // namespace velurio
