// The usbmuxd wire format, without any I/O: bytes in, messages or errors out.
//
// Every message, in both directions, is a 16-byte header of four little-endian unsigned 32-bit
// integers (total length with the header, protocol version 1, message type 8 = property list,
// tag) followed by an XML property list whose top level is a dictionary. Replies carry the tag
// of their request; notifications after "Listen" carry tag 0.
//
// Pure functions of their arguments; safe from any thread. Nothing here throws.
#pragma once

#include "protocol/result.h"
#include "usbmux/plist.h"
#include "usbmux/usbmux_error.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velurio {

struct USBMuxHeader {
    std::uint32_t length = 0;  // whole message, header included
    std::uint32_t version = 0;
    std::uint32_t messageType = 0;
    std::uint32_t tag = 0;
    bool operator==(const USBMuxHeader&) const = default;
};

struct USBMuxMessage {
    USBMuxHeader header;
    Plist dictionary;  // never null
};

namespace USBMux {

inline constexpr std::size_t kHeaderByteCount = 16;
inline constexpr std::uint32_t kProtocolVersion = 1;
inline constexpr std::uint32_t kPlistMessageType = 8;
inline constexpr std::uint32_t kRequestTag = 1;
// Largest payload a reply may carry (the total length is at most 0xFFFF0 + 16).
inline constexpr std::uint32_t kMaxPayloadByteCount = 0xFFFF0;

inline constexpr const char* kClientName = "Velurio";
inline constexpr std::uint64_t kLibUSBMuxVersion = 3;

// "Number" of a "Result" message.
inline constexpr std::int64_t kResultOK = 0;
inline constexpr std::int64_t kResultBadCommand = 1;
inline constexpr std::int64_t kResultBadDevice = 2;
inline constexpr std::int64_t kResultConnectionRefused = 3;

std::array<std::uint8_t, kHeaderByteCount> encodeHeader(const USBMuxHeader& header);

// Reads a header from the first 16 bytes (ECONNRESET when fewer are given). EPROTO unless the
// total length minus 16 lies in 0...kMaxPayloadByteCount, the version is 1 and the type is 8.
// The tag is not checked.
Result<USBMuxHeader, USBMuxError> decodeHeader(std::span<const std::uint8_t> bytes);

// A payload as a dictionary: PlistError::notPropertyList when it is not an XML property list
// (an empty payload is not one), EPROTO when it is one but not a dictionary.
Result<Plist, USBMuxError> decodePayload(std::span<const std::uint8_t> payload);

// Exactly one whole message (header and payload, nothing after it): the header checks above,
// then ECONNRESET when fewer bytes than the header's length are given, EPROTO when more are,
// then the payload as decodePayload reads it.
Result<USBMuxMessage, USBMuxError> parseReply(std::span<const std::uint8_t> bytes);

// One message carrying `dictionary` (an XML property list) with the given tag. EPROTO when the
// node is not a dictionary or its text does not fit kMaxPayloadByteCount.
Result<std::vector<std::uint8_t>, USBMuxError> packet(plist_t dictionary, std::uint32_t tag);

// Adds "ClientVersionString" and "ProgName" ("Velurio") and "kLibUSBMuxVersion" (3), which
// every request carries.
void addClientKeys(plist_t dictionary);

// {"MessageType": "ListDevices"}.
Plist listDevicesRequest();
// {"MessageType": "Connect", "DeviceID": id, "PortNumber": the port's two bytes swapped}, that
// is the port in network byte order read as a little-endian integer (49271 is sent as 30656).
Plist connectRequest(std::uint32_t deviceID, std::uint16_t port);
// {"MessageType": "Listen"}: the connection then receives "Attached" and "Detached" messages.
Plist listenRequest();

// The port as "PortNumber" carries it, and back.
constexpr std::uint16_t swappedPort(std::uint16_t port) noexcept {
    return static_cast<std::uint16_t>((port >> 8) | (port << 8));
}

// Ids of the attached devices in a "ListDevices" reply whose "Properties" say "ConnectionType"
// = "USB" and whose own "DeviceID" is an integer that fits 32 bits, in reply order. A missing or
// malformed "DeviceList" is an empty list.
std::vector<std::uint32_t> usbDeviceIDs(plist_t reply);

// The "Number" of a "Result" reply when it is an integer; nullopt when missing or malformed.
std::optional<std::int64_t> resultNumber(plist_t reply);

}  // namespace USBMux
}  // namespace velurio
