// Wire protocol costs: canonical encoding and decoding of stroke messages, frame parsing of
// bursts, and cutting a frame into datagrams.
#include "protocol/canonical_json.h"
#include "protocol/message_codec.h"
#include "protocol/video_datagram.h"
#include "protocol/wire_framing.h"

#include <benchmark/benchmark.h>

namespace velurio {
namespace {

StrokeMessage strokeOf(int points) {
    StrokeMessage m{"s-4f1c", StrokeOp::append, "pen", "#FF4D2E", 4, {}};
    for (int i = 0; i < points; ++i) {
        m.pts.push_back({0.31 + i * 0.00137, 0.62 - i * 0.00091, 0.4 + (i % 7) * 0.05, 0.12,
                         1700000000000 + i * 8});
    }
    return m;
}

void BM_EncodeStroke(benchmark::State& state) {
    const SessionMessage message = strokeOf(static_cast<int>(state.range(0)));
    std::string out;
    for (auto _ : state) {
        out.clear();
        appendCanonicalJSON(out, message);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_EncodeStroke)->Arg(3)->Arg(64);

void BM_EncodeStrokeFresh(benchmark::State& state) {
    const SessionMessage message = strokeOf(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(MessageCodec::encode(message));
    }
}
BENCHMARK(BM_EncodeStrokeFresh)->Arg(3)->Arg(64);

void BM_DecodeStroke(benchmark::State& state) {
    const std::string text =
        SessionMessage(strokeOf(static_cast<int>(state.range(0)))).canonicalJSON();
    for (auto _ : state) {
        auto message = MessageCodec::decode(text);
        benchmark::DoNotOptimize(message);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_DecodeStroke)->Arg(3)->Arg(64);

void BM_ParseFrameBurst(benchmark::State& state) {
    const auto frameSize = static_cast<std::size_t>(state.range(0));
    Bytes burst;
    const Bytes payload(frameSize, 0x5A);
    while (burst.size() + frameSize + 5 <= 1 << 20) {
        WireFraming::appendFrame(burst, payload, WireChannel::ink);
    }
    for (auto _ : state) {
        WireFrameParser parser;
        auto frames = parser.ingest(burst);
        benchmark::DoNotOptimize(frames.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(burst.size()));
}
BENCHMARK(BM_ParseFrameBurst)->Arg(1000)->Arg(100);

void BM_CutDatagrams(benchmark::State& state) {
    const Bytes frame(60'000, 0x42);
    for (auto _ : state) {
        auto datagrams = VideoFrameHeader::datagrams(7, 1234, true, frame, 1200);
        benchmark::DoNotOptimize(datagrams);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(frame.size()));
}
BENCHMARK(BM_CutDatagrams);

}  // namespace
}  // namespace velurio
