// The local slide watcher on a private Xvfb with picom: a full-screen slide replaced by another
// is reported (on the main thread); a moving pointer makes no image at all and
// a small clock ticking in a corner makes no report; a static screen makes no image. Without a
// compositing-capable server (our ink would be in the picture) it refuses to watch.
#include "app/capture/slide_watcher.h"

#include "x_session.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <chrono>
#include <thread>

namespace velurio {
namespace {

using namespace std::chrono_literals;

struct Watcher : ::testing::Test {
    int argc = 1;
    char arg0[8] = "watcher";
    char* argv[2] = {arg0, nullptr};
    std::unique_ptr<test::XSession> x;
    std::unique_ptr<QCoreApplication> app;
    std::unique_ptr<SlideWatcher> watcher;
    std::vector<std::uint64_t> changes;

    void start(test::XSession::Options options) {
        x = std::make_unique<test::XSession>(options);
        ASSERT_TRUE(x->ok());
        app = std::make_unique<QCoreApplication>(argc, argv);
        watcher = std::make_unique<SlideWatcher>();
        QObject::connect(watcher.get(), &SlideWatcher::slideChanged, [this](std::uint64_t hash) {
            EXPECT_EQ(QThread::currentThread(), app->thread());
            changes.push_back(hash);
        });
    }
    void TearDown() override {
        watcher.reset();
        app.reset();
    }
    template <class Pred>
    bool processUntil(Pred done, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }
    void processFor(std::chrono::milliseconds duration) {
        processUntil([] { return false; }, duration);
    }
};

// A slide: a dark full-screen background with one bright block (where depends on `which`).
std::vector<xcb_window_t> slide(test::TestClient& client, int which) {
    std::vector<xcb_window_t> windows{client.window(0, 0, 1920, 1080, 0x202830)};
    windows.push_back(which == 0 ? client.window(100, 100, 800, 400, 0xf0f0f0)
                                 : client.window(1000, 600, 800, 400, 0xf0e060));
    return windows;
}

TEST_F(Watcher, AReplacedSlideIsReportedAndPointerOrClockAreNot) {
    start({true, false, true});
    test::TestClient client;
    auto current = slide(client, 0);
    ASSERT_TRUE(watcher->start(QRect(0, 0, 1920, 1080)));
    EXPECT_TRUE(watcher->watching());
    ASSERT_TRUE(processUntil([&] { return watcher->examined() >= 1; }, 3s)) << "the reference";
    processFor(1s);
    ASSERT_TRUE(changes.empty());

    // A static screen makes no image.
    const std::int64_t images = watcher->images();
    processFor(2s);
    EXPECT_EQ(watcher->images(), images);

    // The pointer moving over the slide: no image either.
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    for (int i = 0; i < 40; ++i) {
        xcb_warp_pointer(c, XCB_WINDOW_NONE, root, 0, 0, 0, 0,
                         static_cast<std::int16_t>(200 + 30 * i),
                         static_cast<std::int16_t>(300 + 10 * i));
        xcb_flush(c);
        processFor(25ms);
    }
    xcb_disconnect(c);
    EXPECT_EQ(watcher->images(), images) << "the pointer is not part of the watched picture";

    // A clock in the corner ticking: images, but no change of slide.
    const xcb_window_t clock = client.window(1700, 20, 160, 48, 0x000000);
    for (int i = 0; i < 12; ++i) {
        client.destroy(client.window(1710, 28, 140, 32, i % 2 == 0 ? 0xffffff : 0x808080));
        processFor(150ms);
    }
    client.destroy(clock);
    processFor(800ms);
    EXPECT_GT(watcher->images(), images);
    EXPECT_TRUE(changes.empty());

    // The next slide replaces this one: reported (how fast is a figure of bench/slides).
    for (xcb_window_t w : current)
        client.destroy(w);
    current = slide(client, 1);
    QElapsedTimer elapsed;
    elapsed.start();
    ASSERT_TRUE(processUntil([&] { return !changes.empty(); }, 3s));
    RecordProperty("report_after_slide_change_ms", static_cast<int>(elapsed.elapsed()));

    watcher->stop();
    EXPECT_FALSE(watcher->watching());
    const std::size_t reported = changes.size();
    for (xcb_window_t w : current)
        client.destroy(w);
    current = slide(client, 0);
    processFor(1s);
    EXPECT_EQ(changes.size(), reported) << "nothing after stop";
}

TEST_F(Watcher, RefusesWhenOurOwnWindowsWouldBeInThePicture) {
    start({false, false, false});
    EXPECT_FALSE(watcher->start(QRect(0, 0, 1920, 1080)));
    EXPECT_FALSE(watcher->watching());
}

}  // namespace
}  // namespace velurio
