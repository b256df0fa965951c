// Arbitrary datagrams into a fresh QUIC server engine, from a handful of addresses, with time
// passing between them. Nothing may crash, and whatever the bytes, the server never sends an
// address more than three times the bytes it received from it (no address can be validated
// without a real client), nor reports an established connection.
//
// Input: records of [flags][length, 2 bytes big-endian][datagram]. Flags bits 0-2 pick the
// sender (8 addresses), bits 4-7 advance the clock by that many 250 ms steps first (timers
// fire). Bytes left that do not form a record are one last datagram.
#include "core/self_signed_certificate.h"
#include "platform/quic/quic_server_engine.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <utility>
#include <variant>

namespace {

using namespace velurio;

struct Identity {
    std::string certificatePem;
    std::string privateKeyPem;
};

const Identity& identity() {
    static const Identity made = [] {
        auto keys = SelfSignedCertificate::generateKeyPair();
        if (!keys) {
            std::abort();
        }
        auto certificate = SelfSignedCertificate::certificate(
            "Velurio fuzz", keys->publicKey, keys->privateKey, 1, std::chrono::system_clock::now(),
            SelfSignedCertificate::kLifetime);
        if (!certificate) {
            std::abort();
        }
        return Identity{certificate->pem(), keys->privateKey.pem()};
    }();
    return made;
}

std::unique_ptr<QuicServerEngine> makeServer() {
    QuicServerConfig config;
    config.certificatePem = identity().certificatePem;
    config.privateKeyPem = identity().privateKeyPem;
    config.profiles = {QuicAlpnProfile::control(), QuicAlpnProfile::video()};
    config.maxConnections = 4;
    config.maxConnectionsPerHost = 2;
    config.retryAboveHandshakes = 3;
    config.statelessSecret = std::array<std::uint8_t, 32>{42};
    auto server = QuicServerEngine::create(std::move(config));
    if (!server) {
        std::abort();
    }
    return std::move(server).value();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const QuicEndpoint kLocal = QuicEndpoint::ipv4({192, 168, 1, 10}, 4433);
    static const std::array<QuicEndpoint, 8> kSenders = {
        QuicEndpoint::ipv4({192, 168, 1, 20}, 50000),
        QuicEndpoint::ipv4({192, 168, 1, 20}, 50001),
        QuicEndpoint::ipv4({192, 168, 1, 21}, 50000),
        QuicEndpoint::ipv4({10, 0, 0, 1}, 1),
        QuicEndpoint::ipv6({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 443),
        QuicEndpoint::ipv6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 168, 1, 22}, 50000),
        QuicEndpoint::ipv4({127, 0, 0, 1}, 65535),
        QuicEndpoint::ipv4({0, 0, 0, 0}, 0),
    };
    if (data == nullptr) {
        return 0;
    }
    auto server = makeServer();
    QuicTime now = QuicTime(std::chrono::hours(1));
    std::map<std::pair<std::array<std::uint8_t, 16>, std::uint16_t>,
             std::pair<std::uint64_t, std::uint64_t>>
        traffic;

    auto drain = [&] {
        QuicOutput output = server->takeOutput();
        for (const QuicOutgoingDatagram& datagram : output.datagrams) {
            auto& counts = traffic[{datagram.destination.hostKey(), datagram.destination.port()}];
            counts.first += datagram.bytes.size();
            if (counts.first > 3 * counts.second || datagram.bytes.size() > 1452 ||
                !(datagram.source == kLocal)) {
                std::abort();
            }
        }
        for (const QuicEvent& event : output.events) {
            if (std::holds_alternative<QuicConnectionEstablished>(event)) {
                std::abort();
            }
        }
    };
    auto deliver = [&](std::uint8_t flags, const std::uint8_t* bytes, std::size_t length) {
        const QuicEndpoint& sender = kSenders[flags & 7U];
        if (const unsigned steps = flags >> 4; steps > 0) {
            now += steps * std::chrono::milliseconds(250);
            server->handleTimeout(now);
            drain();
        }
        traffic[{sender.hostKey(), sender.port()}].second += length;
        server->receive(std::span(bytes, length), kLocal, sender, now);
        drain();
    };

    std::size_t offset = 0;
    while (offset + 3 <= size) {
        const std::uint8_t flags = data[offset];
        const std::size_t length =
            static_cast<std::size_t>(data[offset + 1]) << 8 | data[offset + 2];
        if (offset + 3 + length > size) {
            break;
        }
        deliver(flags, data + offset + 3, length);
        offset += 3 + length;
    }
    if (offset < size) {
        deliver(0, data + offset, size - offset);
    }
    // Let every timer run out: retransmissions stay within the limit, and everything is forgotten.
    for (int i = 0; i < 1000; ++i) {
        const auto deadline = server->nextDeadline();
        if (!deadline) {
            break;
        }
        now = std::max(now, *deadline);
        server->handleTimeout(now);
        drain();
    }
    if (server->nextDeadline().has_value() || server->stats().connections != 0) {
        std::abort();
    }
    return 0;
}
