// The two requests the USB connector makes of the usbmuxd service: which devices are attached
// over USB, and a stream to a TCP port on one of them.
//
// Both block their caller for up to a few seconds (each socket wait is bounded by the 3-second
// timeout): call them from a worker thread. Each call opens its own socket, so calls on
// different threads are independent. Errors are listed in usbmux/usbmux_error.h.
#pragma once

#include "protocol/result.h"
#include "usbmux/usbmux_address.h"
#include "usbmux/usbmux_error.h"
#include "usbmux/usbmux_protocol.h"
#include "usbmux/usbmux_socket.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace velurio::USBMux {

// The ids of the devices attached over USB (not over the network), in the service's order.
// The socket is shut down afterwards, also on failure.
Result<std::vector<std::uint32_t>, USBMuxError> usbDevices(
    const USBMuxAddress& address = USBMuxAddress::fromEnvironment());

// A socket whose byte stream now reaches TCP `port` on device `deviceID`, with no timeouts
// left on it. A refused connection (a "Number" other than 0, or none) is ECONNREFUSED with
// the reply's number in `muxResult`; the socket is then shut down.
Result<std::unique_ptr<USBMuxSocket>, USBMuxError> connect(
    std::uint32_t deviceID, std::uint16_t port,
    const USBMuxAddress& address = USBMuxAddress::fromEnvironment());

}  // namespace velurio::USBMux
