#include "core/der_reader.h"

namespace velurio {

std::size_t DERReader::remaining() const noexcept {
    const auto at = static_cast<std::size_t>(m_offset);
    return at >= m_data.size() ? 0 : m_data.size() - at;
}

Result<DERReader::TLV, DERError> DERReader::readTLV() {
    if (remaining() == 0) {
        return fail(DERError::truncated());
    }
    const std::uint8_t tag = m_data[static_cast<std::size_t>(m_offset)];
    ++m_offset;
    if (remaining() == 0) {
        return fail(DERError::truncated());
    }
    const std::uint8_t first = m_data[static_cast<std::size_t>(m_offset)];
    ++m_offset;
    std::size_t length = first;
    if ((first & 0x80) != 0) {
        const std::size_t count = first & 0x7F;
        if (count < 1 || count > 4 || remaining() < count) {
            return fail(DERError::malformedLength());
        }
        length = 0;
        for (std::size_t i = 0; i < count; ++i) {
            length = (length << 8) | m_data[static_cast<std::size_t>(m_offset)];
            ++m_offset;
        }
    }
    if (remaining() < length) {
        return fail(DERError::truncated());
    }
    const auto begin = m_data.begin() + m_offset;
    TLV tlv{tag, Bytes(begin, begin + static_cast<std::ptrdiff_t>(length))};
    m_offset += static_cast<std::ptrdiff_t>(length);
    return tlv;
}

Result<Bytes, DERError> DERReader::expect(std::uint8_t tag) {
    auto tlv = readTLV();
    if (!tlv) {
        return fail(tlv.error());
    }
    if (tlv->tag != tag) {
        return fail(DERError::unexpectedTag(tag, tlv->tag));
    }
    return std::move(tlv->body);
}

}  // namespace velurio
