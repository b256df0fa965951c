#include "core/adaptive_bitrate.h"

#include <algorithm>

namespace velurio {

namespace {
constexpr std::chrono::seconds kStepDownInterval{3};
constexpr std::chrono::seconds kStepUpInterval{10};
constexpr int kTopStep = static_cast<int>(AdaptiveBitrate::ladder.size()) - 1;
}  // namespace

AdaptiveBitrate::AdaptiveBitrate(int step) noexcept : m_step(std::clamp(step, 0, kTopStep)) {}

std::int64_t AdaptiveBitrate::evaluate(std::optional<double> rttP95Ms, double lossRate,
                                       Instant now) noexcept {
    const bool bad = (rttP95Ms && *rttP95Ms > 150.0) || lossRate > 0.05;
    const bool good = !bad && rttP95Ms && *rttP95Ms < 60.0 && lossRate < 0.01;
    if (bad) {
        if (m_step > 0 && (!m_lastChange || now - *m_lastChange >= kStepDownInterval)) {
            --m_step;
            m_lastChange = now;
        }
        m_stableSince.reset();
    } else if (good) {
        if (!m_stableSince)
            m_stableSince = now;
        if (now - *m_stableSince >= kStepUpInterval && m_step < kTopStep &&
            (!m_lastChange || now - *m_lastChange >= kStepUpInterval)) {
            ++m_step;
            m_lastChange = now;
            m_stableSince = now;
        }
    } else {
        m_stableSince.reset();
    }
    return bitrate();
}

}  // namespace velurio
