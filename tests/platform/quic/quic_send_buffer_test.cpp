// The stream send buffer: bytes handed out stay where they are until acknowledged, and the
// capacity bounds what is not acknowledged yet.
#include "platform/quic/quic_send_buffer.h"

#include "quic_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace velurio {
namespace {

using quictest::pattern;

std::vector<std::uint8_t> concatenated(std::span<const QuicSendBuffer::Piece> pieces) {
    std::vector<std::uint8_t> bytes;
    for (const auto& piece : pieces) {
        bytes.insert(bytes.end(), piece.data, piece.data + piece.length);
    }
    return bytes;
}

TEST(QuicSendBuffer, SentBytesStayInPlaceWhileMoreIsAppendedAndAcknowledged) {
    QuicSendBuffer buffer(100'000);
    const auto data = pattern(100'000, 3);
    ASSERT_EQ(buffer.append(std::span(data).first(40'000)), 40'000U);

    std::array<QuicSendBuffer::Piece, 16> pieces{};
    std::size_t count = buffer.unsent(pieces);
    EXPECT_EQ(concatenated(std::span(pieces).first(count)),
              std::vector(data.begin(), data.begin() + 40'000));
    // Hand out the first 20000 bytes; remember where they are, as the connection does.
    buffer.markSent(20'000);
    const std::uint8_t* inFlight = pieces[0].data;

    // Appending (new chunks) and acknowledging part of the sent bytes moves nothing in flight.
    ASSERT_EQ(buffer.append(std::span(data).subspan(40'000, 60'000)), 60'000U);
    buffer.acknowledge(10'000);
    EXPECT_EQ(std::memcmp(inFlight + 10'000, data.data() + 10'000, 6'384),
              0);  // rest of the first chunk
    EXPECT_EQ(buffer.bufferedBytes(), 90'000U);
    EXPECT_EQ(buffer.unsentBytes(), 80'000U);
    count = buffer.unsent(pieces);
    EXPECT_EQ(concatenated(std::span(pieces).first(count)),
              std::vector(data.begin() + 20'000, data.end()));
}

TEST(QuicSendBuffer, TakesOnlyWhatFitsAndFreesRoomAsBytesAreAcknowledged) {
    QuicSendBuffer buffer(50'000);
    const auto data = pattern(80'000, 4);
    EXPECT_EQ(buffer.append(data), 50'000U);
    EXPECT_EQ(buffer.freeSpace(), 0U);
    EXPECT_EQ(buffer.append(data), 0U);
    buffer.markSent(50'000);
    buffer.acknowledge(30'000);
    EXPECT_EQ(buffer.freeSpace(), 30'000U);
    EXPECT_EQ(buffer.append(std::span(data).subspan(50'000)), 30'000U);
    // Acknowledgements never run past what was sent.
    buffer.acknowledge(1'000'000);
    EXPECT_EQ(buffer.bufferedBytes(), 30'000U);
    EXPECT_EQ(buffer.unsentBytes(), 30'000U);

    std::array<QuicSendBuffer::Piece, 16> pieces{};
    const std::size_t count = buffer.unsent(pieces);
    EXPECT_EQ(concatenated(std::span(pieces).first(count)),
              std::vector(data.begin() + 50'000, data.end()));
}

}  // namespace
}  // namespace velurio
