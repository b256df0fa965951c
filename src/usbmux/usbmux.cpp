#include "usbmux/usbmux.h"

#include <cerrno>
#include <string>

namespace velurio::USBMux {

Result<std::vector<std::uint32_t>, USBMuxError> usbDevices(const USBMuxAddress& address) {
    auto socket = USBMuxSocket::open(address);
    if (!socket)
        return fail(std::move(socket).error());
    auto reply = (*socket)->request(listDevicesRequest());
    (*socket)->shutdown();
    if (!reply)
        return fail(std::move(reply).error());
    return usbDeviceIDs(reply->get());
}

Result<std::unique_ptr<USBMuxSocket>, USBMuxError> connect(std::uint32_t deviceID,
                                                           std::uint16_t port,
                                                           const USBMuxAddress& address) {
    auto socket = USBMuxSocket::open(address);
    if (!socket)
        return fail(std::move(socket).error());
    auto reply = (*socket)->request(connectRequest(deviceID, port));
    if (!reply) {
        (*socket)->shutdown();
        return fail(std::move(reply).error());
    }
    const auto number = resultNumber(reply->get());
    if (number != kResultOK) {
        (*socket)->shutdown();
        USBMuxError error = USBMuxError::posix(
            ECONNREFUSED, "device " + std::to_string(deviceID) + " port " + std::to_string(port) +
                              " refused (result " +
                              (number ? std::to_string(*number) : std::string("missing")) + ")");
        error.muxResult = number;
        return fail(std::move(error));
    }
    if (auto cleared = (*socket)->setTimeouts(std::chrono::milliseconds(0)); !cleared) {
        (*socket)->shutdown();
        return fail(cleared.error());
    }
    return std::move(socket).value();
}

}  // namespace velurio::USBMux
