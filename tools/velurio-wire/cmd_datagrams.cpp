// velurio-wire datagrams / parse-datagram: the video datagram format.
#include "protocol/canonical_json.h"
#include "protocol/video_datagram.h"
#include "wire_command.h"

#include <cstdio>
#include <limits>

namespace velurio::wire {
namespace {

int runDatagrams(const std::vector<std::string>& args) {
    const Arguments arguments(args, {"sequence", "pts", "max-payload"}, {"keyframe"});
    if (!arguments.positional().empty()) {
        throw UsageError{"datagrams takes no positional arguments"};
    }
    const auto sequence = static_cast<std::uint32_t>(
        arguments.unsignedValue("sequence", 0, std::numeric_limits<std::uint32_t>::max()));
    const std::uint64_t pts =
        arguments.unsignedValue("pts", 0, std::numeric_limits<std::uint64_t>::max());
    const std::size_t maxPayload = arguments.unsignedValue("max-payload", 1, 65535, 1200);
    const auto frame = readStandardInput();
    auto datagrams =
        VideoFrameHeader::datagrams(sequence, pts, arguments.flag("keyframe"), frame, maxPayload);
    if (!datagrams) {
        std::fputs("error: frame too large\n", stderr);
        return kExitFailure;
    }
    std::string out;
    for (const Bytes& datagram : *datagrams) {
        out.append(toHex(datagram));
        out.push_back('\n');
    }
    writeStandardOutput(out);
    return kExitOk;
}

std::optional<Bytes> fromHex(std::string_view text) {
    const auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    Bytes bytes;
    bytes.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = nibble(text[i]);
        const int low = nibble(text[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
    }
    return bytes;
}

int runParseDatagram(const std::vector<std::string>& args) {
    const Arguments arguments(args, {}, {});
    if (arguments.positional().size() != 1) {
        throw UsageError{"parse-datagram takes exactly one hexadecimal argument"};
    }
    const auto bytes = fromHex(arguments.positional().front());
    if (!bytes) {
        throw UsageError{"the argument must be hexadecimal digits (an even number, no spaces)"};
    }
    const auto header = VideoFrameHeader::parse(*bytes);
    if (!header) {
        std::fputs("error: not a video datagram header\n", stdout);
        return kExitFailure;
    }
    std::string out = "{\"version\":1,\"keyframe\":";
    out.append(header->isKeyframe ? "true" : "false");
    out.append(",\"fragment_index\":");
    CanonicalJSON::appendUnsigned(out, header->fragmentIndex);
    out.append(",\"fragment_count\":");
    CanonicalJSON::appendUnsigned(out, header->fragmentCount);
    out.append(",\"sequence\":");
    CanonicalJSON::appendUnsigned(out, header->sequence);
    out.append(",\"pts\":");
    CanonicalJSON::appendUnsigned(out, header->pts);
    out.append(",\"payload_length\":");
    CanonicalJSON::appendUnsigned(out, header->payloadLength);
    out.append("}\n");
    writeStandardOutput(out);
    return kExitOk;
}

const WireCommandRegistration datagramsRegistration(WireCommand{
    "datagrams",
    "cut an encoded frame into video datagrams",
    "usage: velurio-wire datagrams --sequence S --pts P [--keyframe] [--max-payload N] < frame\n\n"
    "Reads one encoded frame (raw bytes) from standard input and prints its datagrams as\n"
    "lowercase hexadecimal, one per line.\n"
    "  --sequence S      frame sequence number (0 to 4294967295)\n"
    "  --pts P           presentation time in milliseconds (unsigned 64-bit)\n"
    "  --keyframe        mark the frame as a key frame\n"
    "  --max-payload N   payload bytes per datagram, 1 to 65535 (default 1200)\n"
    "A frame needing more than 65535 datagrams prints 'error: frame too large', exit 1.\n",
    runDatagrams,
});

const WireCommandRegistration parseRegistration(WireCommand{
    "parse-datagram",
    "print the header of a video datagram as JSON",
    "usage: velurio-wire parse-datagram HEX\n\n"
    "HEX is the datagram in hexadecimal (either case, no spaces); bytes after the first 20\n"
    "are the payload and are ignored. Prints the header as one JSON object, or\n"
    "'error: not a video datagram header' and exit status 1.\n",
    runParseDatagram,
});

}  // namespace
}  // namespace velurio::wire
