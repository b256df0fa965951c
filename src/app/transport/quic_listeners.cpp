// Home of the QUIC listener interfaces' meta-objects.
#include "app/transport/quic_listeners.h"

#include "moc_quic_listeners.cpp"  // NOLINT: the interfaces have no source of their own
