// velurio-wire: the protocol command-line tool, for anyone implementing the other end.
#include "wire_command.h"

#include <cstdio>
#include <iostream>

namespace velurio::wire {

namespace {
std::vector<WireCommand>& registry() {
    static std::vector<WireCommand> commands;
    return commands;
}

void printOverview(std::FILE* out) {
    std::fprintf(out,
                 "usage: velurio-wire <command> [options]\n\n"
                 "Encodes, decodes and inspects the Velurio wire protocol.\n\ncommands:\n");
    for (const WireCommand& command : registeredCommands()) {
        std::fprintf(out, "  %-16s %s\n", command.name.c_str(), command.summary.c_str());
    }
    std::fprintf(out, "\nRun 'velurio-wire <command> --help' for a command's options.\n");
}
}  // namespace

WireCommandRegistration::WireCommandRegistration(WireCommand command) {
    auto& commands = registry();
    auto position = commands.begin();
    while (position != commands.end() && position->name < command.name) {
        ++position;
    }
    commands.insert(position, std::move(command));
}

const std::vector<WireCommand>& registeredCommands() {
    return registry();
}

}  // namespace velurio::wire

int main(int argc, char** argv) {
    using namespace velurio::wire;
    std::ios::sync_with_stdio(false);
    if (argc < 2) {
        printOverview(stderr);
        return kExitUsage;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        printOverview(stdout);
        return kExitOk;
    }
    for (const WireCommand& command : registeredCommands()) {
        if (command.name != name) {
            continue;
        }
        std::vector<std::string> args(argv + 2, argv + argc);
        for (const std::string& arg : args) {
            if (arg == "--help" || arg == "-h") {
                std::fputs(command.help.c_str(), stdout);
                return kExitOk;
            }
        }
        try {
            return command.run(args);
        } catch (const UsageError& usage) {
            std::fprintf(stderr, "error: %s\nRun 'velurio-wire %s --help' for usage.\n",
                         usage.message.c_str(), name.c_str());
            return kExitUsage;
        }
    }
    std::fprintf(stderr, "error: unknown command '%s'\n", name.c_str());
    printOverview(stderr);
    return kExitUsage;
}
