// Values of the sans-I/O QUIC engines (QuicServerEngine, QuicClientEngine): addresses, time,
// connection handles, the events an engine reports and the results of its calls.
//
// Threads and lifetime: plain values, copied freely; nothing here refers back to an engine.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velurio {

// Engines take the time as an argument of every call and never read a clock themselves.
using QuicClock = std::chrono::steady_clock;
using QuicTime = QuicClock::time_point;

// Names one connection of one engine. Never 0, never reused by the same engine.
using QuicConnectionHandle = std::uint64_t;

// An IPv4 or IPv6 address with a UDP port.
class QuicEndpoint {
  public:
    // 0.0.0.0 port 0.
    QuicEndpoint();
    static QuicEndpoint ipv4(std::array<std::uint8_t, 4> address, std::uint16_t port);
    static QuicEndpoint ipv6(const std::array<std::uint8_t, 16>& address, std::uint16_t port,
                             std::uint32_t scopeId = 0);
    // Numeric text ("127.0.0.1", "::1"); nothing when the text is not an address.
    static std::optional<QuicEndpoint> parse(std::string_view address, std::uint16_t port);
    // Nothing for a family other than IPv4/IPv6 or a length too short for it.
    static std::optional<QuicEndpoint> fromSockaddr(const sockaddr* address, std::size_t length);

    bool isIpv6() const noexcept { return m_storage.ss_family == AF_INET6; }
    std::uint16_t port() const noexcept;
    // The address as 16 bytes, IPv4 in its IPv6-mapped form, so that a host is the same
    // whichever family a socket reports it in. Ports and scope are not part of it.
    std::array<std::uint8_t, 16> hostKey() const noexcept;
    bool sameHost(const QuicEndpoint& other) const noexcept { return hostKey() == other.hostKey(); }
    // "127.0.0.1:4433", "[::1]:4433".
    std::string toString() const;

    const sockaddr* sockaddrData() const noexcept {
        return reinterpret_cast<const sockaddr*>(&m_storage);
    }
    socklen_t sockaddrLength() const noexcept { return m_length; }

    // Same family, address, port (and IPv6 scope).
    friend bool operator==(const QuicEndpoint& a, const QuicEndpoint& b) noexcept;

  private:
    sockaddr_storage m_storage{};
    socklen_t m_length = 0;
};

// One UDP datagram for the caller to send from `source` (the local address the connection
// uses, as given to receive()/connect()) to `destination`.
struct QuicOutgoingDatagram {
    QuicEndpoint source;
    QuicEndpoint destination;
    std::vector<std::uint8_t> bytes;
};

// The handshake finished. `alpn` is the negotiated application protocol.
struct QuicConnectionEstablished {
    QuicConnectionHandle connection = 0;
    std::string alpn;
    QuicEndpoint remote;
    QuicEndpoint local;
};

// The peer opened a bidirectional stream (servers only: clients open their own).
struct QuicStreamOpened {
    QuicConnectionHandle connection = 0;
    std::int64_t streamId = 0;
};

// Bytes received on a stream, in order and without gaps. `fin`: the peer finished sending.
struct QuicStreamData {
    QuicConnectionHandle connection = 0;
    std::int64_t streamId = 0;
    std::vector<std::uint8_t> bytes;
    bool fin = false;
};

// A stream that refused part of a write has room again (half its send buffer is free).
struct QuicStreamWritable {
    QuicConnectionHandle connection = 0;
    std::int64_t streamId = 0;
};

// The stream is gone in both directions. `applicationErrorCode` is set when it was reset.
struct QuicStreamClosed {
    QuicConnectionHandle connection = 0;
    std::int64_t streamId = 0;
    std::optional<std::uint64_t> applicationErrorCode;
};

// An RFC 9221 datagram from the peer.
struct QuicDatagramReceived {
    QuicConnectionHandle connection = 0;
    std::vector<std::uint8_t> bytes;
};

enum class QuicCloseReason : std::uint8_t {
    closedLocally,     // close() or closeAll() was called
    closedByPeer,      // CONNECTION_CLOSE from the peer after the handshake
    idleTimeout,       // nothing received for the negotiated idle timeout
    handshakeTimeout,  // the handshake did not finish in time
    handshakeFailed,   // TLS failed (for example no common ALPN) or the peer closed during it
    refused,           // the server refused the connection (CONNECTION_REFUSED): it is full
    protocolError,     // the peer broke the protocol (stream limit, flow control, bad frames)
    statelessReset,    // the peer no longer knows the connection (clients only)
    internalError,     // out of memory, TLS library failure
};

// The connection is over; its handle is no longer valid. A server reports this only for
// connections it reported as established; a client reports it for every connect().
// `errorCode` is the QUIC transport error code (TLS alerts as 0x100 + alert) or, with
// `applicationError`, the application's code; `description` is the peer's reason phrase
// or the library's text.
struct QuicConnectionClosed {
    QuicConnectionHandle connection = 0;
    QuicCloseReason reason = QuicCloseReason::closedLocally;
    std::uint64_t errorCode = 0;
    bool applicationError = false;
    std::string description;
};

using QuicEvent =
    std::variant<QuicConnectionEstablished, QuicStreamOpened, QuicStreamData, QuicStreamWritable,
                 QuicStreamClosed, QuicDatagramReceived, QuicConnectionClosed>;

// What an engine produced since the last takeOutput(): datagrams to send, in order, and events
// in the order they happened.
struct QuicOutput {
    std::vector<QuicOutgoingDatagram> datagrams;
    std::vector<QuicEvent> events;
    bool empty() const noexcept { return datagrams.empty() && events.empty(); }
};

// Outcome of sendDatagram(). Datagrams are never queued: each one is either in this call's
// output or dropped.
enum class QuicDatagramResult : std::uint8_t {
    sent,           // in an outgoing packet of this call's output
    dropped,        // congestion window or anti-amplification limit full; try later ones
    tooBig,         // larger than maxDatagramPayload(): the current path cannot carry it
    notNegotiated,  // the peer did not enable datagrams on this connection
    noConnection,   // unknown handle, handshake not finished, or closing
};

enum class QuicStreamWriteStatus : std::uint8_t {
    accepted,      // every byte (and the fin, if asked) is buffered for sending
    partial,       // the send buffer is full: `acceptedBytes` were taken, the rest was not;
                   // wait for QuicStreamWritable
    noConnection,  // unknown handle, handshake not finished, or closing
    noStream,      // no such open stream on this connection
    finished,      // the stream's sending side is already finished or was stopped by the peer
};

struct QuicStreamWrite {
    QuicStreamWriteStatus status = QuicStreamWriteStatus::noConnection;
    std::size_t acceptedBytes = 0;
};

enum class QuicStreamOpenError : std::uint8_t {
    noConnection,  // unknown handle, handshake not finished, or closing
    limitReached,  // the peer allows no further stream
};

struct QuicConnectionInfo {
    QuicEndpoint remote;
    QuicEndpoint local;
    std::string alpn;  // empty until established
    bool established = false;
};

// Counters of one engine since it was made; the server-only ones stay 0 on a client.
struct QuicEngineStats {
    std::size_t connections = 0;  // tracked now, closing ones included
    std::size_t handshaking = 0;  // of which still in the handshake
    std::uint64_t datagramsReceived = 0;
    std::uint64_t bytesReceived = 0;
    std::uint64_t datagramsSent = 0;
    std::uint64_t bytesSent = 0;
    std::uint64_t packetsDropped = 0;  // undecodable, or for no connection and unanswered
    std::uint64_t retriesSent = 0;
    std::uint64_t invalidTokens = 0;
    std::uint64_t connectionsRefused = 0;
    std::uint64_t statelessResetsSent = 0;
    std::uint64_t versionNegotiationsSent = 0;
    std::uint64_t statelessRepliesSuppressed = 0;  // over the rate limit
    std::uint64_t handshakesFailed = 0;
};

}  // namespace velurio
