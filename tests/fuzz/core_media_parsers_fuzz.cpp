// The core's media-side parsers: Annex B and length-prefixed NAL walks (encoder output), the
// latency summary record, and the slide hash over arbitrary image views. The first byte picks
// the parser; the rest is its input. Every result is checked for internal consistency.
#include "core/annex_b.h"
#include "core/latency_tracker.h"
#include "core/slide_hasher.h"

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>

namespace {

using namespace velurio;

void check(bool condition) {
    if (!condition)
        std::abort();
}

bool within(std::span<const std::uint8_t> part, std::span<const std::uint8_t> whole) {
    return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::uint8_t selector = data[0];
    const std::span<const std::uint8_t> input(data + 1, size - 1);
    switch (selector % 4) {
        case 0: {
            const int lengthSize = 1 + (selector >> 2) % 4;
            const auto units = AnnexB::splitLengthPrefixed(input, lengthSize);
            std::size_t total = 0;
            for (const auto& unit : units) {
                check(!unit.empty() && within(unit, input));
                total += unit.size() + static_cast<std::size_t>(lengthSize);
            }
            check(total <= input.size());
            const bool key = (selector & 0x80) != 0;
            const auto frame = AnnexB::assembleFrame(input, units, key, lengthSize);
            check(frame.size() ==
                  (key ? 2 : 1) * (total - units.size() * static_cast<std::size_t>(lengthSize)) +
                      (key ? 2 : 1) * units.size() * 4);
            break;
        }
        case 1: {
            const auto units = AnnexB::splitAnnexB(input);
            for (const auto& unit : units)
                check(!unit.empty() && within(unit, input));
            const auto syntax =
                (selector & 0x10) ? AnnexB::NalSyntax::hevc : AnnexB::NalSyntax::h264;
            const auto frame = AnnexB::normalizeFrame(input, {}, (selector & 0x80) != 0, syntax);
            check(AnnexB::normalizeFrame(frame, {}, false, syntax) == frame);  // idempotent
            break;
        }
        case 2: {
            const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
            auto summary = LatencySummary::fromJSON(text);
            if (summary.ok()) {
                auto back = LatencySummary::fromJSON(summary->toJSON());
                check(back.ok() && back->samples == summary->samples);
            }
            break;
        }
        default: {
            if (input.size() < 4)
                break;
            const int width = 1 + input[0] % 80;
            const int height = 1 + input[1] % 80;
            const std::size_t stride = static_cast<std::size_t>(width) * 4 + input[2] % 16;
            const BGRAImageView view{input.subspan(3), width, height, stride};
            auto luma = SlideSampler::downsampleToLuma(view);
            check(luma.has_value() == view.isValid());
            if (luma)
                check(SlideHasher::averageHash(*luma, 64, 64).has_value());
            (void)SlideHasher::averageHash(input.subspan(3), width, height);
            (void)SlideHasher::averageHashRGBA(input.subspan(3), width, height);
            break;
        }
    }
    return 0;
}
