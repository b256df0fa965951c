// Parses arbitrary bytes as a video datagram header; a parsed header must serialise back to
// the same 20 bytes, apart from the ignored flag bits.
#include "protocol/video_datagram.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto header = velurio::VideoFrameHeader::parse({data, size});
    if (!header)
        return 0;
    if (size < 20 || header->fragmentIndex >= header->fragmentCount)
        std::abort();
    auto bytes = header->serialized();
    std::uint8_t original[20];
    std::memcpy(original, data, 20);
    original[1] &= 1;
    if (std::memcmp(bytes.data(), original, 20) != 0)
        std::abort();
    // Cutting a payload of the stated length yields parseable datagrams too.
    const std::size_t payload = header->payloadLength % 4096;
    auto cut =
        velurio::VideoFrameHeader::datagrams(header->sequence, header->pts, header->isKeyframe,
                                             std::vector<std::uint8_t>(payload), 1 + size % 1500);
    if (!cut)
        std::abort();
    for (const auto& datagram : *cut) {
        if (!velurio::VideoFrameHeader::parse(datagram))
            std::abort();
    }
    return 0;
}
