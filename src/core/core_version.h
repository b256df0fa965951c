#pragma once

#include <string_view>

namespace velurio {
std::string_view coreVersion() noexcept;
}  // namespace velurio
