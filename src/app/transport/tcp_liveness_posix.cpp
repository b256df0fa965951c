// Systems without TCP_USER_TIMEOUT (a Mac has TCP_RXT_CONNDROPTIME and TCP_KEEPALIVE instead,
// for a backend of its own): keep-alive only, with the system's own probe timing.
#include "app/transport/tcp_liveness.h"
#include "app/transport/transport_log.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velurio {

TcpLiveness TcpLiveness::forUserTimeout(std::chrono::milliseconds userTimeout) {
    TcpLiveness liveness;
    liveness.userTimeout = userTimeout;
    return liveness;
}

bool applyTcpLiveness(qintptr descriptor, const TcpLiveness&) {
    const int on = 1;
    if (::setsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
        qCWarning(lcTransportServer)
            << "cannot set SO_KEEPALIVE on an accepted connection:" << std::strerror(errno);
        return false;
    }
    qCDebug(lcTransportServer) << "no user timeout on this system; keep-alive only";
    return true;
}

}  // namespace velurio
