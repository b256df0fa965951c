// The desktop notation of shortcuts, as the tray and the preferences show them.
#include "app/settings/shortcut_text.h"

#include <gtest/gtest.h>

namespace velurio {
namespace {

TEST(ShortcutTextTest, ModifiersInDesktopOrderThenTheKeyName) {
    EXPECT_EQ(shortcutDisplayText(AppSettings::kDefaultToggleAnnotation), "Ctrl+Shift+A");
    EXPECT_EQ(shortcutDisplayText(HotKeyDescriptor{40, 0x900}), "Alt+Super+K");
    EXPECT_EQ(shortcutDisplayText(HotKeyDescriptor{49, 0x1B00}), "Ctrl+Alt+Shift+Super+Space");
    // Symbol keys get words; an unknown key code is "?".
    EXPECT_EQ(shortcutDisplayText(HotKeyDescriptor{53, 0x1000}), "Ctrl+Esc");
    EXPECT_EQ(shortcutDisplayText(HotKeyDescriptor{126, 0x0100}), "Super+Up");
    EXPECT_EQ(shortcutDisplayText(HotKeyDescriptor{43, 0x0200}), "Shift+,");
    EXPECT_EQ(shortcutDisplayText(HotKeyDescriptor{10, 0x1000}), "Ctrl+?");
}

}  // namespace
}  // namespace velurio
