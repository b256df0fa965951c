// The status pin's show/update rules and its actions, on the offscreen platform.
#include "app/shell/status_pin_controller.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QGuiApplication>
#include <QScreen>

namespace velurio {
namespace {

QRect screenArea() {
    return QGuiApplication::primaryScreen()->geometry();
}

TEST(StatusPinTest, UpdateBeforeAnyShowDoesNothing) {
    StatusPinController pin;
    pin.update(QStringLiteral("iPad de Ana"), QStringLiteral("12 ms"));
    EXPECT_EQ(pin.panel(), nullptr);
    EXPECT_EQ(pin.view(), nullptr);
}

TEST(StatusPinTest, SitsInTheTopRightCornerAndALongerNameMovesItLeft) {
    StatusPinController pin;
    pin.show(QGuiApplication::primaryScreen(), QStringLiteral("iPad"), QStringLiteral("8 ms"));
    const QRect shortGeometry = pin.capsuleGeometry();
    EXPECT_EQ(shortGeometry.right() + 1, screenArea().right() + 1 - 24);
    EXPECT_EQ(shortGeometry.top(), screenArea().top() + 20);
    EXPECT_EQ(shortGeometry.size(), pin.view()->sizeHint());

    pin.show(QGuiApplication::primaryScreen(), QStringLiteral("iPad Pro de Maria Eduarda (sala 3)"),
             QStringLiteral("8 ms"));
    const QRect longGeometry = pin.capsuleGeometry();
    EXPECT_GT(longGeometry.width(), shortGeometry.width());
    EXPECT_LT(longGeometry.left(), shortGeometry.left());
    EXPECT_EQ(longGeometry.right() + 1, screenArea().right() + 1 - 24);
}

TEST(StatusPinTest, UpdateSwapsTheTextsWithoutMovingThePanel) {
    StatusPinController pin;
    pin.show(QGuiApplication::primaryScreen(), QStringLiteral("iPad"), QStringLiteral("8 ms"));
    const QRect geometry = pin.capsuleGeometry();
    pin.update(QStringLiteral("iPad"), QStringLiteral("120 ms"));
    EXPECT_EQ(pin.view()->latency(), QStringLiteral("120 ms"));
    EXPECT_EQ(pin.view()->deviceName(), QStringLiteral("iPad"));
    EXPECT_EQ(pin.capsuleGeometry(), geometry);
    pin.hide();
    EXPECT_FALSE(pin.panel()->isVisible());
}

TEST(StatusPinTest, ATextLongerThanThePinHadRoomForIsNeverClipped) {
    StatusPinController pin;
    pin.show(QGuiApplication::primaryScreen(), QStringLiteral("A"), QStringLiteral("—"));
    pin.update(QStringLiteral("A"), QStringLiteral("5 ms"));
    EXPECT_GE(pin.capsuleGeometry().width(), pin.view()->sizeHint().width());
    pin.update(QStringLiteral("iPad de Ana"), QStringLiteral("1250 ms"));
    EXPECT_GE(pin.capsuleGeometry().width(), pin.view()->sizeHint().width());
    EXPECT_EQ(pin.capsuleGeometry().right() + 1, screenArea().right() + 1 - 24);
}

TEST(StatusPinTest, ButtonsRunTheControllersCurrentActionsAndUnsetOnesDoNothing) {
    StatusPinController pin;
    pin.show(QGuiApplication::primaryScreen(), QStringLiteral("iPad"), QStringLiteral("8 ms"));
    StatusPinView* view = pin.view();
    EXPECT_EQ(view->showToolbarButton()->toolTip(), QStringLiteral("Mostrar barra de ferramentas"));
    EXPECT_EQ(view->clearButton()->toolTip(), QStringLiteral("Limpar traços"));
    EXPECT_EQ(view->endSessionButton()->toolTip(), QStringLiteral("Encerrar anotação"));
    view->clearButton()->click();  // nothing set yet
    std::vector<int> ran;
    // Set after the view was built: the buttons read the controller's actions when pressed.
    pin.onShowToolbar = [&]() { ran.push_back(1); };
    pin.onClear = [&]() { ran.push_back(2); };
    pin.onEndSession = [&]() { ran.push_back(3); };
    view->showToolbarButton()->click();
    view->clearButton()->click();
    view->endSessionButton()->click();
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

}  // namespace
}  // namespace velurio
