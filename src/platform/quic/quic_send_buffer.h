// The bytes written to one QUIC stream that the peer has not acknowledged yet.
//
// ngtcp2 keeps pointers into the stream data it sent until the peer acknowledges it (to send
// it again if a packet is lost), so the bytes must never move: they live in fixed chunks that
// are freed whole once acknowledged. The capacity bounds unacknowledged plus unsent bytes; a
// write beyond it is refused in part, which is the stream's backpressure.
//
// Threads: the owning engine's thread. Lifetime: owned by its connection, and must outlive the
// ngtcp2 connection that points into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>

namespace velurio {

class QuicSendBuffer {
  public:
    static constexpr std::size_t kChunkBytes = 16 * 1024;

    struct Piece {
        const std::uint8_t* data = nullptr;
        std::size_t length = 0;
    };

    explicit QuicSendBuffer(std::size_t capacityBytes) : m_capacity(capacityBytes) {}

    // Takes as many bytes as fit; returns how many.
    std::size_t append(std::span<const std::uint8_t> bytes);

    std::size_t capacity() const noexcept { return m_capacity; }
    std::size_t freeSpace() const noexcept { return m_capacity - bufferedBytes(); }
    std::size_t bufferedBytes() const noexcept { return static_cast<std::size_t>(m_end - m_acked); }
    std::size_t unsentBytes() const noexcept { return static_cast<std::size_t>(m_end - m_sent); }

    // The unsent bytes in order, as at most out.size() pieces; returns the number filled. The
    // pieces stay valid until acknowledge() covers them.
    std::size_t unsent(std::span<Piece> out) const;
    // `bytes` more were handed to the connection (at most unsentBytes()).
    void markSent(std::size_t bytes);
    // The peer acknowledged the next `bytes` sent bytes (acknowledgements arrive in order).
    void acknowledge(std::size_t bytes);

  private:
    std::size_t m_capacity;
    std::deque<std::unique_ptr<std::uint8_t[]>> m_chunks;
    std::uint64_t m_firstChunkOffset = 0;  // stream offset of the first chunk's first byte
    std::uint64_t m_acked = 0;
    std::uint64_t m_sent = 0;
    std::uint64_t m_end = 0;
};

}  // namespace velurio
