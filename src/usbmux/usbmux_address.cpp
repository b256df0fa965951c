#include "usbmux/usbmux_address.h"

#include <cerrno>
#include <cstdlib>

namespace velurio {

USBMuxAddress USBMuxAddress::unixSocket(std::string path) {
    USBMuxAddress address;
    address.path = std::move(path);
    return address;
}

USBMuxAddress USBMuxAddress::tcp(std::string host, std::uint16_t port) {
    USBMuxAddress address;
    address.kind = Kind::tcp;
    address.path.clear();
    address.host = std::move(host);
    address.port = port;
    return address;
}

USBMuxAddress USBMuxAddress::parse(std::string_view text) {
    // Up to the first NUL, as a C string would read.
    text = text.substr(0, text.find('\0'));
    constexpr std::string_view kUnixPrefix = "UNIX:";
    if (text.substr(0, kUnixPrefix.size()) == kUnixPrefix) {
        if (text.size() > kUnixPrefix.size()) {
            return unixSocket(std::string(text.substr(kUnixPrefix.size())));
        }
        return {};
    }
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos)
        return {};
    // The port is read as strtol reads it (leading blanks and a sign are allowed), and must be
    // all of the rest of the text.
    const std::string portText(text.substr(colon + 1));
    char* end = nullptr;
    errno = 0;
    const long port = std::strtol(portText.c_str(), &end, 10);
    if (end == nullptr || *end != '\0' || errno == ERANGE || port <= 0 || port >= 65536) {
        return {};
    }
    std::string_view host = text.substr(0, colon);
    if (!host.empty() && host.front() == '[') {
        host.remove_prefix(1);
        const std::size_t close = host.rfind(']');
        if (close != std::string_view::npos)
            host = host.substr(0, close);
    }
    if (host.empty())
        return {};
    return tcp(std::string(host), static_cast<std::uint16_t>(port));
}

USBMuxAddress USBMuxAddress::fromEnvironment() {
    const char* value = std::getenv(kEnvironmentVariable);
    if (value == nullptr)
        return {};
    return parse(value);
}

std::string USBMuxAddress::toString() const {
    if (kind == Kind::unixSocket)
        return "UNIX:" + path;
    const bool bracket = host.find(':') != std::string::npos;
    return (bracket ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace velurio
