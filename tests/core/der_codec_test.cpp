// Golden vectors for the DER writer and every error of the reader.
#include "core/der_reader.h"
#include "core/der_writer.h"

#include <gtest/gtest.h>

#include <chrono>

namespace velurio {
namespace {

using namespace std::chrono;

Bytes repeat(std::size_t count, std::uint8_t byte) {
    return Bytes(count, byte);
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

TEST(DERWriter, IntegersAreMinimalAndNonNegative) {
    EXPECT_EQ(DERWriter::integer(0), (Bytes{0x02, 0x01, 0x00}));
    EXPECT_EQ(DERWriter::integer(2), (Bytes{0x02, 0x01, 0x02}));
    EXPECT_EQ(DERWriter::integer(127), (Bytes{0x02, 0x01, 0x7F}));
    EXPECT_EQ(DERWriter::integer(128), (Bytes{0x02, 0x02, 0x00, 0x80}));
    EXPECT_EQ(DERWriter::integer(256), (Bytes{0x02, 0x02, 0x01, 0x00}));
    EXPECT_EQ(DERWriter::integer(0xFFFF'FFFF'FFFF'FFFFULL),
              (Bytes{0x02, 0x09, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(DERWriter::integer(0x0100'0000'0000'0000ULL),
              (Bytes{0x02, 0x08, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

TEST(DERWriter, SimpleTypes) {
    EXPECT_EQ(DERWriter::null(), (Bytes{0x05, 0x00}));
    const Bytes point = repeat(65, 0x04);
    EXPECT_EQ(DERWriter::bitString(point), join({{0x03, 0x42, 0x00}, point}));
    EXPECT_EQ(DERWriter::octetString(Bytes{0x30, 0x00}), (Bytes{0x04, 0x02, 0x30, 0x00}));
    EXPECT_EQ(DERWriter::octetString({}), (Bytes{0x04, 0x00}));
    // UTF-8 bytes are written as they are: "ção" is 5 bytes.
    EXPECT_EQ(DERWriter::utf8String("\xC3\xA7\xC3\xA3o"),
              (Bytes{0x0C, 0x05, 0xC3, 0xA7, 0xC3, 0xA3, 'o'}));
    EXPECT_EQ(DERWriter::tlv(0x42, Bytes{0x01}), (Bytes{0x42, 0x01, 0x01}));
}

TEST(DERWriter, LengthFieldSwitchesFormAt128And256) {
    EXPECT_EQ(DERWriter::octetString(repeat(127, 0xAB)), join({{0x04, 0x7F}, repeat(127, 0xAB)}));
    EXPECT_EQ(DERWriter::octetString(repeat(128, 0xAB)),
              join({{0x04, 0x81, 0x80}, repeat(128, 0xAB)}));
    EXPECT_EQ(DERWriter::octetString(repeat(255, 0xAB)),
              join({{0x04, 0x81, 0xFF}, repeat(255, 0xAB)}));
    EXPECT_EQ(DERWriter::octetString(repeat(256, 0xAB)),
              join({{0x04, 0x82, 0x01, 0x00}, repeat(256, 0xAB)}));
    EXPECT_EQ(DERWriter::octetString(repeat(65'535, 0)),
              join({{0x04, 0x82, 0xFF, 0xFF}, repeat(65'535, 0)}));
}

TEST(DERWriter, ObjectIdentifiers) {
    EXPECT_EQ(DERWriter::objectIdentifier("1.2.840.10045.4.3.2"),
              (Bytes{0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02}));
    EXPECT_EQ(DERWriter::objectIdentifier("2.5.4.3"), (Bytes{0x06, 0x03, 0x55, 0x04, 0x03}));
    EXPECT_EQ(DERWriter::objectIdentifier("1.2.840.10045.3.1.7"),
              (Bytes{0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07}));
    EXPECT_EQ(DERWriter::objectIdentifier("2.5.29.19"), (Bytes{0x06, 0x03, 0x55, 0x1D, 0x13}));
    // Empty and non-numeric pieces are dropped; an arc of exactly 128 needs two groups.
    EXPECT_EQ(DERWriter::objectIdentifier(".2..5.x.128."), (Bytes{0x06, 0x03, 0x55, 0x81, 0x00}));
}

TEST(DERWriter, UTCTimeDropsCenturyAndFractions) {
    const sys_days day = 2026y / December / 6;
    EXPECT_EQ(DERWriter::utcTime(day + 18h + 0min + 25s + 999ms),
              join({{0x17, 0x0D},
                    Bytes{'2', '6', '1', '2', '0', '6', '1', '8', '0', '0', '2', '5', 'Z'}}));
    const Bytes y2050 = DERWriter::utcTime(sys_days(2050y / January / 1));
    EXPECT_EQ(std::string(y2050.begin() + 2, y2050.end()), "500101000000Z");
    const Bytes y1999 = DERWriter::utcTime(sys_days(1999y / December / 31) + 23h + 59min + 59s);
    EXPECT_EQ(std::string(y1999.begin() + 2, y1999.end()), "991231235959Z");
}

TEST(DERWriter, GeneralizedTimeKeepsTheCentury) {
    const Bytes y2055 =
        DERWriter::generalizedTime(sys_days(2055y / March / 4) + 5h + 6min + 7s + 500ms);
    EXPECT_EQ(
        y2055,
        join({{0x18, 0x0F},
              Bytes{'2', '0', '5', '5', '0', '3', '0', '4', '0', '5', '0', '6', '0', '7', 'Z'}}));
}

TEST(DERWriter, ConstructedTypesKeepOrder) {
    EXPECT_EQ(DERWriter::sequence({}), (Bytes{0x30, 0x00}));
    const Bytes items[] = {DERWriter::integer(2), DERWriter::integer(1)};
    EXPECT_EQ(DERWriter::set(items), (Bytes{0x31, 0x06, 0x02, 0x01, 0x02, 0x02, 0x01, 0x01}));
    EXPECT_EQ(DERWriter::sequence(items), (Bytes{0x30, 0x06, 0x02, 0x01, 0x02, 0x02, 0x01, 0x01}));
    const Bytes two[] = {DERWriter::integer(2)};
    EXPECT_EQ(DERWriter::contextTag(0, two).value(), (Bytes{0xA0, 0x03, 0x02, 0x01, 0x02}));
    EXPECT_EQ(DERWriter::contextTag(3, two).value()[0], 0xA3);
    EXPECT_EQ(DERWriter::concat(items), (Bytes{0x02, 0x01, 0x02, 0x02, 0x01, 0x01}));
}

// One identifier byte carries context tags [0] to [30]; from [31] on the number would have to
// go in the multi-byte form, so the writer refuses it instead of writing some other tag.
TEST(DERWriter, ContextTagsBeyondOneIdentifierByteAreRefused) {
    const Bytes two[] = {DERWriter::integer(2)};
    EXPECT_EQ(DERWriter::contextTag(30, two).value(), (Bytes{0xBE, 0x03, 0x02, 0x01, 0x02}));
    for (const int number : {31, 32, 35, 63, 95, 96, 255}) {
        const auto refused = DERWriter::contextTag(static_cast<std::uint8_t>(number), two);
        ASSERT_FALSE(refused.ok()) << number;
        EXPECT_EQ(refused.error(), DERWriteError::tagNumberOutOfRange);
    }
    // What a reader makes of [30]: the tag and the contents as written.
    DERReader reader(DERWriter::contextTag(30, two).value());
    const auto read = reader.readTLV();
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read->tag, 0xBE);
    EXPECT_EQ(read->body, two[0]);
}

TEST(DERReader, ReadsNestedValuesToTheEnd) {
    DERReader reader(Bytes{0x30, 0x03, 0x02, 0x01, 0x05});
    auto outer = reader.readTLV();
    ASSERT_TRUE(outer.ok());
    EXPECT_EQ(outer->tag, 0x30);
    EXPECT_EQ(outer->body, (Bytes{0x02, 0x01, 0x05}));
    EXPECT_TRUE(reader.isAtEnd());
    EXPECT_EQ(reader.readTLV().error(), DERError::truncated());

    DERReader inner(outer->body);
    auto value = inner.expect(0x02);
    ASSERT_TRUE(value.ok());
    EXPECT_EQ(*value, Bytes{0x05});
}

TEST(DERReader, LongFormLengthsIncludingNonMinimal) {
    DERReader reader(join({{0x04, 0x82, 0x01, 0x00}, repeat(256, 7), {0x05, 0x81, 0x00}}));
    auto big = reader.expect(0x04);
    ASSERT_TRUE(big.ok());
    EXPECT_EQ(big->size(), 256U);
    auto empty = reader.expect(0x05);  // 81 00: a non-minimal zero length is accepted
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty->empty());
    EXPECT_TRUE(reader.isAtEnd());
}

TEST(DERReader, ErrorsAndWhereTheyLeaveTheOffset) {
    struct Case {
        Bytes input;
        DERError error;
        std::ptrdiff_t offsetAfter;
    };
    const Case cases[] = {
        {{}, DERError::truncated(), 0},                        // no tag
        {{0x30}, DERError::truncated(), 1},                    // no length byte
        {{0x30, 0x05, 0x02, 0x01}, DERError::truncated(), 2},  // short contents
        {{0x30, 0x80}, DERError::malformedLength(), 2},        // indefinite form
        {{0x30, 0x85, 0x00, 0x00, 0x00, 0x00, 0x01},
         DERError::malformedLength(),
         2},                                                               // 5 length bytes
        {{0x30, 0x82, 0x01}, DERError::malformedLength(), 2},              // length bytes run out
        {{0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}, DERError::truncated(), 6},  // 4 GiB announced
    };
    for (const Case& c : cases) {
        DERReader reader(c.input);
        auto result = reader.readTLV();
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.error(), c.error);
        EXPECT_EQ(reader.offset(), c.offsetAfter);
    }
}

TEST(DERReader, ExpectReportsBothTagsAndConsumesTheValue) {
    DERReader reader(Bytes{0x30, 0x00, 0x02, 0x01, 0x01});
    auto wrong = reader.expect(0x02);
    ASSERT_FALSE(wrong.ok());
    EXPECT_EQ(wrong.error(), DERError::unexpectedTag(0x02, 0x30));
    EXPECT_EQ(wrong.error().expected, 0x02);
    EXPECT_EQ(wrong.error().found, 0x30);
    auto next = reader.expect(0x02);
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(*next, Bytes{0x01});
}

TEST(DERReader, ReadsBackEverythingTheWriterMakes) {
    const Bytes items[] = {DERWriter::integer(65'536), DERWriter::octetString(repeat(300, 1)),
                           DERWriter::objectIdentifier("1.2.840.10045.2.1"), DERWriter::null()};
    DERReader reader(DERWriter::sequence(items));
    auto body = reader.expect(0x30);
    ASSERT_TRUE(body.ok());
    DERReader inner(*body);
    for (const Bytes& item : items) {
        auto tlv = inner.readTLV();
        ASSERT_TRUE(tlv.ok());
        EXPECT_EQ(tlv->tag, item[0]);
        EXPECT_EQ(DERWriter::tlv(tlv->tag, tlv->body), item);
    }
    EXPECT_TRUE(inner.isAtEnd());
}

}  // namespace
}  // namespace velurio
