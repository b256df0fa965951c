#include "core/annex_b.h"

#include <algorithm>

namespace velurio {

namespace AnnexB {

std::vector<std::span<const std::uint8_t>> splitLengthPrefixed(std::span<const std::uint8_t> data,
                                                               int lengthSize) {
    if (lengthSize < 1 || lengthSize > 4)
        lengthSize = 4;
    const auto prefix = static_cast<std::size_t>(lengthSize);
    std::vector<std::span<const std::uint8_t>> units;
    std::size_t offset = 0;
    while (data.size() - offset >= prefix) {
        std::size_t length = 0;
        for (std::size_t i = 0; i < prefix; ++i)
            length = (length << 8) | data[offset + i];
        if (length == 0 || data.size() - offset - prefix < length)
            break;
        units.push_back(data.subspan(offset + prefix, length));
        offset += prefix + length;
    }
    return units;
}

std::vector<std::span<const std::uint8_t>> splitAnnexB(std::span<const std::uint8_t> data) {
    std::vector<std::span<const std::uint8_t>> units;
    const std::size_t n = data.size();
    // Position just after each 00 00 01.
    auto nextStart = [&](std::size_t from) -> std::size_t {
        for (std::size_t i = from; i + 3 <= n; ++i) {
            if (data[i + 2] > 1) {
                i += 2;  // no start code can begin at i, i+1 or i+2
                continue;
            }
            if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1)
                return i;
        }
        return n;
    };
    std::size_t code = nextStart(0);
    while (code < n) {
        const std::size_t begin = code + 3;
        const std::size_t next = nextStart(begin);
        std::size_t end = next;
        // Zero bytes before the next start code (the leading zero of a 4-byte code, trailing
        // zeros) are not part of the unit.
        while (end > begin && data[end - 1] == 0)
            --end;
        if (end > begin)
            units.push_back(data.subspan(begin, end - begin));
        code = next;
    }
    return units;
}

void appendUnits(std::vector<std::uint8_t>& out,
                 std::span<const std::span<const std::uint8_t>> units) {
    for (const auto& unit : units) {
        out.insert(out.end(), std::begin(startCode), std::end(startCode));
        out.insert(out.end(), unit.begin(), unit.end());
    }
}

namespace {

void appendParameterSets(std::vector<std::uint8_t>& out,
                         std::span<const std::span<const std::uint8_t>> parameterSets) {
    for (const auto& set : parameterSets) {
        if (set.empty())
            continue;
        out.insert(out.end(), std::begin(startCode), std::end(startCode));
        out.insert(out.end(), set.begin(), set.end());
    }
}

}  // namespace

std::vector<std::uint8_t> assembleFrame(
    std::span<const std::uint8_t> lengthPrefixedSample,
    std::span<const std::span<const std::uint8_t>> parameterSets, bool keyFrame, int lengthSize) {
    std::vector<std::uint8_t> out;
    out.reserve(std::max(initialCapacity, lengthPrefixedSample.size() + 1024));
    if (keyFrame)
        appendParameterSets(out, parameterSets);
    appendUnits(out, splitLengthPrefixed(lengthPrefixedSample, lengthSize));
    return out;
}

bool isParameterSet(std::span<const std::uint8_t> unit, NalSyntax syntax) noexcept {
    if (unit.empty())
        return false;
    if (syntax == NalSyntax::h264) {
        const int type = unit[0] & 0x1F;
        return type == 7 || type == 8;
    }
    const int type = (unit[0] >> 1) & 0x3F;
    return type == 32 || type == 33 || type == 34;
}

std::vector<std::uint8_t> normalizeFrame(
    std::span<const std::uint8_t> annexB,
    std::span<const std::span<const std::uint8_t>> parameterSets, bool keyFrame, NalSyntax syntax) {
    std::vector<std::uint8_t> out;
    out.reserve(std::max(initialCapacity, annexB.size() + 1024));
    const bool replaceInBand =
        keyFrame && std::any_of(parameterSets.begin(), parameterSets.end(),
                                [](const auto& set) { return !set.empty(); });
    if (replaceInBand)
        appendParameterSets(out, parameterSets);
    for (const auto& unit : splitAnnexB(annexB)) {
        if (replaceInBand && isParameterSet(unit, syntax))
            continue;
        out.insert(out.end(), std::begin(startCode), std::end(startCode));
        out.insert(out.end(), unit.begin(), unit.end());
    }
    return out;
}

}  // namespace AnnexB

std::uint64_t FrameAssembler::milliseconds(
    std::optional<std::chrono::nanoseconds> presentationTime) noexcept {
    if (!presentationTime || presentationTime->count() < 0)
        return 0;
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(*presentationTime).count());
}

std::optional<EncodedFrame> FrameAssembler::finish(
    std::vector<std::uint8_t> data, bool keyFrame,
    std::optional<std::chrono::nanoseconds> presentationTime) {
    if (data.empty())
        return std::nullopt;
    return EncodedFrame{std::move(data), m_sequence, milliseconds(presentationTime), keyFrame};
}

std::optional<EncodedFrame> FrameAssembler::assemble(
    std::optional<std::span<const std::uint8_t>> sampleData,
    std::span<const std::span<const std::uint8_t>> parameterSets, bool keyFrame,
    std::optional<std::chrono::nanoseconds> presentationTime, int lengthSize) {
    if (!sampleData)
        return std::nullopt;
    ++m_sequence;  // unsigned: wraps at 2^32
    return finish(AnnexB::assembleFrame(*sampleData, parameterSets, keyFrame, lengthSize), keyFrame,
                  presentationTime);
}

std::optional<EncodedFrame> FrameAssembler::assembleAnnexB(
    std::optional<std::span<const std::uint8_t>> sampleData,
    std::span<const std::span<const std::uint8_t>> parameterSets, bool keyFrame,
    AnnexB::NalSyntax syntax, std::optional<std::chrono::nanoseconds> presentationTime) {
    if (!sampleData)
        return std::nullopt;
    ++m_sequence;
    return finish(AnnexB::normalizeFrame(*sampleData, parameterSets, keyFrame, syntax), keyFrame,
                  presentationTime);
}

EncoderTimestamps::Duration EncoderTimestamps::submissionTime(Duration captureTime) noexcept {
    Duration t = captureTime;
    if (m_lastEncoded && t <= *m_lastEncoded)
        t = *m_lastEncoded + std::chrono::milliseconds(1);
    m_lastEncoded = t;
    if (!m_sessionStart)
        m_sessionStart = t;
    return t - *m_sessionStart;
}

}  // namespace velurio
