#include "platform/quic/quic_connection.h"

#include <gnutls/crypto.h>
#include <ngtcp2/ngtcp2_crypto_gnutls.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <utility>

namespace velurio {

namespace {

// ngtcp2's default and largest packet: 1500-byte Ethernet MTU minus IPv6 and UDP headers.
constexpr std::size_t kMaxUdpPayload = 1452;
// A flush never writes more packets than this (congestion control stops it long before).
constexpr int kMaxPacketsPerFlush = 4096;
constexpr std::size_t kMaxStreamPieces = 16;
// Short header: first byte + destination connection id + packet number (at most 4 bytes).
constexpr std::size_t kShortHeaderFixedBytes = 1 + 4;
constexpr std::size_t kDefaultAeadOverhead = 16;
constexpr std::uint64_t kActiveConnectionIdLimit = 2;

std::size_t varintLength(std::uint64_t value) {
    if (value < 64) {
        return 1;
    }
    if (value < 16384) {
        return 2;
    }
    if (value < (1ULL << 30)) {
        return 4;
    }
    return 8;
}

// The largest payload whose DATAGRAM frame (type, length, payload) fits in `room` bytes.
std::size_t datagramPayloadFitting(std::uint64_t room) {
    std::uint64_t best = 0;
    for (const std::uint64_t lengthBytes : {1ULL, 2ULL, 4ULL, 8ULL}) {
        if (room < 1 + lengthBytes) {
            break;
        }
        const std::uint64_t payload = room - 1 - lengthBytes;
        if (varintLength(payload) <= lengthBytes) {
            best = std::max(best, payload);
        }
    }
    return static_cast<std::size_t>(best);
}

ngtcp2_path pathOf(const QuicEndpoint& local, const QuicEndpoint& remote) {
    ngtcp2_path path{};
    path.local.addr = const_cast<sockaddr*>(local.sockaddrData());
    path.local.addrlen = local.sockaddrLength();
    path.remote.addr = const_cast<sockaddr*>(remote.sockaddrData());
    path.remote.addrlen = remote.sockaddrLength();
    return path;
}

std::uint64_t nanoseconds(std::chrono::milliseconds duration) {
    return static_cast<std::uint64_t>(std::max<std::int64_t>(0, duration.count())) *
           NGTCP2_MILLISECONDS;
}

}  // namespace

QuicCidKey QuicCidKey::of(const std::uint8_t* data, std::size_t length) {
    QuicCidKey key;
    key.length = static_cast<std::uint8_t>(std::min<std::size_t>(length, NGTCP2_MAX_CIDLEN));
    std::memcpy(key.bytes.data(), data, key.length);
    return key;
}

std::size_t QuicCidKeyHash::operator()(const QuicCidKey& key) const noexcept {
    return std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char*>(key.bytes.data()), key.length));
}

ngtcp2_tstamp quicTimestamp(QuicTime time) noexcept {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
    return ns <= 0 ? 1 : static_cast<ngtcp2_tstamp>(ns);
}

QuicTime quicTimeOf(ngtcp2_tstamp timestamp) noexcept {
    return QuicTime(std::chrono::duration_cast<QuicClock::duration>(std::chrono::nanoseconds(
        static_cast<std::int64_t>(std::min<ngtcp2_tstamp>(timestamp, INT64_MAX)))));
}

QuicConnection::QuicConnection(QuicConnectionHost& host, QuicConnectionHandle handle, bool server,
                               const QuicConnectionLimits& limits, const QuicEndpoint& local,
                               const QuicEndpoint& remote)
    : m_host(host),
      m_handle(handle),
      m_server(server),
      m_limits(limits),
      m_local(local),
      m_remote(remote) {
    m_connectionRef.get_conn = &QuicConnection::connectionOf;
    m_connectionRef.user_data = this;
}

QuicConnection::~QuicConnection() = default;

ngtcp2_callbacks QuicConnection::callbacks(bool server) {
    ngtcp2_callbacks callbacks{};
    if (server) {
        callbacks.recv_client_initial = ngtcp2_crypto_recv_client_initial_cb;
    } else {
        callbacks.client_initial = ngtcp2_crypto_client_initial_cb;
        callbacks.recv_retry = ngtcp2_crypto_recv_retry_cb;
        callbacks.recv_stateless_reset = &QuicConnection::onStatelessReset;
    }
    callbacks.recv_crypto_data = ngtcp2_crypto_recv_crypto_data_cb;
    callbacks.handshake_completed = &QuicConnection::onHandshakeCompleted;
    callbacks.encrypt = ngtcp2_crypto_encrypt_cb;
    callbacks.decrypt = ngtcp2_crypto_decrypt_cb;
    callbacks.hp_mask = ngtcp2_crypto_hp_mask_cb;
    callbacks.recv_stream_data = &QuicConnection::onStreamData;
    callbacks.acked_stream_data_offset = &QuicConnection::onAckedStreamData;
    callbacks.stream_open = &QuicConnection::onStreamOpen;
    callbacks.stream_close = &QuicConnection::onStreamClose;
    callbacks.rand = &QuicConnection::onRandom;
    callbacks.get_new_connection_id = &QuicConnection::onNewConnectionId;
    callbacks.remove_connection_id = &QuicConnection::onRemoveConnectionId;
    callbacks.update_key = ngtcp2_crypto_update_key_cb;
    callbacks.delete_crypto_aead_ctx = ngtcp2_crypto_delete_crypto_aead_ctx_cb;
    callbacks.delete_crypto_cipher_ctx = ngtcp2_crypto_delete_crypto_cipher_ctx_cb;
    callbacks.recv_datagram = &QuicConnection::onDatagram;
    callbacks.get_path_challenge_data = ngtcp2_crypto_get_path_challenge_data_cb;
    callbacks.version_negotiation = ngtcp2_crypto_version_negotiation_cb;
    return callbacks;
}

ngtcp2_settings QuicConnection::settings(QuicTime now) const {
    ngtcp2_settings settings;
    ngtcp2_settings_default(&settings);
    settings.initial_ts = quicTimestamp(now);
    settings.initial_rtt = nanoseconds(m_limits.initialRtt);
    settings.handshake_timeout = nanoseconds(m_limits.handshakeTimeout);
    settings.max_tx_udp_payload_size = kMaxUdpPayload;
    if (m_host.debugLogging()) {
        settings.log_printf = &QuicConnection::onLog;
    }
    return settings;
}

Result<std::unique_ptr<QuicConnection>, std::string> QuicConnection::createServer(
    QuicConnectionHost& host, QuicConnectionHandle handle, const QuicTlsContext& tls,
    const QuicConnectionLimits& limits, const ServerSetup& setup, const QuicEndpoint& local,
    const QuicEndpoint& remote, QuicTime now) {
    std::unique_ptr<QuicConnection> connection(
        new QuicConnection(host, handle, true, limits, local, remote));
    connection->m_profiles = setup.profiles;

    const ngtcp2_callbacks callbacks = QuicConnection::callbacks(true);
    ngtcp2_settings settings = connection->settings(now);
    if (setup.addressValidated) {
        // ngtcp2 then lifts the anti-amplification limit: the token proved the address.
        settings.token = setup.initial->token;
    }

    // Until the client's ALPN is known it may do nothing; applyProfile() sets the real limits
    // before the server's transport parameters leave.
    ngtcp2_transport_params params;
    ngtcp2_transport_params_default(&params);
    params.initial_max_stream_data_bidi_local = limits.streamReceiveWindowBytes;
    params.initial_max_stream_data_bidi_remote = limits.streamReceiveWindowBytes;
    params.initial_max_data = limits.connectionReceiveWindowBytes;
    params.max_idle_timeout = nanoseconds(limits.handshakeTimeout);
    params.active_connection_id_limit = kActiveConnectionIdLimit;
    params.disable_active_migration = 1;
    params.stateless_reset_token_present = 1;
    std::memcpy(params.stateless_reset_token, setup.resetToken.data(), setup.resetToken.size());
    if (setup.originalDcid != nullptr) {
        params.original_dcid = *setup.originalDcid;
        params.retry_scid = setup.initial->dcid;
        params.retry_scid_present = 1;
    } else {
        params.original_dcid = setup.initial->dcid;
    }

    const ngtcp2_path path = pathOf(local, remote);
    ngtcp2_conn* raw = nullptr;
    if (const int rv = ngtcp2_conn_server_new(&raw, &setup.initial->scid, &setup.scid, &path,
                                              setup.initial->version, &callbacks, &settings,
                                              &params, nullptr, connection.get());
        rv != 0) {
        return fail(std::string("ngtcp2_conn_server_new: ") + ngtcp2_strerror(rv));
    }
    connection->m_conn.reset(raw);

    auto session = tls.newSession(&connection->m_connectionRef, tls.serverAlpns());
    if (!session) {
        return fail(session.error());
    }
    connection->m_tls = std::move(session).value();
    gnutls_handshake_set_hook_function(connection->m_tls.get(), GNUTLS_HANDSHAKE_CLIENT_HELLO,
                                       GNUTLS_HOOK_POST, &QuicConnection::onClientHello);
    ngtcp2_conn_set_tls_native_handle(raw, connection->m_tls.get());
    return connection;
}

Result<std::unique_ptr<QuicConnection>, std::string> QuicConnection::createClient(
    QuicConnectionHost& host, QuicConnectionHandle handle, const QuicTlsContext& tls,
    const QuicConnectionLimits& limits, const ClientSetup& setup, const QuicEndpoint& local,
    const QuicEndpoint& remote, QuicTime now) {
    std::unique_ptr<QuicConnection> connection(
        new QuicConnection(host, handle, false, limits, local, remote));
    connection->m_requestedAlpn = setup.alpn;

    const ngtcp2_callbacks callbacks = QuicConnection::callbacks(false);
    const ngtcp2_settings settings = connection->settings(now);
    ngtcp2_transport_params params;
    ngtcp2_transport_params_default(&params);
    params.initial_max_stream_data_bidi_local = limits.streamReceiveWindowBytes;
    params.initial_max_data = limits.connectionReceiveWindowBytes;
    params.max_idle_timeout = nanoseconds(setup.idleTimeout);
    params.max_datagram_frame_size = setup.maxDatagramFrameSize;
    params.active_connection_id_limit = kActiveConnectionIdLimit;

    const ngtcp2_path path = pathOf(local, remote);
    ngtcp2_conn* raw = nullptr;
    if (const int rv =
            ngtcp2_conn_client_new(&raw, &setup.dcid, &setup.scid, &path, NGTCP2_PROTO_VER_V1,
                                   &callbacks, &settings, &params, nullptr, connection.get());
        rv != 0) {
        return fail(std::string("ngtcp2_conn_client_new: ") + ngtcp2_strerror(rv));
    }
    connection->m_conn.reset(raw);

    auto session = tls.newSession(&connection->m_connectionRef, {setup.alpn});
    if (!session) {
        return fail(session.error());
    }
    connection->m_tls = std::move(session).value();
    ngtcp2_conn_set_tls_native_handle(raw, connection->m_tls.get());
    if (setup.keepAlive.count() > 0) {
        ngtcp2_conn_set_keep_alive_timeout(raw, nanoseconds(setup.keepAlive));
    }
    return connection;
}

QuicEndpoint QuicConnection::currentRemote() const {
    const ngtcp2_path* path = ngtcp2_conn_get_path(m_conn.get());
    return QuicEndpoint::fromSockaddr(path->remote.addr, path->remote.addrlen).value_or(m_remote);
}

QuicEndpoint QuicConnection::currentLocal() const {
    const ngtcp2_path* path = ngtcp2_conn_get_path(m_conn.get());
    return QuicEndpoint::fromSockaddr(path->local.addr, path->local.addrlen).value_or(m_local);
}

void QuicConnection::read(std::span<const std::uint8_t> packet, const QuicEndpoint& local,
                          const QuicEndpoint& remote, QuicTime now) {
    if (m_state == State::closing) {
        // Answer late packets with the close again, less and less often.
        ++m_packetsWhileClosing;
        if (!m_closePacket.empty() && (m_packetsWhileClosing & (m_packetsWhileClosing - 1)) == 0) {
            m_host.emitDatagram(currentLocal(), currentRemote(), m_closePacket);
        }
        return;
    }
    if (!isOpen()) {
        return;
    }
    const ngtcp2_path path = pathOf(local, remote);
    ngtcp2_pkt_info info{};
    if (const int rv = ngtcp2_conn_read_pkt(m_conn.get(), &path, &info, packet.data(),
                                            packet.size(), quicTimestamp(now));
        rv != 0) {
        closeOnError(rv, now);
        return;
    }
    flush(now);
}

void QuicConnection::handleTimeout(QuicTime now) {
    if (m_state == State::closing || m_state == State::draining) {
        if (now >= m_closeDeadline) {
            m_state = State::finished;
        }
        return;
    }
    if (!isOpen()) {
        return;
    }
    const ngtcp2_tstamp ts = quicTimestamp(now);
    if (ngtcp2_conn_get_expiry(m_conn.get()) > ts) {
        return;
    }
    if (const int rv = ngtcp2_conn_handle_expiry(m_conn.get(), ts); rv != 0) {
        closeOnError(rv, now);
        return;
    }
    flush(now);
}

std::optional<QuicTime> QuicConnection::deadline() const {
    switch (m_state) {
        case State::closing:
        case State::draining:
            return m_closeDeadline;
        case State::finished:
            return std::nullopt;
        case State::handshaking:
        case State::established:
            break;
    }
    const ngtcp2_tstamp expiry = ngtcp2_conn_get_expiry(m_conn.get());
    if (expiry == UINT64_MAX) {
        return std::nullopt;
    }
    return quicTimeOf(expiry);
}

void QuicConnection::flush(QuicTime now) {
    if (!isOpen()) {
        return;
    }
    const ngtcp2_tstamp ts = quicTimestamp(now);
    std::array<std::uint8_t, kMaxUdpPayload> buffer{};
    const std::size_t limit =
        std::min(buffer.size(), ngtcp2_conn_get_max_tx_udp_payload_size(m_conn.get()));
    ngtcp2_path_storage storage;
    ngtcp2_path_storage_zero(&storage);
    ngtcp2_pkt_info info{};
    std::vector<std::int64_t> blocked;  // streams flow control stops for this flush

    for (int packets = 0; packets < kMaxPacketsPerFlush;) {
        SendStream* stream = nullptr;
        std::int64_t streamId = -1;
        for (auto& [id, candidate] : m_sendStreams) {
            if (candidate.closed || candidate.writeShut ||
                std::find(blocked.begin(), blocked.end(), id) != blocked.end()) {
                continue;
            }
            if (candidate.buffer.unsentBytes() > 0 ||
                (candidate.finRequested && !candidate.finSent)) {
                stream = &candidate;
                streamId = id;
                break;
            }
        }

        std::array<QuicSendBuffer::Piece, kMaxStreamPieces> pieces{};
        std::array<ngtcp2_vec, kMaxStreamPieces> vectors{};
        std::size_t count = 0;
        std::size_t offered = 0;
        std::uint32_t flags = NGTCP2_WRITE_STREAM_FLAG_NONE;
        if (stream != nullptr) {
            count = stream->buffer.unsent(pieces);
            for (std::size_t i = 0; i < count; ++i) {
                vectors[i] =
                    ngtcp2_vec{const_cast<std::uint8_t*>(pieces[i].data), pieces[i].length};
                offered += pieces[i].length;
            }
            if (stream->finRequested && offered == stream->buffer.unsentBytes()) {
                flags |= NGTCP2_WRITE_STREAM_FLAG_FIN;
            }
        }

        ngtcp2_ssize written = -1;
        const ngtcp2_ssize n =
            ngtcp2_conn_writev_stream(m_conn.get(), &storage.path, &info, buffer.data(), limit,
                                      &written, flags, streamId, vectors.data(), count, ts);
        if (n < 0) {
            if (stream != nullptr && n == NGTCP2_ERR_STREAM_DATA_BLOCKED) {
                blocked.push_back(streamId);
                continue;
            }
            if (stream != nullptr &&
                (n == NGTCP2_ERR_STREAM_SHUT_WR || n == NGTCP2_ERR_STREAM_NOT_FOUND)) {
                stream->writeShut = true;
                continue;
            }
            closeOnError(static_cast<int>(n), now);
            return;
        }
        if (stream != nullptr && written >= 0) {
            stream->buffer.markSent(static_cast<std::size_t>(written));
            if ((flags & NGTCP2_WRITE_STREAM_FLAG_FIN) != 0 &&
                static_cast<std::size_t>(written) == offered) {
                stream->finSent = true;
            }
        }
        if (n == 0) {
            break;
        }
        emitPacket(storage.path, buffer.data(), static_cast<std::size_t>(n));
        ++packets;
    }
}

void QuicConnection::emitPacket(const ngtcp2_path& path, const std::uint8_t* data,
                                std::size_t length) {
    const QuicEndpoint source =
        QuicEndpoint::fromSockaddr(path.local.addr, path.local.addrlen).value_or(m_local);
    const QuicEndpoint destination =
        QuicEndpoint::fromSockaddr(path.remote.addr, path.remote.addrlen).value_or(m_remote);
    m_host.emitDatagram(source, destination, std::span<const std::uint8_t>(data, length));
}

QuicStreamWrite QuicConnection::writeStream(std::int64_t streamId,
                                            std::span<const std::uint8_t> bytes, bool fin,
                                            QuicTime now) {
    if (m_state != State::established) {
        return {QuicStreamWriteStatus::noConnection, 0};
    }
    const auto it = m_sendStreams.find(streamId);
    if (it == m_sendStreams.end() || it->second.closed) {
        return {QuicStreamWriteStatus::noStream, 0};
    }
    SendStream& stream = it->second;
    if (stream.finRequested || stream.writeShut) {
        return {QuicStreamWriteStatus::finished, 0};
    }
    const std::size_t accepted = stream.buffer.append(bytes);
    const bool complete = accepted == bytes.size();
    if (complete && fin) {
        stream.finRequested = true;
    }
    if (!complete) {
        stream.owesWritable = true;
    }
    flush(now);
    return {complete ? QuicStreamWriteStatus::accepted : QuicStreamWriteStatus::partial, accepted};
}

std::size_t QuicConnection::streamBufferedBytes(std::int64_t streamId) const {
    const auto it = m_sendStreams.find(streamId);
    return it == m_sendStreams.end() ? 0 : it->second.buffer.bufferedBytes();
}

Result<std::int64_t, QuicStreamOpenError> QuicConnection::openBidiStream() {
    if (m_state != State::established) {
        return fail(QuicStreamOpenError::noConnection);
    }
    std::int64_t streamId = -1;
    const int rv = ngtcp2_conn_open_bidi_stream(m_conn.get(), &streamId, nullptr);
    if (rv == NGTCP2_ERR_STREAM_ID_BLOCKED) {
        return fail(QuicStreamOpenError::limitReached);
    }
    if (rv != 0) {
        return fail(QuicStreamOpenError::noConnection);
    }
    m_sendStreams.try_emplace(streamId, m_limits.streamSendBufferBytes);
    return streamId;
}

QuicDatagramResult QuicConnection::sendDatagram(std::span<const std::uint8_t> payload,
                                                QuicTime now) {
    if (m_state != State::established) {
        return QuicDatagramResult::noConnection;
    }
    const ngtcp2_transport_params* remote = ngtcp2_conn_get_remote_transport_params(m_conn.get());
    if (remote == nullptr || remote->max_datagram_frame_size == 0) {
        return QuicDatagramResult::notNegotiated;
    }
    // ngtcp2 reports a datagram that fits the peer's frame limit but not the packet as "not
    // written", like congestion; the caller needs to know the difference.
    if (payload.size() > maxDatagramPayload()) {
        return QuicDatagramResult::tooBig;
    }
    const ngtcp2_tstamp ts = quicTimestamp(now);
    std::array<std::uint8_t, kMaxUdpPayload> buffer{};
    const std::size_t limit =
        std::min(buffer.size(), ngtcp2_conn_get_max_tx_udp_payload_size(m_conn.get()));
    ngtcp2_path_storage storage;
    ngtcp2_path_storage_zero(&storage);
    ngtcp2_pkt_info info{};
    ngtcp2_vec vector{const_cast<std::uint8_t*>(payload.data()), payload.size()};
    // A packet can come back without the datagram when other frames (acknowledgements) filled
    // it: send that packet and try again.
    for (int attempt = 0; attempt < 4; ++attempt) {
        int accepted = 0;
        const ngtcp2_ssize n = ngtcp2_conn_writev_datagram(
            m_conn.get(), &storage.path, &info, buffer.data(), limit, &accepted,
            NGTCP2_WRITE_DATAGRAM_FLAG_NONE, 0, &vector, 1, ts);
        if (n < 0) {
            if (n == NGTCP2_ERR_INVALID_ARGUMENT) {
                return QuicDatagramResult::tooBig;
            }
            if (n == NGTCP2_ERR_INVALID_STATE) {
                return QuicDatagramResult::notNegotiated;
            }
            closeOnError(static_cast<int>(n), now);
            return QuicDatagramResult::noConnection;
        }
        if (n == 0) {
            return QuicDatagramResult::dropped;
        }
        emitPacket(storage.path, buffer.data(), static_cast<std::size_t>(n));
        if (accepted != 0) {
            return QuicDatagramResult::sent;
        }
    }
    return QuicDatagramResult::dropped;
}

std::size_t QuicConnection::maxDatagramPayload() const {
    if (m_state != State::established) {
        return 0;
    }
    const ngtcp2_transport_params* remote = ngtcp2_conn_get_remote_transport_params(m_conn.get());
    if (remote == nullptr || remote->max_datagram_frame_size == 0) {
        return 0;
    }
    std::uint64_t udp = ngtcp2_conn_get_path_max_tx_udp_payload_size(m_conn.get());
    udp = std::min<std::uint64_t>({udp, remote->max_udp_payload_size, kMaxUdpPayload});
    const ngtcp2_crypto_ctx* crypto = ngtcp2_conn_get_crypto_ctx(m_conn.get());
    const std::size_t aead = crypto != nullptr && crypto->aead.max_overhead > 0
                                 ? crypto->aead.max_overhead
                                 : kDefaultAeadOverhead;
    const std::size_t overhead =
        kShortHeaderFixedBytes + ngtcp2_conn_get_dcid(m_conn.get())->datalen + aead;
    if (udp <= overhead) {
        return 0;
    }
    return std::min(datagramPayloadFitting(udp - overhead),
                    datagramPayloadFitting(remote->max_datagram_frame_size));
}

void QuicConnection::close(std::uint64_t applicationErrorCode, std::string_view reason,
                           QuicTime now) {
    if (!isOpen()) {
        return;
    }
    ngtcp2_connection_close_error error;
    ngtcp2_connection_close_error_default(&error);
    ngtcp2_connection_close_error_set_application_error(
        &error, applicationErrorCode, reinterpret_cast<const std::uint8_t*>(reason.data()),
        reason.size());
    sendConnectionClose(error, now);
    reportClosed(QuicCloseReason::closedLocally, applicationErrorCode, true, std::string(reason));
}

void QuicConnection::closeOnError(int libraryError, QuicTime now) {
    switch (libraryError) {
        case NGTCP2_ERR_DRAINING:
            enterDraining(now);
            return;
        case NGTCP2_ERR_IDLE_CLOSE:
            m_state = State::finished;
            reportClosed(QuicCloseReason::idleTimeout, 0, false, "idle timeout");
            return;
        case NGTCP2_ERR_HANDSHAKE_TIMEOUT:
            m_state = State::finished;
            reportClosed(QuicCloseReason::handshakeTimeout, 0, false, "handshake timeout");
            return;
        case NGTCP2_ERR_DROP_CONN:
        case NGTCP2_ERR_RETRY:
            // Before the handshake got anywhere this is a packet to drop (a first Initial that
            // does not decrypt), not a failed handshake.
            m_abandoned = !m_establishedReported;
            m_state = State::finished;
            reportClosed(QuicCloseReason::protocolError, 0, false, ngtcp2_strerror(libraryError));
            return;
        case NGTCP2_ERR_CLOSING:
            m_state = State::closing;
            return;
        default:
            break;
    }
    ngtcp2_connection_close_error error;
    ngtcp2_connection_close_error_default(&error);
    QuicCloseReason reason =
        m_establishedReported ? QuicCloseReason::protocolError : QuicCloseReason::handshakeFailed;
    if (libraryError == NGTCP2_ERR_CRYPTO) {
        ngtcp2_connection_close_error_set_transport_error_tls_alert(
            &error, ngtcp2_conn_get_tls_alert(m_conn.get()), nullptr, 0);
    } else {
        ngtcp2_connection_close_error_set_transport_error_liberr(&error, libraryError, nullptr, 0);
        if (libraryError == NGTCP2_ERR_CALLBACK_FAILURE || libraryError == NGTCP2_ERR_NOMEM ||
            libraryError == NGTCP2_ERR_INTERNAL) {
            reason = QuicCloseReason::internalError;
        }
    }
    sendConnectionClose(error, now);
    reportClosed(reason, error.error_code, false, ngtcp2_strerror(libraryError));
}

void QuicConnection::sendConnectionClose(const ngtcp2_connection_close_error& error, QuicTime now) {
    std::array<std::uint8_t, kMaxUdpPayload> buffer{};
    ngtcp2_path_storage storage;
    ngtcp2_path_storage_zero(&storage);
    ngtcp2_pkt_info info{};
    const ngtcp2_ssize n =
        ngtcp2_conn_write_connection_close(m_conn.get(), &storage.path, &info, buffer.data(),
                                           buffer.size(), &error, quicTimestamp(now));
    m_closeDeadline = closingDeadline(now);
    if (n <= 0) {
        // Nothing to answer late packets with: wait out the period in silence.
        m_state = State::draining;
        return;
    }
    m_state = State::closing;
    m_closePacket.assign(buffer.data(), buffer.data() + n);
    emitPacket(storage.path, buffer.data(), static_cast<std::size_t>(n));
}

void QuicConnection::enterDraining(QuicTime now) {
    m_state = State::draining;
    m_closeDeadline = closingDeadline(now);
    if (m_statelessResetReceived) {
        reportClosed(QuicCloseReason::statelessReset, 0, false, "stateless reset");
        return;
    }
    ngtcp2_connection_close_error error;
    ngtcp2_connection_close_error_default(&error);
    ngtcp2_conn_get_connection_close_error(m_conn.get(), &error);
    const bool application = error.type == NGTCP2_CONNECTION_CLOSE_ERROR_CODE_TYPE_APPLICATION;
    std::string description;
    if (error.reason != nullptr && error.reasonlen > 0) {
        description.assign(reinterpret_cast<const char*>(error.reason), error.reasonlen);
    }
    QuicCloseReason reason = QuicCloseReason::closedByPeer;
    if (!m_establishedReported) {
        reason = !application && error.error_code == NGTCP2_CONNECTION_REFUSED
                     ? QuicCloseReason::refused
                     : QuicCloseReason::handshakeFailed;
    }
    reportClosed(reason, error.error_code, application, std::move(description));
}

void QuicConnection::reportClosed(QuicCloseReason reason, std::uint64_t errorCode,
                                  bool applicationError, std::string description) {
    if (m_closedReported) {
        return;
    }
    m_closedReported = true;
    // A server's caller never heard of a connection that did not finish its handshake.
    if (m_server && !m_establishedReported) {
        return;
    }
    m_host.emitEvent(QuicConnectionClosed{m_handle, reason, errorCode, applicationError,
                                          std::move(description)});
}

QuicTime QuicConnection::closingDeadline(QuicTime now) const {
    const ngtcp2_duration pto = ngtcp2_conn_get_pto(m_conn.get());
    return now + std::chrono::duration_cast<QuicClock::duration>(
                     std::chrono::nanoseconds(static_cast<std::int64_t>(3 * pto)));
}

void QuicConnection::maybeWritable(std::int64_t streamId, SendStream& stream) {
    if (stream.owesWritable && !stream.writeShut && !stream.closed &&
        stream.buffer.freeSpace() * 2 >= stream.buffer.capacity()) {
        stream.owesWritable = false;
        m_host.emitEvent(QuicStreamWritable{m_handle, streamId});
    }
}

bool QuicConnection::applyProfile(std::string_view alpn) {
    if (m_profiles == nullptr) {
        return false;
    }
    for (const QuicAlpnProfile& profile : *m_profiles) {
        if (profile.alpn != alpn) {
            continue;
        }
        ngtcp2_transport_params params = *ngtcp2_conn_get_local_transport_params(m_conn.get());
        params.initial_max_streams_bidi = profile.maxClientBidiStreams;
        params.initial_max_streams_uni = 0;
        params.max_datagram_frame_size = profile.maxDatagramFrameSize;
        params.max_idle_timeout = nanoseconds(profile.idleTimeout);
        return ngtcp2_conn_set_local_transport_params(m_conn.get(), &params) == 0;
    }
    return false;
}

// --- callbacks ---

int QuicConnection::onHandshakeCompleted(ngtcp2_conn* /*conn*/, void* userData) {
    auto* self = static_cast<QuicConnection*>(userData);
    gnutls_datum_t alpn{};
    if (gnutls_alpn_get_selected_protocol(self->m_tls.get(), &alpn) != GNUTLS_E_SUCCESS) {
        return NGTCP2_ERR_CALLBACK_FAILURE;
    }
    self->m_alpn.assign(reinterpret_cast<const char*>(alpn.data), alpn.size);
    if (!self->m_server && self->m_alpn != self->m_requestedAlpn) {
        return NGTCP2_ERR_CALLBACK_FAILURE;
    }
    self->m_state = State::established;
    self->m_establishedReported = true;
    self->m_host.emitEvent(QuicConnectionEstablished{self->m_handle, self->m_alpn,
                                                     self->currentRemote(), self->currentLocal()});
    return 0;
}

int QuicConnection::onStreamData(ngtcp2_conn* conn, std::uint32_t flags, std::int64_t streamId,
                                 std::uint64_t /*offset*/, const std::uint8_t* data,
                                 std::size_t length, void* userData, void* /*streamUserData*/) {
    auto* self = static_cast<QuicConnection*>(userData);
    QuicStreamData event{self->m_handle, streamId, {}, (flags & NGTCP2_STREAM_DATA_FLAG_FIN) != 0};
    if (length > 0) {
        event.bytes.assign(data, data + length);
    }
    self->m_host.emitEvent(std::move(event));
    // The bytes are the caller's now: open the window by as much.
    ngtcp2_conn_extend_max_stream_offset(conn, streamId, length);
    ngtcp2_conn_extend_max_offset(conn, length);
    return 0;
}

int QuicConnection::onAckedStreamData(ngtcp2_conn* /*conn*/, std::int64_t streamId,
                                      std::uint64_t /*offset*/, std::uint64_t length,
                                      void* userData, void* /*streamUserData*/) {
    auto* self = static_cast<QuicConnection*>(userData);
    const auto it = self->m_sendStreams.find(streamId);
    if (it != self->m_sendStreams.end()) {
        it->second.buffer.acknowledge(static_cast<std::size_t>(length));
        self->maybeWritable(streamId, it->second);
    }
    return 0;
}

int QuicConnection::onStreamOpen(ngtcp2_conn* conn, std::int64_t streamId, void* userData) {
    auto* self = static_cast<QuicConnection*>(userData);
    if (!ngtcp2_is_bidi_stream(streamId) || ngtcp2_conn_is_local_stream(conn, streamId)) {
        return 0;
    }
    self->m_sendStreams.try_emplace(streamId, self->m_limits.streamSendBufferBytes);
    self->m_host.emitEvent(QuicStreamOpened{self->m_handle, streamId});
    return 0;
}

int QuicConnection::onStreamClose(ngtcp2_conn* /*conn*/, std::uint32_t flags, std::int64_t streamId,
                                  std::uint64_t applicationErrorCode, void* userData,
                                  void* /*streamUserData*/) {
    auto* self = static_cast<QuicConnection*>(userData);
    const auto it = self->m_sendStreams.find(streamId);
    if (it == self->m_sendStreams.end()) {
        return 0;
    }
    // The buffer stays until the connection goes: packets in flight may still point into it.
    it->second.closed = true;
    QuicStreamClosed event{self->m_handle, streamId, std::nullopt};
    if ((flags & NGTCP2_STREAM_CLOSE_FLAG_APP_ERROR_CODE_SET) != 0) {
        event.applicationErrorCode = applicationErrorCode;
    }
    self->m_host.emitEvent(std::move(event));
    return 0;
}

int QuicConnection::onDatagram(ngtcp2_conn* /*conn*/, std::uint32_t /*flags*/,
                               const std::uint8_t* data, std::size_t length, void* userData) {
    auto* self = static_cast<QuicConnection*>(userData);
    self->m_host.emitEvent(
        QuicDatagramReceived{self->m_handle, std::vector<std::uint8_t>(data, data + length)});
    return 0;
}

int QuicConnection::onNewConnectionId(ngtcp2_conn* /*conn*/, ngtcp2_cid* cid, std::uint8_t* token,
                                      std::size_t length, void* userData) {
    auto* self = static_cast<QuicConnection*>(userData);
    return self->m_host.issueConnectionId(*self, *cid, length, token) ? 0
                                                                      : NGTCP2_ERR_CALLBACK_FAILURE;
}

int QuicConnection::onRemoveConnectionId(ngtcp2_conn* /*conn*/, const ngtcp2_cid* cid,
                                         void* userData) {
    auto* self = static_cast<QuicConnection*>(userData);
    self->m_host.retireConnectionId(*cid);
    return 0;
}

int QuicConnection::onStatelessReset(ngtcp2_conn* /*conn*/,
                                     const ngtcp2_pkt_stateless_reset* /*reset*/, void* userData) {
    static_cast<QuicConnection*>(userData)->m_statelessResetReceived = true;
    return 0;
}

void QuicConnection::onRandom(std::uint8_t* dest, std::size_t length,
                              const ngtcp2_rand_ctx* /*context*/) {
    // Used by ngtcp2 for non-secret choices (padding, greasing).
    (void)gnutls_rnd(GNUTLS_RND_NONCE, dest, length);
}

void QuicConnection::onLog(void* userData, const char* format, ...) {
    auto* self = static_cast<QuicConnection*>(userData);
    char line[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof(line), format, arguments);
    va_end(arguments);
    self->m_host.debugLog(line);
}

ngtcp2_conn* QuicConnection::connectionOf(ngtcp2_crypto_conn_ref* ref) {
    return static_cast<QuicConnection*>(ref->user_data)->m_conn.get();
}

int QuicConnection::onClientHello(gnutls_session_t session, unsigned int /*type*/,
                                  unsigned int /*when*/, unsigned int /*incoming*/,
                                  const gnutls_datum_t* /*message*/) {
    auto* ref = static_cast<ngtcp2_crypto_conn_ref*>(gnutls_session_get_ptr(session));
    auto* self = static_cast<QuicConnection*>(ref->user_data);
    gnutls_datum_t alpn{};
    if (gnutls_alpn_get_selected_protocol(session, &alpn) != GNUTLS_E_SUCCESS) {
        return GNUTLS_E_NO_APPLICATION_PROTOCOL;
    }
    const std::string_view selected(reinterpret_cast<const char*>(alpn.data), alpn.size);
    return self->applyProfile(selected) ? 0 : GNUTLS_E_NO_APPLICATION_PROTOCOL;
}

}  // namespace velurio
