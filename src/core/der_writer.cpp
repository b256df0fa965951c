#include "core/der_writer.h"

#include <cassert>
#include <charconv>
#include <cstdio>

namespace velurio::DERWriter {

namespace {

void appendLength(Bytes& out, std::size_t length) {
    assert(length <= kMaxContentLength);
    if (length > kMaxContentLength) {
        length = kMaxContentLength;
    }
    if (length < 128) {
        out.push_back(static_cast<std::uint8_t>(length));
    } else if (length < 256) {
        out.push_back(0x81);
        out.push_back(static_cast<std::uint8_t>(length));
    } else {
        out.push_back(0x82);
        out.push_back(static_cast<std::uint8_t>(length >> 8));
        out.push_back(static_cast<std::uint8_t>(length & 0xFF));
    }
}

std::span<const std::uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

Bytes tlv(std::uint8_t tag, std::span<const std::uint8_t> contents) {
    Bytes out;
    out.reserve(contents.size() + 4);
    out.push_back(tag);
    appendLength(out, contents.size());
    out.insert(out.end(), contents.begin(), contents.end());
    return out;
}

Bytes concat(std::span<const Bytes> items) {
    std::size_t total = 0;
    for (const Bytes& item : items) {
        total += item.size();
    }
    Bytes out;
    out.reserve(total);
    for (const Bytes& item : items) {
        out.insert(out.end(), item.begin(), item.end());
    }
    return out;
}

Bytes integer(std::uint64_t value) {
    // Least significant byte first, then reversed: zero still gives one byte.
    Bytes contents;
    do {
        contents.push_back(static_cast<std::uint8_t>(value & 0xFF));
        value >>= 8;
    } while (value != 0);
    if ((contents.back() & 0x80) != 0) {
        contents.push_back(0x00);  // keeps the value non-negative
    }
    return tlv(0x02, Bytes(contents.rbegin(), contents.rend()));
}

Bytes bitString(std::span<const std::uint8_t> bytes) {
    Bytes contents;
    contents.reserve(bytes.size() + 1);
    contents.push_back(0x00);
    contents.insert(contents.end(), bytes.begin(), bytes.end());
    return tlv(0x03, contents);
}

Bytes octetString(std::span<const std::uint8_t> bytes) {
    return tlv(0x04, bytes);
}

Bytes null() {
    return {0x05, 0x00};
}

Bytes objectIdentifier(std::string_view dotted) {
    std::vector<std::uint64_t> arcs;
    while (!dotted.empty()) {
        const std::size_t dot = dotted.find('.');
        const std::string_view piece = dotted.substr(0, dot);
        std::uint64_t arc = 0;
        const auto [end, ec] = std::from_chars(piece.data(), piece.data() + piece.size(), arc);
        if (!piece.empty() && ec == std::errc() && end == piece.data() + piece.size()) {
            arcs.push_back(arc);
        }
        dotted = dot == std::string_view::npos ? std::string_view() : dotted.substr(dot + 1);
    }
    assert(arcs.size() >= 2 && arcs[0] <= 2 && 40 * arcs[0] + arcs[1] <= 255);
    Bytes contents;
    if (arcs.size() >= 2) {
        contents.push_back(static_cast<std::uint8_t>((40 * arcs[0] + arcs[1]) & 0xFF));
    }
    for (std::size_t i = 2; i < arcs.size(); ++i) {
        std::uint8_t groups[10];
        std::size_t count = 0;
        std::uint64_t arc = arcs[i];
        do {
            groups[count++] = static_cast<std::uint8_t>(arc & 0x7F);
            arc >>= 7;
        } while (arc != 0);
        while (count > 0) {
            --count;
            contents.push_back(
                static_cast<std::uint8_t>(groups[count] | (count > 0 ? 0x80 : 0x00)));
        }
    }
    return tlv(0x06, contents);
}

Bytes utf8String(std::string_view text) {
    return tlv(0x0C, asBytes(text));
}

namespace {

struct CivilTime {
    int year;
    unsigned month, day;
    int hour, minute, second;
};

CivilTime civil(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto seconds = floor<std::chrono::seconds>(time);
    const auto day = floor<days>(seconds);
    const year_month_day date(day);
    const hh_mm_ss<std::chrono::seconds> clock(seconds - day);
    return {static_cast<int>(date.year()),
            static_cast<unsigned>(date.month()),
            static_cast<unsigned>(date.day()),
            static_cast<int>(clock.hours().count()),
            static_cast<int>(clock.minutes().count()),
            static_cast<int>(clock.seconds().count())};
}

}  // namespace

Bytes utcTime(std::chrono::system_clock::time_point time) {
    const CivilTime t = civil(time);
    const int shortYear = ((t.year % 100) + 100) % 100;
    char text[32];
    std::snprintf(text, sizeof text, "%02d%02u%02u%02d%02d%02dZ", shortYear, t.month, t.day, t.hour,
                  t.minute, t.second);
    return tlv(0x17, asBytes(std::string_view(text, 13)));
}

Bytes generalizedTime(std::chrono::system_clock::time_point time) {
    const CivilTime t = civil(time);
    assert(t.year >= 0 && t.year <= 9999);
    const int year = t.year < 0 ? 0 : (t.year > 9999 ? 9999 : t.year);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02u%02u%02d%02d%02dZ", year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return tlv(0x18, asBytes(std::string_view(text, 15)));
}

Bytes sequence(std::span<const Bytes> items) {
    return tlv(0x30, concat(items));
}

Bytes set(std::span<const Bytes> items) {
    return tlv(0x31, concat(items));
}

Result<Bytes, DERWriteError> contextTag(std::uint8_t number, std::span<const Bytes> items) {
    if (number > kMaxContextTagNumber) {
        return fail(DERWriteError::tagNumberOutOfRange);
    }
    return tlv(static_cast<std::uint8_t>(0xA0 | number), concat(items));
}

}  // namespace velurio::DERWriter
