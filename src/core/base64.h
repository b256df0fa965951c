// Strict Base64 (RFC 4648) for keys and tokens.
//
// The decoders accept exactly one spelling per byte string: no whitespace, no line breaks,
// padding only where the length requires it, and unused trailing bits must be zero. Lenient
// decoders (OpenSSL's block decoder among them) skip characters and count padding loosely,
// which would let many different texts stand for one key or one signature.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velurio::Base64 {

// Standard alphabet with "=" padding; the length must be a multiple of 4.
std::optional<std::vector<std::uint8_t>> decode(std::string_view text);
std::string encode(std::span<const std::uint8_t> bytes);

// URL-safe alphabet ("-" and "_"), written without padding.
std::string encodeURL(std::span<const std::uint8_t> bytes);

}  // namespace velurio::Base64
