// Strict parsing of internet date-times (RFC 3339): "YYYY-MM-DDTHH:MM:SS", optionally a
// fraction of a second ("." and one or more digits), then "Z" or an offset "+HH:MM"/"-HH:MM".
//
// Dates from a server are untrusted text: anything else (a date alone, a missing zone, a
// 13th month, a 30th of February, a space for the "T") gives nothing rather than a guess.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velurio::InternetDateTime {

enum class Fraction : std::uint8_t {
    required,   // "…:SS.fff…" only
    forbidden,  // "…:SS" only
};

// Milliseconds since 1970-01-01T00:00:00Z; digits of the fraction beyond the third are
// dropped (truncated towards the earlier instant).
std::optional<std::int64_t> parseMilliseconds(std::string_view text, Fraction fraction);

// With fractional seconds first, then without: the form servers send either way.
std::optional<std::int64_t> parseMillisecondsEitherForm(std::string_view text);

}  // namespace velurio::InternetDateTime
