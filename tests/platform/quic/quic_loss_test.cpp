// The engines over a lossy, reordering network: handshakes survive heavy loss, and stream bytes
// arrive intact and in order.
#include "quic_test_support.h"

#include <gtest/gtest.h>

namespace velurio {
namespace {

using namespace quictest;
using namespace std::chrono_literals;

TEST(QuicLoss, HandshakesCompleteWhenAThirdOfTheirPacketsAreLost) {
    for (std::uint32_t seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE(seed);
        auto server = makeServer();
        auto client = makeClient();
        Network network(*server, endpoint(192, 168, 1, 10, 4433), seed);
        network.conditions.latency = 2ms;
        network.conditions.lossToServer = 0.3;
        network.conditions.lossToClients = 0.3;
        const int tablet = network.addClient(*client, endpoint(192, 168, 1, 20, 50000));
        const std::string alpn = seed % 2 == 0 ? "velurio" : "velurio-video";
        ASSERT_TRUE(network.connect(tablet, alpn, seed % 2 == 0 ? 0 : 1450).ok());
        ASSERT_TRUE(network.runUntil(
            [&] {
                return has<QuicConnectionEstablished>(network.serverEvents) &&
                       has<QuicConnectionEstablished>(network.clientEvents(tablet));
            },
            9s));
        EXPECT_FALSE(has<QuicConnectionClosed>(network.clientEvents(tablet)));
    }
}

TEST(QuicLoss, StreamBytesSurviveLossAndReorderingInOrder) {
    for (std::uint32_t seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE(seed);
        auto server = makeServer();
        auto client = makeClient();
        Network network(*server, endpoint(192, 168, 1, 10, 4433), seed);
        network.conditions.latency = 1ms;
        network.conditions.jitter = 3ms;  // later packets often overtake earlier ones
        network.conditions.lossToServer = 0.02;
        network.conditions.lossToClients = 0.02;
        const int tablet = network.addClient(*client, endpoint(192, 168, 1, 20, 50000));
        auto handle = network.connect(tablet, "velurio");
        ASSERT_TRUE(handle.ok());
        ASSERT_TRUE(
            network.runUntil([&] { return has<QuicConnectionEstablished>(network.serverEvents); }));
        const QuicConnectionHandle serverConnection =
            eventsOf<QuicConnectionEstablished>(network.serverEvents)[0].connection;
        auto stream = client->openBidiStream(*handle);
        ASSERT_TRUE(stream.ok());

        const auto upload = pattern(600'000, seed);
        const auto download = pattern(600'000, seed + 100);
        std::size_t uploaded = 0;
        std::size_t downloaded = 0;
        bool opened = false;
        const bool done = network.runUntil(
            [&] {
                // Keep both send buffers full: the client from the start, the server once the
                // stream is open.
                if (uploaded < upload.size()) {
                    uploaded +=
                        client
                            ->writeStream(*handle, *stream, std::span(upload).subspan(uploaded),
                                          true, network.now)
                            .acceptedBytes;
                }
                opened = opened || has<QuicStreamOpened>(network.serverEvents);
                if (opened && downloaded < download.size()) {
                    downloaded += server
                                      ->writeStream(serverConnection, *stream,
                                                    std::span(download).subspan(downloaded), true,
                                                    network.now)
                                      .acceptedBytes;
                }
                network.collect();
                return streamFinished(network.serverEvents, serverConnection, *stream) &&
                       streamFinished(network.clientEvents(tablet), *handle, *stream);
            },
            60s);
        ASSERT_TRUE(done);
        EXPECT_EQ(streamBytes(network.serverEvents, serverConnection, *stream), upload);
        EXPECT_EQ(streamBytes(network.clientEvents(tablet), *handle, *stream), download);
    }
}

}  // namespace
}  // namespace velurio
