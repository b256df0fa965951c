#include "protocol/messages.h"

#include <array>
#include <utility>

namespace velurio {

namespace {

template <class E, std::size_t N>
std::optional<E> lookup(const std::array<std::pair<E, std::string_view>, N>& table,
                        std::string_view raw) noexcept {
    for (const auto& [value, text] : table) {
        if (text == raw) {
            return value;
        }
    }
    return std::nullopt;
}

template <class E, std::size_t N>
std::string_view nameOf(const std::array<std::pair<E, std::string_view>, N>& table,
                        E value) noexcept {
    for (const auto& [candidate, text] : table) {
        if (candidate == value) {
            return text;
        }
    }
    return {};
}

constexpr std::array<std::pair<MessageType, std::string_view>, 13> kMessageTypes{{
    {MessageType::hello, "hello"},
    {MessageType::capabilities, "capabilities"},
    {MessageType::toolState, "tool_state"},
    {MessageType::clear, "clear"},
    {MessageType::undo, "undo"},
    {MessageType::redo, "redo"},
    {MessageType::slideChanged, "slide_changed"},
    {MessageType::ping, "ping"},
    {MessageType::pong, "pong"},
    {MessageType::end, "end"},
    {MessageType::stroke, "stroke"},
    {MessageType::displays, "displays"},
    {MessageType::selectDisplay, "select_display"},
}};

constexpr std::array<std::pair<PeerRole, std::string_view>, 2> kPeerRoles{{
    {PeerRole::mac, "mac"},
    {PeerRole::ipad, "ipad"},
}};

constexpr std::array<std::pair<StrokeOp, std::string_view>, 3> kStrokeOps{{
    {StrokeOp::begin, "begin"},
    {StrokeOp::append, "append"},
    {StrokeOp::end, "end"},
}};

constexpr std::array<std::pair<SessionEndReason, std::string_view>, 4> kEndReasons{{
    {SessionEndReason::userEnded, "user_ended"},
    {SessionEndReason::timeout, "timeout"},
    {SessionEndReason::replaced, "replaced"},
    {SessionEndReason::error, "error"},
}};

constexpr std::array<std::pair<CaptureStatus, std::string_view>, 4> kCaptureStatuses{{
    {CaptureStatus::starting, "starting"},
    {CaptureStatus::streaming, "streaming"},
    {CaptureStatus::permissionRequired, "permission_required"},
    {CaptureStatus::failed, "failed"},
}};

}  // namespace

std::string_view rawValue(MessageType value) noexcept {
    return nameOf(kMessageTypes, value);
}
std::string_view rawValue(PeerRole value) noexcept {
    return nameOf(kPeerRoles, value);
}
std::string_view rawValue(StrokeOp value) noexcept {
    return nameOf(kStrokeOps, value);
}
std::string_view rawValue(SessionEndReason value) noexcept {
    return nameOf(kEndReasons, value);
}
std::string_view rawValue(CaptureStatus value) noexcept {
    return nameOf(kCaptureStatuses, value);
}

std::optional<MessageType> messageTypeFromRaw(std::string_view raw) noexcept {
    return lookup(kMessageTypes, raw);
}
std::optional<PeerRole> peerRoleFromRaw(std::string_view raw) noexcept {
    return lookup(kPeerRoles, raw);
}
std::optional<StrokeOp> strokeOpFromRaw(std::string_view raw) noexcept {
    return lookup(kStrokeOps, raw);
}
std::optional<SessionEndReason> sessionEndReasonFromRaw(std::string_view raw) noexcept {
    return lookup(kEndReasons, raw);
}
std::optional<CaptureStatus> captureStatusFromRaw(std::string_view raw) noexcept {
    return lookup(kCaptureStatuses, raw);
}

MessageType SessionMessage::type() const noexcept {
    return std::visit([](const auto& message) { return std::decay_t<decltype(message)>::kType; },
                      payload);
}

}  // namespace velurio
