#pragma once
// The current tool, colour and thickness with which the mouse draws (and which the tablet is
// told about). Shared by the overlay, the floating toolbar and the session coordinator.
// Main thread only.

#include "core/ink_color.h"
#include "core/ink_tool.h"

#include <QObject>

#include <functional>

namespace velurio {

class ToolbarState : public QObject {
    Q_OBJECT
  public:
    explicit ToolbarState(QObject* parent = nullptr);

    InkTool tool() const { return m_tool; }
    const InkColor& color() const { return m_color; }
    StrokeThickness thickness() const { return m_thickness; }

    // Each setter notifies observers (stateChanged) on every set; it does not call onChanged,
    // which the toolbar calls after a change the user made on it.
    void setTool(InkTool tool);
    void setColor(const InkColor& color);
    void setThickness(StrokeThickness thickness);

    // Set by the session coordinator; called by the toolbar after every user change.
    std::function<void(const ToolbarState&)> onChanged;

  Q_SIGNALS:
    void stateChanged();

  private:
    InkTool m_tool = InkTool::pen;
    InkColor m_color = InkPalette::defaultColor();
    StrokeThickness m_thickness = StrokeThickness::thin;
};

}  // namespace velurio
