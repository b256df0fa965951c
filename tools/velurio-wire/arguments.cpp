#include "wire_command.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <iostream>
#include <iterator>

namespace velurio::wire {

namespace {
bool contains(const std::vector<std::string>& list, std::string_view name) {
    return std::find(list.begin(), list.end(), name) != list.end();
}
}  // namespace

Arguments::Arguments(const std::vector<std::string>& args,
                     const std::vector<std::string>& valueOptions,
                     const std::vector<std::string>& flagOptions) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("--", 0) != 0 || arg == "--") {
            m_positional.push_back(arg);
            continue;
        }
        const auto equals = arg.find('=');
        const std::string name =
            arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
        if (contains(flagOptions, name)) {
            if (equals != std::string::npos) {
                throw UsageError{"option --" + name + " takes no value"};
            }
            m_flags.push_back(name);
        } else if (contains(valueOptions, name)) {
            if (equals != std::string::npos) {
                m_values.emplace_back(name, arg.substr(equals + 1));
            } else if (i + 1 < args.size()) {
                m_values.emplace_back(name, args[++i]);
            } else {
                throw UsageError{"option --" + name + " needs a value"};
            }
        } else {
            throw UsageError{"unknown option " + arg};
        }
    }
}

bool Arguments::has(std::string_view name) const {
    return contains(m_flags, name) || value(name) != nullptr;
}

const std::string* Arguments::value(std::string_view name) const {
    // The last occurrence wins, as in most command-line tools.
    for (auto it = m_values.rbegin(); it != m_values.rend(); ++it) {
        if (it->first == name) {
            return &it->second;
        }
    }
    return nullptr;
}

std::uint64_t Arguments::unsignedValue(std::string_view name, std::uint64_t min, std::uint64_t max,
                                       std::optional<std::uint64_t> fallback) const {
    const std::string* text = value(name);
    if (text == nullptr) {
        if (fallback) {
            return *fallback;
        }
        throw UsageError{"missing option --" + std::string(name)};
    }
    std::uint64_t parsed = 0;
    const char* first = text->data();
    const char* last = first + text->size();
    const auto [ptr, ec] = std::from_chars(first, last, parsed);
    if (text->empty() || ec != std::errc() || ptr != last || parsed < min || parsed > max) {
        throw UsageError{"--" + std::string(name) + " must be an integer from " +
                         std::to_string(min) + " to " + std::to_string(max) + ", not '" + *text +
                         "'"};
    }
    return parsed;
}

std::vector<std::uint8_t> readStandardInput() {
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[65536];
    std::size_t count = 0;
    while ((count = std::fread(chunk, 1, sizeof chunk, stdin)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + count);
    }
    return bytes;
}

std::vector<std::string_view> splitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t newline = text.find('\n', start);
        if (newline == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, newline - start));
        start = newline + 1;
    }
    return lines;
}

void writeStandardOutput(std::string_view bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

std::string toHex(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        out.push_back(digits[byte >> 4]);
        out.push_back(digits[byte & 0xF]);
    }
    return out;
}

}  // namespace velurio::wire
