// The recorder's rules: a key needs a modifier, the first complete combination ends recording,
// and nothing else in the application sees the keys while it records.
#include "app/shell/shortcut_recorder.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>

#include <optional>

namespace velurio {
namespace {

void press(QWidget* to, int key, Qt::KeyboardModifiers modifiers, const QString& text = {}) {
    QKeyEvent event(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(to, &event);
}

TEST(ShortcutRecorderTest, TakesTheFirstKeyPressedWithAModifier) {
    QWidget window;
    auto* button = new ShortcutRecorderButton(&window);
    auto* other = new QLineEdit(&window);
    ShortcutRecorder recorder(*button);
    std::optional<HotKeyDescriptor> recorded;
    recorder.update(HotKeyDescriptor{37, 0x1200}, [&](const HotKeyDescriptor& d) { recorded = d; });
    EXPECT_EQ(button->text(), QStringLiteral("Ctrl+Shift+L"));
    window.show();

    button->click();
    ASSERT_TRUE(button->recording());
    EXPECT_EQ(button->text(), QStringLiteral("…"));
    // "A" alone, or a modifier on its own, keeps recording; nothing reaches another control.
    press(other, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
    press(button, Qt::Key_Control, Qt::ControlModifier);
    EXPECT_TRUE(button->recording());
    EXPECT_FALSE(recorded);
    EXPECT_TRUE(other->text().isEmpty());

    press(other, Qt::Key_K, Qt::AltModifier | Qt::MetaModifier);
    ASSERT_TRUE(recorded);
    EXPECT_EQ(*recorded, (HotKeyDescriptor{40, 0x900}));
    EXPECT_EQ(recorded->displayString(), QStringLiteral("⌥⌘K"));
    EXPECT_FALSE(button->recording());
    // Keys flow normally again.
    press(other, Qt::Key_B, Qt::NoModifier, QStringLiteral("b"));
    EXPECT_EQ(other->text(), QStringLiteral("b"));
}

TEST(ShortcutRecorderTest, ShiftedSymbolsRecordTheirKey) {
    EXPECT_EQ(ShortcutRecorderButton::keyCodeForQtKey(Qt::Key_Exclam), 18u);  // Shift+1
    EXPECT_EQ(ShortcutRecorderButton::keyCodeForQtKey(Qt::Key_1), 18u);
    EXPECT_FALSE(ShortcutRecorderButton::keyCodeForQtKey(Qt::Key_Shift));
    EXPECT_EQ(ShortcutRecorderButton::carbonModifiers(Qt::ControlModifier | Qt::ShiftModifier),
              0x1200u);
}

TEST(ShortcutRecorderTest, PressingAgainOrHidingStopsRecording) {
    QWidget window;
    auto* button = new ShortcutRecorderButton(&window);
    bool changed = false;
    button->onChange = [&](const HotKeyDescriptor&) { changed = true; };
    window.show();
    button->click();
    button->click();
    EXPECT_FALSE(button->recording());
    EXPECT_EQ(button->text(), QStringLiteral("…"));  // until the wrapper updates it
    button->click();
    window.hide();
    EXPECT_FALSE(button->recording());
    press(button, Qt::Key_K, Qt::ControlModifier);
    EXPECT_FALSE(changed);
}

}  // namespace
}  // namespace velurio
