// Annex B frame assembly for the video stream: every NAL unit and parameter set behind a
// 4-byte start code 00 00 00 01; a key frame starts with all of the stream's parameter sets in
// index order, then the frame's own NAL units in the encoder's order.
//
// Pure functions over bytes plus two small state machines an encoder backend drives: the frame
// sequence counter (FrameAssembler) and the strictly increasing submission timestamps
// (EncoderTimestamps). Nothing here is thread-safe; each belongs to one encoder thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace velurio {

namespace AnnexB {

inline constexpr std::uint8_t startCode[4] = {0, 0, 0, 1};
// Output buffers reserve this much up front.
inline constexpr std::size_t initialCapacity = 65536;

// NAL units of a buffer whose units are each prefixed by a big-endian length of
// `lengthSize` bytes (1…4; 4 when the format reports none). The walk stops at a zero length,
// at a length running past the end, or when fewer than `lengthSize` bytes remain; units before
// that point are kept. The spans point into `data`.
std::vector<std::span<const std::uint8_t>> splitLengthPrefixed(std::span<const std::uint8_t> data,
                                                               int lengthSize = 4);

// NAL units of an Annex B buffer with 3- or 4-byte start codes (any mix, as x265 and hardware
// encoders emit), without the start codes and without the zero bytes that precede the next
// start code. Bytes before the first start code are ignored; empty units are dropped.
std::vector<std::span<const std::uint8_t>> splitAnnexB(std::span<const std::uint8_t> data);

// Appends 00 00 00 01 + unit for each unit.
void appendUnits(std::vector<std::uint8_t>& out,
                 std::span<const std::span<const std::uint8_t>> units);

// The frame from a length-prefixed sample: for a key frame the non-empty parameter sets first,
// then the sample's NAL units (walked as splitLengthPrefixed). May be empty.
std::vector<std::uint8_t> assembleFrame(
    std::span<const std::uint8_t> lengthPrefixedSample,
    std::span<const std::span<const std::uint8_t>> parameterSets, bool keyFrame,
    int lengthSize = 4);

enum class NalSyntax : std::uint8_t { h264, hevc };

// True for sequence/picture (and, for HEVC, video) parameter-set NAL units.
bool isParameterSet(std::span<const std::uint8_t> unit, NalSyntax syntax) noexcept;

// The same output form from an encoder that emits Annex B (mixed start codes, parameter sets
// possibly in-band). For a key frame with `parameterSets` given, those come first and in-band
// parameter sets are dropped (so they are not repeated); otherwise the units are kept as they
// are. May be empty.
std::vector<std::uint8_t> normalizeFrame(
    std::span<const std::uint8_t> annexB,
    std::span<const std::span<const std::uint8_t>> parameterSets, bool keyFrame, NalSyntax syntax);

}  // namespace AnnexB

// One assembled frame, ready to be cut into datagrams.
struct EncodedFrame {
    std::vector<std::uint8_t> data;
    std::uint32_t sequence = 0;
    std::uint64_t timestampMs = 0;
    bool keyFrame = false;
    bool operator==(const EncodedFrame&) const = default;
};

// The sequence counter and millisecond timestamps of an encoder's output.
class FrameAssembler {
  public:
    // At every encoder start: the next frame carries sequence 1.
    void start() noexcept { m_sequence = 0; }
    std::uint32_t sequence() const noexcept { return m_sequence; }

    // One compressor output sample. `sampleData` absent: the sample had no data; nothing is
    // emitted and the sequence does not advance. Otherwise the sequence advances (wrapping at
    // 2^32) and the frame is assembled from length-prefixed NAL units; when that yields no
    // bytes nothing is emitted (the sequence number stays used). `presentationTime` is
    // relative to the session start; negative or absent times count as 0 ms.
    std::optional<EncodedFrame> assemble(
        std::optional<std::span<const std::uint8_t>> sampleData,
        std::span<const std::span<const std::uint8_t>> parameterSets, bool keyFrame,
        std::optional<std::chrono::nanoseconds> presentationTime, int lengthSize = 4);

    // The same for an Annex B sample (see AnnexB::normalizeFrame).
    std::optional<EncodedFrame> assembleAnnexB(
        std::optional<std::span<const std::uint8_t>> sampleData,
        std::span<const std::span<const std::uint8_t>> parameterSets, bool keyFrame,
        AnnexB::NalSyntax syntax, std::optional<std::chrono::nanoseconds> presentationTime);

    // Milliseconds of a presentation time: negative or absent → 0, otherwise truncated.
    static std::uint64_t milliseconds(
        std::optional<std::chrono::nanoseconds> presentationTime) noexcept;

  private:
    std::optional<EncodedFrame> finish(std::vector<std::uint8_t> data, bool keyFrame,
                                       std::optional<std::chrono::nanoseconds> presentationTime);

    std::uint32_t m_sequence = 0;
};

// Timestamps handed to the compressor strictly increase: one not later than the previous is
// moved to the previous + 1 ms (so a key frame re-encoded from the last image gets the last
// timestamp + 1 ms). They are submitted relative to the first image since start().
class EncoderTimestamps {
  public:
    using Duration = std::chrono::nanoseconds;

    // At every encoder start: the next image becomes the session start.
    void start() noexcept { m_sessionStart.reset(); }
    // At invalidate: forget the last submitted time (the session start is kept until start()).
    void invalidate() noexcept { m_lastEncoded.reset(); }

    // The capture time `captureTime` (any monotonic origin) → the time to submit, relative to
    // the session start. Updates the state.
    Duration submissionTime(Duration captureTime) noexcept;

    std::optional<Duration> lastEncoded() const noexcept { return m_lastEncoded; }
    std::optional<Duration> sessionStart() const noexcept { return m_sessionStart; }

  private:
    std::optional<Duration> m_lastEncoded;
    std::optional<Duration> m_sessionStart;
};

}  // namespace velurio
