// How the capture engine recovers, against a stand-in backend whose stream reports can be made
// on demand from another thread (as the capture thread would): a stream that ended by itself is
// restarted a bounded number of times, stale reports are ignored, and display changes restart
// capture only when the captured display itself moved, changed size or went.
#include "app/capture/capture_engine.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <chrono>
#include <thread>

namespace velurio {
namespace {

using namespace std::chrono_literals;

class StandInBackend final : public CaptureBackend {
  public:
    struct NoStream final : Stream {
        bool excludesOwnWindows() const override { return true; }
    };

    std::vector<Display> displays{{1, "main", 1920, 1080, true, 0, 0},
                                  {2, "side", 1280, 1024, false, 1920, 0}};
    bool available = true;
    int listings = 0;
    std::vector<StreamHandlers> streams;
    std::vector<Display> streamedDisplays;

    Result<std::vector<Display>, std::string> shareableDisplays() override {
        ++listings;
        if (!available)
            return fail(std::string("no display server"));
        return displays;
    }
    Result<std::unique_ptr<Stream>, std::string> startStream(const Display& display,
                                                             CaptureDimensions, int,
                                                             StreamHandlers handlers) override {
        streams.push_back(std::move(handlers));
        streamedDisplays.push_back(display);
        return std::unique_ptr<Stream>(std::make_unique<NoStream>());
    }
    Result<PixelBuffer, std::string> captureStill(const Display&, CaptureDimensions size) override {
        const auto w = static_cast<int>(size.width);
        const auto h = static_cast<int>(size.height);
        return makePixelBuffer(std::vector<std::uint8_t>(std::size_t(w) * std::size_t(h) * 4, 0x80),
                               w, h, std::size_t(w) * 4);
    }
};

struct EngineRecovery : ::testing::Test {
    int argc = 1;
    char arg0[8] = "capture";
    char* argv[2] = {arg0, nullptr};
    QCoreApplication app{argc, argv};
    StandInBackend* backend = nullptr;
    std::unique_ptr<CaptureEngine> engine;

    void SetUp() override {
        auto owned = std::make_unique<StandInBackend>();
        backend = owned.get();
        H264Encoder::Options options;
        options.allowHardware = false;
        options.threads = 1;
        options.log = [](std::string_view) {};
        engine = std::make_unique<CaptureEngine>(CaptureSettings{}, std::move(owned), options);
        engine->refreshDisplays();
        ASSERT_TRUE(engine->start().ok());
        ASSERT_EQ(backend->streams.size(), 1u);
    }

    // Runs `report` on a thread of its own, as the capture thread would, then lets the main
    // thread handle what it queued.
    template <class Report>
    void fromCaptureThread(Report report) {
        std::thread(report).join();
        const auto until =
            std::chrono::steady_clock::now() + CaptureEngine::displaysSettleTime + 150ms;
        while (std::chrono::steady_clock::now() < until) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            std::this_thread::sleep_for(5ms);
        }
    }
};

TEST_F(EngineRecovery, RestartsAStreamThatEndedByItselfAFewTimesAMinuteThenStopsWithAText) {
    for (std::size_t restart = 1; restart <= CaptureEngine::maxRestartsPerMinute; ++restart) {
        fromCaptureThread(
            [h = backend->streams.back()] { h.onFailure("the X connection was lost"); });
        ASSERT_EQ(backend->streams.size(), restart + 1);
        EXPECT_TRUE(engine->isCapturing());
        EXPECT_FALSE(engine->lastError().has_value());
        EXPECT_EQ(engine->capturingDisplayID(), 1u);
    }
    fromCaptureThread([h = backend->streams.back()] { h.onFailure("the X connection was lost"); });
    EXPECT_EQ(backend->streams.size(), std::size_t{CaptureEngine::maxRestartsPerMinute} + 1)
        << "no endless restarts";
    EXPECT_FALSE(engine->isCapturing());
    EXPECT_FALSE(engine->capturingDisplayID().has_value());
    EXPECT_EQ(engine->lastError(), QStringLiteral("A captura de tela foi interrompida."));
}

TEST_F(EngineRecovery, ReportsOfAnOlderStreamAreIgnoredAndAFailedRestartSaysWhy) {
    const StandInBackend::StreamHandlers first = backend->streams.front();
    ASSERT_TRUE(engine->switchDisplay(2).ok());
    ASSERT_EQ(backend->streams.size(), 2u);
    fromCaptureThread([&] {
        first.onFailure("late");
        first.onDisplaysChanged();
    });
    EXPECT_EQ(backend->streams.size(), 2u);
    EXPECT_EQ(engine->capturingDisplayID(), 2u);

    backend->available = false;  // the display server is gone for good
    fromCaptureThread([h = backend->streams.back()] { h.onFailure("the X connection was lost"); });
    EXPECT_FALSE(engine->isCapturing());
    EXPECT_EQ(engine->lastError(), CaptureEngine::interruptedText);
}

TEST_F(EngineRecovery, RestartsOnlyWhenTheCapturedDisplayMovedResizedOrWent) {
    // Another display changes: nothing to do, and a burst of reports makes one check.
    backend->displays[1].width = 1600;
    const int listingsBefore = backend->listings;
    fromCaptureThread([h = backend->streams.back()] {
        for (int i = 0; i < 50; ++i) {
            h.onDisplaysChanged();
            std::this_thread::sleep_for(1ms);
        }
    });
    EXPECT_EQ(backend->listings, listingsBefore + 1);
    EXPECT_EQ(backend->streams.size(), 1u);
    EXPECT_EQ(engine->displays()[1].width, 1600) << "the published list follows";

    // The captured display moves: same display, new place.
    backend->displays[0].x = 1600;
    backend->displays[1].x = 0;
    fromCaptureThread([h = backend->streams.back()] { h.onDisplaysChanged(); });
    ASSERT_EQ(backend->streams.size(), 2u);
    EXPECT_EQ(backend->streamedDisplays.back().x, 1600);
    EXPECT_EQ(engine->capturingDisplayID(), 1u);

    // It goes: capture moves to what is left, and the selection follows.
    backend->displays.erase(backend->displays.begin());
    fromCaptureThread([h = backend->streams.back()] { h.onDisplaysChanged(); });
    ASSERT_EQ(backend->streams.size(), 3u);
    EXPECT_EQ(engine->capturingDisplayID(), 2u);
    EXPECT_EQ(engine->selectedDisplayID(), 2u);
    EXPECT_EQ(engine->captureSize(), (CaptureDimensions{1600, 1024}));
    EXPECT_TRUE(engine->isCapturing());
}

}  // namespace
}  // namespace velurio
