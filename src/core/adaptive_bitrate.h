// Picks the encoder's target bitrate from a five-step ladder: down quickly (at most once per
// 3 s) while the link looks congested, up slowly (one step after 10 s of uninterrupted good
// evaluations, at most once per 10 s). No timers of its own: the caller passes the time.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

namespace velurio {

class AdaptiveBitrate {
  public:
    // A monotonic instant; the caller's clock (injectable in tests). Durations compare exactly.
    using Instant = std::chrono::steady_clock::time_point;

    static constexpr std::array<std::int64_t, 5> ladder = {1'500'000, 2'500'000, 3'500'000,
                                                           5'000'000, 8'000'000};
    static constexpr int defaultStep = 3;

    // `step` outside 0…4 is clamped into the ladder.
    explicit AdaptiveBitrate(int step = defaultStep) noexcept;

    int step() const noexcept { return m_step; }
    std::int64_t bitrate() const noexcept { return ladder[static_cast<std::size_t>(m_step)]; }
    std::optional<Instant> lastChange() const noexcept { return m_lastChange; }
    std::optional<Instant> stableSince() const noexcept { return m_stableSince; }

    // Bad: rtt > 150 ms or loss > 0.05. Good: rtt < 60 ms and loss < 0.01. Anything else
    // (no rtt yet, NaN, the boundaries themselves) is neutral and restarts the good run.
    // Returns the bitrate to apply, in bits per second.
    std::int64_t evaluate(std::optional<double> rttP95Ms, double lossRate, Instant now) noexcept;

  private:
    int m_step;
    std::optional<Instant> m_lastChange;
    std::optional<Instant> m_stableSince;
};

}  // namespace velurio
