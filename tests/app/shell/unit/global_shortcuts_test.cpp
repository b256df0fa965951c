// The shortcut registry and registration rules, against a recording backend. (The X11 backend
// itself is exercised with real key grabs in the window tests.)
#include "app/shell/global_shortcuts.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace velurio {
namespace {

class RecordingBackend : public HotKeyBackend {
  public:
    struct Log {
        std::vector<std::string> calls;
        std::set<std::pair<std::uint32_t, std::uint32_t>> taken;
        HotKeyBackend* self = nullptr;
    };
    explicit RecordingBackend(Log& log) : m_log(log) { m_log.self = this; }
    GrabResult grab(std::uint32_t id, std::uint32_t keyCode, std::uint32_t modifiers) override {
        m_log.calls.push_back("grab " + std::to_string(id) + " " + std::to_string(keyCode));
        return m_log.taken.count({keyCode, modifiers}) != 0 ? GrabResult::taken
                                                            : GrabResult::grabbed;
    }
    void release(std::uint32_t id) override {
        m_log.calls.push_back("release " + std::to_string(id));
    }

  private:
    Log& m_log;
};

using Action = GlobalShortcuts::Action;

TEST(GlobalShortcutsTest, APressRunsTheHandlerOfItsActionOnly) {
    RecordingBackend::Log log;
    GlobalShortcuts shortcuts(std::make_unique<RecordingBackend>(log));
    std::vector<int> ran;
    shortcuts.setHandler(Action::toggleAnnotation, [&]() { ran.push_back(1); });
    shortcuts.setHandler(Action::clear, [&]() { ran.push_back(2); });
    ASSERT_TRUE(shortcuts.registerHotKey(Action::clear, {37, 0x1200}));
    log.self->onPressed(2);
    log.self->onPressed(1);
    EXPECT_EQ(ran, (std::vector<int>{2, 1}));
    // An id with no stored function is left to others.
    EXPECT_FALSE(GlobalShortcuts::dispatch(99));
    // A later handler replaces the earlier one.
    shortcuts.setHandler(Action::clear, [&]() { ran.push_back(20); });
    log.self->onPressed(2);
    EXPECT_EQ(ran.back(), 20);
}

TEST(GlobalShortcutsTest, ReRegisteringReleasesTheOldCombinationFirst) {
    RecordingBackend::Log log;
    GlobalShortcuts shortcuts(std::make_unique<RecordingBackend>(log));
    ASSERT_TRUE(shortcuts.registerHotKey(Action::clear, {37, 0x1200}));
    ASSERT_TRUE(shortcuts.registerHotKey(Action::clear, {40, 0x1800}));
    EXPECT_EQ(log.calls, (std::vector<std::string>{"grab 2 37", "release 2", "grab 2 40"}));
    EXPECT_EQ(shortcuts.registeredDescriptor(Action::clear), (HotKeyDescriptor{40, 0x1800}));
    shortcuts.unregister(Action::clear);
    shortcuts.unregister(Action::clear);  // nothing registered: nothing released
    EXPECT_EQ(log.calls.back(), "release 2");
    EXPECT_EQ(std::count(log.calls.begin(), log.calls.end(), "release 2"), 2);
}

TEST(GlobalShortcutsTest, ATakenCombinationLeavesOnlyThatActionUnregistered) {
    RecordingBackend::Log log;
    log.taken.insert({37, 0x1200});
    GlobalShortcuts shortcuts(std::make_unique<RecordingBackend>(log));
    EXPECT_TRUE(shortcuts.registerHotKey(Action::toggleAnnotation, {0, 0x1200}));
    EXPECT_FALSE(shortcuts.registerHotKey(Action::clear, {37, 0x1200}));
    EXPECT_TRUE(shortcuts.registerHotKey(Action::savePNG, {1, 0x1200}));
    EXPECT_TRUE(shortcuts.isRegistered(Action::toggleAnnotation));
    EXPECT_FALSE(shortcuts.isRegistered(Action::clear));
    EXPECT_TRUE(shortcuts.isRegistered(Action::savePNG));
    // The previous combination of a failed re-registration is gone too: at most one key per
    // action, and never a stale one.
    ASSERT_TRUE(shortcuts.registerHotKey(Action::savePNG, {1, 0x1200}));
    log.taken.insert({2, 0x1200});
    EXPECT_FALSE(shortcuts.registerHotKey(Action::savePNG, {2, 0x1200}));
    EXPECT_FALSE(shortcuts.isRegistered(Action::savePNG));
}

TEST(GlobalShortcutsTest, AHandlerOfADestroyedInstanceIsNeverCalled) {
    RecordingBackend::Log log;
    bool ran = false;
    {
        GlobalShortcuts shortcuts(std::make_unique<RecordingBackend>(log));
        shortcuts.setHandler(Action::savePNG, [&]() { ran = true; });
        ASSERT_TRUE(shortcuts.registerHotKey(Action::savePNG, {1, 0x1200}));
    }
    // The destructor released the key; a late press still finds the registry entry, whose
    // weak reference is empty.
    EXPECT_EQ(log.calls.back(), "release 3");
    EXPECT_TRUE(GlobalShortcuts::dispatch(3));
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace velurio
