#include "platform/ffmpeg/h264_encoder.h"

#include "encoder_test_support.h"
#include "synthetic_screen.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <thread>

namespace velurio::testing {
namespace {

using Codec = H264Encoder::Codec;

constexpr int kWidth = 640;
constexpr int kHeight = 360;

class EncoderStreamTest : public ::testing::TestWithParam<Codec> {};

// One session through everything that makes frames: start, regular frames, a forced key frame,
// a re-encoded key frame, live bitrate changes both ways (a reopen for HEVC), an unchanged
// bitrate, the 4-second rule. The whole stream, and the stream cut at every key frame, must
// decode without a single complaint.
TEST_P(EncoderStreamTest, EveryStreamDecodesCleanlyFromTheStartAndFromEveryKeyFrame) {
    const Codec codec = GetParam();
    const auto syntax = syntaxOf(codec);
    CollectingEncoder encoder;
    SyntheticScreen screen(SyntheticScreen::Kind::fullMotion, kWidth, kHeight);
    encoder->start(kWidth, kHeight, 30, 2'000'000, codec);

    const std::int64_t origin = 5'000'000;  // the capture clock's origin is arbitrary
    for (int i = 0; i < 180; ++i) {
        const std::int64_t captureMs = origin + i * 33;
        encoder->encode(screen.pixelBuffer(i), ms(captureMs), i == 20);
        if (i == 40)
            encoder->requestKeyframe();
        if (i == 60)
            encoder->setBitrate(500'000);
        if (i == 61)
            encoder->setBitrate(500'000);
        if (i == 100)
            encoder->setBitrate(4'000'000);
        encoder->waitUntilIdle();  // no image replaces another: every one is encoded
    }
    const auto frames = encoder.frames();
    ASSERT_EQ(frames.size(), 181u);  // 180 images + the re-encoded one

    EXPECT_EQ(frames.front().sequence, 1u);
    EXPECT_EQ(frames.front().timestampMs, 0u);
    std::vector<std::size_t> keys;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(frames[i].sequence, i + 1);
        EXPECT_TRUE(hasOnlyFourByteStartCodes(frames[i].data));
        if (i > 0) {
            EXPECT_GT(frames[i].timestampMs, frames[i - 1].timestampMs);
        }
        if (frames[i].keyFrame) {
            keys.push_back(i);
            EXPECT_TRUE(beginsWithParameterSets(frames[i], syntax));
        } else {
            for (const auto& unit : AnnexB::splitAnnexB(frames[i].data))
                EXPECT_FALSE(AnnexB::isParameterSet(unit, syntax));
        }
    }
    // Image 20 (forced); the re-encoded image 40, 1 ms after it; the first image at least 4 s
    // after that (image 162, 5346 ms). HEVC reopens its encoder when the bitrate changes (after
    // images 60 and 100), and a new encoder starts with a key frame; the unchanged value after
    // image 61 costs nothing. Indices are frames: the re-encoded one shifts later images by one.
    const std::vector<std::size_t> expectedKeys =
        codec == Codec::h264 ? std::vector<std::size_t>{0, 20, 41, 163}
                             : std::vector<std::size_t>{0, 20, 41, 62, 102};
    EXPECT_EQ(keys, expectedKeys);
    EXPECT_EQ(frames[41].timestampMs, frames[40].timestampMs + 1);

    const auto whole = decodeWithFfmpeg(frames, 0, codec);
    EXPECT_EQ(whole.exitCode, 0);
    EXPECT_EQ(whole.errors, "");
    EXPECT_EQ(whole.frames, static_cast<int>(frames.size()));
    // The judge itself: a stream cut just after a key frame lacks its references.
    const auto broken = decodeWithFfmpeg(frames, 1, codec);
    EXPECT_TRUE(broken.exitCode != 0 || !broken.errors.empty());
    for (std::size_t key : keys) {
        if (key == 0)
            continue;
        SCOPED_TRACE("cut at frame " + std::to_string(key));
        const auto cut = decodeWithFfmpeg(frames, key, codec);
        EXPECT_EQ(cut.exitCode, 0);
        EXPECT_EQ(cut.errors, "");
        EXPECT_EQ(cut.frames, static_cast<int>(frames.size() - key));
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, EncoderStreamTest, ::testing::Values(Codec::h264, Codec::hevc),
                         codecTestName);

// The first byte after the SPS's NAL header (H.264) or after its NAL header and first byte
// (HEVC, where the low 5 bits are general_profile_idc).
int profileOf(Codec codec) {
    CollectingEncoder encoder;
    SyntheticScreen screen(SyntheticScreen::Kind::slides, kWidth, kHeight);
    encoder->start(kWidth, kHeight, 30, 2'000'000, codec);
    encoder->encode(screen.pixelBuffer(0), ms(0), false);
    const auto frames = encoder.frames();
    if (frames.size() != 1)
        return -1;
    const auto syntax = syntaxOf(codec);
    for (const auto& unit : AnnexB::splitAnnexB(frames[0].data)) {
        if (codec == Codec::h264 && nalType(unit, syntax) == 7 && unit.size() > 1)
            return unit[1];
        if (codec == Codec::hevc && nalType(unit, syntax) == 33 && unit.size() > 3)
            return unit[3] & 0x1F;
    }
    return -1;
}

TEST(H264EncoderTest, UsesTheHighProfileForH264AndMainForHevc) {
    EXPECT_EQ(profileOf(Codec::h264), 100);  // High (ultrafast alone would give 66)
    EXPECT_EQ(profileOf(Codec::hevc), 1);    // Main
}

TEST(H264EncoderTest, KeyFramesFollowCaptureTimeNotFrameCount) {
    CollectingEncoder encoder;
    SyntheticScreen screen(SyntheticScreen::Kind::slides, 320, 180, 100000);
    encoder->start(320, 180, 30, 1'000'000, Codec::h264);
    // 120 images in the first second (a burst of damage): one key frame, the first.
    int index = 0;
    for (int i = 0; i < 120; ++i) {
        encoder->encode(screen.pixelBuffer(index++), ms(i * 8), false);
        encoder->waitUntilIdle();
    }
    // Then one image every 700 ms up to 9.4 s, then nothing for 6 s, then one more.
    for (std::int64_t t = 1000; t <= 9400; t += 700) {
        encoder->encode(screen.pixelBuffer(index++), ms(t), false);
        encoder->waitUntilIdle();
    }
    encoder->encode(screen.pixelBuffer(index++), ms(15400), false);
    std::vector<std::uint64_t> keyTimes;
    for (const auto& frame : encoder.frames())
        if (frame.keyFrame)
            keyTimes.push_back(frame.timestampMs);
    // Key frames at 0; 4.5 s (first ≥ 4 s after 0); 8.7 s (first ≥ 4 s after 4.5); 15.4 s.
    EXPECT_EQ(keyTimes, (std::vector<std::uint64_t>{0, 4500, 8700, 15400}));
}

TEST(H264EncoderTest, TimestampsStrictlyIncreaseByOneMillisecondWhenRepeated) {
    CollectingEncoder encoder;
    SyntheticScreen screen(SyntheticScreen::Kind::slides, 320, 180);
    encoder->start(320, 180, 30, 1'000'000, Codec::h264);
    encoder->encode(screen.pixelBuffer(0), ms(1000), false);
    encoder->waitUntilIdle();
    encoder->encode(screen.pixelBuffer(1), ms(1000), false);  // same capture time
    encoder->waitUntilIdle();
    encoder->encode(screen.pixelBuffer(2), ms(990), false);  // earlier than the last
    encoder->waitUntilIdle();
    encoder->requestKeyframe();  // the last image again
    encoder->encode(screen.pixelBuffer(3), ms(1100), false);
    const auto frames = encoder.frames();
    ASSERT_EQ(frames.size(), 5u);
    std::vector<std::uint64_t> times;
    for (const auto& frame : frames)
        times.push_back(frame.timestampMs);
    EXPECT_EQ(times, (std::vector<std::uint64_t>{0, 1, 2, 3, 100}));
    EXPECT_TRUE(frames[3].keyFrame);
    EXPECT_FALSE(frames[4].keyFrame);
}

// A key frame on request encodes the last image again: its age is not counted as time taken to
// reach the encoder (it showed as a capture stage of a second in the host's timings).
TEST(H264EncoderTest, TheLastImageEncodedAgainIsNotTimedAsCapture) {
    CollectingEncoder encoder;
    SyntheticScreen screen(SyntheticScreen::Kind::slides, 320, 180);
    encoder->start(320, 180, 30, 1'000'000, Codec::h264);
    const auto now = [] {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
    };
    encoder->encode(screen.pixelBuffer(0), now(), false);
    encoder->waitUntilIdle();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    encoder->requestKeyframe();
    encoder->waitUntilIdle();
    ASSERT_EQ(encoder.frames().size(), 2u);
    EXPECT_LT(encoder->lastFrameTimings().captureToStart, std::chrono::milliseconds(100));
}

TEST(H264EncoderTest, RequestKeyframeWithoutALastImageEmitsNothing) {
    CollectingEncoder encoder;
    SyntheticScreen screen(SyntheticScreen::Kind::slides, 320, 180);
    encoder->start(320, 180, 30, 1'000'000, Codec::h264);
    encoder->requestKeyframe();  // before any image
    EXPECT_TRUE(encoder.frames().empty());

    encoder->encode(screen.pixelBuffer(0), ms(0), false);
    encoder->invalidate();
    encoder->requestKeyframe();  // the last image went with the session
    EXPECT_EQ(encoder.frames().size(), 1u);

    // An image recorded while stopped is dropped again by the next start.
    encoder->encode(screen.pixelBuffer(1), ms(10), false);
    encoder->start(320, 180, 30, 1'000'000, Codec::h264);
    encoder->requestKeyframe();
    EXPECT_EQ(encoder.frames().size(), 1u);
}

TEST(H264EncoderTest, EachStartBeginsAtSequenceOneAndTimestampZero) {
    for (Codec codec : {Codec::h264, Codec::hevc}) {
        SCOPED_TRACE(codec == Codec::hevc ? "hevc" : "h264");
        CollectingEncoder encoder;
        SyntheticScreen screen(SyntheticScreen::Kind::slides, 320, 180);
        encoder->start(320, 180, 30, 1'000'000, codec);
        for (int i = 0; i < 5; ++i) {
            encoder->encode(screen.pixelBuffer(i), ms(7000 + i * 33), false);
            encoder->waitUntilIdle();
        }
        encoder->start(320, 180, 30, 1'000'000, codec);  // no invalidate in between
        encoder->encode(screen.pixelBuffer(5), ms(9000), false);
        encoder->waitUntilIdle();
        encoder->encode(screen.pixelBuffer(6), ms(9040), false);
        const auto frames = encoder.frames();
        ASSERT_EQ(frames.size(), 7u);
        EXPECT_EQ(frames[5].sequence, 1u);
        EXPECT_EQ(frames[5].timestampMs, 0u);
        EXPECT_TRUE(frames[5].keyFrame);
        EXPECT_EQ(frames[6].sequence, 2u);
        EXPECT_EQ(frames[6].timestampMs, 40u);
    }
}

TEST(H264EncoderTest, CreationFailureIsLoggedAndLeavesTheEncoderStopped) {
    CollectingEncoder encoder;
    SyntheticScreen screen(SyntheticScreen::Kind::slides, 320, 180);
    encoder->start(0, 0, 30, 1'000'000, Codec::h264);
    encoder->encode(screen.pixelBuffer(0), ms(0), true);
    encoder->requestKeyframe();
    encoder->setBitrate(2'000'000);
    EXPECT_TRUE(encoder.frames().empty());
    const auto log = encoder.log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].starts_with("Velurio: falha ao criar libx264 (-")) << log[0];
    EXPECT_TRUE(log[0].ends_with(")"));
    EXPECT_EQ(encoder->activeEncoderName(), "");

    encoder->start(320, 180, 30, 1'000'000, Codec::h264);  // the next start works again
    encoder->encode(screen.pixelBuffer(1), ms(0), false);
    EXPECT_EQ(encoder.frames().size(), 1u);
}

TEST(H264EncoderTest, FallsBackToSoftwareWhenNoHardwareEncoderOpens) {
    H264Encoder::Options options;  // hardware allowed
    CollectingEncoder encoder(options);
    encoder->start(320, 180, 30, 1'000'000, Codec::h264);
    encoder->waitUntilIdle();
    const std::string name = encoder->activeEncoderName();
    // Whatever this machine has, some encoder is running and no failure was logged.
    EXPECT_FALSE(name.empty());
    EXPECT_TRUE(encoder.log().empty());
}

TEST(H264EncoderTest, ImagesOfAnotherSizeAreRecordedButNotEncoded) {
    CollectingEncoder encoder;
    SyntheticScreen small(SyntheticScreen::Kind::slides, 160, 90);
    SyntheticScreen right(SyntheticScreen::Kind::slides, 320, 180);
    encoder->start(320, 180, 30, 1'000'000, Codec::h264);
    encoder->encode(small.pixelBuffer(0), ms(0), false);
    encoder->encode(nullptr, ms(5), false);
    encoder->waitUntilIdle();
    encoder->encode(right.pixelBuffer(0), ms(10), false);
    const auto frames = encoder.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].sequence, 1u);
    EXPECT_EQ(frames[0].timestampMs, 0u);
}

// While the encoder is busy, a newer image replaces one still waiting, and keeps its key-frame
// request; commands of other kinds keep their place.
TEST(H264EncoderTest, AWaitingImageIsReplacedByANewerOneAndPassesOnItsKeyFrameRequest) {
    std::mutex mutex;
    std::condition_variable changed;
    bool busy = false;
    bool release = false;
    std::vector<Frame> frames;
    H264Encoder::Options options = CollectingEncoder::software();
    H264Encoder encoder(options);
    encoder.setOnEncoded(
        [&](std::vector<std::uint8_t> data, std::uint32_t sequence, std::uint64_t t, bool key) {
            std::unique_lock lock(mutex);
            frames.push_back(Frame{std::move(data), sequence, t, key});
            busy = true;
            changed.notify_all();
            changed.wait(lock, [&] { return release; });
        });
    SyntheticScreen screen(SyntheticScreen::Kind::slides, 320, 180);
    encoder.start(320, 180, 30, 1'000'000, Codec::h264);
    encoder.encode(screen.pixelBuffer(0), ms(0), false);
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return busy; });  // the encoder thread is inside the callback
    }
    encoder.encode(screen.pixelBuffer(1), ms(33), true);
    encoder.encode(screen.pixelBuffer(2), ms(66), false);
    encoder.encode(screen.pixelBuffer(3), ms(99), false);
    encoder.setBitrate(800'000);
    encoder.encode(screen.pixelBuffer(4), ms(132), false);
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    changed.notify_all();
    encoder.waitUntilIdle();
    std::lock_guard lock(mutex);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[1].timestampMs, 99u);
    EXPECT_TRUE(frames[1].keyFrame);
    EXPECT_EQ(frames[2].timestampMs, 132u);
    EXPECT_FALSE(frames[2].keyFrame);
}

}  // namespace
}  // namespace velurio::testing
