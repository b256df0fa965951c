// A sliding window of the most recent round-trip times (milliseconds) with nearest-rank
// percentiles, mean and a summary record. Plain value type, no locking.
#pragma once

#include "protocol/result.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velurio {

struct LatencySummary {
    std::int64_t samples = 0;
    double p50 = 0;
    double p95 = 0;
    double mean = 0;
    double max = 0;

    // {"samples":…,"p50":…,"p95":…,"mean":…,"max":…} in that key order, numbers written by the
    // canonical number rule.
    std::string toJSON() const;
    // All five keys are required; unknown keys are ignored. The error text says what is wrong.
    static Result<LatencySummary, std::string> fromJSON(std::string_view json);

    bool operator==(const LatencySummary&) const = default;
};

// The round trip a pong reports: nowMs minus the send time it echoes, both on this host's
// monotonic clock in milliseconds. Nothing when the send time lies in the future, or so far in
// the past that the difference does not fit in 64 bits (the echoed value is peer input and may
// be anything, INT64_MIN included).
std::optional<std::int64_t> roundTripMs(std::int64_t nowMs, std::int64_t sentMs) noexcept;

class LatencyTracker {
  public:
    static constexpr std::size_t defaultCapacity = 2048;

    // A capacity of 0 is taken as 1.
    explicit LatencyTracker(std::size_t capacity = defaultCapacity);

    std::size_t capacity() const noexcept { return m_capacity; }
    std::size_t count() const noexcept { return m_count; }
    std::optional<double> last() const noexcept;
    // The kept samples in arrival order, oldest first.
    std::vector<double> samples() const;

    // Drops the oldest sample when full, then appends. O(1). A NaN is not recorded.
    void record(double sampleMs) noexcept;
    void reset() noexcept;

    // Nearest rank: the ceil(p/100 · n)-th smallest sample (rank at least 1). p is clamped to
    // 0…100; nothing when empty or p is NaN.
    std::optional<double> percentile(double p) const;
    std::optional<double> p50() const { return percentile(50); }
    std::optional<double> p95() const { return percentile(95); }
    std::optional<double> mean() const noexcept;
    std::optional<LatencySummary> summary() const;

  private:
    std::size_t m_capacity;
    std::vector<double> m_ring;  // m_capacity slots; the oldest sample at m_start
    std::size_t m_start = 0;
    std::size_t m_count = 0;
    mutable std::vector<double> m_scratch;  // reused by percentile queries (single-threaded use)
};

}  // namespace velurio
