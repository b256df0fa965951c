// Framing of channel-tagged payloads on one byte stream.
//
// A frame is 1 byte channel, 4 bytes little-endian payload length (at most 1 MiB), then the
// payload. A bad header drops everything buffered and parsing starts afresh with the next bytes.
#pragma once

#include "protocol/result.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace velurio {

enum class WireChannel : std::uint8_t { control = 0, ink = 1, video = 2, usbDiscovery = 3 };
inline constexpr WireChannel kAllWireChannels[] = {WireChannel::control, WireChannel::ink,
                                                   WireChannel::video, WireChannel::usbDiscovery};
std::optional<WireChannel> wireChannelFromRaw(std::uint8_t raw) noexcept;

using Bytes = std::vector<std::uint8_t>;

namespace USBTransportConfiguration {
inline constexpr std::uint16_t listenerPort = 49271;
inline constexpr double offerLifetimeSeconds = 90.0;
}  // namespace USBTransportConfiguration

enum class FramingError : std::uint8_t { payloadTooLarge };

namespace WireFraming {
inline constexpr std::size_t headerByteCount = 5;
inline constexpr std::size_t maxPayloadBytes = 1'048'576;

// Header then payload, in one pre-sized buffer. A payload above maxPayloadBytes is refused
// with payloadTooLarge and nothing is produced.
Result<Bytes, FramingError> frame(std::span<const std::uint8_t> payload, WireChannel channel);
// Appends the frame to `out` (for batching many frames into one send); false, and `out`
// unchanged, when the payload is too large.
bool appendFrame(Bytes& out, std::span<const std::uint8_t> payload, WireChannel channel);
}  // namespace WireFraming

struct WireFrame {
    WireChannel channel;
    Bytes payload;
    bool operator==(const WireFrame&) const = default;
};

// Incremental parser; one per connection, used from that connection's receive path only.
// Within one call consumed frames only advance an offset; the unconsumed tail is moved to the
// front once at the end, so a burst of many small frames costs linear time. Between calls the
// buffer holds at most one partial frame.
class WireFrameParser {
  public:
    // Every frame completed by `bytes`, in stream order (copies that outlive the parser).
    std::vector<WireFrame> ingest(std::span<const std::uint8_t> bytes);

    // Bytes received and not yet consumed.
    std::span<const std::uint8_t> buffer() const noexcept { return m_buffer; }

  private:
    Bytes m_buffer;
};

}  // namespace velurio
