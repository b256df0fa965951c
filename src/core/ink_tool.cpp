#include "core/ink_tool.h"

namespace velurio {

std::string_view rawValue(InkTool tool) noexcept {
    switch (tool) {
        case InkTool::pen:
            return "pen";
        case InkTool::marker:
            return "marker";
        case InkTool::laser:
            return "laser";
        case InkTool::arrow:
            return "arrow";
        case InkTool::rectangle:
            return "rectangle";
        case InkTool::text:
            return "text";
        case InkTool::eraser:
            return "eraser";
    }
    return "pen";
}

std::optional<InkTool> inkToolFromRaw(std::string_view raw) noexcept {
    for (InkTool tool : kAllInkTools) {
        if (rawValue(tool) == raw)
            return tool;
    }
    return std::nullopt;
}

double inkOpacity(InkTool tool) noexcept {
    return tool == InkTool::marker ? 0.4 : 1.0;
}

bool depositsInk(InkTool tool) noexcept {
    return tool != InkTool::laser;
}

bool supportsColor(InkTool tool) noexcept {
    return tool != InkTool::laser && tool != InkTool::eraser;
}

bool convertsToShapeOnHold(InkTool tool) noexcept {
    return tool == InkTool::pen;
}

}  // namespace velurio
