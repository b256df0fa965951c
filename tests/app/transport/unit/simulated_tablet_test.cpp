// The simulated tablet (velurio-peer, another process) against a real SessionServer: hello,
// stroke script, pings both ways, the UDP video keep-alive and frame reassembly, misbehaviour,
// and a flood of connections while one tablet keeps its session.
#include "app/transport/session_server.h"
#include "platform/keychain/file_secret_store.h"
#include "protocol/video_datagram.h"
#include "transport_host_harness.h"
#include "transport_test_support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#ifdef VELURIO_PEER_PATH

namespace velurio::test {
namespace {

using namespace std::chrono_literals;

std::vector<QJsonObject> readLog(const QString& path) {
    std::vector<QJsonObject> lines;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return lines;
    }
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (!line.isEmpty()) {
            lines.push_back(QJsonDocument::fromJson(line).object());
        }
    }
    return lines;
}

std::vector<QJsonObject> messagesOfType(const std::vector<QJsonObject>& log, const QString& type) {
    std::vector<QJsonObject> out;
    for (const QJsonObject& line : log) {
        if (line.value("event") == "message" &&
            line.value("message").toObject().value("t") == type) {
            out.push_back(line.value("message").toObject());
        }
    }
    return out;
}

class SimulatedTabletTest : public ::testing::Test {
  protected:
    void SetUp() override { ensureApplication(); }

    QProcess* runPeer(const QStringList& arguments, const QString& logName) {
        auto* process = new QProcess;
        processes.emplace_back(process);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QStringLiteral(VELURIO_PEER_PATH),
                       QStringList{"--log", dir.filePath(logName)} + arguments);
        EXPECT_TRUE(process->waitForStarted(5'000));
        return process;
    }
    static bool finished(QProcess* process) { return process->state() == QProcess::NotRunning; }

    QTemporaryDir dir;
    std::vector<std::unique_ptr<QProcess>> processes;
};

TEST_F(SimulatedTabletTest, SessionWithStrokesPingsAndReassembledVideo) {
    HostHarness host(dir.path());
    ASSERT_TRUE(host.server->isRunning());
    QFile script(dir.filePath("strokes.jsonl"));
    ASSERT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(
        R"({"delay_ms":50,"message":{"t":"stroke","id":"s1","op":"begin","tool":"pen","color":"#FF3B30","width":4,"pts":[[0.1,0.1,1,0,1]]}})"
        "\n");
    script.write(
        R"({"delay_ms":10,"channel":1,"message":{"t":"stroke","id":"s1","op":"end","tool":"pen","color":"#FF3B30","width":4,"pts":[]}})"
        "\n");
    script.close();
    QProcess* tablet =
        runPeer({"--port", QString::number(*host.server->controlPort()), "--video-port",
                 QString::number(*host.server->udpVideoPort()), "--token", "tok", "--script",
                 script.fileName(), "--ping-interval-ms", "40", "--duration-ms", "3000"},
                "tablet.jsonl");
    ASSERT_TRUE(
        waitUntil([&] { return host.hasVideo && host.strokes.size() == 2 && host.pongs >= 3; }));
    // Two frames: a key frame in three datagrams, then a small one.
    for (const auto& [sequence, size, key] :
         {std::tuple{1U, 2'500U, true}, std::tuple{2U, 100U, false}}) {
        const Bytes payload(size, 0x42);
        auto datagrams =
            VideoFrameHeader::datagrams(sequence, sequence * 33ULL, key, payload, 1'200);
        ASSERT_TRUE(datagrams.ok());
        for (const Bytes& d : datagrams.value()) {
            host.server->sendVideoDatagram(QByteArray(reinterpret_cast<const char*>(d.data()),
                                                      static_cast<qsizetype>(d.size())));
        }
    }
    ASSERT_TRUE(waitUntil([&] { return finished(tablet); }));
    const auto log = readLog(dir.filePath("tablet.jsonl"));
    EXPECT_EQ(host.strokes, (std::vector<std::string>{"s1", "s1"}));
    ASSERT_FALSE(messagesOfType(log, "hello").empty());
    const auto pings = messagesOfType(log, "ping");
    ASSERT_GE(pings.size(), 3U);
    for (std::size_t i = 0; i < pings.size(); ++i) {
        EXPECT_EQ(pings[i].value("seq").toInt(), static_cast<int>(i + 1));
    }
    int rtts = 0;
    std::vector<std::pair<int, bool>> frames;
    for (const QJsonObject& line : log) {
        rtts += line.value("event") == "rtt" ? 1 : 0;
        if (line.value("event") == "frame") {
            frames.emplace_back(line.value("bytes").toInt(), line.value("key").toBool());
        }
    }
    EXPECT_GE(rtts, 3);
    EXPECT_EQ(frames, (std::vector<std::pair<int, bool>>{{2'500, true}, {100, false}}));
}

TEST_F(SimulatedTabletTest, MisbehavingTabletsAreEndedWithTheRightReason) {
    HostHarness host(dir.path());
    const QString port = QString::number(*host.server->controlPort());
    QProcess* version2 = runPeer({"--port", port, "--hello-version", "2"}, "v2.jsonl");
    QProcess* silent = runPeer({"--port", port, "--no-hello"}, "silent.jsonl");
    QProcess* garbage = runPeer({"--port", port, "--garbage"}, "garbage.jsonl");
    ASSERT_TRUE(waitUntil([&] { return finished(version2) && finished(silent); }));
    auto reasonOf = [&](const QString& name) {
        const auto ends = messagesOfType(readLog(dir.filePath(name)), "end");
        return ends.empty() ? QString() : ends.front().value("reason").toString();
    };
    EXPECT_EQ(reasonOf("v2.jsonl"), "error");
    EXPECT_EQ(reasonOf("silent.jsonl"), "timeout");
    // A payload that is no message is dropped; the session goes on and pings keep coming.
    ASSERT_TRUE(waitUntil([&] {
        return messagesOfType(readLog(dir.filePath("garbage.jsonl")), "ping").size() >= 2;
    }));
    EXPECT_TRUE(messagesOfType(readLog(dir.filePath("garbage.jsonl")), "end").empty());
    garbage->kill();
    garbage->waitForFinished();
}

}  // namespace
}  // namespace velurio::test

#endif
