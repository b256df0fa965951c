// Test support for the QUIC engines: a certificate like the host's own (self-signed P-256), and
// an in-memory network that carries the engines' datagrams between them on a fake clock, with
// optional latency, jitter (reordering) and loss.
//
// Threads: one test thread. Lifetime: the network refers to engines the test owns.
#pragma once

#include "core/self_signed_certificate.h"
#include "platform/quic/quic_client_engine.h"
#include "platform/quic/quic_server_engine.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace velurio::quictest {

struct TestIdentity {
    std::string certificatePem;
    std::string privateKeyPem;
};

// The same kind of identity the host presents: a P-256 key and a self-signed certificate.
inline const TestIdentity& identity() {
    static const TestIdentity made = [] {
        auto keys = SelfSignedCertificate::generateKeyPair();
        if (!keys) {
            throw std::runtime_error("key generation failed");
        }
        auto certificate = SelfSignedCertificate::certificate(
            "Velurio test", keys->publicKey, keys->privateKey, 1,
            std::chrono::system_clock::now() - std::chrono::hours(1),
            SelfSignedCertificate::kLifetime);
        if (!certificate) {
            throw std::runtime_error("certificate failed");
        }
        return TestIdentity{certificate->pem(), keys->privateKey.pem()};
    }();
    return made;
}

inline QuicServerConfig serverConfig(std::vector<QuicAlpnProfile> profiles = {
                                         QuicAlpnProfile::control(), QuicAlpnProfile::video()}) {
    QuicServerConfig config;
    config.certificatePem = identity().certificatePem;
    config.privateKeyPem = identity().privateKeyPem;
    config.profiles = std::move(profiles);
    config.initialRtt = std::chrono::milliseconds(10);
    return config;
}

inline std::unique_ptr<QuicServerEngine> makeServer(QuicServerConfig config = serverConfig()) {
    auto server = QuicServerEngine::create(std::move(config));
    if (!server) {
        throw std::runtime_error(server.error());
    }
    return std::move(server).value();
}

inline std::unique_ptr<QuicClientEngine> makeClient(QuicClientConfig config = {}) {
    config.initialRtt = std::chrono::milliseconds(10);
    auto client = QuicClientEngine::create(std::move(config));
    if (!client) {
        throw std::runtime_error(client.error());
    }
    return std::move(client).value();
}

inline QuicEndpoint endpoint(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d,
                             std::uint16_t port) {
    return QuicEndpoint::ipv4({a, b, c, d}, port);
}

inline std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

// Deterministic bytes to compare streams with.
inline std::vector<std::uint8_t> pattern(std::size_t length, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(length);
    std::uint32_t x = seed * 2654435761U + 1;
    for (auto& byte : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<std::uint8_t>(x);
    }
    return bytes;
}

// Moves datagrams between one server engine and client engines, each engine at its own
// address, in order of delivery time. Datagrams to an address nobody has are counted and lost.
class Network {
  public:
    struct Conditions {
        std::chrono::microseconds latency{500};
        std::chrono::microseconds jitter{0};  // uniform extra delay: reorders packets
        double lossToServer = 0.0;
        double lossToClients = 0.0;
    };

    Network(QuicServerEngine& server, QuicEndpoint serverAddress, std::uint32_t seed = 1)
        : m_server(&server), m_serverAddress(serverAddress), m_random(seed) {}

    // Another server engine at the same address (a restarted listener).
    void replaceServer(QuicServerEngine& server) { m_server = &server; }

    QuicTime now = QuicTime(std::chrono::hours(1));
    Conditions conditions;
    // Called for every datagram an engine emits, before loss; return false to drop it.
    std::function<bool(const QuicOutgoingDatagram&, bool toServer)> filter;

    std::vector<QuicEvent> serverEvents;

    // One engine may sit at several addresses: its events then all go to the first of them.
    int addClient(QuicClientEngine& engine, QuicEndpoint address) {
        m_clients.push_back(Client{&engine, address, {}});
        return static_cast<int>(m_clients.size()) - 1;
    }
    std::vector<QuicEvent>& clientEvents(int client) {
        return m_clients.at(static_cast<std::size_t>(client)).events;
    }
    const QuicEndpoint& serverAddress() const { return m_serverAddress; }

    Result<QuicConnectionHandle, std::string> connect(
        int client, const std::string& alpn, std::uint64_t maxDatagramFrameSize = 0,
        std::chrono::milliseconds idleTimeout = std::chrono::seconds(35)) {
        Client& c = m_clients.at(static_cast<std::size_t>(client));
        QuicConnectOptions options;
        options.local = c.address;
        options.remote = m_serverAddress;
        options.alpn = alpn;
        options.maxDatagramFrameSize = maxDatagramFrameSize;
        options.idleTimeout = idleTimeout;
        auto handle = c.engine->connect(options, now);
        collect();
        return handle;
    }

    // Takes every engine's output: events are kept, datagrams are put on the wire.
    void collect() {
        take(*m_server, true, serverEvents);
        for (Client& c : m_clients) {
            take(*c.engine, false, c.events);
        }
    }

    // Delivers the next datagram or fires the next timer, whichever comes first. False when
    // nothing is left to do before `limit`.
    bool step(QuicTime limit) {
        collect();
        std::optional<QuicTime> next;
        if (!m_inFlight.empty()) {
            next = m_inFlight.begin()->first.first;
        }
        auto consider = [&](const QuicEngine& engine) {
            const auto deadline = engine.nextDeadline();
            if (deadline && (!next || *deadline < *next)) {
                next = deadline;
            }
        };
        consider(*m_server);
        for (const Client& c : m_clients) {
            consider(*c.engine);
        }
        if (!next || *next > limit) {
            return false;
        }
        now = std::max(now, *next);
        if (!m_inFlight.empty() && m_inFlight.begin()->first.first <= now) {
            auto node = m_inFlight.extract(m_inFlight.begin());
            deliver(node.mapped());
        } else {
            m_server->handleTimeout(now);
            for (Client& c : m_clients) {
                c.engine->handleTimeout(now);
            }
        }
        collect();
        return true;
    }

    // Steps until `done` holds (true) or `within` of fake time passes (false).
    bool runUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds within = std::chrono::seconds(5)) {
        const QuicTime limit = now + within;
        while (!done()) {
            if (!step(limit)) {
                now = std::max(now, limit);
                return done();
            }
        }
        return true;
    }

    // Steps until fake time reaches now + `duration`.
    void runFor(std::chrono::milliseconds duration) {
        const QuicTime limit = now + duration;
        while (step(limit)) {
        }
        now = std::max(now, limit);
        m_server->handleTimeout(now);
        for (Client& c : m_clients) {
            c.engine->handleTimeout(now);
        }
        collect();
    }

    // Bytes the server sent to and received from each address.
    std::map<std::pair<std::array<std::uint8_t, 16>, std::uint16_t>,
             std::pair<std::uint64_t, std::uint64_t>>
        serverTraffic;
    std::uint64_t lostToUnknownAddress = 0;

  private:
    struct Client {
        QuicClientEngine* engine;
        QuicEndpoint address;
        std::vector<QuicEvent> events;
    };
    struct InFlight {
        QuicEndpoint from;
        QuicEndpoint to;
        std::vector<std::uint8_t> bytes;
    };

    void take(QuicEngine& engine, bool isServer, std::vector<QuicEvent>& events) {
        QuicOutput output = engine.takeOutput();
        for (QuicEvent& event : output.events) {
            events.push_back(std::move(event));
        }
        for (QuicOutgoingDatagram& datagram : output.datagrams) {
            const bool toServer = !isServer;
            if (isServer) {
                serverTraffic[{datagram.destination.hostKey(), datagram.destination.port()}]
                    .first += datagram.bytes.size();
            }
            if (filter && !filter(datagram, toServer)) {
                continue;
            }
            const double loss = toServer ? conditions.lossToServer : conditions.lossToClients;
            if (loss > 0 && std::uniform_real_distribution<double>(0, 1)(m_random) < loss) {
                continue;
            }
            auto delay = conditions.latency;
            if (conditions.jitter.count() > 0) {
                delay += std::chrono::microseconds(std::uniform_int_distribution<std::int64_t>(
                    0, conditions.jitter.count())(m_random));
            }
            m_inFlight.emplace(
                std::make_pair(now + delay, m_sequence++),
                InFlight{datagram.source, datagram.destination, std::move(datagram.bytes)});
        }
    }

    void deliver(const InFlight& packet) {
        if (packet.to == m_serverAddress) {
            serverTraffic[{packet.from.hostKey(), packet.from.port()}].second +=
                packet.bytes.size();
            m_server->receive(packet.bytes, m_serverAddress, packet.from, now);
            return;
        }
        for (Client& c : m_clients) {
            if (c.address == packet.to) {
                c.engine->receive(packet.bytes, c.address, packet.from, now);
                return;
            }
        }
        ++lostToUnknownAddress;
    }

    QuicServerEngine* m_server;
    QuicEndpoint m_serverAddress;
    std::mt19937 m_random;
    std::vector<Client> m_clients;
    std::uint64_t m_sequence = 0;
    std::multimap<std::pair<QuicTime, std::uint64_t>, InFlight> m_inFlight;
};

// The events of one type, in order.
template <class T>
std::vector<T> eventsOf(const std::vector<QuicEvent>& events) {
    std::vector<T> found;
    for (const QuicEvent& event : events) {
        if (const T* e = std::get_if<T>(&event)) {
            found.push_back(*e);
        }
    }
    return found;
}

template <class T>
bool has(const std::vector<QuicEvent>& events) {
    return std::any_of(events.begin(), events.end(),
                       [](const QuicEvent& event) { return std::holds_alternative<T>(event); });
}

// Whether the peer finished the stream (cheap enough to poll after every step).
inline bool streamFinished(const std::vector<QuicEvent>& events, QuicConnectionHandle connection,
                           std::int64_t streamId) {
    return std::any_of(events.begin(), events.end(), [&](const QuicEvent& event) {
        const auto* data = std::get_if<QuicStreamData>(&event);
        return data != nullptr && data->connection == connection && data->streamId == streamId &&
               data->fin;
    });
}

// All stream bytes received on a connection's stream, concatenated.
inline std::vector<std::uint8_t> streamBytes(const std::vector<QuicEvent>& events,
                                             QuicConnectionHandle connection, std::int64_t streamId,
                                             bool* fin = nullptr) {
    std::vector<std::uint8_t> bytes;
    for (const QuicStreamData& data : eventsOf<QuicStreamData>(events)) {
        if (data.connection == connection && data.streamId == streamId) {
            bytes.insert(bytes.end(), data.bytes.begin(), data.bytes.end());
            if (fin != nullptr && data.fin) {
                *fin = true;
            }
        }
    }
    return bytes;
}

}  // namespace velurio::quictest
