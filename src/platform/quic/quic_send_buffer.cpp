#include "platform/quic/quic_send_buffer.h"

#include <algorithm>
#include <cstring>

namespace velurio {

std::size_t QuicSendBuffer::append(std::span<const std::uint8_t> bytes) {
    const std::size_t taken = std::min(bytes.size(), freeSpace());
    std::size_t copied = 0;
    while (copied < taken) {
        const std::uint64_t chunkEnd = m_firstChunkOffset + m_chunks.size() * kChunkBytes;
        if (m_end == chunkEnd) {
            m_chunks.push_back(std::make_unique<std::uint8_t[]>(kChunkBytes));
            continue;
        }
        const auto inChunk = static_cast<std::size_t>((m_end - m_firstChunkOffset) % kChunkBytes);
        const std::size_t n = std::min(taken - copied, kChunkBytes - inChunk);
        std::memcpy(m_chunks.back().get() + inChunk, bytes.data() + copied, n);
        copied += n;
        m_end += n;
    }
    return taken;
}

std::size_t QuicSendBuffer::unsent(std::span<Piece> out) const {
    std::size_t filled = 0;
    std::uint64_t offset = m_sent;
    while (offset < m_end && filled < out.size()) {
        const auto relative = static_cast<std::size_t>(offset - m_firstChunkOffset);
        const std::size_t chunk = relative / kChunkBytes;
        const std::size_t inChunk = relative % kChunkBytes;
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>(kChunkBytes - inChunk, m_end - offset));
        out[filled++] = Piece{m_chunks[chunk].get() + inChunk, n};
        offset += n;
    }
    return filled;
}

void QuicSendBuffer::markSent(std::size_t bytes) {
    m_sent = std::min<std::uint64_t>(m_sent + bytes, m_end);
}

void QuicSendBuffer::acknowledge(std::size_t bytes) {
    m_acked = std::min<std::uint64_t>(m_acked + bytes, m_sent);
    while (!m_chunks.empty() && m_acked >= m_firstChunkOffset + kChunkBytes) {
        m_chunks.pop_front();
        m_firstChunkOffset += kChunkBytes;
    }
}

}  // namespace velurio
