#pragma once
// The floating toolbar: a small translucent bar centred 24 points above the bottom of a screen,
// on which the user picks the tool, colour and thickness of the mouse ink and reaches undo, redo
// and clear. It never takes the keyboard focus, stays above the overlay and can be dragged by
// its background. Main thread only.

#include "core/ink_color.h"
#include "core/ink_tool.h"
#include "core/stroke_store.h"

#include <QAbstractButton>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class QScreen;

namespace velurio {

class ToolbarState;
enum class Symbol;

// What the toolbar's action buttons do; set by the session coordinator.
struct ToolbarActions {
    std::function<void()> undo;
    std::function<void()> redo;
    std::function<void()> clear;
};

// One button of the toolbar, painted by a function (symbol, colour dot or thickness dot).
class ToolbarButton : public QAbstractButton {
    Q_OBJECT
  public:
    using Painter = std::function<void(QPainter&, const ToolbarButton&)>;
    ToolbarButton(QSize size, Painter painter, QWidget* parent = nullptr);
    QSize sizeHint() const override { return m_size; }

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    QSize m_size;
    Painter m_painter;
};

// The toolbar's content: a row of tool, colour, thickness and action buttons. It follows the
// toolbar state and the store's undo history and redo stack.
class FloatingToolbarView : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kHeight = 56;

    FloatingToolbarView(ToolbarState& state, StrokeStore& store, ToolbarActions actions,
                        QWidget* parent = nullptr);
    ~FloatingToolbarView() override;

    ToolbarButton* toolButton(InkTool tool) const;
    ToolbarButton* colorButton(std::size_t paletteIndex) const {
        return m_colorButtons.at(paletteIndex);
    }
    ToolbarButton* thicknessButton(StrokeThickness thickness) const;
    ToolbarButton* undoButton() const { return m_undo; }
    ToolbarButton* redoButton() const { return m_redo; }
    ToolbarButton* clearButton() const { return m_clear; }

    // Re-reads the store's undo history and redo stack into the buttons' enabled state.
    void refreshHistory();
    // The clear shortcut as shown to the user ("Ctrl+Shift+L"), for the clear button's tooltip;
    // empty for none.
    void setClearShortcutText(const QString& text);

  protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

  private:
    ToolbarButton* actionButton(Symbol symbol, const QString& tooltip,
                                std::function<void()> action);

    ToolbarState& m_state;
    StrokeStore& m_store;
    ToolbarActions m_actions;
    StrokeStore::ObserverID m_observer = 0;
    std::vector<ToolbarButton*> m_toolButtons;
    std::vector<ToolbarButton*> m_colorButtons;
    std::vector<ToolbarButton*> m_thicknessButtons;
    ToolbarButton* m_undo = nullptr;
    ToolbarButton* m_redo = nullptr;
    ToolbarButton* m_clear = nullptr;
    QPoint m_dragOffset;
};

class FloatingToolbarController : public QObject {
    Q_OBJECT
  public:
    FloatingToolbarController(ToolbarState& state, StrokeStore& store, ToolbarActions actions,
                              QObject* parent = nullptr);
    ~FloatingToolbarController() override;

    // Creates the panel on first use, centres it 24 points above the bottom of `screen` and
    // brings it to the front without taking the focus.
    void show(QScreen* screen);
    // Orders the panel out (it is kept for the next show).
    void hide();
    // Puts a shown panel back on top (after the overlay was raised over it).
    void raise();
    // The clear shortcut's text for the clear button's tooltip, now and on the first show.
    void setClearShortcutText(const QString& text);

    // The panel, once shown.
    FloatingToolbarView* panel() const { return m_panel.get(); }

  private:
    ToolbarState& m_state;
    StrokeStore& m_store;
    ToolbarActions m_actions;
    std::unique_ptr<FloatingToolbarView> m_panel;
    QString m_clearShortcutText;
};

}  // namespace velurio
