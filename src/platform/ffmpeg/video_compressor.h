// One open libavcodec encoder fed with BGRA images: the first that works of the hardware
// encoders (VAAPI, then NVENC) and the software one (libx264 for H.264, libx265 for HEVC).
//
// Not thread-safe: one encoder thread owns it. Nothing here allocates a frame-sized buffer per
// frame: the conversion target is allocated once when the encoder opens and reused.
#pragma once

#include "core/annex_b.h"
#include "core/slide_hasher.h"
#include "protocol/result.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velurio {

enum class VideoCodec : std::uint8_t { h264, hevc };

// How libx264 holds the rate. Measured on full-motion 1080p, 3 s at 8, then 2, then 8 Mbit/s
// (bench/encoder): the first and third modes follow live changes both ways; averageBitrate
// does not come down (about 4 Mbit/s against a 2 Mbit/s target).
enum class H264RateControl : std::uint8_t {
    // Average bitrate capped at the target over a one-second buffer.
    constantBitrate,
    // Average bitrate capped at 1.5× the target over one second. Kept for measurements.
    averageBitrate,
    // Constant quality (crf 23) capped at the target over one second: full motion runs at the
    // cap, content that is easy to encode (slides) costs about half of it. The default.
    cappedQuality,
};

struct CompressorSettings {
    int width = 0;
    int height = 0;
    int fps = 30;
    std::int64_t bitrateBps = 5'000'000;
    VideoCodec codec = VideoCodec::h264;
    // Try VAAPI and NVENC before the software encoders.
    bool allowHardware = true;
    // Worker threads of the software encoders; 0 lets them choose (one per core or so).
    int threads = 0;
    // x264 preset and extra parameters ("key=value:..."). The default is ultrafast with CABAC,
    // the 8x8 transform and deblocking switched back on: the High profile at close to
    // ultrafast's cost. Plain ultrafast emits only Constrained Baseline; superfast (High) costs
    // about 40 % more per frame and misses the 60 fps budget on one core.
    std::string h264Preset = "ultrafast";
    std::string h264Params = "cabac=1:8x8dct=1:deblock=1";
    std::string hevcPreset = "ultrafast";
    H264RateControl h264RateControl = H264RateControl::cappedQuality;
};

// The encoder that could not be opened (the last one tried) and libavcodec's status code.
struct CompressorError {
    std::string encoderName;
    int status = 0;
};

// One packet from the encoder; `data` is valid until the next call into the compressor.
struct CompressedPacket {
    std::span<const std::uint8_t> data;
    std::int64_t ptsUs = 0;
    bool keyFrame = false;
};

class VideoCompressor {
  public:
    using LogSink = std::function<void(std::string_view)>;

    // Opens the first encoder that accepts `settings`. Failed hardware attempts go to `debugLog`
    // (may be empty); only the failure of the last candidate is returned.
    static Result<std::unique_ptr<VideoCompressor>, CompressorError> open(
        const CompressorSettings& settings, const LogSink& debugLog = {});

    ~VideoCompressor();
    VideoCompressor(const VideoCompressor&) = delete;
    VideoCompressor& operator=(const VideoCompressor&) = delete;

    const std::string& name() const noexcept;
    const CompressorSettings& settings() const noexcept;
    // True when packets hold 4-byte length-prefixed NAL units (x264 with annexb=0); otherwise
    // they are Annex B with 3- or 4-byte start codes.
    bool isLengthPrefixed() const noexcept;
    AnnexB::NalSyntax syntax() const noexcept;
    // The stream's parameter sets in index order (VPS, SPS, PPS), from the global header.
    std::span<const std::span<const std::uint8_t>> parameterSets() const noexcept;

    // True when setBitrate takes effect on the open encoder; otherwise the caller reopens it.
    bool followsBitrateLive() const noexcept;
    void setBitrate(std::int64_t bitrateBps);

    // Converts and submits one image. False when the image does not match the encoder's size
    // or the encoder refused it (the frame is then simply skipped).
    bool submit(const BGRAImageView& image, std::int64_t ptsUs, bool forceKeyFrame);
    // How long the last submit spent converting the image to the encoder's pixel format.
    std::chrono::nanoseconds lastConversionTime() const noexcept { return m_lastConversion; }
    // Hands every packet that is ready to `sink`, in order.
    void receive(const std::function<void(const CompressedPacket&)>& sink);

  private:
    struct State;
    explicit VideoCompressor(std::unique_ptr<State> state);
    // Keeps the parameter sets of the global header, in the encoder's (index) order.
    void collectParameterSets();
    std::unique_ptr<State> m_state;
    std::chrono::nanoseconds m_lastConversion{0};
};

}  // namespace velurio
