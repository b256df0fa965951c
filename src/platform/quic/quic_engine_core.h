// What both QUIC engines share: the table of connections and of the connection ids routed to
// them, the output collected for the caller, the counters and the stateless secret. Internal to
// velurio_platform_quic; the public engines hold one behind a pointer.
//
// Connections are only removed by sweep(), which every public operation calls last, so a
// connection never disappears while ngtcp2 is inside one of its calls.
//
// Threads: the engine's thread. Lifetime: owned by its engine; owns the connections and the TLS
// context (which outlives them: declared first).
#pragma once

#include "platform/quic/quic_connection.h"
#include "platform/quic/quic_tls.h"
#include "platform/quic/quic_types.h"

#include <ngtcp2/ngtcp2.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>

namespace velurio {

// The server's answer to a datagram that matches no connection.
class QuicAcceptor {
  public:
    // `header` is valid when `versionNegotiation` is set or the header decoded.
    virtual void unroutable(std::span<const std::uint8_t> datagram,
                            const ngtcp2_version_cid& header, bool versionNegotiation,
                            const QuicEndpoint& local, const QuicEndpoint& remote,
                            QuicTime now) = 0;

  protected:
    ~QuicAcceptor() = default;
};

class QuicEngineCore final : public QuicConnectionHost {
  public:
    using Secret = std::array<std::uint8_t, 32>;

    QuicEngineCore(std::unique_ptr<QuicTlsContext> tls, QuicConnectionLimits limits,
                   std::size_t connectionIdLength, const Secret& secret,
                   std::function<void(std::string_view)> debugLog);
    ~QuicEngineCore();
    QuicEngineCore(const QuicEngineCore&) = delete;
    QuicEngineCore& operator=(const QuicEngineCore&) = delete;

    void setAcceptor(QuicAcceptor* acceptor) noexcept { m_acceptor = acceptor; }

    // The engine operations (see quic_engine.h).
    void receive(std::span<const std::uint8_t> datagram, const QuicEndpoint& local,
                 const QuicEndpoint& remote, QuicTime now);
    void handleTimeout(QuicTime now);
    std::optional<QuicTime> nextDeadline() const;
    QuicOutput takeOutput();
    QuicConnection* find(QuicConnectionHandle handle) const;
    std::vector<QuicConnectionHandle> openConnections() const;
    // Removes the connections that are finished, with their routes.
    void sweep();

    // For the engines creating connections.
    const QuicTlsContext& tls() const noexcept { return *m_tls; }
    const QuicConnectionLimits& limits() const noexcept { return m_limits; }
    const Secret& secret() const noexcept { return m_secret; }
    std::size_t connectionIdLength() const noexcept { return m_connectionIdLength; }
    QuicConnectionHandle nextHandle() noexcept { return ++m_lastHandle; }
    // A random connection id of the engine's length that routes nowhere yet.
    ngtcp2_cid freshConnectionId() const;
    void statelessResetToken(const ngtcp2_cid& cid, std::uint8_t* token) const;
    QuicConnection& adopt(std::unique_ptr<QuicConnection> connection);
    void route(const ngtcp2_cid& cid, QuicConnection& connection);
    bool isRouted(const ngtcp2_cid& cid) const;
    std::size_t connectionCount() const noexcept { return m_connections.size(); }
    std::size_t connectionsFromHost(const QuicEndpoint& remote) const;
    std::size_t handshakesInProgress() const;
    QuicEngineStats& counters() noexcept { return m_stats; }
    QuicEngineStats stats() const;

    // QuicConnectionHost
    void emitDatagram(const QuicEndpoint& source, const QuicEndpoint& destination,
                      std::span<const std::uint8_t> bytes) override;
    void emitEvent(QuicEvent event) override;
    bool issueConnectionId(QuicConnection& connection, ngtcp2_cid& cid, std::size_t length,
                           std::uint8_t* resetToken) override;
    void retireConnectionId(const ngtcp2_cid& cid) override;
    bool debugLogging() const override { return static_cast<bool>(m_debugLog); }
    void debugLog(std::string_view line) override;

  private:
    std::unique_ptr<QuicTlsContext> m_tls;
    const QuicConnectionLimits m_limits;
    const std::size_t m_connectionIdLength;
    const Secret m_secret;
    std::function<void(std::string_view)> m_debugLog;
    QuicAcceptor* m_acceptor = nullptr;

    QuicOutput m_output;
    QuicEngineStats m_stats;
    QuicConnectionHandle m_lastHandle = 0;
    std::unordered_map<QuicCidKey, QuicConnection*, QuicCidKeyHash> m_routes;
    std::map<QuicConnectionHandle, std::unique_ptr<QuicConnection>>
        m_connections;  // last: destroyed first
};

}  // namespace velurio
