#include "platform/quic/quic_server_engine.h"

#include "platform/quic/quic_engine_core.h"

#include <gnutls/crypto.h>
#include <ngtcp2/ngtcp2.h>
#include <ngtcp2/ngtcp2_crypto.h>

#include <algorithm>
#include <set>
#include <utility>

namespace velurio {

namespace {

constexpr std::size_t kServerConnectionIdLength = 16;
constexpr std::chrono::seconds kRetryTokenLifetime{10};
// A stateless reset must be smaller than the packet that caused it (so that two endpoints
// cannot reset each other forever) and at least 21 bytes long.
constexpr std::size_t kMinStatelessResetBytes = 21;
constexpr std::size_t kMaxStatelessResetBytes = 43;

}  // namespace

QuicAlpnProfile QuicAlpnProfile::control() {
    return QuicAlpnProfile{"velurio", 1, 0, std::chrono::milliseconds(35'000)};
}

QuicAlpnProfile QuicAlpnProfile::video() {
    return QuicAlpnProfile{"velurio-video", 0, 1450, std::chrono::milliseconds(35'000)};
}

// Answers the datagrams that match no connection: new clients (accepted, sent a Retry or
// refused), packets for forgotten connections (stateless reset) and unknown versions.
class QuicServerEngine::Acceptor final : public QuicAcceptor {
  public:
    Acceptor(QuicEngineCore& core, QuicServerConfig config)
        : m_core(core), m_config(std::move(config)) {}

    void unroutable(std::span<const std::uint8_t> datagram, const ngtcp2_version_cid& header,
                    bool versionNegotiation, const QuicEndpoint& local, const QuicEndpoint& remote,
                    QuicTime now) override;

  private:
    void accept(std::span<const std::uint8_t> datagram, const ngtcp2_pkt_hd& initial,
                const QuicEndpoint& local, const QuicEndpoint& remote, QuicTime now);
    void sendRetry(const ngtcp2_pkt_hd& initial, const QuicEndpoint& local,
                   const QuicEndpoint& remote, QuicTime now);
    void sendStatelessClose(const ngtcp2_pkt_hd& initial, std::uint64_t errorCode,
                            const QuicEndpoint& local, const QuicEndpoint& remote, QuicTime now);
    void sendStatelessReset(const ngtcp2_version_cid& header, std::size_t triggerBytes,
                            const QuicEndpoint& local, const QuicEndpoint& remote, QuicTime now);
    void sendVersionNegotiation(const ngtcp2_version_cid& header, const QuicEndpoint& local,
                                const QuicEndpoint& remote, QuicTime now);
    // One token of the stateless-reply bucket, if any is left.
    bool takeReplyToken(QuicTime now);

    QuicEngineCore& m_core;
    const QuicServerConfig m_config;
    double m_replyTokens = 0;
    std::optional<QuicTime> m_lastRefill;
};

void QuicServerEngine::Acceptor::unroutable(std::span<const std::uint8_t> datagram,
                                            const ngtcp2_version_cid& header,
                                            bool versionNegotiation, const QuicEndpoint& local,
                                            const QuicEndpoint& remote, QuicTime now) {
    QuicEngineStats& counters = m_core.counters();
    if (versionNegotiation) {
        // Only a datagram as large as a client's first one deserves an answer.
        if (datagram.size() >= NGTCP2_MAX_UDP_PAYLOAD_SIZE) {
            sendVersionNegotiation(header, local, remote, now);
        } else {
            ++counters.packetsDropped;
        }
        return;
    }
    if ((datagram[0] & 0x80U) != 0) {
        ngtcp2_pkt_hd initial{};
        if (ngtcp2_accept(&initial, datagram.data(), datagram.size()) != 0) {
            ++counters.packetsDropped;
            return;
        }
        accept(datagram, initial, local, remote, now);
        return;
    }
    if (datagram.size() <= kMinStatelessResetBytes) {
        ++counters.packetsDropped;
        return;
    }
    sendStatelessReset(header, datagram.size(), local, remote, now);
}

void QuicServerEngine::Acceptor::accept(std::span<const std::uint8_t> datagram,
                                        const ngtcp2_pkt_hd& initial, const QuicEndpoint& local,
                                        const QuicEndpoint& remote, QuicTime now) {
    QuicEngineStats& counters = m_core.counters();
    if (m_core.connectionCount() >= m_config.maxConnections ||
        m_core.connectionsFromHost(remote) >= m_config.maxConnectionsPerHost) {
        ++counters.connectionsRefused;
        sendStatelessClose(initial, NGTCP2_CONNECTION_REFUSED, local, remote, now);
        return;
    }

    ngtcp2_cid originalDcid{};
    bool validated = false;
    if (initial.token.len > 0 && initial.token.base[0] == NGTCP2_CRYPTO_TOKEN_MAGIC_RETRY) {
        const ngtcp2_duration lifetime =
            static_cast<ngtcp2_duration>(kRetryTokenLifetime.count()) * NGTCP2_SECONDS;
        if (ngtcp2_crypto_verify_retry_token(
                &originalDcid, initial.token.base, initial.token.len, m_core.secret().data(),
                m_core.secret().size(), initial.version, remote.sockaddrData(),
                remote.sockaddrLength(), &initial.dcid, lifetime, quicTimestamp(now)) != 0) {
            ++counters.invalidTokens;
            sendStatelessClose(initial, NGTCP2_INVALID_TOKEN, local, remote, now);
            return;
        }
        validated = true;
    } else if (m_config.retryAboveHandshakes == 0 ||
               m_core.handshakesInProgress() >= m_config.retryAboveHandshakes) {
        sendRetry(initial, local, remote, now);
        return;
    } else if (initial.dcid.datalen < NGTCP2_MIN_INITIAL_DCIDLEN) {
        // Any other token is ignored; without a Retry token the client's id must be long enough.
        ++counters.packetsDropped;
        return;
    }

    QuicConnection::ServerSetup setup;
    setup.initial = &initial;
    setup.originalDcid = validated ? &originalDcid : nullptr;
    setup.addressValidated = validated;
    setup.scid = m_core.freshConnectionId();
    m_core.statelessResetToken(setup.scid, setup.resetToken.data());
    setup.profiles = &m_config.profiles;
    auto created = QuicConnection::createServer(m_core, m_core.nextHandle(), m_core.tls(),
                                                m_core.limits(), setup, local, remote, now);
    if (!created) {
        m_core.debugLog(created.error());
        ++counters.packetsDropped;
        return;
    }
    QuicConnection& connection = m_core.adopt(std::move(created).value());
    // The client keeps using the id it chose until it hears the server's.
    m_core.route(initial.dcid, connection);
    m_core.route(setup.scid, connection);
    const std::uint64_t sentBefore = counters.datagramsSent;
    connection.read(datagram, local, remote, now);
    // A real Initial is always answered at once. One that did not decrypt (forged, or not
    // meant for us) must not hold a place until the handshake timeout.
    if (counters.datagramsSent == sentBefore &&
        connection.state() == QuicConnection::State::handshaking) {
        connection.abandon();
    }
}

void QuicServerEngine::Acceptor::sendRetry(const ngtcp2_pkt_hd& initial, const QuicEndpoint& local,
                                           const QuicEndpoint& remote, QuicTime now) {
    if (!takeReplyToken(now)) {
        return;
    }
    const ngtcp2_cid retryScid = m_core.freshConnectionId();
    std::array<std::uint8_t, NGTCP2_CRYPTO_MAX_RETRY_TOKENLEN> token{};
    const ngtcp2_ssize tokenLength = ngtcp2_crypto_generate_retry_token(
        token.data(), m_core.secret().data(), m_core.secret().size(), initial.version,
        remote.sockaddrData(), remote.sockaddrLength(), &retryScid, &initial.dcid,
        quicTimestamp(now));
    if (tokenLength < 0) {
        return;
    }
    std::array<std::uint8_t, 256> packet{};
    const ngtcp2_ssize n = ngtcp2_crypto_write_retry(
        packet.data(), packet.size(), initial.version, &initial.scid, &retryScid, &initial.dcid,
        token.data(), static_cast<std::size_t>(tokenLength));
    if (n <= 0) {
        return;
    }
    ++m_core.counters().retriesSent;
    m_core.emitDatagram(local, remote,
                        std::span<const std::uint8_t>(packet.data(), static_cast<std::size_t>(n)));
}

void QuicServerEngine::Acceptor::sendStatelessClose(const ngtcp2_pkt_hd& initial,
                                                    std::uint64_t errorCode,
                                                    const QuicEndpoint& local,
                                                    const QuicEndpoint& remote, QuicTime now) {
    if (!takeReplyToken(now)) {
        return;
    }
    std::array<std::uint8_t, NGTCP2_MAX_UDP_PAYLOAD_SIZE> packet{};
    const ngtcp2_ssize n =
        ngtcp2_crypto_write_connection_close(packet.data(), packet.size(), initial.version,
                                             &initial.scid, &initial.dcid, errorCode, nullptr, 0);
    if (n <= 0) {
        return;
    }
    m_core.emitDatagram(local, remote,
                        std::span<const std::uint8_t>(packet.data(), static_cast<std::size_t>(n)));
}

void QuicServerEngine::Acceptor::sendStatelessReset(const ngtcp2_version_cid& header,
                                                    std::size_t triggerBytes,
                                                    const QuicEndpoint& local,
                                                    const QuicEndpoint& remote, QuicTime now) {
    if (!takeReplyToken(now)) {
        return;
    }
    ngtcp2_cid cid{};
    ngtcp2_cid_init(&cid, header.dcid, header.dcidlen);
    std::array<std::uint8_t, NGTCP2_STATELESS_RESET_TOKENLEN> token{};
    m_core.statelessResetToken(cid, token.data());
    const std::size_t length = std::min(triggerBytes - 1, kMaxStatelessResetBytes);
    std::array<std::uint8_t, kMaxStatelessResetBytes> random{};
    const std::size_t randomLength = length - NGTCP2_STATELESS_RESET_TOKENLEN;
    (void)gnutls_rnd(GNUTLS_RND_NONCE, random.data(), randomLength);
    std::array<std::uint8_t, kMaxStatelessResetBytes> packet{};
    const ngtcp2_ssize n = ngtcp2_pkt_write_stateless_reset(packet.data(), length, token.data(),
                                                            random.data(), randomLength);
    if (n <= 0) {
        return;
    }
    ++m_core.counters().statelessResetsSent;
    m_core.emitDatagram(local, remote,
                        std::span<const std::uint8_t>(packet.data(), static_cast<std::size_t>(n)));
}

void QuicServerEngine::Acceptor::sendVersionNegotiation(const ngtcp2_version_cid& header,
                                                        const QuicEndpoint& local,
                                                        const QuicEndpoint& remote, QuicTime now) {
    if (!takeReplyToken(now)) {
        return;
    }
    std::uint8_t unused = 0;
    (void)gnutls_rnd(GNUTLS_RND_NONCE, &unused, 1);
    const std::uint32_t versions[] = {NGTCP2_PROTO_VER_V1};
    std::array<std::uint8_t, 600> packet{};
    const ngtcp2_ssize n = ngtcp2_pkt_write_version_negotiation(
        packet.data(), packet.size(), unused, header.scid, header.scidlen, header.dcid,
        header.dcidlen, versions, std::size(versions));
    if (n <= 0) {
        return;
    }
    ++m_core.counters().versionNegotiationsSent;
    m_core.emitDatagram(local, remote,
                        std::span<const std::uint8_t>(packet.data(), static_cast<std::size_t>(n)));
}

bool QuicServerEngine::Acceptor::takeReplyToken(QuicTime now) {
    const double rate = m_config.statelessRepliesPerSecond;
    if (!m_lastRefill) {
        m_replyTokens = rate;
        m_lastRefill = now;
    } else if (now > *m_lastRefill) {
        const double seconds = std::chrono::duration<double>(now - *m_lastRefill).count();
        m_replyTokens = std::min(rate, m_replyTokens + seconds * rate);
        m_lastRefill = now;
    }
    if (m_replyTokens < 1.0) {
        ++m_core.counters().statelessRepliesSuppressed;
        return false;
    }
    m_replyTokens -= 1.0;
    return true;
}

QuicServerEngine::QuicServerEngine(std::unique_ptr<QuicEngineCore> core)
    : QuicEngine(std::move(core)) {}

QuicServerEngine::~QuicServerEngine() {
    core().setAcceptor(nullptr);
}

Result<std::unique_ptr<QuicServerEngine>, std::string> QuicServerEngine::create(
    QuicServerConfig config) {
    if (config.profiles.empty()) {
        return fail(std::string("no ALPN profile"));
    }
    std::vector<std::string> alpns;
    std::set<std::string> seen;
    for (const QuicAlpnProfile& profile : config.profiles) {
        if (!seen.insert(profile.alpn).second) {
            return fail("ALPN \"" + profile.alpn + "\" listed twice");
        }
        alpns.push_back(profile.alpn);
    }
    auto tls = QuicTlsContext::forServer(config.certificatePem, config.privateKeyPem, alpns);
    if (!tls) {
        return fail(tls.error());
    }
    QuicEngineCore::Secret secret{};
    if (config.statelessSecret) {
        secret = *config.statelessSecret;
    } else if (gnutls_rnd(GNUTLS_RND_KEY, secret.data(), secret.size()) != 0) {
        return fail(std::string("no random bytes for the stateless secret"));
    }
    const QuicConnectionLimits limits{config.streamSendBufferBytes, config.streamReceiveWindowBytes,
                                      config.connectionReceiveWindowBytes, config.handshakeTimeout,
                                      config.initialRtt};
    auto core = std::make_unique<QuicEngineCore>(
        std::move(tls).value(), limits, kServerConnectionIdLength, secret, config.debugLog);
    std::unique_ptr<QuicServerEngine> engine(new QuicServerEngine(std::move(core)));
    engine->m_acceptor = std::make_unique<Acceptor>(engine->core(), std::move(config));
    engine->core().setAcceptor(engine->m_acceptor.get());
    return engine;
}

}  // namespace velurio
