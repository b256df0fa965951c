// The tablet's reassembly and decoding against the host's real encoder: every frame comes back
// whatever order its fragments arrive in, the picture matches what was encoded, and after a
// lost frame nothing is decoded until the next key frame.
#include "video_receiver.h"

#include "encoder_test_support.h"
#include "synthetic_screen.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace velurio::peer {
namespace {

using testing::CollectingEncoder;
using testing::ms;
using testing::SyntheticScreen;
using Codec = H264Encoder::Codec;

std::vector<testing::Frame> encode(Codec codec, int count, int keyEvery) {
    CollectingEncoder encoder;
    SyntheticScreen screen(SyntheticScreen::Kind::slides, 320, 180, 5);
    encoder->start(320, 180, 30, 2'000'000, codec);
    for (int i = 0; i < count; ++i) {
        encoder->encode(screen.pixelBuffer(i), ms(i * 33), keyEvery > 0 && i % keyEvery == 0);
        encoder->waitUntilIdle();
    }
    return encoder.frames();
}

std::vector<Bytes> cut(const testing::Frame& frame) {
    return VideoFrameHeader::datagrams(frame.sequence, frame.timestampMs, frame.keyFrame,
                                       frame.data, 1200)
        .value();
}

// Mean absolute difference per channel between the decoded picture and the source image.
double difference(const QImage& decoded, SyntheticScreen& screen, int index) {
    const BGRAImageView source = screen.frame(index);
    double total = 0;
    for (int y = 0; y < source.height; ++y) {
        for (int x = 0; x < source.width; ++x) {
            const std::uint8_t* bgra = source.bytes.data() +
                                       static_cast<std::size_t>(y) * source.bytesPerRow +
                                       static_cast<std::size_t>(x) * 4;
            const QRgb got = decoded.pixel(x, y);
            total += std::abs(qBlue(got) - bgra[0]) + std::abs(qGreen(got) - bgra[1]) +
                     std::abs(qRed(got) - bgra[2]);
        }
    }
    return total / (3.0 * source.width * source.height);
}

class VideoReceiverTest : public ::testing::TestWithParam<Codec> {};

TEST_P(VideoReceiverTest, FramesInShuffledFragmentsDecodeToTheEncodedPicture) {
    const auto frames = encode(GetParam(), 12, 0);
    ASSERT_EQ(frames.size(), 12U);
    FrameAssembler assembler;
    VideoDecoder decoder;
    int decoded = 0;
    for (const auto& frame : frames) {
        std::vector<Bytes> datagrams = cut(frame);
        std::reverse(datagrams.begin(), datagrams.end());
        // A duplicate and a datagram whose length field lies are ignored.
        datagrams.push_back(datagrams.front());
        Bytes liar = datagrams.front();
        liar.push_back(0);
        datagrams.insert(datagrams.begin(), liar);
        std::optional<ReassembledFrame> whole;
        for (const Bytes& datagram : datagrams) {
            if (auto done = assembler.add(datagram)) {
                EXPECT_FALSE(whole) << "one frame completed twice";
                whole = std::move(done);
            }
        }
        ASSERT_TRUE(whole);
        EXPECT_EQ(whole->payload, frame.data);
        EXPECT_EQ(whole->sequence, frame.sequence);
        decoded += decoder.decode(*whole) == VideoDecoder::Outcome::decoded ? 1 : 0;
    }
    EXPECT_EQ(decoded, 12);
    EXPECT_EQ(decoder.codec(),
              GetParam() == Codec::hevc ? VideoDecoder::Codec::hevc : VideoDecoder::Codec::h264);
    SyntheticScreen screen(SyntheticScreen::Kind::slides, 320, 180, 5);
    ASSERT_EQ(decoder.lastImage().size(), QSize(320, 180));
    EXPECT_LT(difference(decoder.lastImage(), screen, 11), 6.0);
}

TEST_P(VideoReceiverTest, AfterALostFrameNothingIsDecodedUntilTheNextKeyFrame) {
    const auto frames = encode(GetParam(), 10, 5);  // key frames at 0 and 5
    ASSERT_EQ(frames.size(), 10U);
    ASSERT_TRUE(frames[5].keyFrame);
    VideoDecoder decoder;
    std::vector<VideoDecoder::Outcome> outcomes;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (i == 2) {
            continue;  // lost on the way
        }
        ReassembledFrame frame{frames[i].sequence, frames[i].timestampMs, frames[i].keyFrame, 1,
                               frames[i].data};
        outcomes.push_back(decoder.decode(frame));
    }
    using O = VideoDecoder::Outcome;
    EXPECT_EQ(outcomes,
              (std::vector<O>{O::decoded, O::decoded, O::waitingForKey, O::waitingForKey,
                              O::decoded, O::decoded, O::decoded, O::decoded, O::decoded}));
    EXPECT_EQ(decoder.failedFrames(), 0);
}

INSTANTIATE_TEST_SUITE_P(Codecs, VideoReceiverTest, ::testing::Values(Codec::h264, Codec::hevc),
                         [](const auto& param) {
                             return param.param == Codec::hevc ? std::string("hevc")
                                                               : std::string("h264");
                         });

TEST(VideoReceiver, AnIncompleteFrameIsDroppedWhenANewerOneCompletes) {
    FrameAssembler assembler;
    const Bytes payload(3000, 0x42);
    const auto older = VideoFrameHeader::datagrams(7, 0, false, payload, 1200).value();
    const auto newer = VideoFrameHeader::datagrams(8, 33, false, Bytes(10, 1), 1200).value();
    EXPECT_FALSE(assembler.add(older[0]));
    EXPECT_TRUE(assembler.add(newer[0]));
    // The rest of the older frame arrives late: it never completes.
    EXPECT_FALSE(assembler.add(older[1]));
    EXPECT_FALSE(assembler.add(older[2]));
}

}  // namespace
}  // namespace velurio::peer
