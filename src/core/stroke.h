// The stroke record and its conversions to and from the wire's stroke message.
#pragma once

#include "core/ink_color.h"
#include "core/ink_tool.h"
#include "protocol/messages.h"

#include <optional>
#include <string>
#include <vector>

namespace velurio {

// One stroke: sampled points in drawing order, coordinates normalised to the overlay (0…1 on
// each axis, origin top left). `id` is unique within a session and chosen by whoever began
// the stroke (the tablet for remote strokes, the stroke store for local ones).
struct Stroke {
    std::string id;
    InkTool tool = InkTool::pen;
    InkColor color;
    StrokeThickness thickness = StrokeThickness::medium;
    std::vector<StrokePoint> points;

    // The stroke a `begin` message starts. Nothing unless op is begin, tool is a tool's raw
    // value, color parses as a colour and width is 2, 4 or 8. Id and points are taken as they are.
    static std::optional<Stroke> fromBegin(const StrokeMessage& message);

    // The message for this stroke with `op`, carrying all of its points.
    StrokeMessage wireMessage(StrokeOp op) const;
    // The same, carrying exactly `points` (possibly none).
    StrokeMessage wireMessage(StrokeOp op, std::vector<StrokePoint> points) const;

    bool operator==(const Stroke&) const = default;
};

// Conveniences on a received stroke message: each is absent when the field does not convert.
std::optional<InkTool> inkTool(const StrokeMessage& message) noexcept;
std::optional<InkColor> inkColor(const StrokeMessage& message);
std::optional<StrokeThickness> strokeThickness(const StrokeMessage& message) noexcept;

}  // namespace velurio
