#include "app/settings/toolbar_state.h"

namespace velurio {

ToolbarState::ToolbarState(QObject* parent) : QObject(parent) {}

void ToolbarState::setTool(InkTool tool) {
    m_tool = tool;
    Q_EMIT stateChanged();
}

void ToolbarState::setColor(const InkColor& color) {
    m_color = color;
    Q_EMIT stateChanged();
}

void ToolbarState::setThickness(StrokeThickness thickness) {
    m_thickness = thickness;
    Q_EMIT stateChanged();
}

}  // namespace velurio
