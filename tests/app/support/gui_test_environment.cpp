// A QApplication on the X server of the test services (Xvfb with a compositor, DISPLAY set by
// scripts/services.d/30-xvfb.sh). Without a display the tests fail: a window test that cannot
// reach its X server is a failure, not a skip.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <memory>

namespace {

class GuiEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_NE(std::getenv("DISPLAY"), nullptr)
            << "the window tests need DISPLAY (run under scripts/with-services)";
        qputenv("QT_QPA_PLATFORM", "xcb");
        static int argc = 1;
        static char name[] = "velurio_app_gui_tests";
        static char* argv[] = {name, nullptr};
        m_app = std::make_unique<QApplication>(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    void TearDown() override { m_app.reset(); }

  private:
    std::unique_ptr<QApplication> m_app;
};

[[maybe_unused]] auto* const g_environment =
    ::testing::AddGlobalTestEnvironment(new GuiEnvironment);

}  // namespace
