// The simulated tablet's video path: video datagrams in, reassembled frames, decoded pictures.
//
// FrameAssembler joins the fragments of one frame (same sequence, fragment index order) and
// keeps a bounded number of incomplete frames. VideoDecoder feeds whole access units to
// libavcodec (H.264 or HEVC, told apart by the first key frame's first NAL unit) and keeps the
// last decoded picture as an image; after a lost frame it waits for the next key frame, as a
// tablet must on a lossy path.
//
// Thread: the thread that owns them (the tool's main thread). Lifetime: plain owned values.
#pragma once

#include "protocol/video_datagram.h"
#include "protocol/wire_framing.h"

#include <QImage>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace velurio::peer {

struct ReassembledFrame {
    std::uint32_t sequence = 0;
    std::uint64_t pts = 0;
    bool isKeyframe = false;
    std::uint16_t fragmentCount = 0;
    Bytes payload;  // the access unit: Annex B with start codes
};

class FrameAssembler {
  public:
    static constexpr std::size_t kMaxFramesInAssembly = 64;
    // Sequences of frames already delivered, so that a duplicated datagram (UDP may duplicate)
    // does not deliver its frame a second time.
    static constexpr std::size_t kRememberedFrames = 64;

    // A datagram whose header does not parse, whose payload length disagrees with its size, or
    // which contradicts the fragments already held is dropped (nothing returned).
    std::optional<ReassembledFrame> add(std::span<const std::uint8_t> datagram);

  private:
    struct Pending {
        VideoFrameHeader header;
        std::vector<std::optional<Bytes>> fragments;
        std::size_t received = 0;
    };
    std::map<std::uint32_t, Pending> m_frames;
    std::deque<std::uint32_t> m_completed;
};

class VideoDecoder {
  public:
    enum class Codec { h264, hevc };
    enum class Outcome {
        decoded,        // a picture came out
        buffered,       // accepted, no picture yet
        waitingForKey,  // skipped: no key frame since the start or since a gap
        failed,         // libavcodec refused the access unit (or no decoder exists)
    };

    VideoDecoder();
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    Outcome decode(const ReassembledFrame& frame);

    // The codec, once the first key frame named it.
    std::optional<Codec> codec() const { return m_codec; }
    // The last decoded picture (RGB32), null before the first.
    const QImage& lastImage() const { return m_lastImage; }
    int decodedFrames() const { return m_decoded; }
    int failedFrames() const { return m_failed; }

    // Which codec an access unit's first NAL unit belongs to (parameter sets of a key frame).
    static std::optional<Codec> sniffCodec(std::span<const std::uint8_t> accessUnit);

  private:
    bool open(Codec codec);
    void keepPicture();

    struct ContextFree {
        void operator()(AVCodecContext* context) const;
    };
    struct FrameFree {
        void operator()(AVFrame* frame) const;
    };
    struct PacketFree {
        void operator()(AVPacket* packet) const;
    };
    std::unique_ptr<AVCodecContext, ContextFree> m_context;
    std::unique_ptr<AVFrame, FrameFree> m_frame;
    std::unique_ptr<AVPacket, PacketFree> m_packet;
    std::optional<Codec> m_codec;
    std::optional<std::uint32_t> m_lastSequence;
    bool m_needKey = true;
    QImage m_lastImage;
    int m_decoded = 0;
    int m_failed = 0;
};

}  // namespace velurio::peer
