// A DER TLV reader that walks a buffer one value at a time.
//
// Only the one-byte tag form is read (a high-tag-number identifier is taken as its first byte,
// which no structure we read contains). Lengths may be short or long form with 1 to 4 length
// bytes; non-minimal long forms are accepted, the indefinite form is not.
#pragma once

#include "protocol/result.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace velurio {

using Bytes = std::vector<std::uint8_t>;

struct DERError {
    enum class Kind : std::uint8_t {
        unexpectedTag,    // expect() met another tag than the one asked for
        truncated,        // the buffer ends before a tag, a length byte or the contents
        malformedLength,  // long form with 0 or more than 4 length bytes, or running past the end
    };
    Kind kind = Kind::truncated;
    std::uint8_t expected = 0;  // unexpectedTag only
    std::uint8_t found = 0;     // unexpectedTag only

    static DERError unexpectedTag(std::uint8_t expectedTag, std::uint8_t foundTag) {
        return {Kind::unexpectedTag, expectedTag, foundTag};
    }
    static DERError truncated() { return {Kind::truncated, 0, 0}; }
    static DERError malformedLength() { return {Kind::malformedLength, 0, 0}; }

    friend bool operator==(const DERError&, const DERError&) = default;
};

class DERReader {
  public:
    struct TLV {
        std::uint8_t tag = 0;
        Bytes body;
        friend bool operator==(const TLV&, const TLV&) = default;
    };

    explicit DERReader(Bytes data) : m_data(std::move(data)) {}

    const Bytes& data() const noexcept { return m_data; }
    // Index of the next unread byte. On a failure it stays where the failing step left it
    // (past the tag, or past the length field, for instance).
    std::ptrdiff_t offset() const noexcept { return m_offset; }
    bool isAtEnd() const noexcept { return static_cast<std::size_t>(m_offset) >= m_data.size(); }

    // Reads one TLV and advances past it.
    Result<TLV, DERError> readTLV();
    // Reads one TLV and returns its body; another tag gives unexpectedTag (the TLV is
    // consumed all the same).
    Result<Bytes, DERError> expect(std::uint8_t tag);

  private:
    std::size_t remaining() const noexcept;

    Bytes m_data;
    std::ptrdiff_t m_offset = 0;
};

}  // namespace velurio
