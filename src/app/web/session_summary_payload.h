// What the coordinator reports to the platform when a session ends.
#pragma once

#include <optional>

namespace velurio {

struct SessionSummaryPayload {
    int strokeCount = 0;
    int framesDropped = 0;
    double durationSeconds = 0;
    // Round-trip latency percentiles in milliseconds; absent when no sample was measured.
    std::optional<double> latencyP50Ms;
    std::optional<double> latencyP95Ms;

    friend bool operator==(const SessionSummaryPayload&, const SessionSummaryPayload&) = default;
};

}  // namespace velurio
