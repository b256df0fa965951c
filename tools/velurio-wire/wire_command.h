// Subcommands of velurio-wire. Each subcommand lives in its own cmd_*.cpp and registers itself
// with a static WireCommandRegistration, so adding one touches no shared file.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velurio::wire {

// Exit statuses shared by every subcommand.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// args: the subcommand's own arguments (without the program and subcommand names).
using CommandFunction = std::function<int(const std::vector<std::string>& args)>;

struct WireCommand {
    std::string name;
    std::string summary;  // one line for the top-level --help
    std::string help;     // the subcommand's full --help text
    CommandFunction run;
};

struct WireCommandRegistration {
    explicit WireCommandRegistration(WireCommand command);
};

const std::vector<WireCommand>& registeredCommands();

}  // namespace velurio::wire
