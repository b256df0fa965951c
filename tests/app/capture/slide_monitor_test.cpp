// The slide monitor with a driven clock: when images are examined under damage-driven capture
// (at once after stillness, at most once per 15 frame intervals during motion, and once the
// screen has been still for 15 intervals), and what counts as a change.
#include "app/capture/slide_monitor.h"

#include <gtest/gtest.h>

#include <vector>

namespace velurio {
namespace {

using Clock = SlideMonitor::Clock;
using std::chrono::milliseconds;

// 64×64 BGRA: the given cells (8×8 grid, bit k = cell 8·row + column) white, the rest black.
PixelBuffer cells(std::uint64_t whiteCells, int patch = 0) {
    constexpr int side = 64;
    std::vector<std::uint8_t> bytes(side * side * 4, 0);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            const int k = (y / 8) * 8 + x / 8;
            const bool white = ((whiteCells >> k) & 1u) != 0 || (x < patch && y < patch);
            for (int c = 0; c < 3; ++c)
                bytes[std::size_t((y * side + x) * 4 + c)] = white ? 255 : 0;
        }
    }
    return makePixelBuffer(std::move(bytes), side, side, side * 4);
}

const std::uint64_t kRightHalf = 0xF0F0F0F0F0F0F0F0ull;
const std::uint64_t kBottomHalf = 0xFFFFFFFF00000000ull;

struct Monitor : ::testing::Test {
    SlideMonitor monitor{30};
    std::vector<std::uint64_t> reports;
    Clock::time_point t0{};
    void SetUp() override {
        monitor.onSlideChanged = [this](std::uint64_t h) { reports.push_back(h); };
    }
    Clock::time_point at(int ms) { return t0 + milliseconds(ms); }
};

TEST_F(Monitor, ASingleNewPictureOnAStillScreenIsReportedAtOnceWithItsHash) {
    monitor.ingest(cells(kRightHalf), at(0));  // reference only
    EXPECT_TRUE(reports.empty());
    monitor.tick(at(3000));
    monitor.ingest(cells(kBottomHalf), at(5000));
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], kBottomHalf);
    // The next comparison is made against the new picture.
    monitor.ingest(cells(kBottomHalf), at(6000));
    EXPECT_EQ(reports.size(), 1u);
}

TEST_F(Monitor, DuringMotionExaminesAtMostOncePerFifteenIntervalsAndTheLastPictureWhenStill) {
    monitor.ingest(cells(kRightHalf), at(0));  // examined: the reference
    // 30 fps of alternating pictures, frames 1…29 (interval 33.3 ms); frame 29 is the right half.
    for (int i = 1; i <= 29; ++i) {
        const int ms = i * 1000 / 30;
        monitor.ingest(cells((i % 2) != 0 && i != 29 ? kBottomHalf : kRightHalf), at(ms));
        monitor.tick(at(ms));
    }
    // Examined at 0 and at frame 15 (500 ms, bottom half: a change); frame 29 waits.
    EXPECT_EQ(monitor.examined(), 2);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], kBottomHalf);
    const int last = 29 * 1000 / 30;
    monitor.tick(at(last + 499));
    EXPECT_EQ(monitor.examined(), 2);
    monitor.tick(at(last + 500));  // still for 15 intervals
    EXPECT_EQ(monitor.examined(), 3);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1], kRightHalf);
    monitor.tick(at(last + 5000));
    EXPECT_EQ(monitor.examined(), 3) << "a picture is examined once";
}

TEST_F(Monitor, ASmallChangeLikeACursorOrAClockIsNoSlideChange) {
    monitor.ingest(cells(kRightHalf), at(0));
    for (int i = 1; i <= 10; ++i) {
        monitor.ingest(cells(kRightHalf, 6 + i % 3), at(i * 1000));
        monitor.tick(at(i * 1000 + 600));
    }
    EXPECT_GE(monitor.examined(), 10);
    EXPECT_TRUE(reports.empty());
}

TEST_F(Monitor, ResetForgetsTheReferenceAndTheCount) {
    monitor.ingest(cells(kRightHalf), at(0));
    monitor.reset();
    EXPECT_EQ(monitor.counter(), 0);
    EXPECT_FALSE(monitor.detector().lastHash.has_value());
    monitor.ingest(cells(kBottomHalf), at(10));
    EXPECT_TRUE(reports.empty())
        << "the first examined picture after a start only sets the reference";
    EXPECT_EQ(monitor.detector().lastHash, kBottomHalf);
}

}  // namespace
}  // namespace velurio
