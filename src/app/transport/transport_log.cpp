#include "app/transport/transport_log.h"

namespace velurio {

Q_LOGGING_CATEGORY(lcTransportServer, "velurio.transport.server")
Q_LOGGING_CATEGORY(lcTransportPeer, "velurio.transport.peer")
Q_LOGGING_CATEGORY(lcTransportUSB, "velurio.transport.usb")

}  // namespace velurio
