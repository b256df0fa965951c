#include "platform/ffmpeg/h264_encoder.h"

#include <pthread.h>

#include <cstdio>
#include <type_traits>

namespace velurio {

namespace {

void nameThisThread(const char* name) {
#if defined(__APPLE__)
    pthread_setname_np(name);
#else
    pthread_setname_np(pthread_self(), name);  // at most 15 characters on Linux
#endif
}

}  // namespace

H264Encoder::H264Encoder() : H264Encoder(Options{}) {}

H264Encoder::H264Encoder(Options options) : m_options(std::move(options)) {
    m_thread = std::thread([this] { run(); });
}

H264Encoder::~H264Encoder() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void H264Encoder::setOnEncoded(EncodedHandler handler) {
    post(SetHandler{std::move(handler)});
}

void H264Encoder::start(int width, int height, int fps, std::int64_t bitrate, Codec codec) {
    post(Start{width, height, fps, bitrate, codec});
}

void H264Encoder::encode(PixelBuffer image, Duration pts, bool forceKeyframe) {
    post(Encode{std::move(image), pts, forceKeyframe});
}

void H264Encoder::requestKeyframe() {
    post(RequestKeyframe{});
}

void H264Encoder::setBitrate(std::int64_t bitrate) {
    post(SetBitrate{bitrate});
}

void H264Encoder::invalidate() {
    post(Invalidate{});
}

void H264Encoder::waitUntilIdle() {
    std::unique_lock lock(m_mutex);
    const std::uint64_t target = m_issued;
    m_idle.wait(lock, [&] { return m_completed >= target || m_stopping; });
}

H264Encoder::FrameTimings H264Encoder::lastFrameTimings() const {
    std::lock_guard lock(m_mutex);
    return m_lastTimings;
}

std::string H264Encoder::activeEncoderName() const {
    std::lock_guard lock(m_mutex);
    return m_activeName;
}

void H264Encoder::post(Command command) {
    {
        std::lock_guard lock(m_mutex);
        if (auto* incoming = std::get_if<Encode>(&command); incoming && !m_queue.empty()) {
            if (auto* waiting = std::get_if<Encode>(&m_queue.back())) {
                // The waiting image is stale before it was encoded: replace it, keeping its
                // key-frame request. The encoder never falls behind the screen this way.
                incoming->forceKeyframe = incoming->forceKeyframe || waiting->forceKeyframe;
                *waiting = std::move(*incoming);
                return;
            }
        }
        m_queue.push_back(std::move(command));
        ++m_issued;
    }
    m_wake.notify_one();
}

void H264Encoder::run() {
    nameThisThread("velurio-encoder");
    for (;;) {
        Command command;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
            if (m_stopping)
                break;
            command = std::move(m_queue.front());
            m_queue.pop_front();
        }
        apply(command);
        {
            std::lock_guard lock(m_mutex);
            ++m_completed;
        }
        m_idle.notify_all();
    }
    m_idle.notify_all();
}

void H264Encoder::apply(Command& command) {
    std::visit(
        [this](auto& c) {
            using T = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<T, Start>) {
                startSession(c);
            } else if constexpr (std::is_same_v<T, Encode>) {
                encodeImage(c.image, c.pts, c.forceKeyframe);
            } else if constexpr (std::is_same_v<T, RequestKeyframe>) {
                if (m_lastFrame && m_lastFramePts)
                    encodeImage(PixelBuffer(m_lastFrame), *m_lastFramePts, true, true);
            } else if constexpr (std::is_same_v<T, SetBitrate>) {
                changeBitrate(c.bitrate);
            } else if constexpr (std::is_same_v<T, Invalidate>) {
                teardown();
            } else if constexpr (std::is_same_v<T, SetHandler>) {
                m_onEncoded = std::move(c.handler);
            }
        },
        command);
}

void H264Encoder::startSession(const Start& start) {
    teardown();
    m_assembler.start();
    m_timestamps.start();
    m_lastSubmittedUs.reset();
    m_lastKeyFrameTime.reset();

    CompressorSettings settings;
    settings.width = start.width;
    settings.height = start.height;
    settings.fps = start.fps;
    settings.bitrateBps = start.bitrate;
    settings.codec = start.codec;
    settings.allowHardware = m_options.allowHardware;
    settings.threads = m_options.threads;
    settings.h264Preset = m_options.h264Preset;
    settings.h264Params = m_options.h264Params;
    settings.hevcPreset = m_options.hevcPreset;
    settings.h264RateControl = m_options.h264RateControl;
    openCompressor(settings);
}

bool H264Encoder::openCompressor(const CompressorSettings& settings) {
    m_settings = settings;
    auto opened = VideoCompressor::open(settings);
    if (!opened) {
        const CompressorError& error = opened.error();
        log("Velurio: falha ao criar " + error.encoderName + " (" + std::to_string(error.status) +
            ")");
        return false;
    }
    m_compressor = std::move(opened).value();
    std::lock_guard lock(m_mutex);
    m_activeName = m_compressor->name();
    return true;
}

void H264Encoder::teardown() {
    m_compressor.reset();
    m_lastFrame.reset();
    m_lastFramePts.reset();
    m_timestamps.invalidate();
    std::lock_guard lock(m_mutex);
    m_activeName.clear();
}

void H264Encoder::encodeImage(const PixelBuffer& image, Duration pts, bool forceKeyframe,
                              bool repeat) {
    m_lastFrame = image;
    m_lastFramePts = pts;
    if (!m_compressor || !image)
        return;
    if (image->width != m_settings.width || image->height != m_settings.height || !image->isValid())
        return;

    const Duration t = m_timestamps.submissionTime(pts);
    std::int64_t ptsUs = std::chrono::duration_cast<std::chrono::microseconds>(t).count();
    if (m_lastSubmittedUs && ptsUs <= *m_lastSubmittedUs)
        ptsUs = *m_lastSubmittedUs + 1;
    m_lastSubmittedUs = ptsUs;

    const bool keyFrame =
        forceKeyframe || !m_lastKeyFrameTime || t - *m_lastKeyFrameTime >= maxKeyFrameInterval;
    const auto started = std::chrono::steady_clock::now();
    if (!m_compressor->submit(*image, ptsUs, keyFrame))
        return;  // a refused frame is skipped
    // The last image again: its age is not time spent reaching the encoder.
    m_submitTimings.captureToStart = repeat ? Duration{0} : started.time_since_epoch() - pts;
    m_submitTimings.conversion = m_compressor->lastConversionTime();
    if (keyFrame)
        m_lastKeyFrameTime = t;
    m_compressor->receive([this, started](const CompressedPacket& packet) {
        m_submitTimings.compression =
            std::chrono::steady_clock::now() - started - m_submitTimings.conversion;
        deliver(packet);
    });
}

void H264Encoder::deliver(const CompressedPacket& packet) {
    const Duration time = std::chrono::microseconds(packet.ptsUs);
    if (packet.keyFrame && (!m_lastKeyFrameTime || *m_lastKeyFrameTime < time))
        m_lastKeyFrameTime = time;
    auto frame = m_compressor->isLengthPrefixed()
                     ? m_assembler.assemble(packet.data, m_compressor->parameterSets(),
                                            packet.keyFrame, time)
                     : m_assembler.assembleAnnexB(packet.data, m_compressor->parameterSets(),
                                                  packet.keyFrame, m_compressor->syntax(), time);
    {
        std::lock_guard lock(m_mutex);
        m_lastTimings = m_submitTimings;
    }
    if (frame && m_onEncoded)
        m_onEncoded(std::move(frame->data), frame->sequence, frame->timestampMs, frame->keyFrame);
}

void H264Encoder::changeBitrate(std::int64_t bitrate) {
    if (!m_compressor || bitrate == m_settings.bitrateBps)
        return;
    m_settings.bitrateBps = bitrate;
    if (m_compressor->followsBitrateLive()) {
        m_compressor->setBitrate(bitrate);
        return;
    }
    // This encoder ignores rate changes once open: reopen it. The sequence numbers and the
    // timestamps carry on; the new encoder's first frame is a key frame with its own
    // parameter sets, so the stream stays decodable across the switch.
    m_compressor.reset();
    {
        std::lock_guard lock(m_mutex);
        m_activeName.clear();
    }
    m_lastKeyFrameTime.reset();
    openCompressor(m_settings);
}

void H264Encoder::log(std::string_view line) {
    if (m_options.log) {
        m_options.log(line);
        return;
    }
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
}

}  // namespace velurio
