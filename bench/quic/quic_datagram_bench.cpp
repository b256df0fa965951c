// What one 1080p video frame costs the QUIC engine: 40 to 60 datagrams of 1220-1400 bytes sent
// through an established "velurio-video" connection (encryption and packet building on the
// server, decryption on the client), engine only, in memory, to set beside plain UDP. Between
// frames the client's acknowledgements reach the server and the fake clock moves one 60 Hz frame
// on, so the congestion window stays open as it would on a quiet LAN. Run:
//   build/release/src/platform/quic/velurio_quic_bench
#include "quic_test_support.h"

#include <benchmark/benchmark.h>

namespace velurio {
namespace {

using namespace quictest;
using namespace std::chrono_literals;

const QuicEndpoint kServer = endpoint(192, 168, 1, 10, 4433);
const QuicEndpoint kTablet = endpoint(192, 168, 1, 20, 50000);

// A server and a client engine joined back to back, no latency, no loss.
class Link {
  public:
    Link() : server(makeServer()), client(makeClient()) {
        QuicConnectOptions options;
        options.local = kTablet;
        options.remote = kServer;
        options.alpn = "velurio-video";
        options.maxDatagramFrameSize = 1450;
        clientConnection = client->connect(options, now).value();
        // Handshake, then path MTU discovery until ~1400-byte payloads fit.
        for (int i = 0; i < 200 && (serverConnection == 0 ||
                                    server->maxDatagramPayload(serverConnection) < 1400);
             ++i) {
            exchange();
            now += 5ms;
            server->handleTimeout(now);
            client->handleTimeout(now);
        }
        if (server->maxDatagramPayload(serverConnection) < 1400) {
            throw std::runtime_error("path MTU discovery did not finish");
        }
    }

    // Delivers everything both engines have to say until neither says more.
    void exchange() {
        while (true) {
            QuicOutput toClient = server->takeOutput();
            for (const auto& event : toClient.events) {
                if (const auto* established = std::get_if<QuicConnectionEstablished>(&event)) {
                    serverConnection = established->connection;
                }
            }
            deliver(*client, toClient, kTablet, kServer);
            QuicOutput toServer = client->takeOutput();
            deliver(*server, toServer, kServer, kTablet);
            if (toClient.datagrams.empty() && toServer.datagrams.empty()) {
                return;
            }
        }
    }

    void deliver(QuicEngine& engine, const QuicOutput& output, const QuicEndpoint& local,
                 const QuicEndpoint& remote) {
        for (const QuicOutgoingDatagram& datagram : output.datagrams) {
            engine.receive(datagram.bytes, local, remote, now);
        }
    }

    // The next frame time: acknowledgements flow, timers fire.
    void nextFrame() {
        exchange();
        now += 16ms;
        server->handleTimeout(now);
        client->handleTimeout(now);
        exchange();
    }

    QuicTime now = QuicTime(1h);
    std::unique_ptr<QuicServerEngine> server;
    std::unique_ptr<QuicClientEngine> client;
    QuicConnectionHandle clientConnection = 0;
    QuicConnectionHandle serverConnection = 0;
};

std::vector<std::vector<std::uint8_t>> frameDatagrams(std::size_t count, std::size_t size) {
    std::vector<std::vector<std::uint8_t>> datagrams;
    for (std::size_t i = 0; i < count; ++i) {
        datagrams.push_back(pattern(size, static_cast<std::uint32_t>(i)));
    }
    return datagrams;
}

// Server side: sendDatagram() for every datagram of a frame, and taking the packets out.
void quicSendFrame(benchmark::State& state) {
    Link link;
    const auto datagrams = frameDatagrams(static_cast<std::size_t>(state.range(0)),
                                          static_cast<std::size_t>(state.range(1)));
    std::int64_t sent = 0;
    std::int64_t dropped = 0;
    for (auto _ : state) {
        for (const auto& datagram : datagrams) {
            const QuicDatagramResult result =
                link.server->sendDatagram(link.serverConnection, datagram, link.now);
            (result == QuicDatagramResult::sent ? sent : dropped) += 1;
        }
        QuicOutput output = link.server->takeOutput();
        benchmark::DoNotOptimize(output);
        state.PauseTiming();
        link.deliver(*link.client, output, kTablet, kServer);
        link.nextFrame();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0) * state.range(1));
    state.counters["dropped_per_frame"] =
        benchmark::Counter(static_cast<double>(dropped), benchmark::Counter::kAvgIterations);
    state.counters["sent_per_frame"] =
        benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kAvgIterations);
}
BENCHMARK(quicSendFrame)->Args({40, 1400})->Args({50, 1220})->Unit(benchmark::kMicrosecond);

// Client side: receiving and decrypting a frame's packets.
void quicReceiveFrame(benchmark::State& state) {
    Link link;
    const auto datagrams = frameDatagrams(static_cast<std::size_t>(state.range(0)),
                                          static_cast<std::size_t>(state.range(1)));
    std::int64_t received = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (const auto& datagram : datagrams) {
            (void)link.server->sendDatagram(link.serverConnection, datagram, link.now);
        }
        const QuicOutput frame = link.server->takeOutput();
        state.ResumeTiming();
        link.deliver(*link.client, frame, kTablet, kServer);
        QuicOutput output = link.client->takeOutput();
        benchmark::DoNotOptimize(output);
        state.PauseTiming();
        for (const auto& event : output.events) {
            received += std::holds_alternative<QuicDatagramReceived>(event) ? 1 : 0;
        }
        link.deliver(*link.server, output, kServer, kTablet);
        link.nextFrame();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0) * state.range(1));
    state.counters["received_per_frame"] =
        benchmark::Counter(static_cast<double>(received), benchmark::Counter::kAvgIterations);
}
BENCHMARK(quicReceiveFrame)->Args({40, 1400})->Args({50, 1220})->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace velurio
