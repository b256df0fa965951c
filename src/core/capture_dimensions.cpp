#include "core/capture_dimensions.h"

#include <algorithm>
#include <cmath>

namespace velurio {

namespace {

// Truncated toward zero, rounded down to even, at least 2. `value` is positive and finite.
std::int64_t evenSide(double value) noexcept {
    constexpr double kLimit = 9.0e18;
    const auto truncated = static_cast<std::int64_t>(std::min(std::trunc(value), kLimit));
    return std::max<std::int64_t>(2, truncated - truncated % 2);
}

}  // namespace

CaptureDimensions CaptureDimensions::forDisplay(std::int64_t displayWidth,
                                                std::int64_t displayHeight) noexcept {
    const double w = static_cast<double>(std::max<std::int64_t>(displayWidth, 1));
    const double h = static_cast<double>(std::max<std::int64_t>(displayHeight, 1));
    const double scale = std::min(1920.0 / w, 1.0);
    return {evenSide(w * scale), evenSide(h * scale)};
}

}  // namespace velurio
