// The remote end of a connection: a host and a port.
//
// Threads and lifetime: a plain value.
#pragma once

#include <QHostAddress>

namespace velurio {

struct RemoteEndpoint {
    QHostAddress host;
    quint16 port = 0;
};

}  // namespace velurio
