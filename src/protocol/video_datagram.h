// Video datagrams: an encoded frame cut into pieces with a 20-byte little-endian header
// (version, flags, fragment index, fragment count, sequence, pts, payload length).
#pragma once

#include "protocol/result.h"
#include "protocol/wire_framing.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velurio {

struct VideoFrameHeader {
    static constexpr std::size_t byteCount = 20;
    static constexpr std::uint8_t version = 1;

    std::uint32_t sequence = 0;
    std::uint64_t pts = 0;
    bool isKeyframe = false;
    std::uint16_t fragmentIndex = 0;
    std::uint16_t fragmentCount = 1;
    std::uint16_t payloadLength = 0;

    bool operator==(const VideoFrameHeader&) const = default;

    std::array<std::uint8_t, byteCount> serialized() const noexcept;
    void appendTo(Bytes& out) const;

    // Reads the first 20 bytes; nothing when fewer than 20, version is not 1, or
    // fragmentIndex >= fragmentCount. The payload length is not checked against the data.
    static std::optional<VideoFrameHeader> parse(std::span<const std::uint8_t> data) noexcept;

    enum class CutError : std::uint8_t { maxPayloadOutOfRange, frameTooLarge };
    // Cuts one encoded frame into datagrams in fragment order. maxPayload must be 1...65535
    // and the frame must fit in 65,535 fragments; otherwise nothing is produced.
    static Result<std::vector<Bytes>, CutError> datagrams(std::uint32_t sequence, std::uint64_t pts,
                                                          bool isKeyframe,
                                                          std::span<const std::uint8_t> payload,
                                                          std::size_t maxPayload);
};

namespace VideoControlDatagram {
// The 16 ASCII bytes "velurio-video-v1", sent by the tablet on its video connection.
inline constexpr std::array<std::uint8_t, 16> keepalive = {'v', 'e', 'l', 'u', 'r', 'i', 'o', '-',
                                                           'v', 'i', 'd', 'e', 'o', '-', 'v', '1'};
}  // namespace VideoControlDatagram

}  // namespace velurio
