// The logging categories of the transport: the listeners and their accepting
// ("velurio.transport.server") and each tablet's stream ("velurio.transport.peer") and the USB
// connector
// ("velurio.transport.usb").
//
// Threads: any (QLoggingCategory is thread-safe). Lifetime: the categories live as long as the
// program.
#pragma once

#include <QLoggingCategory>

namespace velurio {

Q_DECLARE_LOGGING_CATEGORY(lcTransportServer)
Q_DECLARE_LOGGING_CATEGORY(lcTransportPeer)
Q_DECLARE_LOGGING_CATEGORY(lcTransportUSB)

}  // namespace velurio
