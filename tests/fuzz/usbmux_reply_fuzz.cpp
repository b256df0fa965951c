// Parses arbitrary bytes as one usbmuxd message (16-byte header and XML property list), as the
// client reads replies and the stand-in reads requests. The one-shot parse and the socket's
// two-step path (header, then payload) agree; the reply look-ups are safe on whatever parses;
// a parsed dictionary re-encodes to a message that parses to the same property list. The bytes
// after the first 16 are also parsed as a payload on their own, so that mutations reach the
// property-list parser without having to keep the header's length right.
#include "usbmux/usbmux_protocol.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <span>

using namespace velurio;

namespace {
constexpr std::size_t kRoundTripMaxBytes = 64 * 1024;

void checkDictionary(plist_t dictionary, std::uint32_t tag, std::size_t inputSize) {
    if (!PlistValue::isDictionary(dictionary))
        std::abort();
    for (const std::uint32_t id : USBMux::usbDeviceIDs(dictionary)) {
        (void)id;
    }
    (void)USBMux::resultNumber(dictionary);

    // libplist's writer recurses once per nesting level (its parser does not), so only trees
    // the stack certainly holds are written back: a nesting level takes 15 input bytes at least.
    if (inputSize > kRoundTripMaxBytes)
        return;
    auto again = USBMux::packet(dictionary, tag);
    if (!again) {
        // Only a text that grew beyond the largest payload may be refused.
        if (!again.error().is(EPROTO))
            std::abort();
        return;
    }
    auto reparsed = USBMux::parseReply(*again);
    if (!reparsed)
        std::abort();
    if (PlistValue::toXML(reparsed->dictionary.get()) != PlistValue::toXML(dictionary)) {
        std::abort();
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    auto reply = USBMux::parseReply(bytes);
    auto header = USBMux::decodeHeader(bytes);
    const auto afterHeader = bytes.subspan(std::min(size, USBMux::kHeaderByteCount));
    auto payload = USBMux::decodePayload(afterHeader);

    if (header && header->length == size && payload.ok() != reply.ok())
        std::abort();
    if (reply) {
        if (!header || reply->header != *header || header->length != size)
            std::abort();
        checkDictionary(reply->dictionary.get(), reply->header.tag, size);
    }
    if (payload)
        checkDictionary(payload->get(), 0, size);
    return 0;
}
