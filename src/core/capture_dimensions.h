// The size at which a display is captured: at most 1920 pixels wide (only downscaling, driven
// by the width), both sides even and at least 2.
#pragma once

#include <cstdint>

namespace velurio {

struct CaptureDimensions {
    std::int64_t width = 2;
    std::int64_t height = 2;

    // 2560×1440 → 1920×1080; 1512×982 unchanged; 3024×1964 → 1920×1246; 1×1 → 2×2.
    // Non-positive sides (never given by a real display) are taken as 1, giving 2.
    static CaptureDimensions forDisplay(std::int64_t displayWidth,
                                        std::int64_t displayHeight) noexcept;

    bool operator==(const CaptureDimensions&) const = default;
};

}  // namespace velurio
