#include "core/pipeline_timings.h"

namespace velurio {

void PipelineTimings::record(const FrameStageTimes& times) noexcept {
    m_capture.record(times.captureMs);
    m_convert.record(times.convertMs);
    m_encode.record(times.encodeMs);
    m_send.record(times.sendMs);
    m_host.record(times.captureMs + times.convertMs + times.encodeMs + times.sendMs);
    ++m_frames;
}

void PipelineTimings::reset() noexcept {
    m_capture.reset();
    m_convert.reset();
    m_encode.reset();
    m_send.reset();
    m_host.reset();
    m_frames = 0;
}

std::string PipelineTimings::summaryJSON() const {
    auto stage = [](const LatencyTracker& tracker) {
        const auto summary = tracker.summary();
        return summary ? summary->toJSON() : std::string("null");
    };
    return "{\"frames\":" + std::to_string(m_frames) + ",\"capture\":" + stage(m_capture) +
           ",\"convert\":" + stage(m_convert) + ",\"encode\":" + stage(m_encode) +
           ",\"send\":" + stage(m_send) + ",\"host\":" + stage(m_host) + "}";
}

}  // namespace velurio
