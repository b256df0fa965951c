// The drawing tools and stroke thicknesses, with their wire raw values.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velurio {

// Raw values are the wire texts ("pen", "marker", ...); the declaration order is the order of
// kAllInkTools. There is no line or circle tool: those only come from shape recognition.
enum class InkTool : std::uint8_t { pen, marker, laser, arrow, rectangle, text, eraser };
inline constexpr InkTool kAllInkTools[] = {InkTool::pen,   InkTool::marker,    InkTool::laser,
                                           InkTool::arrow, InkTool::rectangle, InkTool::text,
                                           InkTool::eraser};

std::string_view rawValue(InkTool tool) noexcept;
// Exact, case-sensitive match of a raw value ("Pen" and "line" give nothing).
std::optional<InkTool> inkToolFromRaw(std::string_view raw) noexcept;

// Alpha with which the tool's ink is drawn: 0.4 for the marker, 1.0 otherwise.
double inkOpacity(InkTool tool) noexcept;
// False only for the laser, whose ink is transient and never kept.
bool depositsInk(InkTool tool) noexcept;
// Whether the colour choice applies (not for laser and eraser).
bool supportsColor(InkTool tool) noexcept;
// Whether a stroke of the tool may become a recognised shape (only the pen).
bool convertsToShapeOnHold(InkTool tool) noexcept;

// Raw value = the wire "width"; baseWidth is the line width in points on a 1080-point overlay.
enum class StrokeThickness : std::uint8_t { thin = 2, medium = 4, thick = 8 };
inline constexpr StrokeThickness kAllStrokeThicknesses[] = {
    StrokeThickness::thin, StrokeThickness::medium, StrokeThickness::thick};

constexpr std::int64_t rawValue(StrokeThickness thickness) noexcept {
    return static_cast<std::int64_t>(thickness);
}
// Exactly 2, 4 and 8; any other integer gives nothing.
constexpr std::optional<StrokeThickness> strokeThicknessFromRaw(std::int64_t raw) noexcept {
    switch (raw) {
        case 2:
            return StrokeThickness::thin;
        case 4:
            return StrokeThickness::medium;
        case 8:
            return StrokeThickness::thick;
        default:
            return std::nullopt;
    }
}
constexpr double baseWidth(StrokeThickness thickness) noexcept {
    return static_cast<double>(rawValue(thickness));
}

}  // namespace velurio
