// The X11 backend's translation of the settings' key encoding, and its behaviour where there is
// no X server (the offscreen platform of the unit tests). Real grabs: the window tests.
#include "platform/x11/x11_hot_key_backend.h"

#include "app/shell/global_shortcuts.h"

#include <gtest/gtest.h>

#include <xcb/xproto.h>

namespace velurio {
namespace {

TEST(X11HotKeyBackendTest, SettingsKeysAndModifiersMapToTheSameKeysOnX) {
    // Key codes are positions on a US keyboard, not letters in order.
    EXPECT_EQ(X11HotKeyBackend::keysymForKeyCode(0), std::uint32_t{'a'});
    EXPECT_EQ(X11HotKeyBackend::keysymForKeyCode(1), std::uint32_t{'s'});
    EXPECT_EQ(X11HotKeyBackend::keysymForKeyCode(37), std::uint32_t{'l'});
    EXPECT_EQ(X11HotKeyBackend::keysymForKeyCode(40), std::uint32_t{'k'});
    EXPECT_EQ(X11HotKeyBackend::keysymForKeyCode(126), 0xff52u);      // up arrow
    EXPECT_EQ(X11HotKeyBackend::keysymForKeyCode(10), std::nullopt);  // no key on a US keyboard
    EXPECT_EQ(X11HotKeyBackend::xModifiers(0x1200), XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT);
    EXPECT_EQ(X11HotKeyBackend::xModifiers(0x0900),
              XCB_MOD_MASK_1 | XCB_MOD_MASK_4);  // option, command
    EXPECT_EQ(X11HotKeyBackend::xModifiers(0), 0);
}

TEST(X11HotKeyBackendTest, WithoutAnXServerNothingIsRegisteredAndTheLogSaysSo) {
    static QStringList log;
    log.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& message) {
            log.push_back(message);
        });
    {
        GlobalShortcuts shortcuts(std::make_unique<X11HotKeyBackend>());
        EXPECT_FALSE(shortcuts.registerHotKey(GlobalShortcuts::Action::clear, {37, 0x1200}));
        EXPECT_FALSE(shortcuts.isRegistered(GlobalShortcuts::Action::clear));
    }
    qInstallMessageHandler(previous);
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(
        log.front().startsWith(QStringLiteral("Velurio: atalho Ctrl+Shift+L (limpar traços)")))
        << log.front().toStdString();
}

}  // namespace
}  // namespace velurio
