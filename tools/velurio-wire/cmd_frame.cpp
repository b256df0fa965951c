// velurio-wire frame / unframe: the stream framing in both directions.
#include "protocol/wire_framing.h"
#include "wire_command.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace velurio::wire {
namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

int runFrame(const std::vector<std::string>& args) {
    const Arguments arguments(args, {"channel"}, {});
    if (!arguments.positional().empty()) {
        throw UsageError{"frame takes no positional arguments"};
    }
    const auto channel = static_cast<WireChannel>(arguments.unsignedValue("channel", 0, 3));
    const auto input = readStandardInput();
    const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
    int status = kExitOk;
    Bytes out;
    for (const std::string_view line : splitLines(text)) {
        if (!WireFraming::appendFrame(out, bytesOf(line), channel)) {
            std::fputs("error: payload too large\n", stderr);
            status = kExitFailure;
        }
    }
    writeStandardOutput({reinterpret_cast<const char*>(out.data()), out.size()});
    return status;
}

int runUnframe(const std::vector<std::string>& args) {
    const Arguments arguments(args, {}, {"hex"});
    if (!arguments.positional().empty()) {
        throw UsageError{"unframe takes no positional arguments"};
    }
    const bool hex = arguments.flag("hex");
    const auto input = readStandardInput();
    WireFrameParser parser;
    constexpr std::size_t kChunk = 4096;
    std::string out;
    for (std::size_t offset = 0; offset < input.size(); offset += kChunk) {
        const std::size_t length = std::min(kChunk, input.size() - offset);
        for (const WireFrame& frame : parser.ingest({input.data() + offset, length})) {
            out.append(std::to_string(static_cast<unsigned>(frame.channel)));
            out.push_back('\t');
            if (hex) {
                out.append(toHex(frame.payload));
            } else {
                out.append(reinterpret_cast<const char*>(frame.payload.data()),
                           frame.payload.size());
            }
            out.push_back('\n');
        }
    }
    writeStandardOutput(out);
    return kExitOk;
}

const WireCommandRegistration frameRegistration(WireCommand{
    "frame",
    "frame payloads (one per line) on a channel",
    "usage: velurio-wire frame --channel N < payloads\n\n"
    "Reads payloads, one per line (without the \\n; an empty line is an empty payload),\n"
    "and writes their frames, concatenated, as raw bytes to standard output.\n"
    "  --channel N   0 control, 1 ink, 2 video, 3 usb discovery\n"
    "A payload over 1048576 bytes prints 'error: payload too large' on standard error and\n"
    "is not written; the exit status is then 1.\n",
    runFrame,
});

const WireCommandRegistration unframeRegistration(WireCommand{
    "unframe",
    "cut a byte stream into frames",
    "usage: velurio-wire unframe [--hex] < stream\n\n"
    "Feeds standard input to the frame parser in chunks of 4096 bytes and prints one line\n"
    "per frame: the channel number, a tab, and the payload as it is (or as lowercase\n"
    "hexadecimal with --hex). A partial frame left at the end is ignored.\n",
    runUnframe,
});

}  // namespace
}  // namespace velurio::wire
