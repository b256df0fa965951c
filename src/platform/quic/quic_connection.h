// One connection of a QUIC engine: an ngtcp2 connection with its GnuTLS session, the send
// buffers of its streams and its closing state. Internal to velurio_platform_quic.
//
// ngtcp2 calls back into the connection while it reads or writes a packet; those callbacks
// only record events and outgoing bytes through the host (the engine), they never call the
// engine's public operations.
//
// Threads: the engine's thread. Lifetime: owned by the engine core, which outlives it. The
// ngtcp2 connection is deleted before the TLS session and the stream buffers it points into.
#pragma once

#include "platform/quic/quic_send_buffer.h"
#include "platform/quic/quic_server_engine.h"
#include "platform/quic/quic_tls.h"
#include "platform/quic/quic_types.h"
#include "protocol/result.h"

#include <gnutls/gnutls.h>
#include <ngtcp2/ngtcp2.h>
#include <ngtcp2/ngtcp2_crypto.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velurio {

class QuicConnection;

// A connection id as a map key.
struct QuicCidKey {
    std::array<std::uint8_t, NGTCP2_MAX_CIDLEN> bytes{};
    std::uint8_t length = 0;

    static QuicCidKey of(const std::uint8_t* data, std::size_t length);
    static QuicCidKey of(const ngtcp2_cid& cid) { return of(cid.data, cid.datalen); }
    friend bool operator==(const QuicCidKey&, const QuicCidKey&) = default;
};

struct QuicCidKeyHash {
    std::size_t operator()(const QuicCidKey& key) const noexcept;
};

// What a connection needs from its engine.
class QuicConnectionHost {
  public:
    virtual void emitDatagram(const QuicEndpoint& source, const QuicEndpoint& destination,
                              std::span<const std::uint8_t> bytes) = 0;
    virtual void emitEvent(QuicEvent event) = 0;
    // A fresh connection id of `length` bytes routed to `connection`, and its reset token.
    virtual bool issueConnectionId(QuicConnection& connection, ngtcp2_cid& cid, std::size_t length,
                                   std::uint8_t* resetToken) = 0;
    virtual void retireConnectionId(const ngtcp2_cid& cid) = 0;
    virtual bool debugLogging() const = 0;
    virtual void debugLog(std::string_view line) = 0;

  protected:
    ~QuicConnectionHost() = default;
};

// Per-connection limits, from the engine's configuration.
struct QuicConnectionLimits {
    std::size_t streamSendBufferBytes = 0;
    std::uint64_t streamReceiveWindowBytes = 0;
    std::uint64_t connectionReceiveWindowBytes = 0;
    std::chrono::milliseconds handshakeTimeout{10'000};
    std::chrono::milliseconds initialRtt{100};
};

ngtcp2_tstamp quicTimestamp(QuicTime time) noexcept;
QuicTime quicTimeOf(ngtcp2_tstamp timestamp) noexcept;

class QuicConnection {
  public:
    enum class State : std::uint8_t { handshaking, established, closing, draining, finished };

    struct ServerSetup {
        const ngtcp2_pkt_hd* initial = nullptr;    // the client's first Initial packet header
        const ngtcp2_cid* originalDcid = nullptr;  // from a Retry token; else initial->dcid
        bool addressValidated = false;             // the Initial carried a valid Retry token
        ngtcp2_cid scid{};                         // the server's connection id, already routed
        std::array<std::uint8_t, NGTCP2_STATELESS_RESET_TOKENLEN> resetToken{};
        const std::vector<QuicAlpnProfile>* profiles = nullptr;  // outlives the connection
    };

    static Result<std::unique_ptr<QuicConnection>, std::string> createServer(
        QuicConnectionHost& host, QuicConnectionHandle handle, const QuicTlsContext& tls,
        const QuicConnectionLimits& limits, const ServerSetup& setup, const QuicEndpoint& local,
        const QuicEndpoint& remote, QuicTime now);

    struct ClientSetup {
        ngtcp2_cid dcid{};
        ngtcp2_cid scid{};  // already routed
        std::string alpn;
        std::uint64_t maxDatagramFrameSize = 0;
        std::chrono::milliseconds idleTimeout{0};
        std::chrono::milliseconds keepAlive{0};  // 0: none
    };

    static Result<std::unique_ptr<QuicConnection>, std::string> createClient(
        QuicConnectionHost& host, QuicConnectionHandle handle, const QuicTlsContext& tls,
        const QuicConnectionLimits& limits, const ClientSetup& setup, const QuicEndpoint& local,
        const QuicEndpoint& remote, QuicTime now);

    ~QuicConnection();
    QuicConnection(const QuicConnection&) = delete;
    QuicConnection& operator=(const QuicConnection&) = delete;

    QuicConnectionHandle handle() const noexcept { return m_handle; }
    State state() const noexcept { return m_state; }
    bool isOpen() const noexcept {
        return m_state == State::handshaking || m_state == State::established;
    }
    const std::string& alpn() const noexcept { return m_alpn; }
    const QuicEndpoint& local() const noexcept { return m_local; }
    const QuicEndpoint& remote() const noexcept { return m_remote; }
    // The remote and local addresses ngtcp2 uses now (they change when the client migrates).
    QuicEndpoint currentRemote() const;
    QuicEndpoint currentLocal() const;
    // Connection ids routed to this connection (maintained by the engine core).
    std::vector<QuicCidKey>& routes() noexcept { return m_routes; }

    // Sends the client's first flight.
    void start(QuicTime now) { flush(now); }
    void read(std::span<const std::uint8_t> packet, const QuicEndpoint& local,
              const QuicEndpoint& remote, QuicTime now);
    void handleTimeout(QuicTime now);
    // Nothing when no timer is needed.
    std::optional<QuicTime> deadline() const;

    QuicStreamWrite writeStream(std::int64_t streamId, std::span<const std::uint8_t> bytes,
                                bool fin, QuicTime now);
    std::size_t streamBufferedBytes(std::int64_t streamId) const;
    Result<std::int64_t, QuicStreamOpenError> openBidiStream();
    QuicDatagramResult sendDatagram(std::span<const std::uint8_t> payload, QuicTime now);
    std::size_t maxDatagramPayload() const;
    void close(std::uint64_t applicationErrorCode, std::string_view reason, QuicTime now);
    // Forgets a connection that never got anywhere, silently (the engine removes it).
    void abandon() noexcept {
        m_state = State::finished;
        m_abandoned = true;
    }
    bool abandoned() const noexcept { return m_abandoned; }

  private:
    struct SendStream {
        explicit SendStream(std::size_t capacity) : buffer(capacity) {}
        QuicSendBuffer buffer;
        bool finRequested = false;
        bool finSent = false;
        bool writeShut = false;     // the peer stopped it or it was reset
        bool closed = false;        // ngtcp2 closed it; kept until the connection goes
        bool owesWritable = false;  // a write was refused in part
    };

    QuicConnection(QuicConnectionHost& host, QuicConnectionHandle handle, bool server,
                   const QuicConnectionLimits& limits, const QuicEndpoint& local,
                   const QuicEndpoint& remote);

    static ngtcp2_callbacks callbacks(bool server);
    ngtcp2_settings settings(QuicTime now) const;

    // Writes every packet ngtcp2 has ready (stream data, acknowledgements, retransmissions).
    void flush(QuicTime now);
    void emitPacket(const ngtcp2_path& path, const std::uint8_t* data, std::size_t length);
    void maybeWritable(std::int64_t streamId, SendStream& stream);
    // A library error from reading, writing or a timer: closes the connection as it requires.
    void closeOnError(int libraryError, QuicTime now);
    void sendConnectionClose(const ngtcp2_connection_close_error& error, QuicTime now);
    void enterDraining(QuicTime now);
    void reportClosed(QuicCloseReason reason, std::uint64_t errorCode, bool applicationError,
                      std::string description);
    QuicTime closingDeadline(QuicTime now) const;

    // ngtcp2 and GnuTLS callbacks.
    static int onHandshakeCompleted(ngtcp2_conn* conn, void* userData);
    static int onStreamData(ngtcp2_conn* conn, std::uint32_t flags, std::int64_t streamId,
                            std::uint64_t offset, const std::uint8_t* data, std::size_t length,
                            void* userData, void* streamUserData);
    static int onAckedStreamData(ngtcp2_conn* conn, std::int64_t streamId, std::uint64_t offset,
                                 std::uint64_t length, void* userData, void* streamUserData);
    static int onStreamOpen(ngtcp2_conn* conn, std::int64_t streamId, void* userData);
    static int onStreamClose(ngtcp2_conn* conn, std::uint32_t flags, std::int64_t streamId,
                             std::uint64_t applicationErrorCode, void* userData,
                             void* streamUserData);
    static int onDatagram(ngtcp2_conn* conn, std::uint32_t flags, const std::uint8_t* data,
                          std::size_t length, void* userData);
    static int onNewConnectionId(ngtcp2_conn* conn, ngtcp2_cid* cid, std::uint8_t* token,
                                 std::size_t length, void* userData);
    static int onRemoveConnectionId(ngtcp2_conn* conn, const ngtcp2_cid* cid, void* userData);
    static int onStatelessReset(ngtcp2_conn* conn, const ngtcp2_pkt_stateless_reset* reset,
                                void* userData);
    static void onRandom(std::uint8_t* dest, std::size_t length, const ngtcp2_rand_ctx* context);
    static void onLog(void* userData, const char* format, ...);
    static ngtcp2_conn* connectionOf(ngtcp2_crypto_conn_ref* ref);
    static int onClientHello(gnutls_session_t session, unsigned int type, unsigned int when,
                             unsigned int incoming, const gnutls_datum_t* message);

    // Applies the profile of the ALPN the client and this server agreed on.
    bool applyProfile(std::string_view alpn);

    QuicConnectionHost& m_host;
    const QuicConnectionHandle m_handle;
    const bool m_server;
    const QuicConnectionLimits m_limits;
    const QuicEndpoint m_local;
    const QuicEndpoint m_remote;
    State m_state = State::handshaking;
    std::string m_alpn;
    std::string m_requestedAlpn;                               // clients
    const std::vector<QuicAlpnProfile>* m_profiles = nullptr;  // servers
    bool m_establishedReported = false;
    bool m_closedReported = false;
    bool m_statelessResetReceived = false;
    bool m_abandoned = false;
    QuicTime m_closeDeadline{};
    std::vector<std::uint8_t> m_closePacket;
    std::uint64_t m_packetsWhileClosing = 0;
    std::vector<QuicCidKey> m_routes;
    std::map<std::int64_t, SendStream> m_sendStreams;

    ngtcp2_crypto_conn_ref m_connectionRef{};
    GnutlsSession m_tls;
    struct ConnectionDeleter {
        void operator()(ngtcp2_conn* conn) const noexcept { ngtcp2_conn_del(conn); }
    };
    std::unique_ptr<ngtcp2_conn, ConnectionDeleter> m_conn;  // last: deleted first
};

}  // namespace velurio
