// What both QUIC engines (QuicServerEngine, QuicClientEngine) do: a sans-I/O QUIC endpoint on
// ngtcp2 and GnuTLS. It never touches a socket or a clock:
//
//   in:  receive(datagram bytes, local address, remote address, time) for every UDP datagram
//        that arrives, handleTimeout(time) when nextDeadline() has passed, and the calls that
//        write stream bytes, send datagrams or close connections;
//   out: takeOutput() — the datagrams to send (with source and destination) and the events
//        (established, stream opened/data/writable/closed, datagram received, closed), and
//        nextDeadline() — when to call handleTimeout() next.
//
// Events are returned, never called back, so a caller may act on them (and call the engine
// again) without re-entering it. A driver calls takeOutput() and nextDeadline() after every
// call that takes a time: it sends the datagrams, dispatches the events and re-arms one timer.
// Output is only produced by those calls and is bounded by them (congestion window, stream
// send buffers, one reply per received datagram): nothing grows while the driver is idle.
//
// Threads: an engine is not thread-safe; one thread drives it (the Qt main thread in the app).
// Lifetime: connections live inside the engine; destroying the engine drops them silently
// (call closeAll() first to tell the peers).
#pragma once

#include "platform/quic/quic_types.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace velurio {

class QuicEngineCore;

class QuicEngine {
  public:
    virtual ~QuicEngine();
    QuicEngine(const QuicEngine&) = delete;
    QuicEngine& operator=(const QuicEngine&) = delete;

    // One UDP datagram from `remote` that arrived at `local` (the address the socket is bound
    // to, or the datagram's destination address; the same value for every datagram of a
    // connection). Any bytes are safe: what does not parse or decrypt is dropped.
    void receive(std::span<const std::uint8_t> datagram, const QuicEndpoint& local,
                 const QuicEndpoint& remote, QuicTime now);
    // Retransmissions, acknowledgements, idle and handshake timeouts, end of closing periods.
    void handleTimeout(QuicTime now);
    // The earliest time handleTimeout() has work; nothing when no connection needs a timer.
    std::optional<QuicTime> nextDeadline() const;
    // Everything produced since the last call, and forgets it.
    QuicOutput takeOutput();

    // Queues stream bytes (and the end of the stream with `fin`) up to the stream's send buffer
    // (see the engine's configuration); sends what flow and congestion control allow now.
    QuicStreamWrite writeStream(QuicConnectionHandle connection, std::int64_t streamId,
                                std::span<const std::uint8_t> bytes, bool fin, QuicTime now);
    // Bytes written to the stream and not yet acknowledged by the peer (0 for an unknown one).
    std::size_t streamBufferedBytes(QuicConnectionHandle connection, std::int64_t streamId) const;
    // Sends one RFC 9221 datagram now or drops it; never queues (see QuicDatagramResult).
    QuicDatagramResult sendDatagram(QuicConnectionHandle connection,
                                    std::span<const std::uint8_t> payload, QuicTime now);
    // The largest datagram payload the connection can carry right now: bounded by the peer's
    // max_datagram_frame_size and the path's packet size, which starts at 1200 bytes and grows
    // (to about 1440) once path MTU discovery has confirmed more. 0 without datagrams.
    std::size_t maxDatagramPayload(QuicConnectionHandle connection) const;
    // Sends CONNECTION_CLOSE with an application error code and reason. The connection reports
    // QuicConnectionClosed (closedLocally) in this call's output and its handle is dead; the
    // engine answers the peer's late packets for three probe timeouts, then forgets it.
    void close(QuicConnectionHandle connection, std::uint64_t applicationErrorCode,
               std::string_view reason, QuicTime now);
    void closeAll(std::uint64_t applicationErrorCode, std::string_view reason, QuicTime now);

    std::optional<QuicConnectionInfo> connectionInfo(QuicConnectionHandle connection) const;
    // Open (not closing) connections, established or still in the handshake.
    std::vector<QuicConnectionHandle> connections() const;
    QuicEngineStats stats() const;

  protected:
    explicit QuicEngine(std::unique_ptr<QuicEngineCore> core);
    QuicEngineCore& core() noexcept { return *m_core; }
    const QuicEngineCore& core() const noexcept { return *m_core; }

  private:
    std::unique_ptr<QuicEngineCore> m_core;
};

}  // namespace velurio
