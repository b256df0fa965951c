// velurio-wire canon: decodes one message per line and prints its canonical text.
#include "protocol/canonical_json.h"
#include "protocol/message_codec.h"
#include "wire_command.h"

namespace velurio::wire {
namespace {

int runCanon(const std::vector<std::string>& args) {
    const Arguments arguments(args, {}, {});
    if (!arguments.positional().empty()) {
        throw UsageError{"canon takes no arguments"};
    }
    const auto input = readStandardInput();
    const std::string_view text(reinterpret_cast<const char*>(input.data()), input.size());
    bool allDecoded = true;
    std::string out;
    for (const std::string_view line : splitLines(text)) {
        auto message = MessageCodec::decode(line);
        if (message) {
            appendCanonicalJSON(out, *message);
        } else {
            allDecoded = false;
            out.append("error: ");
            out.append(message.error().description);
        }
        out.push_back('\n');
    }
    writeStandardOutput(out);
    return allDecoded ? kExitOk : kExitFailure;
}

const WireCommandRegistration registration(WireCommand{
    "canon",
    "decode messages (one per line) and print their canonical JSON",
    "usage: velurio-wire canon < messages.jsonl\n\n"
    "Reads standard input as lines separated by \\n (a last line without \\n counts).\n"
    "For each line prints the message's canonical JSON text, or 'error: ' and the\n"
    "decoding error. A blank line or a line that is not valid UTF-8 is a decoding error.\n"
    "Exit status: 0 when every line decoded, 1 otherwise.\n",
    runCanon,
});

}  // namespace
}  // namespace velurio::wire
