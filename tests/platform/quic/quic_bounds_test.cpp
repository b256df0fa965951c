// What a shared network can make the server do: anti-amplification under a flood of spoofed
// Initials, Retry and its tokens, connection limits, handshake timeout, stateless resets and
// version negotiation.
#include "quic_test_support.h"

#include <gtest/gtest.h>

#include <ngtcp2/ngtcp2.h>

namespace velurio {
namespace {

using namespace quictest;
using namespace std::chrono_literals;

const QuicEndpoint kServer = endpoint(192, 168, 1, 10, 4433);

// The client's first datagram of `count` fresh connections.
std::vector<std::vector<std::uint8_t>> clientInitials(int count) {
    auto client = makeClient();
    std::vector<std::vector<std::uint8_t>> initials;
    const QuicTime now = QuicTime(1h);
    for (int i = 0; i < count; ++i) {
        QuicConnectOptions options;
        options.local = endpoint(10, 9, 9, 9, static_cast<std::uint16_t>(1000 + i));
        options.remote = kServer;
        options.alpn = "velurio";
        EXPECT_TRUE(client->connect(options, now).ok());
        QuicOutput output = client->takeOutput();
        EXPECT_EQ(output.datagrams.size(), 1U);
        initials.push_back(std::move(output.datagrams.at(0).bytes));
    }
    return initials;
}

TEST(QuicServerBounds, AFloodOfSpoofedInitialsGetsAtMostThreeTimesItsBytesPerAddress) {
    auto server = makeServer();
    const auto initials = clientInitials(1000);
    std::map<std::pair<std::array<std::uint8_t, 16>, std::uint16_t>,
             std::pair<std::uint64_t, std::uint64_t>>
        traffic;
    auto account = [&](const QuicOutput& output) {
        for (const QuicOutgoingDatagram& datagram : output.datagrams) {
            traffic[{datagram.destination.hostKey(), datagram.destination.port()}].first +=
                datagram.bytes.size();
        }
        EXPECT_TRUE(output.events.empty());
    };

    // 1000 Initials in one second, from 1000 addresses that never answer.
    QuicTime now = QuicTime(1h);
    for (std::size_t i = 0; i < initials.size(); ++i) {
        const QuicEndpoint spoofed =
            endpoint(10, static_cast<std::uint8_t>(1 + i / 250), static_cast<std::uint8_t>(i % 250),
                     7, static_cast<std::uint16_t>(2000 + i));
        traffic[{spoofed.hostKey(), spoofed.port()}].second += initials[i].size();
        server->receive(initials[i], kServer, spoofed, now);
        account(server->takeOutput());
        now += 1ms;
    }
    const QuicEngineStats afterFlood = server->stats();
    EXPECT_LE(afterFlood.connections, 8U);  // beyond 8 handshakes in progress, clients get a Retry
    EXPECT_GT(afterFlood.retriesSent, 0U);
    EXPECT_GT(afterFlood.statelessRepliesSuppressed, 0U);

    // Retransmissions until every handshake has timed out.
    const QuicTime end = now + 15s;
    while (const auto deadline = server->nextDeadline()) {
        if (*deadline > end) {
            break;
        }
        now = std::max(now, *deadline);
        server->handleTimeout(now);
        account(server->takeOutput());
    }
    std::uint64_t sentTotal = 0;
    std::uint64_t receivedTotal = 0;
    for (const auto& [address, bytes] : traffic) {
        EXPECT_LE(bytes.first, 3 * bytes.second) << "port " << address.second;
        sentTotal += bytes.first;
        receivedTotal += bytes.second;
    }
    EXPECT_LT(sentTotal, receivedTotal);
    // Retransmissions push against the limit: it is the limit, not the size of one flight, that
    // holds them back.
    double worst = 0;
    for (const auto& [address, bytes] : traffic) {
        worst =
            std::max(worst, static_cast<double>(bytes.first) / static_cast<double>(bytes.second));
    }
    EXPECT_GT(worst, 2.5);
    EXPECT_EQ(server->stats().connections, 0U);
    EXPECT_FALSE(server->nextDeadline().has_value());
}

TEST(QuicServerBounds, AnInitialThatDoesNotDecryptLeavesNoState) {
    auto server = makeServer();
    auto forged = clientInitials(1).at(0);
    forged[forged.size() / 2] ^= 0x01;  // the header stays valid, the packet no longer decrypts
    server->receive(forged, kServer, endpoint(10, 1, 1, 1, 1234), QuicTime(1h));
    EXPECT_TRUE(server->takeOutput().datagrams.empty());
    EXPECT_EQ(server->stats().connections, 0U);
    EXPECT_EQ(server->stats().handshakesFailed, 0U);
    EXPECT_EQ(server->stats().packetsDropped, 1U);
    EXPECT_FALSE(server->nextDeadline().has_value());
}

TEST(QuicServerBounds, RetryProvesTheAddressAndItsTokenOnlyWorksFromThatAddressForTenSeconds) {
    auto config = serverConfig();
    config.retryAboveHandshakes = 0;  // every client must prove its address
    config.statelessSecret = std::array<std::uint8_t, 32>{1, 2, 3};
    auto server = makeServer(config);
    auto client = makeClient();
    Network network(*server, kServer);
    const QuicEndpoint tabletAddress = endpoint(192, 168, 1, 20, 50000);
    const int tablet = network.addClient(*client, tabletAddress);
    std::vector<std::vector<std::uint8_t>> toServer;
    network.filter = [&](const QuicOutgoingDatagram& datagram, bool towardsServer) {
        if (towardsServer) {
            toServer.push_back(datagram.bytes);
        }
        return true;
    };
    ASSERT_TRUE(network.connect(tablet, "velurio").ok());
    ASSERT_TRUE(
        network.runUntil([&] { return has<QuicConnectionEstablished>(network.serverEvents); }));
    EXPECT_EQ(server->stats().retriesSent, 1U);
    ASSERT_GE(toServer.size(), 2U);
    const std::vector<std::uint8_t> initialWithToken = toServer[1];

    // The same Initial at a restarted server (same secret) from another port: refused.
    {
        auto restarted = makeServer(config);
        restarted->receive(initialWithToken, kServer, endpoint(192, 168, 1, 20, 50001),
                           network.now);
        EXPECT_EQ(restarted->stats().invalidTokens, 1U);
        EXPECT_EQ(restarted->stats().connections, 0U);
        EXPECT_EQ(restarted->takeOutput().datagrams.size(), 1U);  // INVALID_TOKEN, no state
    }
    // From the right address it is accepted while the token is fresh, and refused after 10 s.
    {
        auto restarted = makeServer(config);
        restarted->receive(initialWithToken, kServer, tabletAddress, network.now);
        EXPECT_EQ(restarted->stats().invalidTokens, 0U);
        EXPECT_EQ(restarted->stats().connections, 1U);
    }
    {
        auto restarted = makeServer(config);
        restarted->receive(initialWithToken, kServer, tabletAddress, network.now + 11s);
        EXPECT_EQ(restarted->stats().invalidTokens, 1U);
        EXPECT_EQ(restarted->stats().connections, 0U);
    }
}

TEST(QuicServerBounds, ConnectionsBeyondTheTotalOrPerHostLimitAreRefused) {
    auto config = serverConfig();
    config.maxConnections = 2;
    config.maxConnectionsPerHost = 1;
    auto server = makeServer(config);
    auto client = makeClient();
    Network network(*server, kServer);
    const int first = network.addClient(*client, endpoint(192, 168, 1, 20, 50000));
    const int sameHost = network.addClient(*client, endpoint(192, 168, 1, 20, 50001));
    const int otherHost = network.addClient(*client, endpoint(192, 168, 1, 21, 50000));
    const int thirdHost = network.addClient(*client, endpoint(192, 168, 1, 22, 50000));
    // One client engine at four addresses: its events are all in the first one's list.
    auto outcome = [&](QuicConnectionHandle handle) -> std::optional<QuicEvent> {
        for (const QuicEvent& event : network.clientEvents(first)) {
            if (const auto* e = std::get_if<QuicConnectionEstablished>(&event);
                e && e->connection == handle) {
                return event;
            }
            if (const auto* e = std::get_if<QuicConnectionClosed>(&event);
                e && e->connection == handle) {
                return event;
            }
        }
        return std::nullopt;
    };
    auto connectFrom = [&](int index) {
        auto handle = network.connect(index, "velurio");
        EXPECT_TRUE(handle.ok());
        EXPECT_TRUE(network.runUntil([&] { return outcome(*handle).has_value(); }));
        return *outcome(*handle);
    };
    EXPECT_TRUE(std::holds_alternative<QuicConnectionEstablished>(connectFrom(first)));
    const QuicEvent refusedSameHost = connectFrom(sameHost);
    ASSERT_TRUE(std::holds_alternative<QuicConnectionClosed>(refusedSameHost));
    EXPECT_EQ(std::get<QuicConnectionClosed>(refusedSameHost).reason, QuicCloseReason::refused);
    EXPECT_TRUE(std::holds_alternative<QuicConnectionEstablished>(connectFrom(otherHost)));
    const QuicEvent refusedFull = connectFrom(thirdHost);
    ASSERT_TRUE(std::holds_alternative<QuicConnectionClosed>(refusedFull));
    EXPECT_EQ(std::get<QuicConnectionClosed>(refusedFull).reason, QuicCloseReason::refused);
    EXPECT_EQ(server->stats().connectionsRefused, 2U);
    EXPECT_EQ(server->stats().connections, 2U);

    // A closed connection frees its place once its closing period is over.
    server->close(eventsOf<QuicConnectionEstablished>(network.serverEvents)[0].connection, 0, "",
                  network.now);
    network.runFor(3s);
    EXPECT_TRUE(std::holds_alternative<QuicConnectionEstablished>(connectFrom(thirdHost)));
}

TEST(QuicServerBounds, AHandshakeThatStallsIsDroppedAfterTheHandshakeTimeout) {
    auto config = serverConfig();
    config.handshakeTimeout = 4s;
    auto server = makeServer(config);
    auto client = makeClient();
    Network network(*server, kServer);
    const int tablet = network.addClient(*client, endpoint(192, 168, 1, 20, 50000));
    int toServer = 0;
    network.filter = [&](const QuicOutgoingDatagram&, bool towardsServer) {
        return !towardsServer || ++toServer == 1;  // only the client's first datagram arrives
    };
    ASSERT_TRUE(network.connect(tablet, "velurio").ok());
    network.runFor(100ms);
    EXPECT_EQ(server->stats().connections, 1U);
    EXPECT_EQ(server->stats().handshaking, 1U);
    network.runFor(4s);
    EXPECT_EQ(server->stats().connections, 0U);
    EXPECT_TRUE(network.serverEvents.empty());
    EXPECT_EQ(server->stats().handshakesFailed, 1U);
}

// A short-header datagram of `length` bytes for a connection id nobody issued.
std::vector<std::uint8_t> strayShortPacket(std::size_t length, std::uint32_t seed) {
    auto bytes = pattern(length, seed);
    bytes[0] = static_cast<std::uint8_t>(0x40U | (bytes[0] & 0x3fU));
    return bytes;
}

TEST(QuicServerBounds, UnknownConnectionIdsGetARateLimitedStatelessResetSmallerThanThePacket) {
    auto server = makeServer();
    const QuicTime now = QuicTime(1h);
    const QuicEndpoint stranger = endpoint(192, 168, 1, 30, 40000);

    server->receive(strayShortPacket(60, 1), kServer, stranger, now);
    auto output = server->takeOutput();
    ASSERT_EQ(output.datagrams.size(), 1U);
    EXPECT_EQ(output.datagrams[0].destination, stranger);
    EXPECT_EQ(output.datagrams[0].bytes.size(), 43U);
    EXPECT_EQ(output.datagrams[0].bytes[0] & 0xc0U, 0x40U);  // looks like a short-header packet

    server->receive(strayShortPacket(30, 2), kServer, stranger, now);
    output = server->takeOutput();
    ASSERT_EQ(output.datagrams.size(), 1U);
    EXPECT_EQ(output.datagrams[0].bytes.size(), 29U);

    server->receive(strayShortPacket(21, 3), kServer, stranger, now);
    EXPECT_TRUE(
        server->takeOutput().datagrams.empty());  // too small to answer with a smaller reset

    for (std::uint32_t i = 0; i < 500; ++i) {
        server->receive(strayShortPacket(100, 10 + i), kServer, stranger, now);
    }
    const std::size_t answered = server->takeOutput().datagrams.size();
    EXPECT_LE(answered, 100U);
    EXPECT_GE(answered, 90U);
    EXPECT_GE(server->stats().statelessRepliesSuppressed, 400U);
    // The bucket refills with time.
    server->receive(strayShortPacket(100, 9999), kServer, stranger, now + 1s);
    EXPECT_EQ(server->takeOutput().datagrams.size(), 1U);
    EXPECT_EQ(server->stats().connections, 0U);
}

TEST(QuicServerBounds, ARestartedServerResetsTheConnectionsOfItsPredecessor) {
    auto config = serverConfig();
    config.statelessSecret = std::array<std::uint8_t, 32>{9, 9, 9};
    auto server = makeServer(config);
    auto client = makeClient();
    Network network(*server, kServer);
    const int tablet = network.addClient(*client, endpoint(192, 168, 1, 20, 50000));
    auto handle = network.connect(tablet, "velurio");
    ASSERT_TRUE(handle.ok());
    ASSERT_TRUE(network.runUntil(
        [&] { return has<QuicConnectionEstablished>(network.clientEvents(tablet)); }));
    network.runFor(200ms);

    auto restarted = makeServer(config);
    network.replaceServer(*restarted);
    server.reset();
    auto stream = client->openBidiStream(*handle);
    ASSERT_TRUE(stream.ok());
    EXPECT_EQ(client->writeStream(*handle, *stream, pattern(100, 1), false, network.now).status,
              QuicStreamWriteStatus::accepted);
    ASSERT_TRUE(network.runUntil(
        [&] { return has<QuicConnectionClosed>(network.clientEvents(tablet)); }, 3s));
    const auto closed = eventsOf<QuicConnectionClosed>(network.clientEvents(tablet));
    EXPECT_EQ(closed[0].reason, QuicCloseReason::statelessReset);
    EXPECT_EQ(restarted->stats().statelessResetsSent, 1U);
}

TEST(QuicServerBounds, AnUnknownVersionGetsVersionNegotiationOnlyForAFullSizeDatagram) {
    auto server = makeServer();
    const QuicTime now = QuicTime(1h);
    std::vector<std::uint8_t> packet = {0xc0, 0x1a, 0x2a, 0x3a, 0x4a, 8, 1, 2, 3, 4, 5, 6,
                                        7,    8,    8,    9,    9,    9, 9, 9, 9, 9, 9};
    packet.resize(1200, 0);
    server->receive(packet, kServer, endpoint(192, 168, 1, 40, 1234), now);
    auto output = server->takeOutput();
    ASSERT_EQ(output.datagrams.size(), 1U);
    const auto& reply = output.datagrams[0].bytes;
    ASSERT_GE(reply.size(), 5U + 1 + 8 + 1 + 8 + 4);
    EXPECT_EQ(reply[0] & 0x80U, 0x80U);
    EXPECT_EQ((std::vector<std::uint8_t>(reply.begin() + 1, reply.begin() + 5)),
              (std::vector<std::uint8_t>{0, 0, 0, 0}));
    // The client's source id comes back as the destination.
    EXPECT_EQ(reply[5], 8);
    EXPECT_EQ((std::vector<std::uint8_t>(reply.begin() + 6, reply.begin() + 14)),
              (std::vector<std::uint8_t>{9, 9, 9, 9, 9, 9, 9, 9}));

    packet.resize(200);
    server->receive(packet, kServer, endpoint(192, 168, 1, 40, 1234), now);
    EXPECT_TRUE(server->takeOutput().datagrams.empty());
    EXPECT_EQ(server->stats().versionNegotiationsSent, 1U);
}

}  // namespace
}  // namespace velurio
