#include "app/capture/slide_monitor.h"

#include <algorithm>

namespace velurio {

SlideMonitor::SlideMonitor(int fps) {
    setFrameRate(fps);
}

void SlideMonitor::setFrameRate(int fps) {
    m_interval =
        std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / std::max(fps, 1);
}

void SlideMonitor::ingest(PixelBuffer image, Clock::time_point now) {
    ++m_counter;
    if (!image)
        return;
    m_waiting = std::move(image);
    m_waitingSince = now;
    if (!m_lastExamined || now - *m_lastExamined >= window())
        examine(now);
}

void SlideMonitor::tick(Clock::time_point now) {
    if (m_waiting && now - m_waitingSince >= window())
        examine(now);
}

void SlideMonitor::reset() {
    m_detector.reset();
    m_counter = 0;
    m_waiting.reset();
    m_lastExamined.reset();
}

void SlideMonitor::examine(Clock::time_point now) {
    const PixelBuffer image = std::move(m_waiting);
    m_waiting.reset();
    m_lastExamined = now;
    ++m_examined;
    const auto luma = SlideSampler::downsampleToLuma(*image);
    if (!luma)
        return;
    const auto hash =
        SlideHasher::averageHash(*luma, hashSize, hashSize, SlideHasher::defaultMargin);
    if (!hash)
        return;
    if (m_detector.ingest(*hash) && onSlideChanged)
        onSlideChanged(*hash);
}

}  // namespace velurio
