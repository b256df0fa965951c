// Escape out of drawing mode: grabbed only while armed, released when disarmed, and a press
// counts only while armed; an Escape another program holds leaves it disarmed.
#include "app/shell/escape_shortcut.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velurio {
namespace {

class EscapeBackend : public HotKeyBackend {
  public:
    struct Log {
        std::vector<std::string> calls;
        bool taken = false;
        HotKeyBackend* self = nullptr;
    };
    explicit EscapeBackend(Log& log) : m_log(log) { m_log.self = this; }
    GrabResult grab(std::uint32_t, std::uint32_t keyCode, std::uint32_t modifiers) override {
        m_log.calls.push_back("grab " + std::to_string(keyCode) + "/" + std::to_string(modifiers));
        return m_log.taken ? GrabResult::taken : GrabResult::grabbed;
    }
    void release(std::uint32_t) override { m_log.calls.push_back("release"); }

  private:
    Log& m_log;
};

TEST(EscapeShortcutTest, GrabbedOnlyWhileArmedAndPressesCountOnlyThen) {
    EscapeBackend::Log log;
    int presses = 0;
    {
        EscapeShortcut escape(std::make_unique<EscapeBackend>(log));
        escape.onPressed = [&]() { ++presses; };
        EXPECT_TRUE(log.calls.empty()) << "nothing is grabbed before drawing starts";
        escape.setArmed(true);
        escape.setArmed(true);
        EXPECT_EQ(log.calls, (std::vector<std::string>{"grab 53/0"})) << "Escape, no modifier";
        log.self->onPressed(1);
        EXPECT_EQ(presses, 1);
        escape.setArmed(false);
        EXPECT_EQ(log.calls.back(), "release");
        log.self->onPressed(1);  // a press still queued when the key was given back
        EXPECT_EQ(presses, 1);
        escape.setArmed(true);
    }
    EXPECT_EQ(log.calls.back(), "release") << "given back when the shell goes";

    EscapeBackend::Log held;
    held.taken = true;
    EscapeShortcut escape(std::make_unique<EscapeBackend>(held));
    escape.setArmed(true);
    EXPECT_FALSE(escape.armed());
}

}  // namespace
}  // namespace velurio
