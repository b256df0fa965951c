#include "app/shell/global_shortcuts.h"
#include "platform/x11/x11_hot_key_backend.h"

namespace velurio {

std::unique_ptr<HotKeyBackend> makePlatformHotKeyBackend() {
    return std::make_unique<X11HotKeyBackend>();
}

}  // namespace velurio
