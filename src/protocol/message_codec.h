// Bytes to messages and back.
//
// Decoding validates the whole document (UTF-8, number syntax, structure) before any field is
// read, and never yields a partial message: any failure is one DecodeError.
#pragma once

#include "protocol/messages.h"
#include "protocol/result.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velurio {

struct DecodeError {
    enum class Kind : std::uint8_t {
        invalidJSON,    // not a JSON text (syntax, UTF-8, numbers out of range, empty input)
        keyNotFound,    // a required key is missing or null
        typeMismatch,   // a value of the wrong JSON type, or a message decoded as another type
        dataCorrupted,  // right type, unusable value (bad enum value, non-integral, out of range)
    };
    Kind kind = Kind::invalidJSON;
    std::string description;
    bool operator==(const DecodeError&) const = default;
};

// Exact descriptions the peer may show.
inline constexpr std::string_view kStrokePointArityDescription =
    "ponto de traço deve ter 5 elementos [x, y, pressão, inclinação, timestampMs]";

namespace MessageCodec {

// The canonical text's UTF-8 bytes. Never fails.
std::vector<std::uint8_t> encode(const SessionMessage& message);
std::string encodeToString(const SessionMessage& message);

// Decodes one JSON object into a message. Unknown keys are ignored; null optionals are absent.
Result<SessionMessage, DecodeError> decode(std::span<const std::uint8_t> bytes);
Result<SessionMessage, DecodeError> decode(std::string_view text);

}  // namespace MessageCodec

// Decodes one message type on its own; fails with a type mismatch
// (esperava t="…", veio t="…") when "t" names another type.
template <class M>
Result<M, DecodeError> decodeMessage(std::string_view text);

}  // namespace velurio
