// The floating toolbar's content and rules, on the offscreen platform (buttons are clicked with
// QAbstractButton::click, which goes through the same clicked signal as the mouse).
#include "app/settings/toolbar_state.h"
#include "app/shell/floating_toolbar_controller.h"
#include "core/ink_color.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QScreen>

namespace velurio {
namespace {

class FloatingToolbarTest : public ::testing::Test {
  protected:
    FloatingToolbarTest()
        : m_controller(m_state, m_store,
                       ToolbarActions{[this]() {
                                          ++undos;
                                          m_store.undo();
                                      },
                                      [this]() {
                                          ++redos;
                                          m_store.redo();
                                      },
                                      [this]() {
                                          ++clears;
                                          m_store.clear(true);
                                      }}) {
        m_state.onChanged = [this](const ToolbarState&) { ++changes; };
        m_controller.show(QGuiApplication::primaryScreen());
    }

    FloatingToolbarView& view() { return *m_controller.panel(); }

    void commitStroke() {
        const StrokePoint point{0.2, 0.2, 1.0, 0.0, 0};
        const Stroke stroke = m_store.beginLocalStroke(InkTool::pen, InkPalette::defaultColor(),
                                                       StrokeThickness::thin, point);
        const StrokePoint next{0.3, 0.3, 1.0, 0.0, 16};
        m_store.appendLocalStroke(stroke.id, std::span<const StrokePoint>(&next, 1));
        m_store.endLocalStroke(stroke.id);
    }

    ToolbarState m_state;
    StrokeStore m_store;
    FloatingToolbarController m_controller;
    int changes = 0;
    int undos = 0;
    int redos = 0;
    int clears = 0;
};

TEST_F(FloatingToolbarTest, StartsOnPenDefaultColourAndThinWithoutReportingAChange) {
    EXPECT_EQ(m_state.tool(), InkTool::pen);
    EXPECT_EQ(m_state.color().hex, "#FF4D2E");
    EXPECT_EQ(m_state.thickness(), StrokeThickness::thin);
    EXPECT_EQ(changes, 0);
    // Tools in the bar's order, with their labels.
    const char* labels[] = {"Caneta",    "Marcador", "Laser",   "Seta",
                            "Retângulo", "Texto",    "Borracha"};
    int previousX = -1;
    for (std::size_t i = 0; i < std::size(kAllInkTools); ++i) {
        const ToolbarButton* button = view().toolButton(kAllInkTools[i]);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->toolTip(), QString::fromUtf8(labels[i]));
        EXPECT_EQ(button->size(), QSize(38, 38));
        EXPECT_GT(button->x(), previousX);
        previousX = button->x();
    }
    EXPECT_EQ(view().undoButton()->toolTip(), QStringLiteral("Desfazer"));
    EXPECT_EQ(view().redoButton()->toolTip(), QStringLiteral("Refazer"));
    EXPECT_EQ(view().clearButton()->toolTip(), QStringLiteral("Limpar traços"));
    EXPECT_EQ(view().height(), 56);
}

TEST_F(FloatingToolbarTest, EachPressSetsTheStateAndReportsIt) {
    view().toolButton(InkTool::marker)->click();
    EXPECT_EQ(m_state.tool(), InkTool::marker);
    view().colorButton(3)->click();
    EXPECT_EQ(m_state.color(), InkPalette::colors()[3]);
    view().thicknessButton(StrokeThickness::thick)->click();
    EXPECT_EQ(m_state.thickness(), StrokeThickness::thick);
    EXPECT_EQ(changes, 3);
    // The colour already selected is reported again (a tablet gets the state re-sent).
    view().colorButton(3)->click();
    EXPECT_EQ(changes, 4);
}

TEST_F(FloatingToolbarTest, UndoAndRedoFollowTheHistoryAndAreInertWhileDisabled) {
    EXPECT_FALSE(view().undoButton()->isEnabled());
    EXPECT_FALSE(view().redoButton()->isEnabled());
    EXPECT_TRUE(view().clearButton()->isEnabled());
    view().undoButton()->click();
    view().redoButton()->click();
    EXPECT_EQ(undos + redos, 0);

    commitStroke();
    EXPECT_TRUE(view().undoButton()->isEnabled());
    EXPECT_FALSE(view().redoButton()->isEnabled());
    view().undoButton()->click();
    EXPECT_EQ(undos, 1);
    EXPECT_TRUE(m_store.strokes().empty());
    EXPECT_FALSE(view().undoButton()->isEnabled());
    EXPECT_TRUE(view().redoButton()->isEnabled());
    view().redoButton()->click();
    EXPECT_EQ(m_store.strokes().size(), 1u);

    // A text note counts in the undo history too.
    m_store.clear(false);
    EXPECT_FALSE(view().undoButton()->isEnabled());
    m_store.addText("nota", PointF{0.5, 0.5}, InkPalette::defaultColor());
    EXPECT_TRUE(view().undoButton()->isEnabled());

    view().undoButton()->click();
    commitStroke();
    view().undoButton()->click();
    EXPECT_TRUE(view().redoButton()->isEnabled());
    view().clearButton()->click();
    EXPECT_EQ(clears, 1);
    EXPECT_FALSE(view().undoButton()->isEnabled());
    EXPECT_FALSE(view().redoButton()->isEnabled());
}

TEST_F(FloatingToolbarTest, SitsCentred24PointsAboveTheBottomAndKeepsItsPanel) {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QRect panel = view().geometry();
    EXPECT_EQ(panel.bottom() + 1, screen.bottom() + 1 - 24);
    EXPECT_LE(std::abs(panel.center().x() - screen.center().x()), 1);
    // Content width: 12 + 7 tools + 7 colours + 3 thicknesses + 3 actions + 3 dividers
    // (9 each), 4 apart (22 gaps), + 12.
    EXPECT_EQ(panel.width(), 12 + 7 * 38 + 7 * 26 + 3 * 26 + 3 * 38 + 3 * 9 + 22 * 4 + 12);
    FloatingToolbarView* first = m_controller.panel();
    view().move(10, 10);  // dragged away
    m_controller.hide();
    EXPECT_FALSE(view().isVisible());
    m_controller.show(QGuiApplication::primaryScreen());
    EXPECT_EQ(m_controller.panel(), first);
    EXPECT_EQ(view().geometry(), panel);  // every show places it again
}

}  // namespace
}  // namespace velurio
