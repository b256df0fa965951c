// Linux: SO_KEEPALIVE with TCP_KEEPIDLE, TCP_KEEPINTVL and TCP_KEEPCNT, and TCP_USER_TIMEOUT
// (which also bounds the keep-alive probing).
#include "app/transport/tcp_liveness.h"
#include "app/transport/transport_log.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace velurio {

TcpLiveness TcpLiveness::forUserTimeout(std::chrono::milliseconds userTimeout) {
    using std::chrono::seconds;
    const auto whole = std::chrono::duration_cast<seconds>(userTimeout);
    TcpLiveness liveness;
    liveness.userTimeout = userTimeout;
    liveness.keepAliveProbes = kProbes;
    liveness.keepAliveInterval = std::max(seconds(1), whole / (2 * kProbes));
    liveness.keepAliveIdle = std::max(seconds(1), whole - kProbes * liveness.keepAliveInterval);
    return liveness;
}

namespace {

bool setOption(int descriptor, int level, int name, int value, const char* what) {
    if (::setsockopt(descriptor, level, name, &value, sizeof value) == 0) {
        return true;
    }
    qCWarning(lcTransportServer) << "cannot set" << what
                                 << "on an accepted connection:" << std::strerror(errno);
    return false;
}

}  // namespace

bool applyTcpLiveness(qintptr descriptor, const TcpLiveness& liveness) {
    const int fd = static_cast<int>(descriptor);
    const auto clampInt = [](long long value) {
        return static_cast<int>(std::clamp<long long>(value, 1, 0x7FFFFFFF));
    };
    bool ok = setOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1, "SO_KEEPALIVE");
    ok = setOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, clampInt(liveness.keepAliveIdle.count()),
                   "TCP_KEEPIDLE") &&
         ok;
    ok = setOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, clampInt(liveness.keepAliveInterval.count()),
                   "TCP_KEEPINTVL") &&
         ok;
    ok = setOption(fd, IPPROTO_TCP, TCP_KEEPCNT, clampInt(liveness.keepAliveProbes),
                   "TCP_KEEPCNT") &&
         ok;
    ok = setOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, clampInt(liveness.userTimeout.count()),
                   "TCP_USER_TIMEOUT") &&
         ok;
    return ok;
}

}  // namespace velurio
