// Notices when the captured screen changes as a whole (a presentation moving to its next
// slide): the newest image is reduced to a 64×64 brightness image, hashed on an 8×8 grid and
// compared with the previous examined image; 12 or more differing bits are a change.
//
// Capture is damage-driven, so images do not arrive at a steady rate: a slide change on an
// otherwise static screen is one image followed by silence. The monitor therefore examines the
// newest image at most once per 15 frame intervals while images keep coming, and always once
// the screen has been still for 15 frame intervals, so a change is reported within about half
// a second at 30 fps. The first examined image after a reset only sets the reference.
//
// Runs on the capture thread; no locking. Time is passed in.
#pragma once

#include "core/pixel_buffer.h"
#include "core/slide_hasher.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace velurio {

class SlideMonitor {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr int sampleEvery = 15;
    static constexpr int threshold = 12;
    static constexpr int hashSize = 64;

    // Called on the capture thread with the new image's hash.
    std::function<void(std::uint64_t hash)> onSlideChanged;

    explicit SlideMonitor(int fps = 30);

    // The frame interval is 1 / fps (fps below 1 is taken as 1).
    void setFrameRate(int fps);
    // Every captured image.
    void ingest(PixelBuffer image, Clock::time_point now);
    // Whenever the capture thread wakes, images or not: examines a waiting image once the
    // screen has been still long enough.
    void tick(Clock::time_point now);
    // At every capture start: forget the reference hash and the count.
    void reset();

    std::int64_t counter() const noexcept { return m_counter; }
    std::int64_t examined() const noexcept { return m_examined; }
    const SlideChangeDetector& detector() const noexcept { return m_detector; }

  private:
    void examine(Clock::time_point now);
    Clock::duration window() const noexcept { return m_interval * sampleEvery; }

    SlideChangeDetector m_detector{threshold, std::nullopt};
    std::int64_t m_counter = 0;
    std::int64_t m_examined = 0;
    Clock::duration m_interval;
    PixelBuffer m_waiting;  // the newest image not yet examined
    Clock::time_point m_waitingSince{};
    std::optional<Clock::time_point> m_lastExamined;
};

}  // namespace velurio
