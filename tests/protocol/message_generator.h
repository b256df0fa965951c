// Random messages for round-trip properties: every type, awkward strings and numbers.
#pragma once

#include "protocol/messages.h"

#include <cmath>
#include <limits>
#include <random>
#include <string>

namespace velurio::testing {

class MessageGenerator {
  public:
    explicit MessageGenerator(std::uint32_t seed) : m_rng(seed) {}

    SessionMessage next() {
        switch (pick(13)) {
            case 0:
                return HelloMessage{i64(),  text(),      pick(2) ? PeerRole::mac : PeerRole::ipad,
                                    text(), text(),      text(),
                                    text(), pick(2) == 1};
            case 1:
                return CapabilitiesMessage{text(),       i64(),        i64(), i64(),
                                           pick(2) == 1, pick(2) == 1, i64()};
            case 2:
                return ToolStateMessage{text(), text(), i64()};
            case 3:
                return ClearMessage{};
            case 4:
                return UndoMessage{text()};
            case 5:
                return RedoMessage{text()};
            case 6:
                return SlideChangedMessage{u64()};
            case 7:
                return PingMessage{static_cast<std::uint32_t>(u64()), i64()};
            case 8:
                return PongMessage{static_cast<std::uint32_t>(u64()), i64()};
            case 9: {
                EndMessage m;
                if (pick(5) != 0)
                    m.reason = static_cast<SessionEndReason>(pick(4));
                return m;
            }
            case 10: {
                StrokeMessage m{text(), static_cast<StrokeOp>(pick(3)), text(), text(), i64(), {}};
                const auto count = pick(8) == 0 ? pick(200) : pick(6);
                for (std::uint32_t k = 0; k < count; ++k) {
                    m.pts.push_back({real(), real(), real(), real(), i64()});
                }
                return m;
            }
            case 11: {
                DisplaysMessage m;
                for (auto k = pick(4); k > 0; --k) {
                    m.displays.push_back({static_cast<std::uint32_t>(u64()), text(), i64(), i64()});
                }
                if (pick(2) != 0)
                    m.selectedDisplayID = static_cast<std::uint32_t>(u64());
                m.status = static_cast<CaptureStatus>(pick(4));
                return m;
            }
            default:
                return SelectDisplayMessage{static_cast<std::uint32_t>(u64())};
        }
    }

    std::uint32_t pick(std::uint32_t n) {
        return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(m_rng);
    }

  private:
    std::int64_t i64() {
        switch (pick(4)) {
            case 0:
                return static_cast<std::int64_t>(pick(10));
            case 1:
                return std::numeric_limits<std::int64_t>::min() + pick(3);
            case 2:
                return std::numeric_limits<std::int64_t>::max() - pick(3);
            default:
                return static_cast<std::int64_t>(m_rng());
        }
    }
    std::uint64_t u64() {
        return pick(3) == 0 ? std::numeric_limits<std::uint64_t>::max() - pick(3) : m_rng();
    }
    double real() {
        switch (pick(7)) {
            case 0:
                return static_cast<double>(pick(3)) - 1.0;
            case 1:
                return std::uniform_real_distribution<double>(0, 1)(m_rng);
            case 2:
                return std::ldexp(std::uniform_real_distribution<double>(-1, 1)(m_rng),
                                  static_cast<int>(pick(2000)) - 1000);
            case 3:
                return 1e15 * (pick(2) ? 1 : -1);
            case 4:
                return 999999999999999.0;
            case 5:
                return std::round(std::uniform_real_distribution<double>(-1e18, 1e18)(m_rng));
            default:
                return 0.5 * pick(5) - 1.0;
        }
    }
    std::string text() {
        static const char* const pieces[] = {"a",
                                             "Z",
                                             "\"",
                                             "\\",
                                             "/",
                                             "\t",
                                             "\n",
                                             "\r",
                                             std::string_view("\0", 1).data(),
                                             "\x1f",
                                             "\x7f",
                                             "ç",
                                             "€",
                                             "\xF0\x9F\x96\x8A",
                                             " ",
                                             "{",
                                             "]",
                                             "m-0001"};
        std::string out;
        for (auto n = pick(8); n > 0; --n) {
            const auto index = pick(sizeof pieces / sizeof pieces[0]);
            out.append(index == 8 ? std::string(1, '\0') : std::string(pieces[index]));
        }
        return out;
    }

    std::mt19937_64 m_rng;
};

}  // namespace velurio::testing
