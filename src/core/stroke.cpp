#include "core/stroke.h"

#include <utility>

namespace velurio {

std::optional<Stroke> Stroke::fromBegin(const StrokeMessage& message) {
    if (message.op != StrokeOp::begin)
        return std::nullopt;
    auto tool = inkTool(message);
    if (!tool)
        return std::nullopt;
    auto color = inkColor(message);
    if (!color)
        return std::nullopt;
    auto thickness = strokeThickness(message);
    if (!thickness)
        return std::nullopt;
    return Stroke{message.id, *tool, *std::move(color), *thickness, message.pts};
}

StrokeMessage Stroke::wireMessage(StrokeOp op) const {
    return wireMessage(op, points);
}

StrokeMessage Stroke::wireMessage(StrokeOp op, std::vector<StrokePoint> pts) const {
    StrokeMessage message;
    message.id = id;
    message.op = op;
    message.tool = std::string(rawValue(tool));
    message.color = color.hex;
    message.width = rawValue(thickness);
    message.pts = std::move(pts);
    return message;
}

std::optional<InkTool> inkTool(const StrokeMessage& message) noexcept {
    return inkToolFromRaw(message.tool);
}

std::optional<InkColor> inkColor(const StrokeMessage& message) {
    return InkColor::fromHex(message.color);
}

std::optional<StrokeThickness> strokeThickness(const StrokeMessage& message) noexcept {
    return strokeThicknessFromRaw(message.width);
}

}  // namespace velurio
