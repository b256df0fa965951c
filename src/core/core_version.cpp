// The core library's version, also a translation unit that keeps the library non-empty.
#include "core/core_version.h"

namespace velurio {
std::string_view coreVersion() noexcept {
    return "0.1.0";
}
}  // namespace velurio
