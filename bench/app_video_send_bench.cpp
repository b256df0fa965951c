// Capture → last datagram over the QUIC video connection against plain UDP, in the same run
// (goal: QUIC adds at most 0.5 ms per frame). Each frame of a full-motion 1080p synthetic
// screen is encoded (libx264, the app's settings, one thread), cut into datagrams of 1200
// bytes of frame, then sent once through the QUIC video listener of the app's backend to a
// QUIC client and once through a UDP socket to a UDP receiver, all on loopback; the order of
// the two alternates per frame. The clock of each starts with the frame handed to the
// encoder, so the difference between the two is what QUIC costs. 30 frames per second, with
// the event loop running in between (acknowledgements, keep-alives), as in a session. Run:
//   build/release/bench/velurio_app_bench --benchmark_filter=VideoSend
#include "app/transport/quic_listeners.h"
#include "app/transport/quic_udp_driver.h"
#include "platform/ffmpeg/h264_encoder.h"
#include "platform/quic/quic_client_engine.h"
#include "protocol/video_datagram.h"
#include "synthetic_screen.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>

namespace velurio {
namespace {

using Clock = std::chrono::steady_clock;

void runEventsFor(std::chrono::milliseconds span) {
    QDeadlineTimer deadline(span);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const auto rank =
        static_cast<std::size_t>(std::max(1.0, std::ceil(p / 100.0 * double(v.size()))));
    return v[rank - 1];
}

void BM_VideoSendQuicVersusUdp1080p(benchmark::State& state) {
    // The listener with a self-signed P-256 identity like the app's.
    QTemporaryDir dir;
    const int made = QProcess::execute(
        QStringLiteral("openssl"),
        {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
         "-keyout", dir.filePath("key.pem"), "-out", dir.filePath("cert.pem"), "-days", "1",
         "-subj", "/CN=velurio-bench"});
    QFile certificateFile(dir.filePath("cert.pem"));
    QFile keyFile(dir.filePath("key.pem"));
    if (made != 0 || !certificateFile.open(QIODevice::ReadOnly) ||
        !keyFile.open(QIODevice::ReadOnly)) {
        state.SkipWithError("no identity (openssl)");
        return;
    }
    TLSCredentials credentials{QSslCertificate(certificateFile.readAll(), QSsl::Pem),
                               QSslKey(keyFile.readAll(), QSsl::Ec)};
    auto backend = makePlatformQUICBackend(QHostAddress::LocalHost);
    auto listener = std::move(backend->makeVideoListener(credentials)).value();
    quint16 listenerPort = 0;
    QObject::connect(listener.get(), &QUICVideoListener::ready,
                     [&](quint16 port) { listenerPort = port; });
    listener->start();
    runEventsFor(std::chrono::milliseconds(50));

    // The tablet's QUIC client and its UDP receiver.
    QuicUdpDriver client(std::move(QuicClientEngine::create()).value());
    client.bind(QHostAddress::LocalHost, 0, nullptr);
    std::size_t quicReceived = 0;
    client.onEvent = [&](const QuicEvent& event) {
        quicReceived += std::holds_alternative<QuicDatagramReceived>(event) ? 1U : 0U;
    };
    QuicConnectOptions options;
    options.local = client.localEndpointFor(QHostAddress::LocalHost);
    options.remote = QuicUdpDriver::toEndpoint(QHostAddress::LocalHost, listenerPort);
    options.alpn = "velurio-video";
    options.maxDatagramFrameSize = 1450;
    auto* engine = static_cast<QuicClientEngine*>(&client.engine());
    if (!engine->connect(options, QuicUdpDriver::now()).ok()) {
        state.SkipWithError("no QUIC client");
        return;
    }
    client.flush();
    runEventsFor(std::chrono::milliseconds(500));  // handshake and path MTU discovery
    const QHostAddress tabletHost(QHostAddress::LocalHost);
    const quint16 tabletQuicPort = client.localPort();

    QUdpSocket udpSender;
    QUdpSocket udpReceiver;
    udpSender.bind(QHostAddress::LocalHost, 0);
    udpReceiver.bind(QHostAddress::LocalHost, 0);
    std::size_t udpReceived = 0;
    QObject::connect(&udpReceiver, &QUdpSocket::readyRead, [&] {
        while (udpReceiver.hasPendingDatagrams()) {
            udpReceiver.receiveDatagram();
            ++udpReceived;
        }
    });

    H264Encoder::Options encoderOptions;
    encoderOptions.allowHardware = false;
    encoderOptions.threads = 1;
    H264Encoder encoder(encoderOptions);
    std::mutex mutex;
    std::condition_variable done;
    std::vector<Bytes> datagrams;
    std::uint32_t delivered = 0;
    encoder.setOnEncoded(
        [&](std::vector<std::uint8_t> frame, std::uint32_t sequence, std::uint64_t pts, bool key) {
            auto cut = VideoFrameHeader::datagrams(sequence, pts, key, frame, 1200);
            std::lock_guard lock(mutex);
            datagrams = cut.ok() ? std::move(cut).value() : std::vector<Bytes>{};
            delivered = sequence;
            done.notify_all();
        });
    encoder.start(1920, 1080, 30, 5'000'000, H264Encoder::Codec::h264);
    testing::SyntheticScreen screen(testing::SyntheticScreen::Kind::fullMotion, 1920, 1080);

    std::vector<double> udpMs;
    std::vector<double> quicMs;
    std::vector<double> overheadMs;
    std::size_t quicFailed = 0;
    std::size_t framesWithDrops = 0;
    std::size_t sentDatagrams = 0;
    std::uint32_t expected = 0;
    int frame = 0;
    for (auto _ : state) {
        state.PauseTiming();
        PixelBuffer image = screen.pixelBuffer(++frame);
        runEventsFor(std::chrono::milliseconds(25));  // the rest of a 30 fps frame interval
        state.ResumeTiming();
        const auto start = Clock::now();
        encoder.encode(
            std::move(image),
            std::chrono::duration_cast<std::chrono::nanoseconds>(start.time_since_epoch()), false);
        ++expected;
        std::vector<Bytes> toSend;
        {
            std::unique_lock lock(mutex);
            done.wait(lock, [&] { return delivered >= expected; });
            toSend = std::move(datagrams);
        }
        const auto cutAt = Clock::now();
        auto sendUdp = [&] {
            for (const Bytes& d : toSend) {
                udpSender.writeDatagram(reinterpret_cast<const char*>(d.data()),
                                        static_cast<qint64>(d.size()), QHostAddress::LocalHost,
                                        udpReceiver.localPort());
            }
            return Clock::now();
        };
        const std::size_t failedBefore = quicFailed;
        auto sendQuic = [&] {
            for (const Bytes& d : toSend) {
                const QByteArray bytes(reinterpret_cast<const char*>(d.data()),
                                       static_cast<qsizetype>(d.size()));
                quicFailed += listener->sendDatagram(tabletHost, tabletQuicPort, bytes) ? 0U : 1U;
            }
            return Clock::now();
        };
        // Alternate which goes first, so neither always meets a warmer cache; each is timed
        // from the frame's start minus the time the other one took.
        Clock::time_point udpEnd;
        Clock::time_point quicEnd;
        if (frame % 2 == 0) {
            udpEnd = sendUdp();
            const auto quicStart = Clock::now();
            quicEnd = sendQuic() - (quicStart - cutAt);
        } else {
            quicEnd = sendQuic();
            const auto udpStart = Clock::now();
            udpEnd = sendUdp() - (udpStart - cutAt);
        }
        sentDatagrams += toSend.size();
        framesWithDrops += quicFailed > failedBefore ? 1U : 0U;
        const double udp = std::chrono::duration<double, std::milli>(udpEnd - start).count();
        const double quic = std::chrono::duration<double, std::milli>(quicEnd - start).count();
        udpMs.push_back(udp);
        quicMs.push_back(quic);
        overheadMs.push_back(quic - udp);
    }
    runEventsFor(std::chrono::milliseconds(100));
    encoder.invalidate();
    encoder.waitUntilIdle();
    if (!udpMs.empty()) {
        state.counters["udp_p50_ms"] = percentile(udpMs, 50);
        state.counters["udp_p95_ms"] = percentile(udpMs, 95);
        state.counters["quic_p50_ms"] = percentile(quicMs, 50);
        state.counters["quic_p95_ms"] = percentile(quicMs, 95);
        state.counters["quic_extra_p50_ms"] = percentile(overheadMs, 50);
        state.counters["quic_extra_p95_ms"] = percentile(overheadMs, 95);
        state.counters["datagrams_per_frame"] =
            static_cast<double>(sentDatagrams) / static_cast<double>(udpMs.size());
        state.counters["quic_not_sent"] = static_cast<double>(quicFailed);
        state.counters["quic_frames_with_drops"] = static_cast<double>(framesWithDrops);
        state.counters["quic_received"] = static_cast<double>(quicReceived);
        state.counters["udp_received"] = static_cast<double>(udpReceived);
    }
}
BENCHMARK(BM_VideoSendQuicVersusUdp1080p)
    ->Iterations(300)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace velurio
