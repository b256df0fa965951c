// The capture engine on a private Xvfb with picom, with the real encoder (libx264): start in
// order with a key frame first and datagrams of at most 1,200 payload bytes on the main thread,
// nothing streamed for a static screen but one key frame once it is still after a change, one
// slide change for a new picture and none for a small change, display selection and switching
// on split monitors, following the captured display when it changes or goes, a lost X server,
// and the permission failure.
#include "app/capture/capture_engine.h"

#include "protocol/video_datagram.h"
#include "x_session.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>

#include <chrono>
#include <thread>

namespace velurio {
namespace {

using test::TestClient;
using test::XSession;
using namespace std::chrono_literals;

struct Engine : ::testing::Test {
    int argc = 1;
    char arg0[8] = "capture";
    char* argv[2] = {arg0, nullptr};
    std::unique_ptr<XSession> x;
    XSession::Options server{true, false, true};
    std::unique_ptr<QCoreApplication> app;
    std::unique_ptr<CaptureEngine> engine;
    std::vector<std::vector<Bytes>> frames;
    std::vector<std::uint64_t> slides;

    void SetUp() override {
        x = std::make_unique<XSession>(server);
        ASSERT_TRUE(x->ok());
        app = std::make_unique<QCoreApplication>(argc, argv);
        H264Encoder::Options options;
        options.allowHardware = false;
        options.threads = 1;
        options.log = [](std::string_view) {};
        engine = std::make_unique<CaptureEngine>(CaptureSettings{30, H264Encoder::Codec::h264},
                                                 makePlatformCaptureBackend(), options);
        engine->onDatagrams = [this](std::vector<Bytes> d) {
            EXPECT_EQ(QThread::currentThread(), app->thread());
            frames.push_back(std::move(d));
        };
        engine->onSlideChanged = [this](std::uint64_t h) { slides.push_back(h); };
    }
    void TearDown() override {
        engine.reset();
        app.reset();
    }

    template <class Pred>
    bool processUntil(Pred done, std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }
    void processFor(std::chrono::milliseconds duration) {
        processUntil([] { return false; }, duration);
    }
    // Whether a key frame arrived since the last call (and forgets the frames seen).
    bool anyKeyFrame() {
        bool key = false;
        for (const auto& f : frames)
            key = key || header(f[0]).isKeyframe;
        frames.clear();
        return key;
    }
    static VideoFrameHeader header(const Bytes& datagram) {
        auto h = VideoFrameHeader::parse(datagram);
        EXPECT_TRUE(h.has_value());
        return h.value_or(VideoFrameHeader{});
    }
};

TEST_F(Engine, StartsWithKeyFramesStreamsOnlyChangesAndStops) {
    engine->refreshDisplays();
    EXPECT_TRUE(engine->permissionGranted());
    ASSERT_EQ(engine->displays().size(), 1u);
    EXPECT_EQ(engine->displays()[0].width, 1920);
    ASSERT_TRUE(engine->start().ok());
    EXPECT_TRUE(engine->isCapturing());
    EXPECT_TRUE(engine->excludesOwnWindows());
    EXPECT_EQ(engine->capturingDisplayID(), engine->displays()[0].id);
    EXPECT_EQ(engine->selectedDisplayID(), engine->displays()[0].id);
    EXPECT_TRUE(engine->start().ok()) << "already capturing: nothing happens";

    // The still image and the first streamed image, both key frames (the encoder may merge
    // them when the second arrives before the first is encoded).
    ASSERT_TRUE(processUntil([&] { return !frames.empty(); }, 5s));
    processFor(500ms);
    ASSERT_LE(frames.size(), 2u);
    for (const auto& frame : frames) {
        ASSERT_FALSE(frame.empty());
        EXPECT_TRUE(header(frame[0]).isKeyframe);
        for (const Bytes& d : frame)
            EXPECT_LE(d.size(), VideoFrameHeader::byteCount + 1200);
    }

    // Each frame sent has its stages timed; the encoder spent time on it, none went negative.
    EXPECT_EQ(engine->timings().frames(), frames.size());
    const QByteArray timings = engine->timingsJSON();
    EXPECT_TRUE(timings.startsWith("{\"frames\":")) << timings.constData();
    EXPECT_TRUE(timings.contains("\"encode\":{\"samples\":")) << timings.constData();
    EXPECT_FALSE(timings.contains(":-")) << timings.constData();

    // A static screen streams nothing for 5 s.
    const std::size_t settled = frames.size();
    processFor(5s);
    EXPECT_EQ(frames.size(), settled);

    // An external key-frame request applies to the next captured image.
    engine->keyframeFlag().set();
    TestClient client;
    client.window(10, 10, 50, 50, 0x336699);
    ASSERT_TRUE(processUntil([&] { return frames.size() > settled; }, 3s));
    EXPECT_TRUE(header(frames[settled][0]).isKeyframe);

    engine->stop();
    EXPECT_FALSE(engine->isCapturing());
    EXPECT_FALSE(engine->capturingDisplayID().has_value());
    engine->stop();  // no stream: nothing
    EXPECT_FALSE(engine->isCapturing());
}

// Video travels without acknowledgements: once the screen is still after frames that depend on
// earlier ones, it is sent again as a key frame (1 s after the change, the next at 3 s), so that
// a tablet that lost one of them shows the right picture again.
TEST_F(Engine, AStillScreenAfterAChangeIsSentAgainAsAKeyFrame) {
    engine->refreshDisplays();
    ASSERT_TRUE(engine->start().ok());
    ASSERT_TRUE(processUntil([&] { return !frames.empty(); }, 5s));
    processFor(1500ms);
    const std::size_t still = frames.size();
    TestClient client;
    client.window(10, 10, 50, 50, 0x336699);
    ASSERT_TRUE(processUntil([&] { return frames.size() > still; }, 3s));
    processFor(400ms);
    const std::size_t changed = frames.size();
    EXPECT_FALSE(header(frames.back()[0]).isKeyframe);
    processFor(2000ms);
    ASSERT_EQ(frames.size(), changed + 1) << "one repeat of the still screen";
    EXPECT_TRUE(header(frames.back()[0]).isKeyframe);
}

TEST_F(Engine, ReportsOneSlideChangeForANewPictureAndNoneForASmallChange) {
    engine->refreshDisplays();
    ASSERT_TRUE(engine->start().ok());
    ASSERT_TRUE(processUntil([&] { return !frames.empty(); }, 5s));
    processFor(700ms);  // the reference picture is examined once the screen is still
    TestClient client;
    client.window(0, 0, 960, 1080, 0x000000);
    client.window(960, 0, 960, 1080, 0xffffff);
    EXPECT_TRUE(processUntil([&] { return !slides.empty(); }, 1s));
    processFor(1s);
    EXPECT_EQ(slides.size(), 1u);
    if (!slides.empty()) {
        EXPECT_EQ(slides[0], 0xF0F0F0F0F0F0F0F0ull);
    }

    client.window(400, 400, 24, 24, 0x808080);
    processFor(1s);
    EXPECT_EQ(slides.size(), 1u) << "a small change is no slide change";
}

TEST_F(Engine, SelectsAndSwitchesBetweenSplitMonitors) {
    ASSERT_TRUE(
        test::run("xrandr --setmonitor left 960/254x1080/286+0+0 none && "
                  "xrandr --setmonitor right 960/254x1080/286+960+0 none"));
    engine->setSelectedDisplayID(12345u);  // unplugged
    engine->refreshScreenList();
    std::optional<std::uint32_t> left;
    std::optional<std::uint32_t> right;
    for (const DisplayDescriptor& d : engine->displays()) {
        if (d.name == "left")
            left = d.id;
        if (d.name == "right")
            right = d.id;
    }
    ASSERT_TRUE(left && right);
    ASSERT_TRUE(engine->selectedDisplayID().has_value());
    EXPECT_NE(engine->selectedDisplayID(), 12345u);

    engine->setSelectedDisplayID(*left);
    ASSERT_TRUE(engine->start().ok());
    EXPECT_EQ(engine->capturingDisplayID(), left);
    ASSERT_TRUE(engine->switchDisplay(*right).ok());
    EXPECT_EQ(engine->capturingDisplayID(), right);
    EXPECT_EQ(engine->selectedDisplayID(), right);
    EXPECT_TRUE(engine->isCapturing());
    EXPECT_TRUE(engine->switchDisplay(*right).ok());
    EXPECT_TRUE(engine->switchDisplay(999u).ok()) << "unknown display: nothing";
    EXPECT_EQ(engine->capturingDisplayID(), right);

    // The right half streams at its own size.
    frames.clear();
    ASSERT_TRUE(processUntil([&] { return !frames.empty(); }, 5s));
    EXPECT_TRUE(header(frames[0][0]).isKeyframe);
}

// The captured monitor is resized: capture restarts on it at its new size, key frame first.
// Then it is removed: capture moves to the main display.
TEST_F(Engine, FollowsTheCapturedDisplayWhenItIsResizedOrRemoved) {
    ASSERT_TRUE(test::run("xrandr --setmonitor left 960/254x1080/286+0+0 none"));
    engine->refreshScreenList();
    std::optional<std::uint32_t> left;
    for (const DisplayDescriptor& d : engine->displays()) {
        if (d.name == "left")
            left = d.id;
    }
    ASSERT_TRUE(left);
    engine->setSelectedDisplayID(*left);
    ASSERT_TRUE(engine->start().ok());
    ASSERT_EQ(engine->captureSize(), (CaptureDimensions{960, 1080}));
    processFor(300ms);
    frames.clear();

    // Replaced in one go: the server refuses to set a monitor's new geometry over the old.
    ASSERT_TRUE(
        test::run("xrandr --delmonitor left --setmonitor left 800/254x600/286+100+50 none"));
    ASSERT_TRUE(processUntil(
        [&] {
            return engine->captureSize() == CaptureDimensions{800, 600};
        },
        5s));
    EXPECT_TRUE(engine->isCapturing());
    EXPECT_EQ(engine->capturingDisplayID(), left) << "the same display, by its name";
    EXPECT_TRUE(processUntil([&] { return anyKeyFrame(); }, 5s))
        << "the new stream starts with one";

    ASSERT_TRUE(test::run("xrandr --delmonitor left"));
    ASSERT_TRUE(processUntil([&] { return engine->capturingDisplayID() != left; }, 5s));
    EXPECT_TRUE(engine->isCapturing());
    EXPECT_EQ(engine->captureSize(), (CaptureDimensions{1920, 1080}));
    EXPECT_EQ(engine->selectedDisplayID(), engine->capturingDisplayID());
    EXPECT_TRUE(processUntil([&] { return anyKeyFrame(); }, 5s));
    EXPECT_FALSE(engine->lastError().has_value());
}

// The X server goes away mid-stream: the engine does not go on claiming to capture.
TEST_F(Engine, StopsWithATextWhenTheDisplayServerGoesAway) {
    engine->refreshDisplays();
    ASSERT_TRUE(engine->start().ok());
    int changes = 0;
    QObject::connect(engine.get(), &CaptureEngine::stateChanged, [&] { ++changes; });
    x->stopServer();
    ASSERT_TRUE(processUntil([&] { return !engine->isCapturing(); }, 5s));
    EXPECT_GT(changes, 0);
    EXPECT_EQ(engine->lastError(), CaptureEngine::interruptedText);
    EXPECT_FALSE(engine->capturingDisplayID().has_value());
    EXPECT_FALSE(engine->captureSize().has_value());
}

struct EngineWithoutComposite : Engine {
    EngineWithoutComposite() { server = XSession::Options{false, false, false}; }
};

// The documented limitation: without Composite the stream is a root grab, so our windows are
// in it, and the engine says so.
TEST_F(EngineWithoutComposite, FallsBackToARootGrabThatShowsOurWindows) {
    engine->refreshDisplays();
    ASSERT_TRUE(engine->start().ok());
    EXPECT_TRUE(engine->isCapturing());
    EXPECT_FALSE(engine->excludesOwnWindows());
    ASSERT_TRUE(processUntil([&] { return !frames.empty(); }, 5s));
    EXPECT_TRUE(header(frames[0][0]).isKeyframe);
}

TEST_F(Engine, WithoutAReadableDisplayReportsThePermissionText) {
    setenv("DISPLAY", ":9999", 1);
    engine->refreshDisplays();
    EXPECT_FALSE(engine->permissionGranted());
    EXPECT_EQ(engine->lastError(), CaptureEngine::permissionText);
    const Status<CaptureError> started = engine->start();
    ASSERT_FALSE(started.ok());
    EXPECT_EQ(started.error().kind, CaptureError::Kind::permissionDenied);
    EXPECT_FALSE(engine->isCapturing());
    EXPECT_EQ(engine->lastError(), QStringLiteral("Permissão de gravação de tela necessária."));
}

}  // namespace
}  // namespace velurio
