#include "app/settings/app_settings.h"

#include <gtest/gtest.h>

#include <QSettings>
#include <QTemporaryDir>

#include <memory>

namespace velurio {
namespace {

class AppSettingsTest : public ::testing::Test {
  protected:
    std::unique_ptr<QSettings> iniStore() {
        return std::make_unique<QSettings>(m_dir.filePath(QStringLiteral("velurio.conf")),
                                           QSettings::IniFormat);
    }
    std::unique_ptr<AppSettings> open() { return std::make_unique<AppSettings>(iniStore()); }

    QTemporaryDir m_dir;
};

TEST_F(AppSettingsTest, FreshInstallationHasTheDefaults) {
    auto settings = open();
    EXPECT_FALSE(settings->annotationActive());
    EXPECT_FALSE(settings->annotationHintShown());
    EXPECT_FALSE(settings->showToolbar());
    EXPECT_TRUE(settings->clearOnSlideChange());
    EXPECT_FALSE(settings->highlightCursor());
    EXPECT_EQ(settings->captureFPS(), 30);
    EXPECT_FALSE(settings->useHEVC());
    EXPECT_FALSE(settings->selectedDisplayID().has_value());
    EXPECT_EQ(settings->shortcutToggleAnnotation().displayString(), QStringLiteral("⌃⇧A"));
    EXPECT_EQ(settings->shortcutClear().displayString(), QStringLiteral("⌃⇧L"));
    EXPECT_EQ(settings->shortcutSavePNG().displayString(), QStringLiteral("⌃⇧S"));
}

// Every field written through the setters reads back the same from the INI file, including
// shortcuts (which the INI backend returns as lists of strings) and the Boolean keys whose
// default is true.
TEST_F(AppSettingsTest, EveryFieldRoundTripsThroughTheIniFile) {
    {
        auto settings = open();
        settings->setAnnotationActive(true);
        settings->setAnnotationHintShown(true);
        settings->setShowToolbar(true);
        settings->setClearOnSlideChange(false);
        settings->setHighlightCursor(true);
        settings->setCaptureFPS(60);
        settings->setUseHEVC(true);
        settings->setSelectedDisplayID(4294967295u);
        settings->setShortcutToggleAnnotation(
            {49, HotKeyDescriptor::kCommand | HotKeyDescriptor::kShift});
        settings->setShortcutClear({126, HotKeyDescriptor::kOption});
        settings->setShortcutSavePNG({4000000000u, 0});
    }
    auto settings = open();
    EXPECT_TRUE(settings->annotationActive());
    EXPECT_TRUE(settings->annotationHintShown());
    EXPECT_TRUE(settings->showToolbar());
    EXPECT_FALSE(settings->clearOnSlideChange());
    EXPECT_TRUE(settings->highlightCursor());
    EXPECT_EQ(settings->captureFPS(), 60);
    EXPECT_TRUE(settings->useHEVC());
    EXPECT_EQ(settings->selectedDisplayID(), std::optional<std::uint32_t>(4294967295u));
    EXPECT_EQ(settings->shortcutToggleAnnotation(),
              (HotKeyDescriptor{49, HotKeyDescriptor::kCommand | HotKeyDescriptor::kShift}));
    EXPECT_EQ(settings->shortcutClear(), (HotKeyDescriptor{126, HotKeyDescriptor::kOption}));
    EXPECT_EQ(settings->shortcutSavePNG(), (HotKeyDescriptor{4000000000u, 0}));

    settings->setSelectedDisplayID(std::nullopt);
    EXPECT_FALSE(open()->selectedDisplayID().has_value());
    EXPECT_FALSE(iniStore()->contains(QStringLiteral("selectedDisplayID")));
}

TEST_F(AppSettingsTest, MalformedStoredValuesFallBackToDefaults) {
    {
        auto store = iniStore();
        store->setValue(QStringLiteral("shortcut.toggleAnnotation"), QVariantList{1, 2, 3});
        store->setValue(QStringLiteral("shortcut.clear"), QVariantList{-1, 4608});
        store->setValue(QStringLiteral("shortcut.savePNG"), QStringLiteral("1, x"));
        store->setValue(QStringLiteral("annotationActive"), QStringLiteral("maybe"));
        store->setValue(QStringLiteral("clearOnSlideChange"), QStringLiteral("maybe"));
        store->setValue(QStringLiteral("selectedDisplayID"), QStringLiteral("4294967296"));
        store->setValue(QStringLiteral("captureFPS"), QStringLiteral("fast"));
    }
    auto settings = open();
    EXPECT_EQ(settings->shortcutToggleAnnotation(), AppSettings::kDefaultToggleAnnotation);
    EXPECT_EQ(settings->shortcutClear(), AppSettings::kDefaultClear);
    EXPECT_EQ(settings->shortcutSavePNG(), AppSettings::kDefaultSavePNG);
    EXPECT_FALSE(settings->annotationActive());
    EXPECT_TRUE(settings->clearOnSlideChange());
    EXPECT_FALSE(settings->selectedDisplayID().has_value());
    EXPECT_EQ(settings->captureFPS(), 30);
}

TEST(HotKeyDescriptorTest, ParsesOnlyTwoUnsignedIntegers) {
    EXPECT_EQ(AppSettings::parseShortcut(QVariantList{37u, 4608u}), (HotKeyDescriptor{37, 4608}));
    EXPECT_EQ(AppSettings::parseShortcut(QStringList{QStringLiteral("37"), QStringLiteral("4608")}),
              (HotKeyDescriptor{37, 4608}));
    EXPECT_FALSE(AppSettings::parseShortcut(QVariantList{37u}));
    EXPECT_FALSE(AppSettings::parseShortcut(QVariantList{true, 4608}));
    EXPECT_FALSE(AppSettings::parseShortcut(QVariantList{1.5, 4608}));
    EXPECT_FALSE(
        AppSettings::parseShortcut(QStringList{QStringLiteral("+3"), QStringLiteral("1")}));
    EXPECT_FALSE(
        AppSettings::parseShortcut(QStringList{QStringLiteral("4294967296"), QStringLiteral("1")}));
    EXPECT_FALSE(AppSettings::parseShortcut(QVariant(37)));
}

TEST(HotKeyDescriptorTest, DisplayStringOrdersModifiersAndNamesKeys) {
    EXPECT_EQ((HotKeyDescriptor{49, HotKeyDescriptor::kCommand | HotKeyDescriptor::kShift})
                  .displayString(),
              QStringLiteral("⇧⌘␣"));
    EXPECT_EQ((HotKeyDescriptor{10, HotKeyDescriptor::kControl}).displayString(),
              QStringLiteral("⌃?"));
    EXPECT_EQ((HotKeyDescriptor{53, 0x1A00 | HotKeyDescriptor::kCommand}).displayString(),
              QStringLiteral("⌃⌥⇧⌘⎋"));
    EXPECT_EQ((HotKeyDescriptor{43, 0}).displayString(), QStringLiteral(","));
    EXPECT_EQ((HotKeyDescriptor{52, 0}).displayString(), QStringLiteral("?"));
}

// What the user reads on a Linux desktop; the stored key code and mask stay as they are.
TEST(HotKeyDescriptorTest, DisplayTextUsesTheLinuxNotation) {
    EXPECT_EQ(AppSettings::kDefaultToggleAnnotation.displayText(), QStringLiteral("Ctrl+Shift+A"));
    EXPECT_EQ(AppSettings::kDefaultClear.displayText(), QStringLiteral("Ctrl+Shift+L"));
    EXPECT_EQ(AppSettings::kDefaultSavePNG.displayText(), QStringLiteral("Ctrl+Shift+S"));
    EXPECT_EQ((HotKeyDescriptor{40, HotKeyDescriptor::kOption | HotKeyDescriptor::kCommand})
                  .displayText(),
              QStringLiteral("Alt+Super+K"));
    EXPECT_EQ((HotKeyDescriptor{53, 0x1A00 | HotKeyDescriptor::kCommand}).displayText(),
              QStringLiteral("Ctrl+Alt+Shift+Super+Esc"));
    EXPECT_EQ((HotKeyDescriptor{49, HotKeyDescriptor::kShift}).displayText(),
              QStringLiteral("Shift+Space"));
    EXPECT_EQ((HotKeyDescriptor{123, HotKeyDescriptor::kControl}).displayText(),
              QStringLiteral("Ctrl+Left"));
    EXPECT_EQ((HotKeyDescriptor{52, HotKeyDescriptor::kControl}).displayText(),
              QStringLiteral("Ctrl+?"));
}

}  // namespace
}  // namespace velurio
