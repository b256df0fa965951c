// The screen video encoder: captured BGRA images in, Annex B access units out (every NAL unit
// and parameter set behind 00 00 00 01, all parameter sets in index order in front of every
// key frame), H.264 or HEVC.
//
// Every command is queued on the encoder's own thread ("velurio-encoder") and applied in the
// order issued; none blocks the caller. The encoder keeps the last submitted image so that a
// key frame can be produced on demand while the screen is still, forces a key frame when four
// seconds of capture time have passed since the last one (capture is damage-driven, so frame
// counts are no clock: the capture timestamps are), and lets the bitrate change while running.
//
// Encoded frames are delivered on the encoder thread (see setOnEncoded). Only the newest image
// waits in the queue: an image queued behind another that has not started encoding replaces
// it and inherits its key-frame request, so a slow encoder never falls behind the screen.
#pragma once

#include "core/annex_b.h"
#include "core/pixel_buffer.h"
#include "platform/ffmpeg/video_compressor.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

namespace velurio {

class H264Encoder {
  public:
    using Codec = VideoCodec;
    // A capture timestamp on the capture's monotonic clock (any origin).
    using Duration = std::chrono::nanoseconds;
    // (frame, sequence, timestamp in ms since the first frame after start, key frame).
    using EncodedHandler =
        std::function<void(std::vector<std::uint8_t> frame, std::uint32_t sequence,
                           std::uint64_t timestampMs, bool keyFrame)>;
    using LogSink = std::function<void(std::string_view line)>;

    static constexpr std::chrono::seconds maxKeyFrameInterval{4};

    struct Options {
        // Try hardware encoders (VAAPI, NVENC) before libx264 / libx265.
        bool allowHardware = true;
        // Software encoder threads; 0 lets the encoder choose.
        int threads = 0;
        // See CompressorSettings: the High profile at close to ultrafast's cost.
        std::string h264Preset = "ultrafast";
        std::string h264Params = "cabac=1:8x8dct=1:deblock=1";
        std::string hevcPreset = "ultrafast";
        H264RateControl h264RateControl = H264RateControl::cappedQuality;
        // Receives the diagnostic lines ("Velurio: ..."); called on the encoder thread.
        // Empty: the lines go to stderr.
        LogSink log;
    };

    H264Encoder();
    explicit H264Encoder(Options options);
    // Stops the thread after the command in progress; commands still queued are dropped.
    ~H264Encoder();
    H264Encoder(const H264Encoder&) = delete;
    H264Encoder& operator=(const H264Encoder&) = delete;

    // Installs the output callback. Queued like every command, so set it once, before the
    // first start. The callback runs on the encoder thread and must not call back into this
    // object's waitUntilIdle.
    void setOnEncoded(EncodedHandler handler);

    // (Re)creates the encoder session. `bitrate` in bits per second. On failure the log line
    // "Velurio: falha ao criar <encoder> (<status>)" is written and the encoder stays stopped.
    void start(int width, int height, int fps, std::int64_t bitrate, Codec codec);
    // Records `image` as the last image (also when stopped) and encodes it when a session
    // exists. Images whose size differs from the session's are recorded but not encoded.
    void encode(PixelBuffer image, Duration pts, bool forceKeyframe);
    // Re-encodes the last image as a key frame (1 ms after it); nothing without a last image.
    void requestKeyframe();
    // Applies a new bitrate to the running session; an unchanged value costs nothing.
    void setBitrate(std::int64_t bitrate);
    // Tears the session down and forgets the last image.
    void invalidate();

    // Blocks until every command issued before this call has run (tests, orderly shutdown).
    // Never call it from the encoder thread.
    void waitUntilIdle();
    // Where the time of the most recently delivered frame went: from its capture timestamp
    // (taken as a steady_clock time) to the encoder thread taking it up, converting it, and
    // compressing it. Any thread; also from inside the EncodedHandler.
    struct FrameTimings {
        Duration captureToStart{0};
        Duration conversion{0};
        Duration compression{0};
    };
    FrameTimings lastFrameTimings() const;
    // The libavcodec encoder of the running session ("libx264", "h264_vaapi"...); empty when
    // stopped. Any thread.
    std::string activeEncoderName() const;

  private:
    struct Start {
        int width;
        int height;
        int fps;
        std::int64_t bitrate;
        Codec codec;
    };
    struct Encode {
        PixelBuffer image;
        Duration pts;
        bool forceKeyframe;
    };
    struct RequestKeyframe {};
    struct SetBitrate {
        std::int64_t bitrate;
    };
    struct Invalidate {};
    struct SetHandler {
        EncodedHandler handler;
    };
    using Command =
        std::variant<Start, Encode, RequestKeyframe, SetBitrate, Invalidate, SetHandler>;

    void post(Command command);
    void run();
    void apply(Command& command);
    void startSession(const Start& start);
    // `repeat`: the last image again (a key frame on request).
    void encodeImage(const PixelBuffer& image, Duration pts, bool forceKeyframe,
                     bool repeat = false);
    void changeBitrate(std::int64_t bitrate);
    void teardown();
    bool openCompressor(const CompressorSettings& settings);
    void deliver(const CompressedPacket& packet);
    void log(std::string_view line);

    const Options m_options;

    // Shared with callers; guarded by m_mutex.
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<Command> m_queue;
    std::uint64_t m_issued = 0;
    std::uint64_t m_completed = 0;
    bool m_stopping = false;
    std::string m_activeName;
    FrameTimings m_lastTimings;

    // Encoder-thread state.
    PixelBuffer m_lastFrame;
    std::optional<Duration> m_lastFramePts;
    std::unique_ptr<VideoCompressor> m_compressor;
    CompressorSettings m_settings;
    FrameAssembler m_assembler;
    EncoderTimestamps m_timestamps;
    std::optional<std::int64_t> m_lastSubmittedUs;
    std::optional<Duration> m_lastKeyFrameTime;  // relative to the session start
    EncodedHandler m_onEncoded;
    FrameTimings m_submitTimings;  // of the image submitted last

    std::thread m_thread;  // last: starts after everything above exists
};

}  // namespace velurio
