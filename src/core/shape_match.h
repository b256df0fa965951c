// Small geometric types of shape recognition.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velurio {

// Raw values "circle", "arrow", "rectangle", "line"; declaration order is kAllShapeKinds' order.
enum class ShapeKind : std::uint8_t { circle, arrow, rectangle, line };
inline constexpr ShapeKind kAllShapeKinds[] = {ShapeKind::circle, ShapeKind::arrow,
                                               ShapeKind::rectangle, ShapeKind::line};

constexpr std::string_view rawValue(ShapeKind kind) noexcept {
    switch (kind) {
        case ShapeKind::circle:
            return "circle";
        case ShapeKind::arrow:
            return "arrow";
        case ShapeKind::rectangle:
            return "rectangle";
        case ShapeKind::line:
            return "line";
    }
    return "line";
}
constexpr std::optional<ShapeKind> shapeKindFromRaw(std::string_view raw) noexcept {
    for (ShapeKind kind : kAllShapeKinds) {
        if (rawValue(kind) == raw)
            return kind;
    }
    return std::nullopt;
}

// An axis-aligned box in the coordinates of the points it was computed from.
struct InkRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    bool operator==(const InkRect&) const = default;
};

struct ShapeMatch {
    ShapeKind kind = ShapeKind::line;
    double score = 0;
    InkRect bounds;
    bool operator==(const ShapeMatch&) const = default;
};

}  // namespace velurio
