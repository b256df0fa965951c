#include "app/capture/capture_engine.h"

#include "app/capture/capture_log.h"
#include "protocol/video_datagram.h"

#include <QMetaObject>
#include <QPointer>

#include <algorithm>
#include <cstdio>
#include <utility>

Q_LOGGING_CATEGORY(lcCapture, "velurio.capture")
Q_LOGGING_CATEGORY(lcCaptureTimings, "velurio.capture.timings")

namespace velurio {

namespace {

// The encoder's lines (which codec opened, fallbacks) go to the capture category unless the
// caller routes them elsewhere.
H264Encoder::Options withLogSink(H264Encoder::Options options) {
    if (!options.log) {
        options.log = [](std::string_view line) {
            qCInfo(lcCapture, "%.*s", static_cast<int>(line.size()), line.data());
        };
    }
    return options;
}

}  // namespace

CaptureEngine::CaptureEngine(CaptureSettings captureSettings, QObject* parent)
    : CaptureEngine(captureSettings, makePlatformCaptureBackend(), H264Encoder::Options{}, parent) {
}

CaptureEngine::CaptureEngine(CaptureSettings captureSettings,
                             std::unique_ptr<CaptureBackend> backend,
                             H264Encoder::Options encoderOptions, QObject* parent)
    : QObject(parent),
      settings(captureSettings),
      m_backend(std::move(backend)),
      m_encoder(std::make_unique<H264Encoder>(withLogSink(std::move(encoderOptions)))) {
    installCallbacks();
    m_displaysSettle.setSingleShot(true);
    m_displaysSettle.setInterval(displaysSettleTime);
    connect(&m_displaysSettle, &QTimer::timeout, this,
            [this] { handleDisplaysChanged(m_displaysChangedGeneration); });
}

CaptureEngine::~CaptureEngine() {
    // The capture thread feeds the encoder: stop it first, then the encoder's thread.
    m_stream.reset();
    m_encoder.reset();
}

void CaptureEngine::installCallbacks() {
    QPointer<CaptureEngine> self(this);
    // Encoder thread: cut the frame here, hand the datagrams to the main thread.
    // The encoder outlives every call of its own handler.
    H264Encoder* encoder = m_encoder.get();
    m_encoder->setOnEncoded([self, encoder](std::vector<std::uint8_t> frame, std::uint32_t sequence,
                                            std::uint64_t timestampMs, bool keyFrame) {
        const auto encoded = std::chrono::steady_clock::now();
        const H264Encoder::FrameTimings timings = encoder->lastFrameTimings();
        auto datagrams =
            VideoFrameHeader::datagrams(sequence, timestampMs, keyFrame, frame, maxDatagramPayload);
        if (!datagrams || self.isNull())
            return;
        QMetaObject::invokeMethod(
            self.data(),
            [self, list = std::move(datagrams).value(), timings, encoded]() mutable {
                if (!self || !self->onDatagrams)
                    return;
                self->onDatagrams(std::move(list));
                self->recordTimings(timings, std::chrono::steady_clock::now() - encoded);
            },
            Qt::QueuedConnection);
    });
    // Summaries for whoever turns the category's debug level on.
    m_timingsLog.setInterval(timingsLogInterval);
    connect(&m_timingsLog, &QTimer::timeout, this, [this] {
        if (m_timings.frames() != m_timingsLogged && lcCaptureTimings().isDebugEnabled()) {
            m_timingsLogged = m_timings.frames();
            qCDebug(lcCaptureTimings, "%s", m_timings.summaryJSON().c_str());
        }
    });
    m_timingsLog.start();
    // Capture thread.
    m_slideMonitor.onSlideChanged = [this](std::uint64_t hash) {
        QMetaObject::invokeMethod(
            this,
            [this, hash] {
                if (onSlideChanged)
                    onSlideChanged(hash);
            },
            Qt::QueuedConnection);
    };
}

void CaptureEngine::recordTimings(const H264Encoder::FrameTimings& timings,
                                  std::chrono::nanoseconds send) {
    auto ms = [](std::chrono::nanoseconds d) {
        return std::max(0.0, std::chrono::duration<double, std::milli>(d).count());
    };
    m_timings.record(FrameStageTimes{ms(timings.captureToStart), ms(timings.conversion),
                                     ms(timings.compression), ms(send)});
}

QByteArray CaptureEngine::timingsJSON() const {
    return QByteArray::fromStdString(m_timings.summaryJSON());
}

void CaptureEngine::setSelectedDisplayID(std::optional<std::uint32_t> id) {
    if (m_selectedDisplayID == id)
        return;
    m_selectedDisplayID = id;
    Q_EMIT stateChanged();
}

void CaptureEngine::refreshScreenList() {
    auto listed = m_backend->shareableDisplays();
    m_displays.clear();
    m_backendDisplays.clear();
    m_mainDisplayID.reset();
    if (listed) {
        m_backendDisplays = *listed;
        for (const CaptureBackend::Display& d : *listed) {
            m_displays.push_back({d.id, d.name, d.width, d.height});
            if (d.isMain && !m_mainDisplayID)
                m_mainDisplayID = d.id;
        }
    }
    auto listedId = [this](std::optional<std::uint32_t> id) {
        return id && std::any_of(m_displays.begin(), m_displays.end(),
                                 [&](const DisplayDescriptor& d) { return d.id == *id; });
    };
    if (!listedId(m_selectedDisplayID)) {
        if (listedId(m_mainDisplayID)) {
            m_selectedDisplayID = m_mainDisplayID;
        } else if (!m_displays.empty()) {
            m_selectedDisplayID = m_displays.front().id;
        } else {
            m_selectedDisplayID.reset();
        }
    }
    Q_EMIT stateChanged();
}

void CaptureEngine::refreshDisplays() {
    if (auto probe = m_backend->shareableDisplays(); !probe) {
        m_permissionGranted = false;
        m_lastError = permissionText;
        Q_EMIT stateChanged();
        return;
    }
    m_permissionGranted = true;
    refreshScreenList();
}

void CaptureEngine::handleImage(PixelBuffer image, std::chrono::nanoseconds pts) {
    // Capture thread: touches only the slide monitor, the flag (locked) and the encoder.
    m_slideMonitor.ingest(image,
                          SlideMonitor::Clock::time_point(
                              std::chrono::duration_cast<SlideMonitor::Clock::duration>(pts)));
    const bool keyFrame = m_keyframeFlag.take();
    if (!std::exchange(m_stillRefreshPending, false)) {
        // A change: the still period starts again.
        m_stillSince = std::chrono::steady_clock::time_point(
            std::chrono::duration_cast<std::chrono::steady_clock::duration>(pts));
        m_stillRefreshes = keyFrame ? stillRefreshCount : 0;
    }
    m_encoder->encode(std::move(image), pts, keyFrame);
}

bool CaptureEngine::handleTick(std::chrono::steady_clock::time_point now) {
    // Capture thread, like handleImage.
    m_slideMonitor.tick(now);
    // The screen went still after frames that depend on earlier ones. On a path without
    // acknowledgements a tablet that lost one of them would show a wrong picture for as long
    // as nothing changes: key frames of the still screen repair it, 1, 3, 7, 15 and 31 s after
    // the change, so that one lost in the same outage is followed by another.
    if (!m_stillSince || m_stillRefreshes >= stillRefreshCount || m_stillRefreshPending)
        return false;
    const auto due = *m_stillSince + stillRefreshDelay * ((2 << m_stillRefreshes) - 1);
    if (now < due)
        return false;
    ++m_stillRefreshes;
    m_stillRefreshPending = true;
    m_keyframeFlag.set();
    return true;
}

Status<CaptureError> CaptureEngine::start() {
    if (m_isCapturing)
        return {};
    auto shareable = m_backend->shareableDisplays();
    if (!shareable) {
        m_permissionGranted = false;
        m_lastError = permissionText;
        Q_EMIT stateChanged();
        return fail(CaptureError{CaptureError::Kind::permissionDenied, {}});
    }
    m_permissionGranted = true;
    const std::vector<CaptureBackend::Display>& candidates = *shareable;
    auto chosen = std::find_if(candidates.begin(), candidates.end(),
                               [this](const CaptureBackend::Display& d) {
                                   return m_selectedDisplayID && d.id == *m_selectedDisplayID;
                               });
    if (chosen == candidates.end())
        chosen = candidates.begin();
    if (chosen == candidates.end()) {
        Q_EMIT stateChanged();
        return fail(CaptureError{CaptureError::Kind::noDisplays, {}});
    }
    const CaptureBackend::Display display = *chosen;
    m_selectedDisplayID = display.id;
    const CaptureDimensions size = CaptureDimensions::forDisplay(display.width, display.height);
    const int fps = std::max(settings.fps, 1);

    m_slideMonitor.reset();
    m_slideMonitor.setFrameRate(fps);
    m_encoder->start(static_cast<int>(size.width), static_cast<int>(size.height), fps,
                     m_bitrateController.bitrate(), settings.codec);
    m_keyframeFlag.set();

    auto failStart = [this](std::string text) -> Status<CaptureError> {
        m_stream.reset();
        m_encoder->invalidate();
        Q_EMIT stateChanged();
        return fail(CaptureError::streamFailed(std::move(text)));
    };
    const std::uint64_t generation = ++m_streamGeneration;
    QPointer<CaptureEngine> self(this);
    CaptureBackend::StreamHandlers handlers;
    handlers.onFrame = [this](PixelBuffer image, std::chrono::nanoseconds pts) {
        handleImage(std::move(image), pts);
    };
    handlers.onTick = [this](std::chrono::steady_clock::time_point now) { return handleTick(now); };
    handlers.onFailure = [self, generation](const std::string& text) {
        QMetaObject::invokeMethod(
            self.data(),
            [self, generation, text] {
                if (self)
                    self->handleStreamFailure(generation, text);
            },
            Qt::QueuedConnection);
    };
    // Each report restarts the settle timer: a burst of them makes one check.
    handlers.onDisplaysChanged = [self, generation] {
        QMetaObject::invokeMethod(
            self.data(),
            [self, generation] {
                if (!self)
                    return;
                self->m_displaysChangedGeneration = generation;
                self->m_displaysSettle.start();
            },
            Qt::QueuedConnection);
    };
    auto stream = m_backend->startStream(display, size, fps, std::move(handlers));
    if (!stream)
        return failStart(stream.error());
    m_stream = std::move(stream).value();

    auto still = m_backend->captureStill(display, size);
    if (!still || !*still)
        return failStart(initialImageText.toStdString());
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    m_encoder->encode(std::move(still).value(), now, true);

    m_capturingDisplay = display;
    m_isCapturing = true;
    m_lastError.reset();
    Q_EMIT stateChanged();
    return {};
}

void CaptureEngine::dropStream() {
    m_stream.reset();  // joins the capture thread: no image reaches the encoder after this
    m_capturingDisplay.reset();
    m_encoder->invalidate();
    m_isCapturing = false;
}

void CaptureEngine::handleStreamFailure(std::uint64_t generation, const std::string& text) {
    if (generation != m_streamGeneration || !m_stream)
        return;  // an older stream's report
    qCWarning(lcCapture, "Velurio: captura interrompida (%s)", text.c_str());
    const auto now = std::chrono::steady_clock::now();
    while (!m_restarts.empty() && now - m_restarts.front() > std::chrono::minutes(1)) {
        m_restarts.pop_front();
    }
    if (m_restarts.size() < static_cast<std::size_t>(maxRestartsPerMinute)) {
        m_restarts.push_back(now);
        if (restart("retomando"))
            return;
    } else {
        dropStream();
    }
    m_lastError = interruptedText;
    Q_EMIT stateChanged();
}

void CaptureEngine::handleDisplaysChanged(std::uint64_t generation) {
    if (generation != m_streamGeneration || !m_isCapturing || !m_capturingDisplay)
        return;
    const CaptureBackend::Display before = *m_capturingDisplay;
    refreshScreenList();
    const auto now =
        std::find_if(m_backendDisplays.begin(), m_backendDisplays.end(),
                     [&](const CaptureBackend::Display& d) { return d.id == before.id; });
    if (now != m_backendDisplays.end() && now->x == before.x && now->y == before.y &&
        now->width == before.width && now->height == before.height) {
        return;  // another display changed
    }
    if (restart(now == m_backendDisplays.end() ? "a tela capturada saiu"
                                               : "a tela capturada mudou")) {
        return;
    }
    if (!m_lastError)
        m_lastError = interruptedText;
    Q_EMIT stateChanged();
}

bool CaptureEngine::restart(const char* why) {
    qCInfo(lcCapture, "Velurio: reiniciando a captura (%s)", why);
    dropStream();
    return start().ok();
}

void CaptureEngine::stop() {
    if (!m_stream)
        return;
    dropStream();
    Q_EMIT stateChanged();
}

Status<CaptureError> CaptureEngine::switchDisplay(std::uint32_t id) {
    if (std::none_of(m_displays.begin(), m_displays.end(),
                     [id](const DisplayDescriptor& d) { return d.id == id; })) {
        return {};
    }
    if (m_isCapturing && capturingDisplayID() == id)
        return {};
    if (m_stream)
        dropStream();
    m_selectedDisplayID = id;
    return start();
}

}  // namespace velurio
