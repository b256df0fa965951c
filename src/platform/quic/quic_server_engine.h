// The QUIC server engine: accepts connections for a list of ALPN profiles on one UDP socket.
// See quic_engine.h for how an engine is driven.
//
// Each profile sets what a client negotiating that ALPN may do: how many bidirectional streams
// it may open (the limit is final: the server never raises it, so with 1 the client has exactly
// one stream for the connection's life), whether it may exchange datagrams, and the idle
// timeout. A client offering no ALPN of the list gets a TLS no_application_protocol alert
// (CONNECTION_CLOSE 0x178) and the handshake ends.
//
// Bounds on a shared network:
// - before the client's address is validated the server sends at most three times the bytes
//   it received from it (ngtcp2's anti-amplification limit);
// - once `retryAboveHandshakes` handshakes are in progress, each new client first gets
//   a Retry whose token proves its address (stateless; the token is bound to the address and
//   port and lasts 10 s); a bad token is answered with INVALID_TOKEN and no state;
// - at most `maxConnections` connections, `maxConnectionsPerHost` from one IP address (both
//   counting connections still closing); an Initial beyond them gets CONNECTION_REFUSED and no
//   state;
// - connection ids: 16 bytes, at most 8 per connection (ngtcp2's pool), and the client may give
//   the server 2 of its own (active_connection_id_limit), so routing state is bounded by the
//   connection limit;
// - a handshake that has not finished after `handshakeTimeout` is dropped;
// - a client may move to another port of its address (NAT rebinding), not to another address;
// - a short-header packet for an unknown connection id (a connection this server forgot) gets a
//   stateless reset, smaller than the packet, if it is at least 22 bytes long;
// - stateless replies (Retry, refusals, resets, version negotiation) share a token bucket of
//   `statelessRepliesPerSecond`; beyond it packets are dropped unanswered.
//
// Threads and lifetime: see quic_engine.h. The configuration is copied at creation.
#pragma once

#include "platform/quic/quic_engine.h"
#include "protocol/result.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velurio {

struct QuicAlpnProfile {
    std::string alpn;
    std::uint64_t maxClientBidiStreams = 0;
    std::uint64_t maxDatagramFrameSize = 0;  // 0: no datagrams
    std::chrono::milliseconds idleTimeout{35'000};

    // "velurio": one bidirectional stream from the client, no datagrams, idle timeout 35 s.
    static QuicAlpnProfile control();
    // "velurio-video": no streams, datagram frames of up to 1450 bytes, idle timeout 35 s.
    static QuicAlpnProfile video();
};

struct QuicServerConfig {
    std::string certificatePem;
    std::string privateKeyPem;              // PKCS#8 or SEC 1 PEM, matching the certificate
    std::vector<QuicAlpnProfile> profiles;  // in the server's order of preference

    std::size_t maxConnections = 64;
    std::size_t maxConnectionsPerHost = 8;
    std::size_t retryAboveHandshakes = 8;  // 0: every new client must prove its address
    std::chrono::milliseconds handshakeTimeout{10'000};
    double statelessRepliesPerSecond = 100.0;  // also the burst size

    std::size_t streamSendBufferBytes = 1024 * 1024;
    std::uint64_t streamReceiveWindowBytes = 256 * 1024;
    std::uint64_t connectionReceiveWindowBytes = 1024 * 1024;
    // First round-trip estimate before any sample (ngtcp2's default is 333 ms).
    std::chrono::milliseconds initialRtt{100};

    // Key of the stateless reset and Retry tokens. Random when empty; a listener that is
    // restarted with the same secret can still reset its old connections.
    std::optional<std::array<std::uint8_t, 32>> statelessSecret;
    // ngtcp2's packet-level debug log, one line per call; off when empty.
    std::function<void(std::string_view)> debugLog;
};

class QuicServerEngine final : public QuicEngine {
  public:
    // Fails with a description when the certificate or key cannot be loaded, the profile list
    // is empty or names an ALPN twice or invalidly.
    static Result<std::unique_ptr<QuicServerEngine>, std::string> create(QuicServerConfig config);
    ~QuicServerEngine() override;

  private:
    class Acceptor;
    explicit QuicServerEngine(std::unique_ptr<QuicEngineCore> core);

    std::unique_ptr<Acceptor> m_acceptor;
};

}  // namespace velurio
