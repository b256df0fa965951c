// Colour of ink and the fixed palette of seven colours.
//
// A colour is canonically its "#RRGGBB" text (upper-case hex digits); its components are the
// bytes of that text divided by 255, so two colours that print alike are equal. On the wire and
// in JSON a colour is just that string. Plain values, safe to use from any thread.
#pragma once

#include "protocol/message_codec.h"
#include "protocol/result.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velurio {

struct InkColor {
    std::string hex = "#000000";  // "#" + six upper-case hexadecimal digits
    double red = 0;               // byte / 255
    double green = 0;
    double blue = 0;

    // Parses "#RRGGBB" or "RRGGBB" (digits in either case; only one leading '#' is dropped).
    // Nothing for any other text: wrong length, a sign, a space, a "0x" prefix, non-hex digits.
    static std::optional<InkColor> fromHex(std::string_view text);

    // Each component is scaled to 0…255 and rounded half away from zero. Components outside
    // 0…1 (and NaN, taken as 0) are clamped, so the result is always a valid colour.
    static InkColor fromComponents(double red, double green, double blue);

    bool operator==(const InkColor&) const = default;
};

// Decodes a colour from its JSON string value. The failure is a data-corrupted error whose
// description is exactly: cor inválida: <text as received> (esperado #RRGGBB)
Result<InkColor, DecodeError> decodeInkColor(std::string_view text);

// The JSON value of a colour: its hex text as one string, e.g. "#FF4D2E" with the quotes.
std::string encodeInkColor(const InkColor& color);

// The description of that failure for `text`.
std::string inkColorDecodingDescription(std::string_view text);

namespace InkPalette {

// The seven palette colours, in palette order (built once, on first use).
const std::vector<InkColor>& colors();
// Their hex texts, same order.
const std::vector<std::string>& hexValues();
// The first colour, "#FF4D2E".
const InkColor& defaultColor();
// True when `hex` parses as a colour equal to one of the palette's (so case and the leading
// '#' do not matter); false for any text that is not a colour.
bool isPaletteColor(std::string_view hex);

}  // namespace InkPalette

}  // namespace velurio

template <>
struct std::hash<velurio::InkColor> {
    std::size_t operator()(const velurio::InkColor& color) const noexcept;
};
