// Framing golden bytes and the parser's behaviour on partial, bad and bursty input.
#include "protocol/wire_framing.h"

#include <gtest/gtest.h>

#include <random>

namespace velurio {
namespace {

Bytes bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

Bytes framed(std::string_view payload, WireChannel channel) {
    auto result = WireFraming::frame(bytes(payload), channel);
    EXPECT_TRUE(result.ok());
    return result.ok() ? std::move(result).value() : Bytes{};
}

Bytes header(std::uint8_t channel, std::uint32_t length) {
    return {channel, static_cast<std::uint8_t>(length), static_cast<std::uint8_t>(length >> 8),
            static_cast<std::uint8_t>(length >> 16), static_cast<std::uint8_t>(length >> 24)};
}

TEST(WireFraming, GoldenBytes) {
    const Bytes frame = framed(R"({"t":"clear"})", WireChannel::control);
    ASSERT_EQ(frame.size(), 18u);
    // channel 0, length 13 little-endian, then the payload
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 5), (Bytes{0x00, 0x0D, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Bytes(frame.begin() + 5, frame.end()), bytes(R"({"t":"clear"})"));
    EXPECT_EQ(framed("", WireChannel::usbDiscovery), (Bytes{0x03, 0, 0, 0, 0}));
    const Bytes big(0x012345, 0xAB);
    auto bigFrame = WireFraming::frame(big, WireChannel::video);
    ASSERT_TRUE(bigFrame.ok());
    EXPECT_EQ(Bytes(bigFrame->begin(), bigFrame->begin() + 5),
              (Bytes{0x02, 0x45, 0x23, 0x01, 0x00}));
}

TEST(WireFraming, RefusesPayloadsAboveOneMebibyte) {
    const Bytes largest(WireFraming::maxPayloadBytes, 0);
    EXPECT_TRUE(WireFraming::frame(largest, WireChannel::video).ok());
    const Bytes tooLarge(WireFraming::maxPayloadBytes + 1, 0);
    auto result = WireFraming::frame(tooLarge, WireChannel::video);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error(), FramingError::payloadTooLarge);
    Bytes batch = {9};
    EXPECT_FALSE(WireFraming::appendFrame(batch, tooLarge, WireChannel::video));
    EXPECT_EQ(batch, Bytes{9});
}

TEST(WireFrameParser, ByteByByte) {
    const Bytes frame = framed(R"({"t":"clear"})", WireChannel::control);
    WireFrameParser parser;
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
        EXPECT_TRUE(parser.ingest({&frame[i], 1}).empty()) << "byte " << i;
    }
    const auto frames = parser.ingest({&frame.back(), 1});
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], (WireFrame{WireChannel::control, bytes(R"({"t":"clear"})")}));
    EXPECT_TRUE(parser.buffer().empty());
}

TEST(WireFrameParser, SeveralFramesAndAPartialOneInOneCall) {
    Bytes stream = framed("one", WireChannel::control);
    const Bytes second = framed("", WireChannel::ink);
    const Bytes third = framed("three", WireChannel::video);
    stream.insert(stream.end(), second.begin(), second.end());
    stream.insert(stream.end(), third.begin(), third.begin() + 3);
    WireFrameParser parser;
    const auto frames = parser.ingest(stream);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], (WireFrame{WireChannel::control, bytes("one")}));
    EXPECT_EQ(frames[1], (WireFrame{WireChannel::ink, {}}));
    EXPECT_EQ(Bytes(parser.buffer().begin(), parser.buffer().end()),
              Bytes(third.begin(), third.begin() + 3));
    // Payloads are copies: they survive further parsing.
    const auto rest = parser.ingest({third.data() + 3, third.size() - 3});
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].payload, bytes("three"));
    EXPECT_EQ(frames[0].payload, bytes("one"));
}

TEST(WireFrameParser, BadHeaderDropsTheBufferAndStartsAfresh) {
    WireFrameParser parser;
    Bytes stream = framed("ok", WireChannel::control);
    stream.push_back(4);  // not a channel
    stream.insert(stream.end(), {1, 2, 3, 4, 5, 6});
    const auto frames = parser.ingest(stream);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload, bytes("ok"));
    EXPECT_TRUE(parser.buffer().empty());
    const auto next = parser.ingest(framed("again", WireChannel::ink));
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].payload, bytes("again"));

    for (std::uint8_t channel : {std::uint8_t{4}, std::uint8_t{0xFF}}) {
        EXPECT_TRUE(parser.ingest(header(channel, 0)).empty());
        EXPECT_TRUE(parser.buffer().empty());
    }
}

TEST(WireFrameParser, LengthLimitIsInclusive) {
    WireFrameParser parser;
    EXPECT_TRUE(parser.ingest(header(2, 1'048'577)).empty());
    EXPECT_TRUE(parser.buffer().empty());
    EXPECT_TRUE(parser.ingest(header(2, 1'048'576)).empty());
    EXPECT_EQ(parser.buffer().size(), 5u);  // accepted: waits for its bytes
    const Bytes payload(1'048'576, 7);
    const auto frames = parser.ingest(payload);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload.size(), 1'048'576u);
}

TEST(WireFrameParser, EmptyInputChangesNothing) {
    WireFrameParser parser;
    EXPECT_TRUE(parser.ingest({}).empty());
    const Bytes partial = {0, 3, 0};
    EXPECT_TRUE(parser.ingest(partial).empty());
    EXPECT_TRUE(parser.ingest({}).empty());
    EXPECT_EQ(Bytes(parser.buffer().begin(), parser.buffer().end()), partial);
}

TEST(WireFrameParser, AnyChunkingGivesTheSameFrames) {
    std::mt19937 rng(7);
    Bytes stream;
    std::vector<WireFrame> expected;
    for (int i = 0; i < 300; ++i) {
        const auto channel = static_cast<WireChannel>(rng() % 4);
        Bytes payload(rng() % 3000, static_cast<std::uint8_t>(i));
        WireFraming::appendFrame(stream, payload, channel);
        expected.push_back({channel, std::move(payload)});
    }
    for (int trial = 0; trial < 20; ++trial) {
        WireFrameParser parser;
        std::vector<WireFrame> got;
        for (std::size_t offset = 0; offset < stream.size();) {
            const std::size_t length = std::min<std::size_t>(stream.size() - offset, rng() % 5000);
            for (auto& frame : parser.ingest({stream.data() + offset, length})) {
                got.push_back(std::move(frame));
            }
            offset += length;
        }
        ASSERT_EQ(got, expected) << "trial " << trial;
        EXPECT_TRUE(parser.buffer().empty());
    }
}

TEST(WireChannel, RawValues) {
    EXPECT_EQ(wireChannelFromRaw(0), WireChannel::control);
    EXPECT_EQ(wireChannelFromRaw(3), WireChannel::usbDiscovery);
    EXPECT_FALSE(wireChannelFromRaw(4));
    EXPECT_EQ(USBTransportConfiguration::listenerPort, 49271);
}

}  // namespace
}  // namespace velurio
