// Feeds the same bytes to one parser whole and to another in chunks whose sizes come from the
// input itself: both must yield the same frames and keep the same pending bytes.
#include "protocol/wire_framing.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    // The first byte seeds the chunk sizes; the rest is the stream.
    std::uint32_t state = data[0] * 2654435761u + 1;
    const std::span<const std::uint8_t> stream(data + 1, size - 1);

    velurio::WireFrameParser whole;
    const auto expected = whole.ingest(stream);

    velurio::WireFrameParser chunked;
    std::vector<velurio::WireFrame> got;
    for (std::size_t offset = 0; offset < stream.size();) {
        state = state * 1103515245u + 12345u;
        const std::size_t length =
            std::min<std::size_t>(stream.size() - offset, (state >> 16) % 64);
        for (auto& frame : chunked.ingest(stream.subspan(offset, length)))
            got.push_back(std::move(frame));
        offset += length;
    }
    // A framing error drops the buffer, so chunking can only matter when one happened; without
    // one (every header valid), results must agree exactly.
    bool valid = true;
    for (std::size_t offset = 0; offset + 5 <= stream.size();) {
        const std::uint32_t length = static_cast<std::uint32_t>(stream[offset + 1]) |
                                     static_cast<std::uint32_t>(stream[offset + 2]) << 8 |
                                     static_cast<std::uint32_t>(stream[offset + 3]) << 16 |
                                     static_cast<std::uint32_t>(stream[offset + 4]) << 24;
        if (stream[offset] > 3 || length > velurio::WireFraming::maxPayloadBytes) {
            valid = false;
            break;
        }
        offset += 5 + length;
    }
    if (valid) {
        if (got != expected)
            std::abort();
        const auto a = whole.buffer();
        const auto b = chunked.buffer();
        if (a.size() != b.size() ||
            (a.size() != 0 && std::memcmp(a.data(), b.data(), a.size()) != 0))
            std::abort();
    }
    for (const auto& frame : got) {
        if (frame.payload.size() > velurio::WireFraming::maxPayloadBytes)
            std::abort();
    }
    return 0;
}
