// Captures one display and streams it: every new image goes to the slide monitor and the video
// encoder; encoded frames leave as lists of video datagrams (at most 1,200 payload bytes each)
// through onDatagrams, slide changes through onSlideChanged, both on the main thread.
//
// Owns the encoder, the slide monitor, the adaptive-bitrate controller and the key-frame flag;
// keeps the list of displays and the selection, and publishes its state (stateChanged) for the
// user interface. This application's own windows are left out of the picture where the
// platform backend can do so (on X11: with a compositing-capable server).
//
// Threads: every public operation belongs to the main thread. Images arrive on the backend's
// capture thread; encoded frames on the encoder thread; both hop to the main thread with a
// queued call that is dropped once the engine is gone.
#pragma once

#include "app/capture/capture_backend.h"
#include "app/capture/slide_monitor.h"
#include "core/adaptive_bitrate.h"
#include "core/pipeline_timings.h"
#include "platform/ffmpeg/h264_encoder.h"
#include "protocol/messages.h"
#include "protocol/wire_framing.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velurio {

struct CaptureSettings {
    int fps = 30;
    H264Encoder::Codec codec = H264Encoder::Codec::h264;
};

struct CaptureError {
    enum class Kind : std::uint8_t { streamFailed, permissionDenied, noDisplays };
    Kind kind = Kind::streamFailed;
    std::string text;  // streamFailed only: what failed

    static CaptureError streamFailed(std::string text) {
        return {Kind::streamFailed, std::move(text)};
    }
    bool operator==(const CaptureError&) const = default;
};

// The request for a key frame on the next streamed image, shared by the main thread (which
// sets it) and the capture thread (which takes it).
class KeyframeFlag {
  public:
    void set() {
        std::lock_guard lock(m_mutex);
        m_pending = true;
    }
    // Reads and clears.
    bool take() {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_pending, false);
    }
    bool pending() const {
        std::lock_guard lock(m_mutex);
        return m_pending;
    }

  private:
    mutable std::mutex m_mutex;
    bool m_pending = true;
};

class CaptureEngine : public QObject {
    Q_OBJECT

  public:
    static constexpr std::size_t maxDatagramPayload = 1200;
    static inline const QString permissionText =
        QStringLiteral("Permissão de gravação de tela necessária.");
    static inline const QString initialImageText =
        QStringLiteral("A captura não forneceu a imagem inicial.");
    // A running stream ended by itself (the display server went away) and could not resume.
    static inline const QString interruptedText =
        QStringLiteral("A captura de tela foi interrompida.");
    // Automatic restarts after a stream ended by itself, at most this many a minute.
    static constexpr int maxRestartsPerMinute = 3;
    // How long display changes must have been quiet before the engine looks at them.
    static constexpr std::chrono::milliseconds displaysSettleTime{150};
    // When the screen has been still this long since a frame that was not a key frame, the
    // still screen is sent again as a key frame, and again after 3, 7, 15 and 31 s in all
    // (stillRefreshCount times): video travels without acknowledgements, and a tablet that lost
    // a frame would otherwise show a wrong picture until the next change.
    static constexpr std::chrono::seconds stillRefreshDelay{1};
    static constexpr int stillRefreshCount = 5;

    explicit CaptureEngine(CaptureSettings settings = {}, QObject* parent = nullptr);
    // With a given backend and encoder options (tests, tools).
    CaptureEngine(CaptureSettings settings, std::unique_ptr<CaptureBackend> backend,
                  H264Encoder::Options encoderOptions, QObject* parent = nullptr);
    ~CaptureEngine() override;

    bool isCapturing() const noexcept { return m_isCapturing; }
    bool permissionGranted() const noexcept { return m_permissionGranted; }
    const std::vector<DisplayDescriptor>& displays() const noexcept { return m_displays; }
    std::optional<std::uint32_t> selectedDisplayID() const noexcept { return m_selectedDisplayID; }
    void setSelectedDisplayID(std::optional<std::uint32_t> id);
    std::optional<std::uint32_t> capturingDisplayID() const noexcept {
        return m_capturingDisplay ? std::optional(m_capturingDisplay->id) : std::nullopt;
    }
    // The size of the running stream's images.
    std::optional<CaptureDimensions> captureSize() const noexcept {
        if (!m_capturingDisplay)
            return std::nullopt;
        return CaptureDimensions::forDisplay(m_capturingDisplay->width, m_capturingDisplay->height);
    }
    const std::optional<QString>& lastError() const noexcept { return m_lastError; }
    // False when the running stream shows our own windows (a server without compositing).
    bool excludesOwnWindows() const noexcept { return m_stream && m_stream->excludesOwnWindows(); }

    CaptureSettings settings;
    // Main thread: all datagrams of one encoded frame, in fragment order.
    std::function<void(std::vector<Bytes> datagrams)> onDatagrams;
    // Main thread: the hash the slide monitor reported.
    std::function<void(std::uint64_t hash)> onSlideChanged;

    H264Encoder& encoder() noexcept { return *m_encoder; }
    // Per-stage timings of the frames sent lately (capture, convert, encode, send; see
    // PipelineTimings::summaryJSON). Logged every 10 s under "velurio.capture.timings" at
    // debug level.
    const PipelineTimings& timings() const noexcept { return m_timings; }
    QByteArray timingsJSON() const;
    static constexpr std::chrono::seconds timingsLogInterval{10};
    AdaptiveBitrate& bitrateController() noexcept { return m_bitrateController; }
    KeyframeFlag& keyframeFlag() noexcept { return m_keyframeFlag; }

    // Rebuilds `displays` from the backend's list and fixes the selection (kept while listed,
    // else the main display, else the first, else none).
    void refreshScreenList();
    // Probes permission (the display can be opened and read), then refreshes the list.
    void refreshDisplays();
    // Starts capturing the selected display. Blocks for the few milliseconds the backend needs
    // to open the stream and take the first still image.
    Status<CaptureError> start();
    void stop();
    // Moves capture to another listed display; nothing for an unknown or the current one.
    Status<CaptureError> switchDisplay(std::uint32_t id);

    // While capturing, the engine follows the displays: when the captured one is removed,
    // moved or resized, the list is refreshed and capture restarts on the selection (the same
    // display at its new place and size, else the main display). When the stream ends by
    // itself, capture restarts (at most maxRestartsPerMinute times a minute); if it cannot,
    // the engine stops with interruptedText as lastError. Both hop to the main thread.

  Q_SIGNALS:
    // Any published field changed (isCapturing, permissionGranted, displays, selection, lastError).
    void stateChanged();

  private:
    void installCallbacks();
    void handleImage(PixelBuffer image, std::chrono::nanoseconds pts);
    // Capture thread: true to have the still screen grabbed again (see stillRefreshDelay).
    bool handleTick(std::chrono::steady_clock::time_point now);
    // Main thread, once a frame's datagrams were handed on: `send` from encoded to handed on.
    void recordTimings(const H264Encoder::FrameTimings& timings, std::chrono::nanoseconds send);
    void dropStream();
    void handleStreamFailure(std::uint64_t generation, const std::string& text);
    void handleDisplaysChanged(std::uint64_t generation);
    // Drops the stream and starts again on the selection; true when capturing again.
    bool restart(const char* why);

    std::unique_ptr<CaptureBackend> m_backend;
    SlideMonitor m_slideMonitor;
    KeyframeFlag m_keyframeFlag;
    // Capture thread only: when the last change was captured, the repeats of the still screen
    // since, and whether one was asked of the stream and not yet captured.
    std::optional<std::chrono::steady_clock::time_point> m_stillSince;
    int m_stillRefreshes = 0;
    bool m_stillRefreshPending = false;
    AdaptiveBitrate m_bitrateController{AdaptiveBitrate::defaultStep};
    std::unique_ptr<CaptureBackend::Stream> m_stream;
    std::unique_ptr<H264Encoder> m_encoder;  // last: its thread calls into the members above

    bool m_isCapturing = false;
    bool m_permissionGranted = false;
    std::vector<DisplayDescriptor> m_displays;
    std::vector<CaptureBackend::Display> m_backendDisplays;
    std::optional<CaptureBackend::Display> m_capturingDisplay;  // of the running stream
    std::uint64_t m_streamGeneration = 0;
    std::deque<std::chrono::steady_clock::time_point> m_restarts;
    // Display changes come in bursts (a monitor plugged in reconfigures several times): the
    // check runs once they have settled.
    QTimer m_displaysSettle;
    std::uint64_t m_displaysChangedGeneration = 0;
    std::optional<std::uint32_t> m_mainDisplayID;
    std::optional<std::uint32_t> m_selectedDisplayID;
    std::optional<QString> m_lastError;
    PipelineTimings m_timings;
    QTimer m_timingsLog;
    std::uint64_t m_timingsLogged = 0;
};

}  // namespace velurio
