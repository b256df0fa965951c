// The preferences window against a stand-in shell model: the recorders store what they record,
// the display picker and its fallbacks, frame rate and codec, and the account row.
#include "app/windows/preferences_window.h"

#include "app/shell/shortcut_recorder.h"
#include "app/ui/widgets.h"
#include "stand_in_shell_model.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>

namespace velurio {
namespace {

using testing::StandInShellModel;

void runEvents() {
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

TEST(PreferencesWindowTest, RecordersStoreTheNewCombinationAndShowItsText) {
    StandInShellModel model;
    PreferencesWindowController controller(model);
    controller.show();
    runEvents();
    EXPECT_EQ(controller.window()->size(), QSize(520, 480));
    EXPECT_EQ(controller.window()->windowTitle(), QStringLiteral("Preferências"));
    PreferencesView* view = controller.view();
    ShortcutRecorderButton* clear = view->recorder(PreferencesView::Shortcut::clear);
    EXPECT_EQ(clear->text(), QStringLiteral("Ctrl+Shift+L"));
    clear->click();
    ASSERT_TRUE(clear->recording());
    QKeyEvent press(QEvent::KeyPress, Qt::Key_K, Qt::AltModifier | Qt::MetaModifier);
    QApplication::sendEvent(clear, &press);
    runEvents();
    EXPECT_EQ(model.settings().shortcutClear(), (HotKeyDescriptor{40, 0x900}));
    EXPECT_EQ(clear->text(), QStringLiteral("Alt+Super+K"));
    // The others are untouched.
    EXPECT_EQ(model.settings().shortcutToggleAnnotation(), AppSettings::kDefaultToggleAnnotation);
    EXPECT_EQ(model.settings().shortcutSavePNG(), AppSettings::kDefaultSavePNG);
}

TEST(PreferencesWindowTest, DisplayPickerListsTheDisplaysAndStoresTheChoice) {
    StandInShellModel model;
    PreferencesWindowController controller(model);
    controller.show();
    runEvents();
    QComboBox* picker = controller.view()->displayPicker();
    // No displays: an empty picker without a selection.
    EXPECT_EQ(picker->count(), 0);
    EXPECT_EQ(picker->currentIndex(), -1);

    model.displayList = {{1, "DP-1", 1920, 1080}, {7, "HDMI-1", 1280, 1024}};
    Q_EMIT model.displaysChanged();
    ASSERT_EQ(picker->count(), 2);
    EXPECT_EQ(picker->itemText(0), QStringLiteral("1920×1080 · 1"));
    EXPECT_EQ(picker->itemText(1), QStringLiteral("1280×1024 · 7"));
    EXPECT_EQ(picker->currentIndex(), 0);  // none selected: the first
    model.selected = 7;
    Q_EMIT model.displaysChanged();
    EXPECT_EQ(picker->currentIndex(), 1);

    picker->setCurrentIndex(0);
    Q_EMIT picker->activated(0);
    EXPECT_EQ(model.settings().selectedDisplayID(), std::optional<std::uint32_t>(1));

    // Each showing refreshes the list.
    controller.show();
    runEvents();
    EXPECT_EQ(model.displayRefreshes, 2);
}

TEST(PreferencesWindowTest, FrameRateCodecAndTheAccountRow) {
    StandInShellModel model;
    PreferencesWindowController controller(model);
    controller.show();
    runEvents();
    PreferencesView* view = controller.view();
    QComboBox* fps = view->fpsPicker();
    ASSERT_EQ(fps->count(), 2);
    EXPECT_EQ(fps->currentText(), QStringLiteral("30"));
    fps->setCurrentIndex(1);
    Q_EMIT fps->activated(1);
    EXPECT_EQ(model.settings().captureFPS(), 60);
    view->hevcToggle()->click();
    EXPECT_TRUE(model.settings().useHEVC());
    model.settings().setUseHEVC(false);
    EXPECT_FALSE(view->hevcToggle()->isChecked());

    // Signed out: no "Sair".
    EXPECT_EQ(view->accountText(), QStringLiteral("Não autenticado"));
    EXPECT_TRUE(view->signOutButton()->isHidden());
    model.authenticatedValue = true;
    model.email = QStringLiteral("ana.souza@example.com");
    Q_EMIT model.accountChanged();
    EXPECT_EQ(view->accountText(), QStringLiteral("ana.souza@example.com"));
    EXPECT_FALSE(view->signOutButton()->isHidden());
    view->signOutButton()->click();
    runEvents();
    EXPECT_EQ(model.logouts, 1);
    EXPECT_EQ(view->accountText(), QStringLiteral("Não autenticado"));
    EXPECT_TRUE(view->signOutButton()->isHidden());
}

}  // namespace
}  // namespace velurio
