// A minimal ASN.1 DER encoder, just large enough to build an X.509 certificate for an
// elliptic-curve key.
//
// Every operation returns the complete encoding (tag, length, contents) of one value, so that
// structures are built bottom-up by nesting calls. Nothing throws. Only contextTag can fail (a
// tag number one identifier byte cannot carry); the other limits below are the caller's to
// respect, and they are checked with assert in debug builds. In a release build a value beyond
// them is written with its length truncated to 65,535, which gives an encoding a reader
// rejects, never memory corruption.
#pragma once

#include "protocol/result.h"

#include <chrono>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace velurio {

using Bytes = std::vector<std::uint8_t>;

// Why a value could not be written.
enum class DERWriteError : std::uint8_t {
    // contextTag with a number of 31 or more: that needs the multi-byte identifier form (31 in
    // the low five bits is its escape), which this writer never produces. Nothing is written.
    tagNumberOutOfRange,
};

namespace DERWriter {

// Longest contents of one value (the length field has at most two bytes).
inline constexpr std::size_t kMaxContentLength = 65'535;

// Any one-byte tag with the given contents (at most kMaxContentLength bytes).
Bytes tlv(std::uint8_t tag, std::span<const std::uint8_t> contents);
// The encodings one after another.
Bytes concat(std::span<const Bytes> items);

// INTEGER 0x02: the minimal two's-complement encoding of a non-negative value.
Bytes integer(std::uint64_t value);
// BIT STRING 0x03: one 0x00 byte (no unused bits), then the bytes.
Bytes bitString(std::span<const std::uint8_t> bytes);
// OCTET STRING 0x04.
Bytes octetString(std::span<const std::uint8_t> bytes);
// NULL 0x05: always 05 00.
Bytes null();
// OBJECT IDENTIFIER 0x06 from dotted text such as "1.2.840.10045.4.3.2". Empty or non-numeric
// pieces are dropped. Precondition: at least two arcs, the first 0, 1 or 2, and
// 40 * first + second <= 255 (only constant identifiers are passed).
Bytes objectIdentifier(std::string_view dotted);
// UTF8String 0x0C with the text's bytes as they are (the text is taken as UTF-8).
Bytes utf8String(std::string_view text);
// UTCTime 0x17 "YYMMDDHHMMSSZ" in UTC, fractions of a second dropped. The year is written
// modulo 100 for every date: from 2050 on the century is lost, so callers that care must
// refuse such dates themselves.
Bytes utcTime(std::chrono::system_clock::time_point time);
// GeneralizedTime 0x18 "YYYYMMDDHHMMSSZ" in UTC, fractions of a second dropped; years 0 to 9999.
Bytes generalizedTime(std::chrono::system_clock::time_point time);
// SEQUENCE 0x30 and SET 0x31 of the items in the given order (a SET is not sorted).
Bytes sequence(std::span<const Bytes> items);
Bytes set(std::span<const Bytes> items);
// Largest number contextTag writes: one identifier byte holds context tags [0] to [30].
inline constexpr std::uint8_t kMaxContextTagNumber = 30;
// Context-specific constructed tag [number] (0xA0 + number) around the items; a number above
// kMaxContextTagNumber is refused with tagNumberOutOfRange rather than written as another tag.
Result<Bytes, DERWriteError> contextTag(std::uint8_t number, std::span<const Bytes> items);

}  // namespace DERWriter
}  // namespace velurio
