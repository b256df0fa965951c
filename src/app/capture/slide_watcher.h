// Slide changes without a tablet: watches the display the overlay covers with a damage-driven
// capture at a small size and without the pointer, feeding a slide monitor, and encodes
// nothing. A static screen makes no image at all (the capture thread only wakes to look at
// its X connection); a moving pointer makes none either; a clock or a blinking caret makes a
// small one now and then, which the monitor's 12-bit rule ignores.
//
// Watching needs a capture that leaves this application's windows out: otherwise the ink
// itself would count as a change of slide and clear itself. Without it (an X server without
// compositing support) start() refuses and says so in the log.
//
// Threads: every public operation belongs to the main thread. Images arrive on the backend's
// capture thread, where the monitor runs; a change hops to the main thread with a queued call
// that is dropped when the watcher stopped or restarted in between.
#pragma once

#include "app/capture/capture_backend.h"
#include "app/capture/slide_monitor.h"

#include <QObject>
#include <QRect>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

namespace velurio {

class SlideWatcher : public QObject {
    Q_OBJECT
  public:
    // The rate at which images may come while the screen changes; the monitor examines at
    // most one per 15 of these intervals, and the first image after a still period at once.
    static constexpr int kFramesPerSecond = 30;
    // Width of the watched images (the height keeps the display's proportions): the monitor
    // reduces them to 64 × 64 anyway.
    static constexpr int kImageWidth = 320;

    // `backend` defaults to the platform's.
    explicit SlideWatcher(std::unique_ptr<CaptureBackend> backend = nullptr,
                          QObject* parent = nullptr);
    ~SlideWatcher() override;

    // Watches the display at `area` (desktop pixels; the one whose origin matches, else the one
    // holding the area's centre). Restarts when already watching. False (and logged) when
    // there is no such display, the stream cannot start, or it would show our own windows.
    bool start(const QRect& area);
    void stop();
    bool watching() const noexcept { return m_stream != nullptr; }
    // Images examined by the monitor since the last start (tests, benchmarks). Any thread.
    std::int64_t examined() const noexcept { return m_examined.load(); }
    std::int64_t images() const noexcept { return m_images.load(); }

  Q_SIGNALS:
    // Main thread: the watched screen changed as a whole.
    void slideChanged(std::uint64_t hash);

  private:
    std::unique_ptr<CaptureBackend> m_backend;
    SlideMonitor m_monitor{kFramesPerSecond};
    std::unique_ptr<CaptureBackend::Stream> m_stream;
    std::uint64_t m_generation = 0;
    std::atomic<std::int64_t> m_examined{0};
    std::atomic<std::int64_t> m_images{0};
};

}  // namespace velurio
