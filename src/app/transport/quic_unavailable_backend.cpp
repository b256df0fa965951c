// The QUIC backend of builds without the QUIC engine: every listener is unavailable.
#include "app/transport/quic_listeners.h"

namespace velurio {

std::unique_ptr<QUICBackend> makePlatformQUICBackend(const QHostAddress&) {
    return std::make_unique<UnavailableQUICBackend>();
}

}  // namespace velurio
