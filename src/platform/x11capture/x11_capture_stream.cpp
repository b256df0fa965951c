#include "platform/x11capture/x11_capture_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace velurio {
namespace {

Result<std::unique_ptr<X11ScreenGrabber>, std::string> openGrabber(
    const X11CaptureStream::Config& c) {
    auto grabber = X11ScreenGrabber::open(c.displayName, c.grabber);
    if (!grabber)
        return grabber;
    if (Status<std::string> status = (*grabber)->setRegion(c.region, c.outputWidth, c.outputHeight);
        !status) {
        return fail(status.error());
    }
    return grabber;
}

}  // namespace

Result<PixelBuffer, std::string> captureX11Still(const X11CaptureStream::Config& config) {
    auto grabber = openGrabber(config);
    if (!grabber)
        return fail(grabber.error());
    (*grabber)->pollCursor();
    return (*grabber)->grab();
}

Result<std::unique_ptr<X11CaptureStream>, std::string> X11CaptureStream::start(Config config) {
    if (config.fps <= 0)
        return fail(std::string("invalid frame rate"));
    auto grabber = openGrabber(config);
    if (!grabber)
        return fail(grabber.error());
    std::unique_ptr<X11CaptureStream> stream(new X11CaptureStream());
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return fail(std::string("cannot create a pipe"));
    stream->m_wakeRead = fds[0];
    stream->m_wakeWrite = fds[1];
    stream->m_mode = (*grabber)->mode();
    stream->m_grabber = std::move(grabber).value();
    stream->m_config = std::move(config);
    stream->m_thread = std::thread([s = stream.get()] { s->run(); });
    return stream;
}

X11CaptureStream::~X11CaptureStream() {
    m_stopping.store(true);
    if (m_wakeWrite >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = write(m_wakeWrite, &byte, 1);
    }
    if (m_thread.joinable())
        m_thread.join();
    if (m_wakeRead >= 0)
        close(m_wakeRead);
    if (m_wakeWrite >= 0)
        close(m_wakeWrite);
}

void X11CaptureStream::run() {
    pthread_setname_np(pthread_self(), "velurio-capture");
    const auto interval =
        std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) / m_config.fps;
    bool dirty = true;  // the first image at once
    Clock::time_point nextGrab = Clock::now();
    Clock::time_point nextPointerPoll = nextGrab;
    X11ScreenGrabber& grabber = *m_grabber;
    auto failed = [this](const char* text) {
        if (m_config.onFailure)
            m_config.onFailure(text);
    };
    while (!m_stopping.load()) {
        dirty = grabber.drainEvents() || dirty;
        if (grabber.connectionBroken()) {
            failed("the X connection was lost");
            return;
        }
        if (grabber.takeDisplaysChanged() && m_config.onDisplaysChanged)
            m_config.onDisplaysChanged();
        Clock::time_point now = Clock::now();
        if (now >= nextPointerPoll) {
            dirty = grabber.pollCursor() || dirty;
            nextPointerPoll = now + interval;
        }
        if (dirty && now >= nextGrab) {
            auto image = grabber.grab();
            now = Clock::now();
            if (image) {
                dirty = false;
                nextGrab = now + interval;
                m_frames.fetch_add(1, std::memory_order_relaxed);
                if (m_config.onFrame) {
                    m_config.onFrame(std::move(image).value(),
                                     std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         now.time_since_epoch()));
                }
            } else {
                nextGrab = now + interval;  // no free buffer: try again next interval
            }
        }
        if (m_config.onTick && m_config.onTick(now))
            dirty = true;
        Clock::time_point wake = nextPointerPoll;
        if (dirty)
            wake = std::min(wake, nextGrab);
        const auto waitMs =
            std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now()).count();
        pollfd fds[2] = {{grabber.fileDescriptor(), POLLIN, 0}, {m_wakeRead, POLLIN, 0}};
        // Replies read while grabbing may have queued events that poll() would not see.
        if (grabber.drainEvents()) {
            dirty = true;
            continue;
        }
        const int r = poll(fds, 2, static_cast<int>(std::clamp<long long>(waitMs, 0, 1000)));
        if (r < 0 && errno != EINTR) {
            failed("waiting for the X server failed");
            return;
        }
    }
}

}  // namespace velurio
