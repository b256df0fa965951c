#include "protocol/video_datagram.h"

#include <algorithm>

namespace velurio {

namespace {

template <class T>
void putLE(std::uint8_t* out, T value) noexcept {
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

template <class T>
T getLE(const std::uint8_t* in) noexcept {
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        value = static_cast<T>(value | static_cast<T>(static_cast<T>(in[i]) << (8 * i)));
    }
    return value;
}

}  // namespace

std::array<std::uint8_t, VideoFrameHeader::byteCount> VideoFrameHeader::serialized()
    const noexcept {
    std::array<std::uint8_t, byteCount> out{};
    out[0] = version;
    out[1] = isKeyframe ? 1 : 0;
    putLE(&out[2], fragmentIndex);
    putLE(&out[4], fragmentCount);
    putLE(&out[6], sequence);
    putLE(&out[10], pts);
    putLE(&out[18], payloadLength);
    return out;
}

void VideoFrameHeader::appendTo(Bytes& out) const {
    const auto header = serialized();
    out.insert(out.end(), header.begin(), header.end());
}

std::optional<VideoFrameHeader> VideoFrameHeader::parse(
    std::span<const std::uint8_t> data) noexcept {
    if (data.size() < byteCount || data[0] != version) {
        return std::nullopt;
    }
    const std::uint8_t* p = data.data();
    VideoFrameHeader header;
    header.isKeyframe = (p[1] & 0x01) != 0;
    header.fragmentIndex = getLE<std::uint16_t>(p + 2);
    header.fragmentCount = getLE<std::uint16_t>(p + 4);
    header.sequence = getLE<std::uint32_t>(p + 6);
    header.pts = getLE<std::uint64_t>(p + 10);
    header.payloadLength = getLE<std::uint16_t>(p + 18);
    if (header.fragmentIndex >= header.fragmentCount) {
        return std::nullopt;
    }
    return header;
}

Result<std::vector<Bytes>, VideoFrameHeader::CutError> VideoFrameHeader::datagrams(
    std::uint32_t sequence, std::uint64_t pts, bool isKeyframe,
    std::span<const std::uint8_t> payload, std::size_t maxPayload) {
    if (maxPayload < 1 || maxPayload > 65535) {
        return fail(CutError::maxPayloadOutOfRange);
    }
    const std::size_t count =
        std::max<std::size_t>(1, (payload.size() + maxPayload - 1) / maxPayload);
    if (count > 65535) {
        return fail(CutError::frameTooLarge);
    }
    std::vector<Bytes> out;
    out.reserve(count);
    VideoFrameHeader header;
    header.sequence = sequence;
    header.pts = pts;
    header.isKeyframe = isKeyframe;
    header.fragmentCount = static_cast<std::uint16_t>(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t offset = i * maxPayload;
        const std::size_t length = std::min(maxPayload, payload.size() - offset);
        header.fragmentIndex = static_cast<std::uint16_t>(i);
        header.payloadLength = static_cast<std::uint16_t>(length);
        Bytes datagram;
        datagram.reserve(byteCount + length);
        header.appendTo(datagram);
        datagram.insert(datagram.end(), payload.begin() + static_cast<std::ptrdiff_t>(offset),
                        payload.begin() + static_cast<std::ptrdiff_t>(offset + length));
        out.push_back(std::move(datagram));
    }
    return out;
}

}  // namespace velurio
