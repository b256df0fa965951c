// Damage-driven capture of one region on its own thread ("velurio-capture") with its own X
// connection. An image is grabbed only when something in the region changed (a window of
// another application drew, moved, appeared or went, the background or the cursor changed)
// and at most `fps` times a second; a static screen costs no grab. The pointer is polled once
// per frame interval, since its motion makes no damage.
#pragma once

#include "platform/x11capture/x11_screen_grabber.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace velurio {

class X11CaptureStream {
  public:
    using Clock = std::chrono::steady_clock;
    // Capture thread. `pts` is the grab time on the steady clock.
    using FrameHandler = std::function<void(PixelBuffer image, std::chrono::nanoseconds pts)>;
    // Capture thread, after every wake-up (at least once per frame interval): lets the owner
    // act on the passing of time without a timer of its own. Returning true asks for an image
    // at the next frame time even though nothing changed (a repeat of the still screen).
    using TickHandler = std::function<bool(Clock::time_point now)>;
    // Capture thread, once, when the connection is lost; the thread then ends.
    using FailureHandler = std::function<void(const std::string& text)>;
    // Capture thread: the displays may have changed (monitors added, removed, moved or
    // resized). The stream goes on with its region; the owner decides whether to restart.
    using DisplaysChangedHandler = std::function<void()>;

    struct Config {
        const char* displayName = nullptr;
        X11ScreenGrabber::Options grabber;
        X11ScreenGrabber::Rect region;
        int outputWidth = 0;
        int outputHeight = 0;
        int fps = 30;
        FrameHandler onFrame;
        TickHandler onTick;
        FailureHandler onFailure;
        DisplaysChangedHandler onDisplaysChanged;
    };

    // Opens the connection and sets the region on the calling thread (so that failures reach
    // the caller), then starts the thread, which grabs a first image at once.
    static Result<std::unique_ptr<X11CaptureStream>, std::string> start(Config config);
    // Stops and joins the thread (at most one grab in progress).
    ~X11CaptureStream();
    X11CaptureStream(const X11CaptureStream&) = delete;
    X11CaptureStream& operator=(const X11CaptureStream&) = delete;

    X11ScreenGrabber::Mode mode() const noexcept { return m_mode; }
    // Images handed to onFrame so far. Any thread.
    std::uint64_t framesCaptured() const noexcept {
        return m_frames.load(std::memory_order_relaxed);
    }

  private:
    X11CaptureStream() = default;
    void run();

    Config m_config;
    std::unique_ptr<X11ScreenGrabber> m_grabber;
    X11ScreenGrabber::Mode m_mode = X11ScreenGrabber::Mode::rootGrab;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    std::atomic<bool> m_stopping{false};
    std::atomic<std::uint64_t> m_frames{0};
    std::thread m_thread;
};

// One image of the region, composed like a stream's frames, on a connection of its own.
Result<PixelBuffer, std::string> captureX11Still(const X11CaptureStream::Config& config);

}  // namespace velurio
