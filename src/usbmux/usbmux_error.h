// The one error type of the usbmuxd client.
//
// `code` is a POSIX error (std::generic_category, Linux errno values) for every failure of the
// socket or the protocol, or PlistError::notPropertyList (plistErrorCategory) when a payload
// is not a property list at all. Which code means what:
//
//   EMFILE        the socket cannot be created
//   ENAMETOOLONG  the Unix socket path does not fit a socket address (EINVAL: it holds a NUL)
//   ECONNREFUSED  usbmuxd cannot be reached, or it refused a Connect; `muxResult` then holds
//                 the reply's "Number" when the reply had one (2: no such device, 3: the device
//                 refused the port)
//   EPIPE         a write failed or wrote nothing
//   EIO           a read failed, a receive timeout included
//   ECONNRESET    the stream ended before a whole message arrived
//   EPROTO        a header is malformed (length, version 1, type 8), a payload is a property
//                 list other than a dictionary, or a message would not fit the format
//
// Plain value; copy freely, any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

namespace velurio {

enum class PlistError { notPropertyList = 1 };
const std::error_category& plistErrorCategory() noexcept;
std::error_code make_error_code(PlistError error) noexcept;

struct USBMuxError {
    std::error_code code;
    // What failed, for the log (with the failing system call's own error text, if any).
    std::string detail;
    std::optional<std::int64_t> muxResult;

    // An error with a POSIX code (an errno value such as ECONNREFUSED).
    static USBMuxError posix(int errnoValue, std::string detail);

    // True when `code` is the POSIX error `errnoValue`.
    bool is(int errnoValue) const noexcept;
    // "<code's message>: <detail>", for the log.
    std::string message() const;
};

}  // namespace velurio

template <>
struct std::is_error_code_enum<velurio::PlistError> : std::true_type {};
