// Video datagram header golden bytes, parsing rules and frame cutting.
#include "protocol/video_datagram.h"

#include <gtest/gtest.h>

namespace velurio {
namespace {

TEST(VideoFrameHeader, GoldenBytes) {
    const VideoFrameHeader header{258, 1000, true, 2, 5, 1200};
    const std::array<std::uint8_t, 20> expected = {
        0x01,                                            // version
        0x01,                                            // flags: key frame
        0x02, 0x00,                                      // fragment index 2
        0x05, 0x00,                                      // fragment count 5
        0x02, 0x01, 0x00, 0x00,                          // sequence 258
        0xE8, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // pts 1000
        0xB0, 0x04,                                      // payload length 1200
    };
    EXPECT_EQ(header.serialized(), expected);
    EXPECT_EQ(VideoFrameHeader::parse(expected), header);
}

TEST(VideoFrameHeader, RoundTripsEveryValidHeader) {
    for (const VideoFrameHeader& header :
         {VideoFrameHeader{0, 0, false, 0, 1, 0},
          VideoFrameHeader{0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF, true, 65534, 65535, 65535},
          VideoFrameHeader{0x01020304, 0x0102030405060708, false, 7, 8, 9}}) {
        EXPECT_EQ(VideoFrameHeader::parse(header.serialized()), header);
    }
}

TEST(VideoFrameHeader, ParsingRules) {
    auto bytes = VideoFrameHeader{1, 2, false, 0, 1, 500}.serialized();
    // Flags: only bit 0 counts.
    bytes[1] = 0xFF;
    EXPECT_TRUE(VideoFrameHeader::parse(bytes)->isKeyframe);
    bytes[1] = 0xFE;
    EXPECT_FALSE(VideoFrameHeader::parse(bytes)->isKeyframe);
    // No payload follows although the length says 500: still a header.
    EXPECT_EQ(VideoFrameHeader::parse(bytes)->payloadLength, 500);
    // Too short, wrong version, empty fragment count, index not below count.
    EXPECT_FALSE(VideoFrameHeader::parse({bytes.data(), 19}));
    auto wrongVersion = bytes;
    wrongVersion[0] = 2;
    EXPECT_FALSE(VideoFrameHeader::parse(wrongVersion));
    EXPECT_FALSE(VideoFrameHeader::parse(VideoFrameHeader{1, 2, false, 0, 0, 0}.serialized()));
    EXPECT_FALSE(VideoFrameHeader::parse(VideoFrameHeader{1, 2, false, 3, 3, 0}.serialized()));
    EXPECT_FALSE(VideoFrameHeader::parse(VideoControlDatagram::keepalive));
    // A slice of a larger buffer parses like a copy.
    Bytes larger = {0xEE, 0xEE};
    VideoFrameHeader{9, 9, true, 1, 2, 3}.appendTo(larger);
    EXPECT_EQ(VideoFrameHeader::parse({larger.data() + 2, 20}),
              (VideoFrameHeader{9, 9, true, 1, 2, 3}));
}

TEST(VideoDatagrams, CutsFramesIntoFragments) {
    Bytes frame(2500);
    for (std::size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<std::uint8_t>(i * 7);
    auto datagrams = VideoFrameHeader::datagrams(42, 99, true, frame, 1200);
    ASSERT_TRUE(datagrams.ok());
    ASSERT_EQ(datagrams->size(), 3u);
    Bytes reassembled;
    const std::uint16_t lengths[] = {1200, 1200, 100};
    for (std::uint16_t i = 0; i < 3; ++i) {
        const Bytes& datagram = (*datagrams)[i];
        const auto header = VideoFrameHeader::parse(datagram);
        ASSERT_TRUE(header);
        EXPECT_EQ(*header, (VideoFrameHeader{42, 99, true, i, 3, lengths[i]}));
        EXPECT_EQ(datagram.size(), 20u + lengths[i]);
        reassembled.insert(reassembled.end(), datagram.begin() + 20, datagram.end());
    }
    EXPECT_EQ(reassembled, frame);

    auto exact = VideoFrameHeader::datagrams(1, 1, false, Bytes(2400), 1200);
    ASSERT_EQ(exact->size(), 2u);
    EXPECT_EQ((*exact)[0].size(), 1220u);
    EXPECT_EQ((*exact)[1].size(), 1220u);

    auto empty = VideoFrameHeader::datagrams(1, 1, false, {}, 1200);
    ASSERT_EQ(empty->size(), 1u);
    EXPECT_EQ(VideoFrameHeader::parse(empty->front()), (VideoFrameHeader{1, 1, false, 0, 1, 0}));
    EXPECT_EQ(empty->front().size(), 20u);
}

TEST(VideoDatagrams, RefusesBrokenPreconditionsWithoutOutput) {
    const Bytes frame(10);
    EXPECT_EQ(VideoFrameHeader::datagrams(1, 1, false, frame, 0).error(),
              VideoFrameHeader::CutError::maxPayloadOutOfRange);
    EXPECT_EQ(VideoFrameHeader::datagrams(1, 1, false, frame, 65536).error(),
              VideoFrameHeader::CutError::maxPayloadOutOfRange);
    EXPECT_TRUE(VideoFrameHeader::datagrams(1, 1, false, Bytes(65535), 1).ok());
    EXPECT_EQ(VideoFrameHeader::datagrams(1, 1, false, Bytes(65536), 1).error(),
              VideoFrameHeader::CutError::frameTooLarge);
}

TEST(VideoControlDatagram, KeepaliveIsTheAsciiText) {
    EXPECT_EQ(
        std::string(VideoControlDatagram::keepalive.begin(), VideoControlDatagram::keepalive.end()),
        "velurio-video-v1");
}

}  // namespace
}  // namespace velurio
