// The QUIC client engine: connections to servers, each with one ALPN, its own local address
// and, optionally, datagrams. See quic_engine.h for how an engine is driven.
//
// Certificates are not verified (any server certificate is accepted): peers authenticate each
// other with attestation tokens carried over the connection, not with TLS certificates.
// Servers may not open streams towards this client.
//
// Threads and lifetime: see quic_engine.h.
#pragma once

#include "platform/quic/quic_engine.h"
#include "protocol/result.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace velurio {

struct QuicClientConfig {
    std::size_t streamSendBufferBytes = 1024 * 1024;
    std::uint64_t streamReceiveWindowBytes = 256 * 1024;
    std::uint64_t connectionReceiveWindowBytes = 1024 * 1024;
    std::chrono::milliseconds handshakeTimeout{10'000};
    std::chrono::milliseconds initialRtt{100};
    // ngtcp2's packet-level debug log, one line per call; off when empty.
    std::function<void(std::string_view)> debugLog;
};

struct QuicConnectOptions {
    QuicEndpoint local;   // the address of the socket the caller sends from
    QuicEndpoint remote;  // the server
    std::string alpn;
    std::uint64_t maxDatagramFrameSize = 0;  // 0: no datagrams from the server
    std::chrono::milliseconds idleTimeout{35'000};
    // Sends a PING after this long without traffic, so that an idle connection stays up.
    std::optional<std::chrono::milliseconds> keepAlive;
};

class QuicClientEngine final : public QuicEngine {
  public:
    // Fails with GnuTLS's description if it cannot set up.
    static Result<std::unique_ptr<QuicClientEngine>, std::string> create(
        QuicClientConfig config = {});
    ~QuicClientEngine() override;

    // Starts a handshake; its first datagram is in this call's output. Later reports
    // QuicConnectionEstablished or QuicConnectionClosed for the handle. Fails with a
    // description for an empty or too long ALPN or a TLS set-up failure.
    Result<QuicConnectionHandle, std::string> connect(const QuicConnectOptions& options,
                                                      QuicTime now);
    // Opens a bidirectional stream on an established connection.
    Result<std::int64_t, QuicStreamOpenError> openBidiStream(QuicConnectionHandle connection);

  private:
    explicit QuicClientEngine(std::unique_ptr<QuicEngineCore> core);
};

}  // namespace velurio
