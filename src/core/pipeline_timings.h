// How long each stage of the video pipeline took for the most recent frames: capture (from the
// grab to the encoder taking the image up), convert (BGRA to YUV), encode, and send (from the
// encoded frame to its last datagram handed to the network), each in a small ring of
// milliseconds, summarised as one JSON object for logs and tools.
//
// Thread: a plain value type without locking; its owner keeps it on one thread.
// Lifetime: owned by value.
#pragma once

#include "core/latency_tracker.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace velurio {

struct FrameStageTimes {
    double captureMs = 0;
    double convertMs = 0;
    double encodeMs = 0;
    double sendMs = 0;
};

class PipelineTimings {
  public:
    // About 20 s at 30 frames a second.
    static constexpr std::size_t kCapacity = 600;

    void record(const FrameStageTimes& times) noexcept;
    void reset() noexcept;
    std::uint64_t frames() const noexcept { return m_frames; }

    // {"frames":N,"capture":S,"convert":S,"encode":S,"send":S,"host":S} where each S is a
    // LatencySummary object (or null before the first frame) and "host" is the sum of the four
    // stages per frame. `frames` counts every frame recorded since the last reset.
    std::string summaryJSON() const;

  private:
    LatencyTracker m_capture{kCapacity};
    LatencyTracker m_convert{kCapacity};
    LatencyTracker m_encode{kCapacity};
    LatencyTracker m_send{kCapacity};
    LatencyTracker m_host{kCapacity};
    std::uint64_t m_frames = 0;
};

}  // namespace velurio
