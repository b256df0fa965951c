// Adaptive bitrate, latency tracker and capture dimensions.
#include "core/adaptive_bitrate.h"
#include "core/capture_dimensions.h"
#include "core/latency_tracker.h"
#include "core/pipeline_timings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace velurio {
namespace {

using namespace std::chrono_literals;
using Instant = AdaptiveBitrate::Instant;
const Instant t0 = Instant{} + 1000s;

TEST(AdaptiveBitrateTest, StepsDownAtOnceThenAtMostEveryThreeSeconds) {
    AdaptiveBitrate abr;
    EXPECT_EQ(abr.bitrate(), 5'000'000);
    EXPECT_EQ(abr.evaluate(200.0, 0, t0), 3'500'000);
    EXPECT_EQ(abr.evaluate(200.0, 0, t0 + 2999ms), 3'500'000);
    EXPECT_EQ(abr.evaluate(200.0, 0, t0 + 3s), 2'500'000);
    EXPECT_EQ(abr.evaluate(std::nullopt, 0.06, t0 + 6s), 1'500'000);  // loss alone is bad
    const auto lastChange = abr.lastChange();
    EXPECT_EQ(abr.evaluate(500.0, 0, t0 + 60s), 1'500'000);  // bottom: holds
    EXPECT_EQ(abr.lastChange(), lastChange);
    EXPECT_EQ(abr.step(), 0);
}

TEST(AdaptiveBitrateTest, StepsUpAfterTenGoodSecondsAndOncePerTenSeconds) {
    AdaptiveBitrate abr;
    EXPECT_EQ(abr.evaluate(30.0, 0, t0), 5'000'000);
    EXPECT_EQ(abr.evaluate(30.0, 0, t0 + 5s), 5'000'000);
    EXPECT_EQ(abr.evaluate(30.0, 0, t0 + 10s), 8'000'000);
    EXPECT_EQ(abr.stableSince(), t0 + 10s);
    EXPECT_EQ(abr.evaluate(30.0, 0, t0 + 15s), 8'000'000);
    EXPECT_EQ(abr.evaluate(30.0, 0, t0 + 25s), 8'000'000);  // top of the ladder
}

TEST(AdaptiveBitrateTest, NeutralOrBoundaryInputsRestartTheGoodRun) {
    AdaptiveBitrate abr;
    abr.evaluate(30.0, 0, t0);
    abr.evaluate(100.0, 0, t0 + 5s);  // neutral
    EXPECT_EQ(abr.evaluate(30.0, 0, t0 + 10s), 5'000'000);
    EXPECT_EQ(abr.evaluate(30.0, 0, t0 + 19s), 5'000'000);
    EXPECT_EQ(abr.evaluate(30.0, 0, t0 + 20s), 8'000'000);

    AdaptiveBitrate edges;
    EXPECT_EQ(edges.evaluate(150.0, 0.05, t0), 5'000'000);  // not bad
    edges.evaluate(60.0, 0, t0 + 1s);                       // not good
    EXPECT_FALSE(edges.stableSince());
    edges.evaluate(30.0, 0.01, t0 + 2s);  // not good
    EXPECT_FALSE(edges.stableSince());
    edges.evaluate(std::nullopt, 0, t0 + 3s);
    EXPECT_FALSE(edges.stableSince());
    edges.evaluate(std::numeric_limits<double>::quiet_NaN(), 0, t0 + 4s);
    EXPECT_FALSE(edges.stableSince());
    EXPECT_EQ(edges.step(), 3);
}

TEST(AdaptiveBitrateTest, AfterAStepDownUpNeedsTenSecondsFromBoth) {
    AdaptiveBitrate abr;
    abr.evaluate(200.0, 0, t0);  // down to step 2 at T
    abr.evaluate(30.0, 0, t0 + 1s);
    EXPECT_EQ(abr.evaluate(30.0, 0, t0 + 10s), 3'500'000);  // run only 9 s old
    EXPECT_EQ(abr.evaluate(30.0, 0, t0 + 11s), 5'000'000);

    AdaptiveBitrate late;
    late.evaluate(30.0, 0, t0);
    late.evaluate(200.0, 0, t0 + 1s);  // down, breaks the run
    late.evaluate(30.0, 0, t0 + 2s);
    EXPECT_EQ(late.evaluate(30.0, 0, t0 + 11500ms), 3'500'000);
    EXPECT_EQ(late.evaluate(30.0, 0, t0 + 12s), 5'000'000);
    EXPECT_EQ(AdaptiveBitrate(99).step(), 4);
    EXPECT_EQ(AdaptiveBitrate(-1).step(), 0);
}

// The echoed send time is the tablet's to choose: any value gives a sample or nothing, and
// never a signed overflow (the sanitizer build aborts on one).
TEST(RoundTripTest, SendTimesFromTheFutureOrBeyondRangeGiveNoSample) {
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    EXPECT_EQ(roundTripMs(1'250, 1'000), 250);
    EXPECT_EQ(roundTripMs(1'250, 1'250), 0);
    EXPECT_EQ(roundTripMs(1'250, 1'251), std::nullopt);
    EXPECT_EQ(roundTripMs(1'250, kMin), std::nullopt);
    EXPECT_EQ(roundTripMs(1'250, kMin + 1'250), std::nullopt);
    EXPECT_EQ(roundTripMs(1'250, 1'250 - kMax), kMax);  // the farthest that still fits
    EXPECT_EQ(roundTripMs(0, kMin + 1), kMax);
    EXPECT_EQ(roundTripMs(0, kMin), std::nullopt);
    EXPECT_EQ(roundTripMs(-5, kMin), kMax - 4);  // a negative clock cannot overflow
    EXPECT_EQ(roundTripMs(kMax, kMin), std::nullopt);
    EXPECT_EQ(roundTripMs(kMin, kMax), std::nullopt);
}

TEST(LatencyTrackerTest, SlidingWindowKeepsArrivalOrder) {
    LatencyTracker tracker(3);
    for (double v : {1.0, 2.0, 3.0, 4.0})
        tracker.record(v);
    EXPECT_EQ(tracker.samples(), (std::vector<double>{2, 3, 4}));
    EXPECT_EQ(tracker.last(), 4.0);
    EXPECT_EQ(tracker.count(), 3u);
    tracker.record(0.5);
    EXPECT_EQ(tracker.samples(), (std::vector<double>{3, 4, 0.5}));
    EXPECT_EQ(tracker.percentile(0), 0.5);
    EXPECT_EQ(tracker.p95(), 4.0);
}

TEST(LatencyTrackerTest, EmptyTrackerAnswersNothing) {
    LatencyTracker tracker;
    EXPECT_EQ(tracker.capacity(), 2048u);
    EXPECT_FALSE(tracker.percentile(50));
    EXPECT_FALSE(tracker.p50());
    EXPECT_FALSE(tracker.p95());
    EXPECT_FALSE(tracker.mean());
    EXPECT_FALSE(tracker.last());
    EXPECT_FALSE(tracker.summary());
    EXPECT_EQ(tracker.count(), 0u);
    EXPECT_EQ(LatencyTracker(0).capacity(), 1u);
}

TEST(LatencyTrackerTest, NearestRankPercentilesMeanAndSummary) {
    LatencyTracker tracker;
    for (double v : {5.0, 1.0, 3.0})
        tracker.record(v);
    auto summary = tracker.summary();
    ASSERT_TRUE(summary);
    EXPECT_EQ(*summary, (LatencySummary{3, 3, 5, 3, 5}));
    EXPECT_EQ(tracker.samples(), (std::vector<double>{5, 1, 3}));

    LatencyTracker four;
    for (double v : {40.0, 10.0, 30.0, 20.0})
        four.record(v);
    EXPECT_EQ(four.p50(), 20.0);
    EXPECT_EQ(four.p95(), 40.0);
    EXPECT_EQ(four.percentile(250), 40.0);  // clamped to 100
    EXPECT_FALSE(four.percentile(std::numeric_limits<double>::quiet_NaN()));

    LatencyTracker hundred;
    for (int v = 100; v >= 1; --v)
        hundred.record(v);
    EXPECT_EQ(hundred.p95(), 95.0);
    EXPECT_EQ(hundred.p50(), 50.0);
    EXPECT_EQ(hundred.mean(), 50.5);

    hundred.reset();
    EXPECT_EQ(hundred.count(), 0u);
    hundred.record(7);
    EXPECT_EQ(hundred.summary(), (LatencySummary{1, 7, 7, 7, 7}));
    hundred.record(std::numeric_limits<double>::quiet_NaN());
    EXPECT_EQ(hundred.count(), 1u);
}

TEST(LatencyTrackerTest, WrappedWindowAgreesWithSortingTheSamples) {
    LatencyTracker tracker(64);
    std::uint64_t x = 88172645463325252ULL;
    for (int i = 0; i < 1000; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        tracker.record(static_cast<double>(x % 1000));
        auto sorted = tracker.samples();
        std::sort(sorted.begin(), sorted.end());
        for (double p : {0.0, 1.0, 50.0, 95.0, 99.9, 100.0}) {
            const auto n = static_cast<double>(sorted.size());
            const auto rank =
                std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(p / 100 * n)));
            ASSERT_EQ(tracker.percentile(p), sorted[rank - 1]) << i << " " << p;
        }
    }
}

TEST(LatencySummaryTest, JSONKeysInOrderAndAllRequired) {
    LatencySummary summary{3, 3, 5, 3.5, 5.25};
    EXPECT_EQ(summary.toJSON(), R"({"samples":3,"p50":3,"p95":5,"mean":3.5,"max":5.25})");
    auto back = LatencySummary::fromJSON(summary.toJSON());
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, summary);
    EXPECT_TRUE(
        LatencySummary::fromJSON(R"({"max":1,"mean":1,"p95":1,"p50":1,"samples":1,"x":0})").ok());
    EXPECT_FALSE(LatencySummary::fromJSON(R"({"samples":3,"p50":3,"p95":5,"mean":3.5})").ok());
    EXPECT_FALSE(
        LatencySummary::fromJSON(R"({"samples":3.5,"p50":3,"p95":5,"mean":3.5,"max":1})").ok());
    EXPECT_FALSE(
        LatencySummary::fromJSON(R"({"samples":3,"p50":"3","p95":5,"mean":3.5,"max":1})").ok());
    EXPECT_FALSE(LatencySummary::fromJSON("[1]").ok());
    EXPECT_FALSE(LatencySummary::fromJSON("{").ok());
}

// Each stage keeps its own window; "host" is the per-frame sum, so its percentiles are not the
// sum of the stages' percentiles.
TEST(PipelineTimingsTest, SummarisesEachStageAndTheirSumPerFrame) {
    PipelineTimings timings;
    EXPECT_EQ(timings.summaryJSON(),
              "{\"frames\":0,\"capture\":null,\"convert\":null,"
              "\"encode\":null,\"send\":null,\"host\":null}");
    timings.record({1, 2, 10, 0.5});
    timings.record({3, 2, 4, 0.5});
    for (std::size_t i = 0; i < PipelineTimings::kCapacity; ++i)
        timings.record({1, 1, 1, 1});
    EXPECT_EQ(timings.frames(), PipelineTimings::kCapacity + 2);
    const auto summary = LatencySummary::fromJSON([&] {
        const std::string json = timings.summaryJSON();
        const auto at = json.find("\"host\":") + 7;
        return json.substr(at, json.size() - at - 1);
    }());
    ASSERT_TRUE(summary.ok());
    EXPECT_EQ(summary.value().samples, static_cast<std::int64_t>(PipelineTimings::kCapacity));
    EXPECT_EQ(summary.value().max, 4);  // the two first frames left the window
    timings.reset();
    EXPECT_EQ(timings.frames(), 0u);
}

TEST(CaptureDimensionsTest, CapsWidthAtTheFullHDWidthAndKeepsSidesEven) {
    EXPECT_EQ(CaptureDimensions::forDisplay(2560, 1440), (CaptureDimensions{1920, 1080}));
    EXPECT_EQ(CaptureDimensions::forDisplay(1512, 982), (CaptureDimensions{1512, 982}));
    EXPECT_EQ(CaptureDimensions::forDisplay(3024, 1964), (CaptureDimensions{1920, 1246}));
    EXPECT_EQ(CaptureDimensions::forDisplay(1, 1), (CaptureDimensions{2, 2}));
    EXPECT_EQ(CaptureDimensions::forDisplay(1921, 1081), (CaptureDimensions{1920, 1080}));
    EXPECT_EQ(CaptureDimensions::forDisplay(1023, 767), (CaptureDimensions{1022, 766}));
    EXPECT_EQ(CaptureDimensions::forDisplay(0, -5), (CaptureDimensions{2, 2}));
}

}  // namespace
}  // namespace velurio
