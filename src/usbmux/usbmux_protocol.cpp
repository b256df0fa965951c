#include "usbmux/usbmux_protocol.h"

#include <cerrno>
#include <limits>
#include <string>

namespace velurio::USBMux {

namespace {
void putLE32(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t getLE32(const std::uint8_t* in) {
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i) {
        value = (value << 8) | in[i];
    }
    return value;
}

Plist requestOf(const char* messageType) {
    Plist dict = PlistValue::dictionary();
    PlistValue::set(dict.get(), "MessageType", PlistValue::string(messageType));
    return dict;
}
}  // namespace

std::array<std::uint8_t, kHeaderByteCount> encodeHeader(const USBMuxHeader& header) {
    std::array<std::uint8_t, kHeaderByteCount> bytes{};
    putLE32(bytes.data(), header.length);
    putLE32(bytes.data() + 4, header.version);
    putLE32(bytes.data() + 8, header.messageType);
    putLE32(bytes.data() + 12, header.tag);
    return bytes;
}

Result<USBMuxHeader, USBMuxError> decodeHeader(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderByteCount) {
        return fail(USBMuxError::posix(ECONNRESET, "incomplete message header"));
    }
    USBMuxHeader header;
    header.length = getLE32(bytes.data());
    header.version = getLE32(bytes.data() + 4);
    header.messageType = getLE32(bytes.data() + 8);
    header.tag = getLE32(bytes.data() + 12);
    if (header.length < kHeaderByteCount ||
        header.length - kHeaderByteCount > kMaxPayloadByteCount) {
        return fail(USBMuxError::posix(
            EPROTO, "message length " + std::to_string(header.length) + " out of range"));
    }
    if (header.version != kProtocolVersion) {
        return fail(
            USBMuxError::posix(EPROTO, "protocol version " + std::to_string(header.version)));
    }
    if (header.messageType != kPlistMessageType) {
        return fail(
            USBMuxError::posix(EPROTO, "message type " + std::to_string(header.messageType)));
    }
    return header;
}

Result<Plist, USBMuxError> decodePayload(std::span<const std::uint8_t> payload) {
    Plist node = PlistValue::fromXML(payload);
    if (!node) {
        return fail(USBMuxError{make_error_code(PlistError::notPropertyList),
                                "payload of " + std::to_string(payload.size()) + " bytes",
                                std::nullopt});
    }
    if (!PlistValue::isDictionary(node.get())) {
        return fail(USBMuxError::posix(EPROTO, "payload is not a dictionary"));
    }
    return node;
}

Result<USBMuxMessage, USBMuxError> parseReply(std::span<const std::uint8_t> bytes) {
    auto header = decodeHeader(bytes);
    if (!header)
        return fail(std::move(header).error());
    if (bytes.size() < header->length) {
        return fail(USBMuxError::posix(ECONNRESET, "incomplete message payload"));
    }
    if (bytes.size() > header->length) {
        return fail(USBMuxError::posix(EPROTO, "bytes after the message"));
    }
    auto dictionary = decodePayload(bytes.subspan(kHeaderByteCount));
    if (!dictionary)
        return fail(std::move(dictionary).error());
    return USBMuxMessage{*header, std::move(dictionary).value()};
}

Result<std::vector<std::uint8_t>, USBMuxError> packet(plist_t dictionary, std::uint32_t tag) {
    if (!PlistValue::isDictionary(dictionary)) {
        return fail(USBMuxError::posix(EPROTO, "a message must be a dictionary"));
    }
    const std::string xml = PlistValue::toXML(dictionary);
    if (xml.empty() || xml.size() > kMaxPayloadByteCount) {
        return fail(USBMuxError::posix(
            EPROTO, "message payload of " + std::to_string(xml.size()) + " bytes"));
    }
    const USBMuxHeader header{static_cast<std::uint32_t>(xml.size() + kHeaderByteCount),
                              kProtocolVersion, kPlistMessageType, tag};
    std::vector<std::uint8_t> bytes;
    bytes.reserve(kHeaderByteCount + xml.size());
    const auto head = encodeHeader(header);
    bytes.insert(bytes.end(), head.begin(), head.end());
    bytes.insert(bytes.end(), xml.begin(), xml.end());
    return bytes;
}

void addClientKeys(plist_t dictionary) {
    PlistValue::set(dictionary, "ClientVersionString", PlistValue::string(kClientName));
    PlistValue::set(dictionary, "ProgName", PlistValue::string(kClientName));
    PlistValue::set(dictionary, "kLibUSBMuxVersion",
                    PlistValue::unsignedInteger(kLibUSBMuxVersion));
}

Plist listDevicesRequest() {
    return requestOf("ListDevices");
}

Plist listenRequest() {
    return requestOf("Listen");
}

Plist connectRequest(std::uint32_t deviceID, std::uint16_t port) {
    Plist dict = requestOf("Connect");
    PlistValue::set(dict.get(), "DeviceID", PlistValue::unsignedInteger(deviceID));
    PlistValue::set(dict.get(), "PortNumber", PlistValue::unsignedInteger(swappedPort(port)));
    return dict;
}

std::vector<std::uint32_t> usbDeviceIDs(plist_t reply) {
    std::vector<std::uint32_t> ids;
    plist_t list = PlistValue::arrayForKey(reply, "DeviceList");
    if (list == nullptr)
        return ids;
    const std::uint32_t count = plist_array_get_size(list);
    for (std::uint32_t i = 0; i < count; ++i) {
        plist_t entry = plist_array_get_item(list, i);
        plist_t properties = PlistValue::dictionaryForKey(entry, "Properties");
        if (PlistValue::stringForKey(properties, "ConnectionType") != std::string_view("USB")) {
            continue;
        }
        // An id beyond 32 bits names no device we could connect to: skip it rather than
        // truncate it into another device's id.
        const auto id = PlistValue::integerForKey(entry, "DeviceID");
        if (!id || *id > std::numeric_limits<std::uint32_t>::max())
            continue;
        ids.push_back(static_cast<std::uint32_t>(*id));
    }
    return ids;
}

std::optional<std::int64_t> resultNumber(plist_t reply) {
    const auto number = PlistValue::integerForKey(reply, "Number");
    if (!number)
        return std::nullopt;
    // libplist keeps every integer as 64 bits; negative numbers in two's complement.
    return static_cast<std::int64_t>(*number);
}

}  // namespace velurio::USBMux
