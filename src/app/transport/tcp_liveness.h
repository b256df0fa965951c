// How long the system keeps an accepted TCP control connection whose tablet has left the
// network. Without these options a vanished peer stays "connected" for about fifteen minutes of
// retransmissions (or for ever when nothing is sent), which holds back everything that waits
// for the connection to end.
//
// The user timeout (TCP_USER_TIMEOUT on Linux) drops the connection once sent data has gone
// unacknowledged that long; keep-alive probes make an idle connection send something, so the
// same bound applies when neither side has anything to say.
//
// Threads: any; the functions touch only the descriptor they are given.
#pragma once

#include <QtGlobal>

#include <chrono>

namespace velurio {

struct TcpLiveness {
    std::chrono::milliseconds userTimeout{0};
    std::chrono::seconds keepAliveIdle{0};      // silence before the first probe
    std::chrono::seconds keepAliveInterval{0};  // between probes
    int keepAliveProbes = 0;                    // unanswered probes before the end

    // Probes that fit inside the user timeout: kProbes of them, the first after the rest of the
    // timeout has passed in silence, so that a silent peer is dropped after about userTimeout.
    // The system counts probe times in whole seconds, at least one.
    static constexpr int kProbes = 4;
    static TcpLiveness forUserTimeout(std::chrono::milliseconds userTimeout);
};

// Sets keep-alive and the user timeout on a connected TCP socket. False when the system refused
// one of them (the socket is usable all the same; the reason is logged).
bool applyTcpLiveness(qintptr descriptor, const TcpLiveness& liveness);

}  // namespace velurio
