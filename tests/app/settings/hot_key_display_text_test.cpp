// The desktop notation of shortcuts, as the tray and the preferences show them.
#include "app/settings/app_settings.h"

#include <gtest/gtest.h>

namespace velurio {
namespace {

QString text(std::uint32_t keyCode, std::uint32_t modifiers) {
    return HotKeyDescriptor{keyCode, modifiers}.displayText();
}

TEST(HotKeyDisplayTextTest, ModifiersInDesktopOrderThenTheKeyName) {
    EXPECT_EQ(AppSettings::kDefaultToggleAnnotation.displayText(), "Ctrl+Shift+A");
    EXPECT_EQ(text(40, 0x900), "Alt+Super+K");
    EXPECT_EQ(text(49, 0x1B00), "Ctrl+Alt+Shift+Super+Space");
    // Symbol keys get words; an unknown key code is "?".
    EXPECT_EQ(text(53, 0x1000), "Ctrl+Esc");
    EXPECT_EQ(text(126, 0x0100), "Super+Up");
    EXPECT_EQ(text(43, 0x0200), "Shift+,");
    EXPECT_EQ(text(10, 0x1000), "Ctrl+?");
}

}  // namespace
}  // namespace velurio
