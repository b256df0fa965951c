// A captured BGRA image shared between the capture thread and the encoder.
//
// The encoder keeps the most recent image so that it can re-encode it as a key frame while the
// screen is still; sharing a reference instead of copying keeps that free. Whoever makes the
// buffer decides where the bytes live (a reused capture buffer can hand itself back to its pool
// in the deleter). The image must not change while any reference to it exists.
#pragma once

#include "core/slide_hasher.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace velurio {

using PixelBuffer = std::shared_ptr<const BGRAImageView>;

// A buffer that owns its bytes (tests, tools, and callers without a pool).
inline PixelBuffer makePixelBuffer(std::vector<std::uint8_t> bytes, int width, int height,
                                   std::size_t bytesPerRow) {
    struct Owned {
        std::vector<std::uint8_t> bytes;
        BGRAImageView view;
    };
    auto owned = std::make_shared<Owned>();
    owned->bytes = std::move(bytes);
    owned->view = BGRAImageView{owned->bytes, width, height, bytesPerRow};
    return PixelBuffer(owned, &owned->view);
}

}  // namespace velurio
