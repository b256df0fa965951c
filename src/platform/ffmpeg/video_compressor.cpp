#include "platform/ffmpeg/video_compressor.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <limits>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
}
#include <libyuv/convert_from_argb.h>

namespace velurio {

namespace {

struct CodecContextDeleter {
    void operator()(AVCodecContext* context) const noexcept { avcodec_free_context(&context); }
};
struct FrameDeleter {
    void operator()(AVFrame* frame) const noexcept { av_frame_free(&frame); }
};
struct PacketDeleter {
    void operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }
};
struct BufferRefDeleter {
    void operator()(AVBufferRef* buffer) const noexcept { av_buffer_unref(&buffer); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using BufferRefPtr = std::unique_ptr<AVBufferRef, BufferRefDeleter>;

enum class Backend : std::uint8_t { vaapi, nvenc, x264, x265 };

struct Candidate {
    const char* name;
    Backend backend;
};

// Microseconds: fine enough that distinct capture times never collapse, and x264's rate
// control reads real durations from it (damage-driven capture has no fixed frame rate).
constexpr AVRational kTimeBase{1, 1'000'000};

// The libraries' informational chatter would otherwise reach the application's stderr.
void quietLibraryLogs() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

bool hardwarePresent(Backend backend) {
    std::error_code ignored;
    switch (backend) {
        case Backend::vaapi:
            return std::filesystem::exists("/dev/dri/renderD128", ignored);
        case Backend::nvenc:
            return std::filesystem::exists("/dev/nvidiactl", ignored);
        case Backend::x264:
        case Backend::x265:
            return true;
    }
    return false;
}

std::vector<Candidate> candidatesFor(const CompressorSettings& settings) {
    std::vector<Candidate> list;
    const bool hevc = settings.codec == VideoCodec::hevc;
    if (settings.allowHardware) {
        list.push_back({hevc ? "hevc_vaapi" : "h264_vaapi", Backend::vaapi});
        list.push_back({hevc ? "hevc_nvenc" : "h264_nvenc", Backend::nvenc});
    }
    list.push_back(hevc ? Candidate{"libx265", Backend::x265}
                        : Candidate{"libx264", Backend::x264});
    return list;
}

// Bitrate (0: none, quality mode), cap and buffer for `mode`; the buffer always holds one
// second at the cap, so the cap is a limit on any one second of stream.
struct RateFields {
    std::int64_t bitRate = 0;
    std::int64_t maxRate = 0;
    int bufferSize = 0;
};

RateFields rateFields(H264RateControl mode, std::int64_t bitrateBps) {
    const std::int64_t target = std::max<std::int64_t>(bitrateBps, 1000);
    const std::int64_t cap = target + target / 2;
    const auto clampInt = [](std::int64_t v) {
        return static_cast<int>(std::min<std::int64_t>(v, std::numeric_limits<int>::max()));
    };
    switch (mode) {
        case H264RateControl::constantBitrate:
            return {target, target, clampInt(target)};
        case H264RateControl::averageBitrate:
            return {target, cap, clampInt(cap)};
        case H264RateControl::cappedQuality:
            return {0, target, clampInt(target)};
    }
    return {target, target, clampInt(target)};
}

void applyRate(AVCodecContext& context, H264RateControl mode, std::int64_t bitrateBps) {
    const RateFields fields = rateFields(mode, bitrateBps);
    context.bit_rate = fields.bitRate;
    context.rc_max_rate = fields.maxRate;
    context.rc_buffer_size = fields.bufferSize;
}

void setOption(AVCodecContext& context, const char* key, const std::string& value) {
    // An option the build does not know is not fatal: the encoder then keeps its default.
    av_opt_set(context.priv_data, key, value.c_str(), 0);
}

}  // namespace

struct VideoCompressor::State {
    CompressorSettings settings;
    std::string name;
    Backend backend = Backend::x264;
    CodecContextPtr context;
    FramePtr frame;    // the reused conversion target (I420, or NV12 for VAAPI uploads)
    FramePtr hwFrame;  // VAAPI only: a surface from the frames pool, per frame
    BufferRefPtr device;
    BufferRefPtr framesContext;
    PacketPtr packet;
    std::vector<std::vector<std::uint8_t>> parameterSetBytes;
    std::vector<std::span<const std::uint8_t>> parameterSets;
};

namespace {

int configure(VideoCompressor::LogSink const& debugLog, const Candidate& candidate,
              const CompressorSettings& settings, AVCodecContext& context, BufferRefPtr& device,
              BufferRefPtr& framesContext) {
    context.width = settings.width;
    context.height = settings.height;
    context.time_base = kTimeBase;
    context.framerate = AVRational{std::max(settings.fps, 1), 1};
    context.max_b_frames = 0;
    context.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    // libyuv converts with the BT.601 limited-range matrix; say so in the stream.
    context.colorspace = AVCOL_SPC_SMPTE170M;
    context.color_range = AVCOL_RANGE_MPEG;
    const std::string threads = std::to_string(std::max(settings.threads, 0));

    switch (candidate.backend) {
        case Backend::x264:
            context.pix_fmt = AV_PIX_FMT_YUV420P;
            context.thread_count = std::max(settings.threads, 0);
            applyRate(context, settings.h264RateControl, settings.bitrateBps);
            setOption(context, "preset", settings.h264Preset);
            setOption(context, "tune", "zerolatency");
            setOption(context, "forced-idr", "1");
            if (settings.h264RateControl == H264RateControl::cappedQuality)
                setOption(context, "crf", "23");
            // Length-prefixed packets with the parameter sets in the global header: exactly what
            // the frame assembly expects. Key frames come on demand and from the 4-second rule.
            setOption(context, "x264-params",
                      "annexb=0:keyint=infinite" +
                          (settings.h264Params.empty() ? "" : ":" + settings.h264Params));
            return 0;
        case Backend::x265: {
            context.pix_fmt = AV_PIX_FMT_YUV420P;
            // Reopened at every change, so its average-bitrate control starts afresh and holds the
            // target closely (measured within 2 %).
            applyRate(context, H264RateControl::constantBitrate, settings.bitrateBps);
            setOption(context, "preset", settings.hevcPreset);
            setOption(context, "tune", "zerolatency");
            setOption(context, "forced-idr", "1");
            // One frame thread: more add a frame of delay. Closed GOPs so that a forced key frame
            // decodes on its own; no encoder-information SEI in the stream.
            std::string params =
                "frame-threads=1:open-gop=0:info=0:keyint=-1:repeat-headers=0:log-level=error";
            if (settings.threads == 1)
                params += ":pools=none";
            else if (settings.threads > 1)
                params += ":pools=" + threads;
            setOption(context, "x265-params", params);
            return 0;
        }
        case Backend::nvenc:
            context.pix_fmt = AV_PIX_FMT_YUV420P;
            context.gop_size = std::max(settings.fps, 1) * 4;
            applyRate(context, H264RateControl::constantBitrate, settings.bitrateBps);
            setOption(context, "preset", "p1");
            setOption(context, "tune", "ull");
            setOption(context, "rc", "cbr");
            setOption(context, "zerolatency", "1");
            setOption(context, "forced-idr", "1");
            setOption(context, "delay", "0");
            return 0;
        case Backend::vaapi: {
            AVBufferRef* rawDevice = nullptr;
            int status =
                av_hwdevice_ctx_create(&rawDevice, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0);
            if (status < 0)
                return status;
            device.reset(rawDevice);
            framesContext.reset(av_hwframe_ctx_alloc(device.get()));
            if (!framesContext)
                return AVERROR(ENOMEM);
            auto* frames = reinterpret_cast<AVHWFramesContext*>(framesContext->data);
            frames->format = AV_PIX_FMT_VAAPI;
            frames->sw_format = AV_PIX_FMT_NV12;
            frames->width = settings.width;
            frames->height = settings.height;
            frames->initial_pool_size = 8;
            status = av_hwframe_ctx_init(framesContext.get());
            if (status < 0)
                return status;
            context.pix_fmt = AV_PIX_FMT_VAAPI;
            context.hw_frames_ctx = av_buffer_ref(framesContext.get());
            context.gop_size = std::max(settings.fps, 1) * 4;
            applyRate(context, H264RateControl::constantBitrate, settings.bitrateBps);
            setOption(context, "async_depth", "1");
            if (debugLog)
                debugLog("VAAPI device opened");
            return 0;
        }
    }
    return AVERROR(EINVAL);
}

}  // namespace

void VideoCompressor::collectParameterSets() {
    State& state = *m_state;
    const bool lengthPrefixed = isLengthPrefixed();
    const AnnexB::NalSyntax nalSyntax = syntax();
    const AVCodecContext& context = *state.context;
    if (!context.extradata || context.extradata_size <= 0)
        return;
    const std::span<const std::uint8_t> extra(context.extradata,
                                              static_cast<std::size_t>(context.extradata_size));
    const auto units =
        lengthPrefixed ? AnnexB::splitLengthPrefixed(extra) : AnnexB::splitAnnexB(extra);
    for (const auto& unit : units) {
        if (!AnnexB::isParameterSet(unit, nalSyntax))
            continue;
        state.parameterSetBytes.emplace_back(unit.begin(), unit.end());
    }
    for (const auto& bytes : state.parameterSetBytes)
        state.parameterSets.emplace_back(bytes);
}

Result<std::unique_ptr<VideoCompressor>, CompressorError> VideoCompressor::open(
    const CompressorSettings& settings, const LogSink& debugLog) {
    quietLibraryLogs();
    CompressorError last{"", AVERROR_ENCODER_NOT_FOUND};
    for (const Candidate& candidate : candidatesFor(settings)) {
        last = CompressorError{candidate.name, AVERROR_ENCODER_NOT_FOUND};
        if (!hardwarePresent(candidate.backend))
            continue;
        const AVCodec* codec = avcodec_find_encoder_by_name(candidate.name);
        if (!codec)
            continue;

        auto state = std::make_unique<State>();
        state->settings = settings;
        state->name = candidate.name;
        state->backend = candidate.backend;
        state->context.reset(avcodec_alloc_context3(codec));
        state->packet.reset(av_packet_alloc());
        state->frame.reset(av_frame_alloc());
        if (!state->context || !state->packet || !state->frame) {
            last.status = AVERROR(ENOMEM);
            continue;
        }
        int status = configure(debugLog, candidate, settings, *state->context, state->device,
                               state->framesContext);
        if (status >= 0)
            status = avcodec_open2(state->context.get(), codec, nullptr);
        if (status >= 0) {
            AVFrame& frame = *state->frame;
            frame.format =
                candidate.backend == Backend::vaapi ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
            frame.width = settings.width;
            frame.height = settings.height;
            status = av_frame_get_buffer(&frame, 0);
        }
        if (status >= 0 && candidate.backend == Backend::vaapi) {
            state->hwFrame.reset(av_frame_alloc());
            if (!state->hwFrame)
                status = AVERROR(ENOMEM);
        }
        if (status < 0) {
            last.status = status;
            if (debugLog)
                debugLog(std::string(candidate.name) + " unavailable (" + std::to_string(status) +
                         ")");
            continue;
        }
        auto compressor = std::unique_ptr<VideoCompressor>(new VideoCompressor(std::move(state)));
        compressor->collectParameterSets();
        return compressor;
    }
    return fail(last);
}

VideoCompressor::VideoCompressor(std::unique_ptr<State> state) : m_state(std::move(state)) {}

VideoCompressor::~VideoCompressor() = default;

const std::string& VideoCompressor::name() const noexcept {
    return m_state->name;
}

const CompressorSettings& VideoCompressor::settings() const noexcept {
    return m_state->settings;
}

bool VideoCompressor::isLengthPrefixed() const noexcept {
    return m_state->backend == Backend::x264;
}

AnnexB::NalSyntax VideoCompressor::syntax() const noexcept {
    return m_state->settings.codec == VideoCodec::hevc ? AnnexB::NalSyntax::hevc
                                                       : AnnexB::NalSyntax::h264;
}

std::span<const std::span<const std::uint8_t>> VideoCompressor::parameterSets() const noexcept {
    return m_state->parameterSets;
}

bool VideoCompressor::followsBitrateLive() const noexcept {
    return m_state->backend == Backend::x264;
}

void VideoCompressor::setBitrate(std::int64_t bitrateBps) {
    m_state->settings.bitrateBps = bitrateBps;
    // libx264 compares these fields with its own before every frame and reconfigures itself.
    if (followsBitrateLive())
        applyRate(*m_state->context, m_state->settings.h264RateControl, bitrateBps);
}

bool VideoCompressor::submit(const BGRAImageView& image, std::int64_t ptsUs, bool forceKeyFrame) {
    State& state = *m_state;
    if (!image.isValid() || image.width != state.settings.width ||
        image.height != state.settings.height)
        return false;
    AVFrame& frame = *state.frame;
    // Writable unless the encoder still holds a reference to the previous picture, in which
    // case libavutil gives this frame fresh buffers (x264 and x265 copy their input).
    if (av_frame_make_writable(&frame) < 0)
        return false;
    const auto stride = static_cast<int>(image.bytesPerRow);
    const auto conversionStart = std::chrono::steady_clock::now();
    int converted = 0;
    if (state.backend == Backend::vaapi) {
        converted = libyuv::ARGBToNV12(image.bytes.data(), stride, frame.data[0], frame.linesize[0],
                                       frame.data[1], frame.linesize[1], image.width, image.height);
    } else {
        converted = libyuv::ARGBToI420(image.bytes.data(), stride, frame.data[0], frame.linesize[0],
                                       frame.data[1], frame.linesize[1], frame.data[2],
                                       frame.linesize[2], image.width, image.height);
    }
    m_lastConversion = std::chrono::steady_clock::now() - conversionStart;
    if (converted != 0)
        return false;

    AVFrame* input = &frame;
    if (state.backend == Backend::vaapi) {
        AVFrame& surface = *state.hwFrame;
        av_frame_unref(&surface);
        if (av_hwframe_get_buffer(state.framesContext.get(), &surface, 0) < 0)
            return false;
        if (av_hwframe_transfer_data(&surface, &frame, 0) < 0)
            return false;
        input = &surface;
    }
    input->pts = ptsUs;
    input->pict_type = forceKeyFrame ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    const int status = avcodec_send_frame(state.context.get(), input);
    if (state.backend == Backend::vaapi)
        av_frame_unref(state.hwFrame.get());
    return status >= 0;
}

void VideoCompressor::receive(const std::function<void(const CompressedPacket&)>& sink) {
    State& state = *m_state;
    AVPacket* packet = state.packet.get();
    while (avcodec_receive_packet(state.context.get(), packet) >= 0) {
        if (packet->size > 0) {
            const std::int64_t pts = packet->pts == AV_NOPTS_VALUE ? 0 : packet->pts;
            const std::int64_t ptsUs = av_rescale_q(pts, state.context->time_base, kTimeBase);
            sink(CompressedPacket{{packet->data, static_cast<std::size_t>(packet->size)},
                                  ptsUs,
                                  (packet->flags & AV_PKT_FLAG_KEY) != 0});
        }
        av_packet_unref(packet);
    }
}

}  // namespace velurio
