// Shared by the encoder tests: an encoder whose output is collected, stream checks, and the
// ffmpeg command-line decoder as the independent judge of every stream we emit.
#pragma once

#include "core/annex_b.h"
#include "platform/ffmpeg/h264_encoder.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace velurio::testing {

struct Frame {
    std::vector<std::uint8_t> data;
    std::uint32_t sequence = 0;
    std::uint64_t timestampMs = 0;
    bool keyFrame = false;
};

inline std::chrono::nanoseconds ms(std::int64_t value) {
    return std::chrono::milliseconds(value);
}

// An encoder (software only, so results do not depend on the machine) that records what it
// emits and what it logs.
class CollectingEncoder {
  public:
    explicit CollectingEncoder(H264Encoder::Options options = software())
        : m_encoder([&] {
              options.log = [this](std::string_view line) {
                  std::lock_guard lock(m_mutex);
                  m_log.emplace_back(line);
              };
              return options;
          }()) {
        m_encoder.setOnEncoded([this](std::vector<std::uint8_t> data, std::uint32_t sequence,
                                      std::uint64_t timestampMs, bool keyFrame) {
            std::lock_guard lock(m_mutex);
            m_frames.push_back(Frame{std::move(data), sequence, timestampMs, keyFrame});
        });
    }

    static H264Encoder::Options software() {
        H264Encoder::Options options;
        options.allowHardware = false;
        return options;
    }

    H264Encoder& operator*() { return m_encoder; }
    H264Encoder* operator->() { return &m_encoder; }

    std::vector<Frame> frames() {
        m_encoder.waitUntilIdle();
        std::lock_guard lock(m_mutex);
        return m_frames;
    }
    std::vector<std::string> log() {
        m_encoder.waitUntilIdle();
        std::lock_guard lock(m_mutex);
        return m_log;
    }

  private:
    std::mutex m_mutex;
    std::vector<Frame> m_frames;
    std::vector<std::string> m_log;
    H264Encoder m_encoder;  // last: its thread may call back into the members above
};

inline std::string codecTestName(const ::testing::TestParamInfo<H264Encoder::Codec>& info) {
    return info.param == H264Encoder::Codec::hevc ? "hevc" : "h264";
}

inline AnnexB::NalSyntax syntaxOf(H264Encoder::Codec codec) {
    return codec == H264Encoder::Codec::hevc ? AnnexB::NalSyntax::hevc : AnnexB::NalSyntax::h264;
}

inline int nalType(std::span<const std::uint8_t> unit, AnnexB::NalSyntax syntax) {
    if (unit.empty())
        return -1;
    return syntax == AnnexB::NalSyntax::h264 ? (unit[0] & 0x1F) : ((unit[0] >> 1) & 0x3F);
}

// Every NAL unit behind a 4-byte start code, nothing else: re-serialising the units found
// gives back the same bytes.
inline bool hasOnlyFourByteStartCodes(const std::vector<std::uint8_t>& frame) {
    std::vector<std::uint8_t> rebuilt;
    const auto units = AnnexB::splitAnnexB(frame);
    AnnexB::appendUnits(rebuilt, units);
    return rebuilt == frame;
}

// The NAL types at the start of a key frame: for H.264 SPS (7), PPS (8); for HEVC VPS (32),
// SPS (33), PPS (34); and no parameter set after them.
inline ::testing::AssertionResult beginsWithParameterSets(const Frame& frame,
                                                          AnnexB::NalSyntax syntax) {
    const auto units = AnnexB::splitAnnexB(frame.data);
    const std::vector<int> expected =
        syntax == AnnexB::NalSyntax::h264 ? std::vector<int>{7, 8} : std::vector<int>{32, 33, 34};
    if (units.size() <= expected.size())
        return ::testing::AssertionFailure() << "too few NAL units";
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (nalType(units[i], syntax) != expected[i])
            return ::testing::AssertionFailure()
                   << "unit " << i << " has type " << nalType(units[i], syntax);
    for (std::size_t i = expected.size(); i < units.size(); ++i)
        if (AnnexB::isParameterSet(units[i], syntax))
            return ::testing::AssertionFailure() << "parameter set repeated at unit " << i;
    return ::testing::AssertionSuccess();
}

struct DecodeResult {
    int exitCode = -1;
    std::string errors;  // everything ffmpeg wrote on its error output
    int frames = -1;     // frames decoded (ffprobe)
};

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline int runShell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Decodes the concatenated frames with ffmpeg -xerror (any decoding error is fatal) and counts
// the decoded frames with ffprobe.
inline DecodeResult decodeWithFfmpeg(const std::vector<Frame>& frames, std::size_t first,
                                     H264Encoder::Codec codec) {
    static int counter = 0;
    const auto dir = std::filesystem::temp_directory_path();
    const std::string stem =
        "velurio_encoder_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
    const std::string format = codec == H264Encoder::Codec::hevc ? "hevc" : "h264";
    const auto stream = dir / (stem + "." + format);
    const auto errors = dir / (stem + ".err");
    const auto count = dir / (stem + ".count");
    {
        std::ofstream out(stream, std::ios::binary);
        for (std::size_t i = first; i < frames.size(); ++i)
            out.write(reinterpret_cast<const char*>(frames[i].data.data()),
                      static_cast<std::streamsize>(frames[i].data.size()));
    }
    DecodeResult result;
    result.exitCode =
        runShell("ffmpeg -nostdin -hide_banner -loglevel warning -xerror -f " + format + " -i '" +
                 stream.string() + "' -f null - 2>'" + errors.string() + "'");
    result.errors = readFile(errors);
    if (runShell("ffprobe -v error -f " + format +
                 " -count_frames -select_streams v:0 -show_entries "
                 "stream=nb_read_frames -of csv=p=0 '" +
                 stream.string() + "' >'" + count.string() + "' 2>/dev/null") == 0) {
        try {
            result.frames = std::stoi(readFile(count));
        } catch (...) {
            result.frames = -1;
        }
    }
    std::filesystem::remove(stream);
    std::filesystem::remove(errors);
    std::filesystem::remove(count);
    return result;
}

}  // namespace velurio::testing
