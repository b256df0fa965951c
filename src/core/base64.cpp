#include "core/base64.h"

#include <array>

namespace velurio::Base64 {

namespace {

constexpr char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kURL[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

constexpr std::array<std::int8_t, 256> makeTable() {
    std::array<std::int8_t, 256> table{};
    for (auto& entry : table) {
        entry = -1;
    }
    for (int i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(kStandard[i])] = static_cast<std::int8_t>(i);
    }
    return table;
}
constexpr auto kDecodeTable = makeTable();

std::string encodeWith(std::span<const std::uint8_t> bytes, const char* alphabet, bool pad) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t v =
            (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        out.push_back(alphabet[(v >> 18) & 63]);
        out.push_back(alphabet[(v >> 12) & 63]);
        out.push_back(alphabet[(v >> 6) & 63]);
        out.push_back(alphabet[v & 63]);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        std::uint32_t v = std::uint32_t{bytes[i]} << 16;
        if (rest == 2) {
            v |= std::uint32_t{bytes[i + 1]} << 8;
        }
        out.push_back(alphabet[(v >> 18) & 63]);
        out.push_back(alphabet[(v >> 12) & 63]);
        if (rest == 2) {
            out.push_back(alphabet[(v >> 6) & 63]);
        }
        if (pad) {
            out.append(rest == 1 ? "==" : "=");
        }
    }
    return out;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> decode(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') {
        padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
    }
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 4 * 3);
    const std::size_t dataChars = text.size() - padding;
    std::uint32_t accumulator = 0;
    int bits = 0;
    for (std::size_t i = 0; i < dataChars; ++i) {
        const std::int8_t value = kDecodeTable[static_cast<unsigned char>(text[i])];
        if (value < 0) {
            return std::nullopt;  // includes "=" before the end
        }
        accumulator = (accumulator << 6) | static_cast<std::uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<std::uint8_t>((accumulator >> bits) & 0xFF));
        }
    }
    // What is left must be the zero bits that complete the last character.
    if (bits > 0 && (accumulator & ((1U << bits) - 1)) != 0) {
        return std::nullopt;
    }
    return out;
}

std::string encode(std::span<const std::uint8_t> bytes) {
    return encodeWith(bytes, kStandard, true);
}

std::string encodeURL(std::span<const std::uint8_t> bytes) {
    return encodeWith(bytes, kURL, false);
}

}  // namespace velurio::Base64
