// Decodes arbitrary bytes as a message. Whatever decodes must re-encode to a text that decodes
// to an equal message and re-encodes to the same bytes (the canonical form is a fixed point).
#include "protocol/canonical_json.h"
#include "protocol/message_codec.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace {
bool hasNonFinite(const velurio::SessionMessage& message) {
    const auto* stroke = message.get<velurio::StrokeMessage>();
    if (stroke == nullptr)
        return false;
    for (const auto& p : stroke->pts) {
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.pressure) ||
            !std::isfinite(p.tilt)) {
            return true;
        }
    }
    return false;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto decoded = velurio::MessageCodec::decode(std::span<const std::uint8_t>(data, size));
    if (!decoded) {
        if (decoded.error().description.empty())
            std::abort();
        return 0;
    }
    if (hasNonFinite(*decoded))
        std::abort();  // the decoder never yields NaN or infinity
    const std::string text = decoded->canonicalJSON();
    auto again = velurio::MessageCodec::decode(text);
    if (!again || !(*again == *decoded) || again->canonicalJSON() != text)
        std::abort();
    return 0;
}
