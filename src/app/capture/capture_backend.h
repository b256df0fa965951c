// What the capture engine needs from the platform: the displays that can be captured, a
// running stream of one display's images, and one still image. The implementation is chosen
// at build time (capture_backend_<platform>.cpp defines makePlatformCaptureBackend).
#pragma once

#include "core/capture_dimensions.h"
#include "core/pixel_buffer.h"
#include "protocol/result.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace velurio {

class CaptureBackend {
  public:
    struct Display {
        std::uint32_t id = 0;
        std::string name;
        std::int64_t width = 0;
        std::int64_t height = 0;
        bool isMain = false;
        // Position in the window system's desktop, in pixels.
        std::int64_t x = 0;
        std::int64_t y = 0;

        bool operator==(const Display&) const = default;
    };

    // Capture thread. `pts` on a monotonic clock.
    using FrameHandler = std::function<void(PixelBuffer image, std::chrono::nanoseconds pts)>;
    // Capture thread, at least once per frame interval while the stream runs. Returning true
    // asks for an image at the next frame time even though nothing changed.
    using TickHandler = std::function<bool(std::chrono::steady_clock::time_point now)>;

    struct StreamHandlers {
        FrameHandler onFrame;
        TickHandler onTick;
        // Capture thread, once: the stream ended by itself (the display server went away);
        // no handler runs after it.
        std::function<void(const std::string& text)> onFailure;
        // Capture thread: the displays may have changed while the stream runs.
        std::function<void()> onDisplaysChanged;
    };

    // A running stream; destroying it stops it (and joins its thread, so no handler runs after).
    class Stream {
      public:
        virtual ~Stream() = default;
        // Whether this application's own windows are left out of the images.
        virtual bool excludesOwnWindows() const = 0;
    };

    virtual ~CaptureBackend() = default;

    // The displays that can be captured, in the window system's order. Failing means the
    // screen cannot be recorded (no permission, no display server); the text says why.
    virtual Result<std::vector<Display>, std::string> shareableDisplays() = 0;
    virtual Result<std::unique_ptr<Stream>, std::string> startStream(const Display& display,
                                                                     CaptureDimensions size,
                                                                     int fps,
                                                                     StreamHandlers handlers) = 0;
    virtual Result<PixelBuffer, std::string> captureStill(const Display& display,
                                                          CaptureDimensions size) = 0;
    // A stream for watching what the display shows rather than for viewers: the pointer is
    // left out of the images, so its motion costs nothing. By default a plain stream.
    virtual Result<std::unique_ptr<Stream>, std::string> startWatchStream(const Display& display,
                                                                          CaptureDimensions size,
                                                                          int fps,
                                                                          StreamHandlers handlers) {
        return startStream(display, size, fps, std::move(handlers));
    }
};

std::unique_ptr<CaptureBackend> makePlatformCaptureBackend();

}  // namespace velurio
