#include "core/ink_color.h"

#include "protocol/canonical_json.h"

#include <array>
#include <cmath>
#include <cstdint>

namespace velurio {

namespace {

int hexDigitValue(char c) noexcept {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

constexpr char kUpperHexDigits[] = "0123456789ABCDEF";

std::uint8_t componentByte(double component) noexcept {
    // NaN compares false with everything and ends as 0.
    double scaled = component * 255.0;
    if (!(scaled > 0))
        return 0;
    if (scaled >= 255.0)
        return 255;
    return static_cast<std::uint8_t>(std::round(scaled));  // std::round: halves away from zero
}

InkColor fromBytes(std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    InkColor color;
    color.hex = "#";
    for (std::uint8_t byte : {r, g, b}) {
        color.hex.push_back(kUpperHexDigits[byte >> 4]);
        color.hex.push_back(kUpperHexDigits[byte & 0x0F]);
    }
    color.red = r / 255.0;
    color.green = g / 255.0;
    color.blue = b / 255.0;
    return color;
}

}  // namespace

std::optional<InkColor> InkColor::fromHex(std::string_view text) {
    if (!text.empty() && text.front() == '#')
        text.remove_prefix(1);
    if (text.size() != 6)
        return std::nullopt;
    std::uint32_t value = 0;
    for (char c : text) {
        int digit = hexDigitValue(c);
        if (digit < 0)
            return std::nullopt;
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return fromBytes(static_cast<std::uint8_t>((value >> 16) & 0xFF),
                     static_cast<std::uint8_t>((value >> 8) & 0xFF),
                     static_cast<std::uint8_t>(value & 0xFF));
}

InkColor InkColor::fromComponents(double red, double green, double blue) {
    return fromBytes(componentByte(red), componentByte(green), componentByte(blue));
}

std::string inkColorDecodingDescription(std::string_view text) {
    std::string description = "cor inválida: ";
    description.append(text);
    description.append(" (esperado #RRGGBB)");
    return description;
}

Result<InkColor, DecodeError> decodeInkColor(std::string_view text) {
    if (auto color = InkColor::fromHex(text))
        return *std::move(color);
    return fail(DecodeError{DecodeError::Kind::dataCorrupted, inkColorDecodingDescription(text)});
}

std::string encodeInkColor(const InkColor& color) {
    return CanonicalJSON::escape(color.hex);
}

namespace InkPalette {

const std::vector<InkColor>& colors() {
    static const std::vector<InkColor> kColors = [] {
        std::vector<InkColor> result;
        for (std::string_view hex :
             {"#FF4D2E", "#FFC224", "#35D07F", "#2F8CFF", "#B56BFF", "#FFFFFF", "#1B1A18"}) {
            result.push_back(*InkColor::fromHex(hex));
        }
        return result;
    }();
    return kColors;
}

const std::vector<std::string>& hexValues() {
    static const std::vector<std::string> kHexValues = [] {
        std::vector<std::string> result;
        for (const InkColor& color : colors())
            result.push_back(color.hex);
        return result;
    }();
    return kHexValues;
}

const InkColor& defaultColor() {
    return colors().front();
}

bool isPaletteColor(std::string_view hex) {
    auto color = InkColor::fromHex(hex);
    if (!color)
        return false;
    for (const InkColor& candidate : colors()) {
        if (candidate == *color)
            return true;
    }
    return false;
}

}  // namespace InkPalette

}  // namespace velurio

std::size_t std::hash<velurio::InkColor>::operator()(
    const velurio::InkColor& color) const noexcept {
    std::size_t seed = std::hash<std::string>{}(color.hex);
    for (double component : {color.red, color.green, color.blue}) {
        seed ^= std::hash<double>{}(component) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    }
    return seed;
}
