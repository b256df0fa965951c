// The X11 capture backend: RandR monitors, frames composed without our windows.
#include "app/capture/capture_backend.h"
#include "app/capture/capture_log.h"
#include "platform/x11capture/x11_capture_stream.h"

#include <cstdio>

namespace velurio {
namespace {

class X11Stream final : public CaptureBackend::Stream {
  public:
    explicit X11Stream(std::unique_ptr<X11CaptureStream> stream) : m_stream(std::move(stream)) {}
    bool excludesOwnWindows() const override {
        return m_stream->mode() == X11ScreenGrabber::Mode::composed;
    }

  private:
    std::unique_ptr<X11CaptureStream> m_stream;
};

class X11CaptureBackend final : public CaptureBackend {
  public:
    Result<std::vector<Display>, std::string> shareableDisplays() override {
        auto grabber = X11ScreenGrabber::open(nullptr, X11ScreenGrabber::Options{false, false, 0});
        if (!grabber)
            return fail(grabber.error());
        std::vector<Display> displays;
        bool anyPrimary = false;
        for (const X11Display& d : (*grabber)->displays()) {
            displays.push_back({d.id, d.name, d.width, d.height, d.primary, d.x, d.y});
            anyPrimary = anyPrimary || d.primary;
        }
        if (!anyPrimary && !displays.empty())
            displays.front().isMain = true;
        return displays;
    }

    Result<std::unique_ptr<Stream>, std::string> startStream(const Display& display,
                                                             CaptureDimensions size, int fps,
                                                             StreamHandlers handlers) override {
        return start(display, size, fps, std::move(handlers), true);
    }

    Result<std::unique_ptr<Stream>, std::string> startWatchStream(
        const Display& display, CaptureDimensions size, int fps, StreamHandlers handlers) override {
        return start(display, size, fps, std::move(handlers), false);
    }

    Result<std::unique_ptr<Stream>, std::string> start(const Display& display,
                                                       CaptureDimensions size, int fps,
                                                       StreamHandlers handlers, bool drawCursor) {
        auto config = configFor(display, size);
        if (!config)
            return fail(config.error());
        config->grabber.drawCursor = drawCursor;
        config->fps = fps;
        config->onFrame = std::move(handlers.onFrame);
        config->onTick = std::move(handlers.onTick);
        config->onFailure = std::move(handlers.onFailure);
        config->onDisplaysChanged = std::move(handlers.onDisplaysChanged);
        auto stream = X11CaptureStream::start(std::move(config).value());
        if (!stream)
            return fail(stream.error());
        if ((*stream)->mode() != X11ScreenGrabber::Mode::composed) {
            qCWarning(lcCapture,
                      "Velurio: sem Composite/Render/MIT-SHM: as janelas do Velurio aparecem no "
                      "vídeo");
        }
        return std::unique_ptr<Stream>(std::make_unique<X11Stream>(std::move(stream).value()));
    }

    Result<PixelBuffer, std::string> captureStill(const Display& display,
                                                  CaptureDimensions size) override {
        auto config = configFor(display, size);
        if (!config)
            return fail(config.error());
        return captureX11Still(*config);
    }

  private:
    // The display's position is looked up again: ids are stable, positions may move.
    Result<X11CaptureStream::Config, std::string> configFor(const Display& display,
                                                            CaptureDimensions size) {
        auto grabber = X11ScreenGrabber::open(nullptr, X11ScreenGrabber::Options{false, false, 0});
        if (!grabber)
            return fail(grabber.error());
        for (const X11Display& d : (*grabber)->displays()) {
            if (d.id != display.id)
                continue;
            X11CaptureStream::Config config;
            config.region = {d.x, d.y, d.width, d.height};
            config.outputWidth = static_cast<int>(size.width);
            config.outputHeight = static_cast<int>(size.height);
            return config;
        }
        return fail(std::string("the display is gone"));
    }
};

}  // namespace

std::unique_ptr<CaptureBackend> makePlatformCaptureBackend() {
    return std::make_unique<X11CaptureBackend>();
}

}  // namespace velurio
