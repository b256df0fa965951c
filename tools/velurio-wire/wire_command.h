// Subcommands of velurio-wire. Each subcommand lives in its own cmd_*.cpp and registers itself
// with a static WireCommandRegistration, so adding one touches no shared file.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
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

namespace velurio::wire {

// Thrown by the argument helpers; main prints "error: <message>" and exits with kExitUsage.
struct UsageError {
    std::string message;
};

// A small option parser: "--name value", "--name=value" and flags; anything not starting
// with "--" is positional. Unknown options are usage errors.
class Arguments {
  public:
    // valueOptions take a value; flagOptions do not.
    Arguments(const std::vector<std::string>& args, const std::vector<std::string>& valueOptions,
              const std::vector<std::string>& flagOptions);

    bool has(std::string_view name) const;
    bool flag(std::string_view name) const { return has(name); }
    const std::string* value(std::string_view name) const;
    const std::vector<std::string>& positional() const { return m_positional; }

    // The option's value as an unsigned integer in [min, max]; `fallback` when absent and not
    // required. Out of range, malformed or missing-but-required values are usage errors.
    std::uint64_t unsignedValue(std::string_view name, std::uint64_t min, std::uint64_t max,
                                std::optional<std::uint64_t> fallback = std::nullopt) const;

  private:
    std::vector<std::pair<std::string, std::string>> m_values;
    std::vector<std::string> m_flags;
    std::vector<std::string> m_positional;
};

// Reads all of standard input as bytes.
std::vector<std::uint8_t> readStandardInput();
// Splits bytes into lines separated by '\n'; a last line without '\n' counts, a final '\n'
// does not start another line.
std::vector<std::string_view> splitLines(std::string_view text);
void writeStandardOutput(std::string_view bytes);
std::string toHex(std::span<const std::uint8_t> bytes);

}  // namespace velurio::wire
