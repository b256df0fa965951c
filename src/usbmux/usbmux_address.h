// Where the usbmuxd service listens: a Unix-domain socket path (by default "/var/run/usbmuxd")
// or a TCP host and port.
//
// The environment variable USBMUXD_SOCKET_ADDRESS overrides the default, read as the system's
// own usbmuxd library reads it: "UNIX:<path>" is a socket path; anything else is "<host>:<port>"
// split at its last colon, the host optionally in brackets ("[::1]:27015"), the port a decimal
// number from 1 to 65535. A value that fits neither form (an empty path, no port, a port out of
// range, an empty host) is ignored and the default is used.
//
// Plain value; any thread (fromEnvironment reads the environment, which must not be changed
// concurrently).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velurio {

struct USBMuxAddress {
    enum class Kind : std::uint8_t { unixSocket, tcp };

    static constexpr const char* kDefaultSocketPath = "/var/run/usbmuxd";
    static constexpr const char* kEnvironmentVariable = "USBMUXD_SOCKET_ADDRESS";

    Kind kind = Kind::unixSocket;
    std::string path = kDefaultSocketPath;  // unixSocket
    std::string host;                       // tcp: a name or a numeric address, no brackets
    std::uint16_t port = 0;                 // tcp

    static USBMuxAddress unixSocket(std::string path);
    static USBMuxAddress tcp(std::string host, std::uint16_t port);
    // The address a USBMUXD_SOCKET_ADDRESS value names, or the default (see above).
    static USBMuxAddress parse(std::string_view text);
    // parse() of the variable when it is set, the default otherwise.
    static USBMuxAddress fromEnvironment();

    // "UNIX:/var/run/usbmuxd" or "host:port" ("[::1]:27015"), for logs; parse() reads it back.
    std::string toString() const;

    bool operator==(const USBMuxAddress&) const = default;
};

}  // namespace velurio
