#include "video_receiver.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
}
#include <libyuv/convert_argb.h>

#include <algorithm>

namespace velurio::peer {

std::optional<ReassembledFrame> FrameAssembler::add(std::span<const std::uint8_t> datagram) {
    const auto header = VideoFrameHeader::parse(datagram);
    if (!header || datagram.size() - VideoFrameHeader::byteCount != header->payloadLength) {
        return std::nullopt;
    }
    if (std::find(m_completed.begin(), m_completed.end(), header->sequence) != m_completed.end()) {
        return std::nullopt;  // a duplicate of a frame already delivered
    }
    Pending& pending = m_frames[header->sequence];
    if (pending.fragments.empty()) {
        pending.fragments.resize(header->fragmentCount);
        pending.header = *header;
    }
    if (pending.header.fragmentCount != header->fragmentCount ||
        pending.fragments[header->fragmentIndex]) {
        return std::nullopt;
    }
    pending.fragments[header->fragmentIndex] =
        Bytes(datagram.begin() + VideoFrameHeader::byteCount, datagram.end());
    if (++pending.received < header->fragmentCount) {
        while (m_frames.size() > kMaxFramesInAssembly) {
            m_frames.erase(m_frames.begin());  // the oldest incomplete frame is lost
        }
        return std::nullopt;
    }
    ReassembledFrame frame{
        header->sequence, pending.header.pts, pending.header.isKeyframe, header->fragmentCount, {}};
    for (const auto& fragment : pending.fragments) {
        frame.payload.insert(frame.payload.end(), fragment->begin(), fragment->end());
    }
    m_frames.erase(header->sequence);
    m_completed.push_back(header->sequence);
    if (m_completed.size() > kRememberedFrames) {
        m_completed.pop_front();
    }
    // Older incomplete frames will never be shown now.
    m_frames.erase(m_frames.begin(), m_frames.lower_bound(header->sequence));
    return frame;
}

void VideoDecoder::ContextFree::operator()(AVCodecContext* context) const {
    avcodec_free_context(&context);
}
void VideoDecoder::FrameFree::operator()(AVFrame* frame) const {
    av_frame_free(&frame);
}
void VideoDecoder::PacketFree::operator()(AVPacket* packet) const {
    av_packet_free(&packet);
}

VideoDecoder::VideoDecoder() : m_frame(av_frame_alloc()), m_packet(av_packet_alloc()) {}

VideoDecoder::~VideoDecoder() = default;

std::optional<VideoDecoder::Codec> VideoDecoder::sniffCodec(
    std::span<const std::uint8_t> accessUnit) {
    // Skip the first start code (3 or 4 bytes) and read the NAL header.
    std::size_t at = 0;
    while (at + 3 < accessUnit.size() &&
           !(accessUnit[at] == 0 && accessUnit[at + 1] == 0 && accessUnit[at + 2] == 1)) {
        ++at;
    }
    at += 3;
    if (at >= accessUnit.size()) {
        return std::nullopt;
    }
    const std::uint8_t nal = accessUnit[at];
    const int hevcType = (nal >> 1) & 0x3F;
    if (hevcType >= 32 && hevcType <= 34) {  // VPS, SPS, PPS
        return Codec::hevc;
    }
    const int h264Type = nal & 0x1F;
    if (h264Type == 7 || h264Type == 8 || h264Type == 9 || h264Type == 5) {
        return Codec::h264;
    }
    return std::nullopt;
}

bool VideoDecoder::open(Codec codec) {
    const AVCodec* decoder =
        avcodec_find_decoder(codec == Codec::hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    if (decoder == nullptr) {
        return false;
    }
    m_context.reset(avcodec_alloc_context3(decoder));
    if (!m_context) {
        return false;
    }
    m_context->thread_count = 1;  // no frame threading: one picture out per access unit
    m_context->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (avcodec_open2(m_context.get(), decoder, nullptr) < 0) {
        m_context.reset();
        return false;
    }
    m_codec = codec;
    return true;
}

VideoDecoder::Outcome VideoDecoder::decode(const ReassembledFrame& frame) {
    const bool gap = m_lastSequence && frame.sequence != *m_lastSequence + 1;
    m_lastSequence = frame.sequence;
    if (gap && !frame.isKeyframe) {
        m_needKey = true;
    }
    if (m_needKey && !frame.isKeyframe) {
        return Outcome::waitingForKey;
    }
    if (!m_context) {
        const auto codec = sniffCodec(frame.payload);
        if (!codec || !open(*codec)) {
            ++m_failed;
            return Outcome::failed;
        }
    }
    m_needKey = false;
    av_packet_unref(m_packet.get());
    if (av_new_packet(m_packet.get(), static_cast<int>(frame.payload.size())) < 0) {
        ++m_failed;
        return Outcome::failed;
    }
    std::copy(frame.payload.begin(), frame.payload.end(), m_packet->data);
    m_packet->pts = static_cast<std::int64_t>(frame.pts);
    if (frame.isKeyframe) {
        m_packet->flags |= AV_PKT_FLAG_KEY;
    }
    if (avcodec_send_packet(m_context.get(), m_packet.get()) < 0) {
        ++m_failed;
        m_needKey = true;
        return Outcome::failed;
    }
    Outcome outcome = Outcome::buffered;
    while (avcodec_receive_frame(m_context.get(), m_frame.get()) == 0) {
        keepPicture();
        av_frame_unref(m_frame.get());
        outcome = Outcome::decoded;
    }
    if (outcome == Outcome::decoded) {
        ++m_decoded;
    }
    return outcome;
}

void VideoDecoder::keepPicture() {
    const AVFrame& f = *m_frame;
    if (f.format != AV_PIX_FMT_YUV420P && f.format != AV_PIX_FMT_YUVJ420P) {
        return;  // our host sends 4:2:0 8-bit only
    }
    QImage image(f.width, f.height, QImage::Format_RGB32);
    // The host converts with libyuv's BT.601 limited range; this is its inverse.
    libyuv::I420ToARGB(f.data[0], f.linesize[0], f.data[1], f.linesize[1], f.data[2], f.linesize[2],
                       image.bits(), static_cast<int>(image.bytesPerLine()), f.width, f.height);
    m_lastImage = std::move(image);
}

}  // namespace velurio::peer
