#include "protocol/wire_framing.h"

#include <cstring>

namespace velurio {

std::optional<WireChannel> wireChannelFromRaw(std::uint8_t raw) noexcept {
    if (raw > static_cast<std::uint8_t>(WireChannel::usbDiscovery)) {
        return std::nullopt;
    }
    return static_cast<WireChannel>(raw);
}

namespace WireFraming {

bool appendFrame(Bytes& out, std::span<const std::uint8_t> payload, WireChannel channel) {
    if (payload.size() > maxPayloadBytes) {
        return false;
    }
    const auto length = static_cast<std::uint32_t>(payload.size());
    const std::uint8_t header[headerByteCount] = {
        static_cast<std::uint8_t>(channel),
        static_cast<std::uint8_t>(length & 0xFFu),
        static_cast<std::uint8_t>((length >> 8) & 0xFFu),
        static_cast<std::uint8_t>((length >> 16) & 0xFFu),
        static_cast<std::uint8_t>((length >> 24) & 0xFFu),
    };
    out.insert(out.end(), header, header + headerByteCount);
    out.insert(out.end(), payload.begin(), payload.end());
    return true;
}

Result<Bytes, FramingError> frame(std::span<const std::uint8_t> payload, WireChannel channel) {
    if (payload.size() > maxPayloadBytes) {
        return fail(FramingError::payloadTooLarge);
    }
    Bytes out;
    out.reserve(headerByteCount + payload.size());
    appendFrame(out, payload, channel);
    return out;
}

}  // namespace WireFraming

std::vector<WireFrame> WireFrameParser::ingest(std::span<const std::uint8_t> bytes) {
    std::vector<WireFrame> frames;
    if (bytes.empty()) {
        return frames;
    }
    m_buffer.insert(m_buffer.end(), bytes.begin(), bytes.end());

    const std::uint8_t* data = m_buffer.data();
    std::size_t start = 0;
    const std::size_t end = m_buffer.size();
    while (end - start >= WireFraming::headerByteCount) {
        const auto channel = wireChannelFromRaw(data[start]);
        const std::uint32_t length = static_cast<std::uint32_t>(data[start + 1]) |
                                     static_cast<std::uint32_t>(data[start + 2]) << 8 |
                                     static_cast<std::uint32_t>(data[start + 3]) << 16 |
                                     static_cast<std::uint32_t>(data[start + 4]) << 24;
        if (!channel || length > WireFraming::maxPayloadBytes) {
            // Framing error: everything buffered is dropped; the next bytes start afresh.
            m_buffer.clear();
            return frames;
        }
        if (end - start - WireFraming::headerByteCount < length) {
            break;  // wait for the rest of this frame
        }
        const std::uint8_t* payload = data + start + WireFraming::headerByteCount;
        frames.push_back(WireFrame{*channel, Bytes(payload, payload + length)});
        start += WireFraming::headerByteCount + length;
    }

    // Compact once per call: consumed bytes go, the partial frame moves to the front.
    if (start > 0) {
        std::memmove(m_buffer.data(), m_buffer.data() + start, end - start);
        m_buffer.resize(end - start);
    }
    return frames;
}

}  // namespace velurio
