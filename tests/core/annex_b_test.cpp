// Annex B frame assembly, normalisation, sequence numbers and submission timestamps.
#include "core/annex_b.h"

#include <gtest/gtest.h>

#include <numeric>

namespace velurio {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

Bytes unit(std::size_t length, std::uint8_t first) {
    Bytes b(length);
    std::iota(b.begin(), b.end(), first);
    b[0] = first;
    return b;
}

Bytes lengthPrefixed(const std::vector<Bytes>& units) {
    Bytes out;
    for (const auto& u : units) {
        const auto n = static_cast<std::uint32_t>(u.size());
        out.push_back(static_cast<std::uint8_t>(n >> 24));
        out.push_back(static_cast<std::uint8_t>(n >> 16));
        out.push_back(static_cast<std::uint8_t>(n >> 8));
        out.push_back(static_cast<std::uint8_t>(n));
        out.insert(out.end(), u.begin(), u.end());
    }
    return out;
}

Bytes startCoded(const std::vector<Bytes>& units) {
    Bytes out;
    for (const auto& u : units) {
        out.insert(out.end(), {0, 0, 0, 1});
        out.insert(out.end(), u.begin(), u.end());
    }
    return out;
}

std::vector<std::span<const std::uint8_t>> spans(const std::vector<Bytes>& units) {
    return {units.begin(), units.end()};
}

TEST(AnnexBTest, LengthPrefixedUnitsBecomeStartCodedWithParameterSetsOnKeyFrames) {
    const std::vector<Bytes> nals = {unit(5, 0x65), unit(32, 0x06), unit(3, 0x41)};
    const std::vector<Bytes> sets = {unit(12, 0x67), unit(4, 0x68)};
    const Bytes sample = lengthPrefixed(nals);
    EXPECT_EQ(AnnexB::assembleFrame(sample, spans(sets), false), startCoded(nals));
    std::vector<Bytes> keyUnits = sets;
    keyUnits.insert(keyUnits.end(), nals.begin(), nals.end());
    EXPECT_EQ(AnnexB::assembleFrame(sample, spans(sets), true), startCoded(keyUnits));
    // Empty parameter sets are skipped.
    const std::vector<Bytes> withEmpty = {sets[0], {}, sets[1]};
    EXPECT_EQ(AnnexB::assembleFrame(sample, spans(withEmpty), true), startCoded(keyUnits));
}

TEST(AnnexBTest, ZeroOrOverlongLengthEndsTheWalk) {
    const std::vector<Bytes> nals = {unit(5, 0x65), unit(7, 0x41)};
    Bytes zero = lengthPrefixed(nals);
    const Bytes tail = lengthPrefixed({unit(3, 0x41)});
    zero.insert(zero.end(), {0, 0, 0, 0});
    zero.insert(zero.end(), tail.begin(), tail.end());
    EXPECT_EQ(AnnexB::assembleFrame(zero, {}, false), startCoded(nals));

    Bytes overlong = lengthPrefixed(nals);
    overlong.insert(overlong.end(), {0, 0, 0, 9, 1, 2, 3});
    EXPECT_EQ(AnnexB::assembleFrame(overlong, {}, false), startCoded(nals));

    Bytes stub = lengthPrefixed(nals);
    stub.insert(stub.end(), {0, 0, 1});  // fewer than 4 bytes left
    EXPECT_EQ(AnnexB::assembleFrame(stub, {}, false), startCoded(nals));

    EXPECT_TRUE(AnnexB::assembleFrame(Bytes{0, 0, 0, 0, 1}, {}, false).empty());
    EXPECT_TRUE(AnnexB::assembleFrame(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 1}, {}, false).empty());
    // Other prefix sizes.
    EXPECT_EQ(AnnexB::splitLengthPrefixed(Bytes{0, 2, 9, 9, 0, 1, 7}, 2).size(), 2u);
}

TEST(AnnexBTest, MixedStartCodesNormaliseToTheSameForm) {
    const std::vector<Bytes> nals = {unit(6, 0x40), unit(5, 0x42), unit(4, 0x44), unit(9, 0x26),
                                     unit(3, 0x02)};
    // VPS, SPS, PPS in-band, then an IDR slice and a trailing slice; 3- and 4-byte codes,
    // a trailing zero byte and garbage before the first start code.
    Bytes annexB = {0xAA};
    annexB.insert(annexB.end(), {0, 0, 1});
    annexB.insert(annexB.end(), nals[0].begin(), nals[0].end());
    annexB.insert(annexB.end(), {0, 0, 0, 1});
    annexB.insert(annexB.end(), nals[1].begin(), nals[1].end());
    annexB.insert(annexB.end(), {0, 0, 0, 0, 1});
    annexB.insert(annexB.end(), nals[2].begin(), nals[2].end());
    annexB.insert(annexB.end(), {0, 0, 1});
    annexB.insert(annexB.end(), nals[3].begin(), nals[3].end());
    annexB.insert(annexB.end(), {0, 0, 1});
    annexB.insert(annexB.end(), nals[4].begin(), nals[4].end());
    annexB.push_back(0);

    EXPECT_EQ(AnnexB::splitAnnexB(annexB).size(), 5u);
    EXPECT_EQ(AnnexB::normalizeFrame(annexB, {}, true, AnnexB::NalSyntax::hevc), startCoded(nals));
    // With out-of-band parameter sets, the in-band ones are replaced, not repeated.
    const std::vector<Bytes> sets = {unit(6, 0x40), unit(7, 0x42), unit(4, 0x44)};
    std::vector<Bytes> expected = sets;
    expected.push_back(nals[3]);
    expected.push_back(nals[4]);
    EXPECT_EQ(AnnexB::normalizeFrame(annexB, spans(sets), true, AnnexB::NalSyntax::hevc),
              startCoded(expected));
    EXPECT_EQ(AnnexB::normalizeFrame(annexB, spans(sets), false, AnnexB::NalSyntax::hevc),
              startCoded(nals));
    // H.264 types: 7 and 8 are parameter sets.
    EXPECT_TRUE(AnnexB::isParameterSet(Bytes{0x67}, AnnexB::NalSyntax::h264));
    EXPECT_TRUE(AnnexB::isParameterSet(Bytes{0x68}, AnnexB::NalSyntax::h264));
    EXPECT_FALSE(AnnexB::isParameterSet(Bytes{0x65}, AnnexB::NalSyntax::h264));
    EXPECT_TRUE(AnnexB::splitAnnexB(Bytes{1, 2, 0, 0}).empty());
    EXPECT_TRUE(AnnexB::splitAnnexB(Bytes{0, 0, 1, 0, 0, 1}).empty());
}

TEST(FrameAssemblerTest, SequenceAdvancesForEverySampleWithData) {
    FrameAssembler assembler;
    const Bytes sample = lengthPrefixed({unit(5, 0x65)});
    auto first = assembler.assemble(sample, {}, true, 40ms);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->sequence, 1u);
    EXPECT_EQ(first->timestampMs, 40u);
    EXPECT_TRUE(first->keyFrame);
    EXPECT_FALSE(assembler.assemble(std::nullopt, {}, false, 50ms));  // no data: not advanced
    EXPECT_EQ(assembler.sequence(), 1u);
    EXPECT_FALSE(assembler.assemble(Bytes{0, 0, 0, 0}, {}, false, 60ms));  // nothing: advanced
    EXPECT_EQ(assembler.assemble(sample, {}, false, 70ms)->sequence, 3u);
    assembler.start();
    EXPECT_EQ(assembler.assemble(sample, {}, false, 0ms)->sequence, 1u);
}

TEST(FrameAssemblerTest, TimestampsTruncateAndClampAndSequenceWraps) {
    EXPECT_EQ(FrameAssembler::milliseconds(std::nullopt), 0u);
    EXPECT_EQ(FrameAssembler::milliseconds(-5ms), 0u);
    EXPECT_EQ(FrameAssembler::milliseconds(1999999ns), 1u);
    FrameAssembler assembler;
    const Bytes sample = lengthPrefixed({unit(5, 0x65)});
    for (std::uint64_t i = 0; i < 3; ++i)
        (void)assembler.assemble(sample, {}, false, 0ms);
    EXPECT_EQ(assembler.sequence(), 3u);
    const Bytes annexB = startCoded({unit(4, 0x41)});
    EXPECT_EQ(assembler.assembleAnnexB(annexB, {}, false, AnnexB::NalSyntax::h264, 1ms)->data,
              annexB);
}

TEST(EncoderTimestampsTest, StrictlyIncreasingAndRelativeToTheFirstImage) {
    EncoderTimestamps ts;
    EXPECT_EQ(ts.submissionTime(1000ms), 0ms);
    EXPECT_EQ(ts.submissionTime(1033ms), 33ms);
    EXPECT_EQ(ts.submissionTime(1033ms), 34ms);  // same timestamp: one millisecond later
    EXPECT_EQ(ts.submissionTime(1020ms), 35ms);  // earlier: after the previous
    ts.invalidate();
    EXPECT_EQ(ts.submissionTime(1010ms), 10ms);  // no previous after invalidate; start kept
    ts.start();
    EXPECT_EQ(ts.submissionTime(5000ms), 0ms);
}

}  // namespace
}  // namespace velurio
