// What the capture engine needs from the platform: the displays that can be captured, a
// running stream of one display's images, and one still image. The implementation is chosen
// at build time (capture_backend_<platform>.cpp defines makePlatformCaptureBackend).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/capture_dimensions.h"
#include "platform/ffmpeg/pixel_buffer.h"
#include "protocol/result.h"

namespace velurio {

class CaptureBackend {
public:
    struct Display {
        std::uint32_t id = 0;
        std::string name;
        std::int64_t width = 0;
        std::int64_t height = 0;
        bool isMain = false;
    };

    // Capture thread. `pts` on a monotonic clock.
    using FrameHandler = std::function<void(PixelBuffer image, std::chrono::nanoseconds pts)>;
    // Capture thread, at least once per frame interval while the stream runs.
    using TickHandler = std::function<void(std::chrono::steady_clock::time_point now)>;

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
                                                                      int fps, FrameHandler onFrame,
                                                                      TickHandler onTick) = 0;
    virtual Result<PixelBuffer, std::string> captureStill(const Display& display,
                                                          CaptureDimensions size) = 0;
};

std::unique_ptr<CaptureBackend> makePlatformCaptureBackend();

}  // namespace velurio
