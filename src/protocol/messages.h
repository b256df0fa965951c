// The control messages exchanged with the tablet, as plain values.
//
// Every message is one flat JSON object whose "t" key holds its type tag. These types only
// carry data: decoding lives in message_codec.h, the canonical writer in canonical_json.h.
// Nothing here checks ink fields, versions or ranges; receivers do that.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace velurio {

namespace VelurioProtocolVersion {
inline constexpr std::int64_t current = 1;
}

// Type tag of a message; raw values are the "t" texts. Order is the wire vocabulary's order.
enum class MessageType : std::uint8_t {
    hello,
    capabilities,
    toolState,
    clear,
    undo,
    redo,
    slideChanged,
    ping,
    pong,
    end,
    stroke,
    displays,
    selectDisplay,
};
inline constexpr MessageType kAllMessageTypes[] = {
    MessageType::hello,         MessageType::capabilities, MessageType::toolState,
    MessageType::clear,         MessageType::undo,         MessageType::redo,
    MessageType::slideChanged,  MessageType::ping,         MessageType::pong,
    MessageType::end,           MessageType::stroke,       MessageType::displays,
    MessageType::selectDisplay,
};

enum class PeerRole : std::uint8_t { mac, ipad };
enum class StrokeOp : std::uint8_t { begin, append, end };
inline constexpr StrokeOp kAllStrokeOps[] = {StrokeOp::begin, StrokeOp::append, StrokeOp::end};
enum class SessionEndReason : std::uint8_t { userEnded, timeout, replaced, error };
enum class CaptureStatus : std::uint8_t { starting, streaming, permissionRequired, failed };

// Raw values (exact, case-sensitive). The parse functions give nothing for unknown texts.
std::string_view rawValue(MessageType value) noexcept;
std::string_view rawValue(PeerRole value) noexcept;
std::string_view rawValue(StrokeOp value) noexcept;
std::string_view rawValue(SessionEndReason value) noexcept;
std::string_view rawValue(CaptureStatus value) noexcept;
std::optional<MessageType> messageTypeFromRaw(std::string_view raw) noexcept;
std::optional<PeerRole> peerRoleFromRaw(std::string_view raw) noexcept;
std::optional<StrokeOp> strokeOpFromRaw(std::string_view raw) noexcept;
std::optional<SessionEndReason> sessionEndReasonFromRaw(std::string_view raw) noexcept;
std::optional<CaptureStatus> captureStatusFromRaw(std::string_view raw) noexcept;

// One sampled pen point; on the wire the array [x, y, pressure, tilt, timestampMs].
// Coordinates are normalised to the shared canvas, origin top left.
struct StrokePoint {
    double x = 0;
    double y = 0;
    double pressure = 0;
    double tilt = 0;
    std::int64_t timestampMs = 0;
    bool operator==(const StrokePoint&) const = default;
};

struct HelloMessage {
    static constexpr MessageType kType = MessageType::hello;
    std::int64_t v = VelurioProtocolVersion::current;
    std::string sessionId;
    PeerRole role = PeerRole::mac;
    std::string deviceId;
    std::string deviceName;
    std::string token;
    std::string attestation;
    bool resume = false;
    bool operator==(const HelloMessage&) const = default;
};

struct CapabilitiesMessage {
    static constexpr MessageType kType = MessageType::capabilities;
    std::string videoCodec;
    std::int64_t maxWidth = 0;
    std::int64_t maxHeight = 0;
    std::int64_t maxFps = 0;
    bool quic = false;
    bool pencil = false;
    std::int64_t inkBatchMs = 8;
    bool operator==(const CapabilitiesMessage&) const = default;
};

struct ToolStateMessage {
    static constexpr MessageType kType = MessageType::toolState;
    std::string tool;
    std::string color;
    std::int64_t width = 0;
    bool operator==(const ToolStateMessage&) const = default;
};

struct ClearMessage {
    static constexpr MessageType kType = MessageType::clear;
    bool operator==(const ClearMessage&) const = default;
};

struct UndoMessage {
    static constexpr MessageType kType = MessageType::undo;
    std::string id;
    bool operator==(const UndoMessage&) const = default;
};

struct RedoMessage {
    static constexpr MessageType kType = MessageType::redo;
    std::string id;
    bool operator==(const RedoMessage&) const = default;
};

struct SlideChangedMessage {
    static constexpr MessageType kType = MessageType::slideChanged;
    std::uint64_t hash = 0;
    bool operator==(const SlideChangedMessage&) const = default;
};

struct PingMessage {
    static constexpr MessageType kType = MessageType::ping;
    std::uint32_t seq = 0;
    std::int64_t ts = 0;
    bool operator==(const PingMessage&) const = default;
};

struct PongMessage {
    static constexpr MessageType kType = MessageType::pong;
    std::uint32_t seq = 0;
    std::int64_t ts = 0;
    // The answer to a ping: seq and ts copied unchanged.
    static PongMessage echoing(const PingMessage& ping) noexcept { return {ping.seq, ping.ts}; }
    bool operator==(const PongMessage&) const = default;
};

struct EndMessage {
    static constexpr MessageType kType = MessageType::end;
    std::optional<SessionEndReason> reason;
    bool operator==(const EndMessage&) const = default;
};

struct StrokeMessage {
    static constexpr MessageType kType = MessageType::stroke;
    std::string id;
    StrokeOp op = StrokeOp::begin;
    std::string tool;   // an ink tool's raw value; unchecked here
    std::string color;  // "#RRGGBB"; unchecked here
    std::int64_t width = 0;
    std::vector<StrokePoint> pts;
    bool operator==(const StrokeMessage&) const = default;
};

struct DisplayDescriptor {
    std::uint32_t id = 0;
    std::string name;
    std::int64_t width = 0;
    std::int64_t height = 0;
    bool operator==(const DisplayDescriptor&) const = default;
};

struct DisplaysMessage {
    static constexpr MessageType kType = MessageType::displays;
    std::vector<DisplayDescriptor> displays;
    std::optional<std::uint32_t> selectedDisplayID;
    CaptureStatus status = CaptureStatus::starting;
    bool operator==(const DisplaysMessage&) const = default;
};

struct SelectDisplayMessage {
    static constexpr MessageType kType = MessageType::selectDisplay;
    std::uint32_t displayID = 0;
    bool operator==(const SelectDisplayMessage&) const = default;
};

// The tagged union of every message. Alternatives in the vocabulary's declaration order.
struct SessionMessage {
    using Variant =
        std::variant<HelloMessage, CapabilitiesMessage, ToolStateMessage, UndoMessage, RedoMessage,
                     SlideChangedMessage, PingMessage, PongMessage, EndMessage, StrokeMessage,
                     DisplaysMessage, SelectDisplayMessage, ClearMessage>;
    Variant payload;

    SessionMessage() : payload(ClearMessage{}) {}
    template <class M>
    requires std::is_constructible_v<Variant, M&&> SessionMessage(M&& message)
        : payload(std::forward<M>(message)) {}  // NOLINT(implicit)

    MessageType type() const noexcept;

    template <class M>
    bool is() const noexcept {
        return std::holds_alternative<M>(payload);
    }
    template <class M>
    const M* get() const noexcept {
        return std::get_if<M>(&payload);
    }
    template <class M>
    M* get() noexcept {
        return std::get_if<M>(&payload);
    }

    // The canonical JSON text (see canonical_json.h).
    std::string canonicalJSON() const;

    bool operator==(const SessionMessage&) const = default;
};

}  // namespace velurio
