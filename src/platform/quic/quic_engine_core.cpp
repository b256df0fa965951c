#include "platform/quic/quic_engine_core.h"

#include <gnutls/crypto.h>
#include <ngtcp2/ngtcp2_crypto.h>

#include <algorithm>
#include <utility>

namespace velurio {

QuicEngineCore::QuicEngineCore(std::unique_ptr<QuicTlsContext> tls, QuicConnectionLimits limits,
                               std::size_t connectionIdLength, const Secret& secret,
                               std::function<void(std::string_view)> debugLog)
    : m_tls(std::move(tls)),
      m_limits(limits),
      m_connectionIdLength(connectionIdLength),
      m_secret(secret),
      m_debugLog(std::move(debugLog)) {}

QuicEngineCore::~QuicEngineCore() = default;

void QuicEngineCore::receive(std::span<const std::uint8_t> datagram, const QuicEndpoint& local,
                             const QuicEndpoint& remote, QuicTime now) {
    ++m_stats.datagramsReceived;
    m_stats.bytesReceived += datagram.size();
    if (datagram.empty()) {
        ++m_stats.packetsDropped;
        return;
    }
    ngtcp2_version_cid header{};
    const int rv = ngtcp2_pkt_decode_version_cid(&header, datagram.data(), datagram.size(),
                                                 m_connectionIdLength);
    const bool decoded = rv == 0 && header.dcidlen <= NGTCP2_MAX_CIDLEN;
    if (decoded) {
        const auto route = m_routes.find(QuicCidKey::of(header.dcid, header.dcidlen));
        if (route != m_routes.end()) {
            route->second->read(datagram, local, remote, now);
            sweep();
            return;
        }
    }
    const bool versionNegotiation = rv == NGTCP2_ERR_VERSION_NEGOTIATION;
    if (m_acceptor != nullptr && (decoded || versionNegotiation)) {
        m_acceptor->unroutable(datagram, header, versionNegotiation, local, remote, now);
        sweep();
        return;
    }
    // A stateless reset looks like a short-header packet for an unknown connection id: give it
    // to the connections on that path; the one whose token it carries closes, the others
    // discard it (clients only).
    bool offered = false;
    if (m_acceptor == nullptr && decoded && (datagram[0] & 0x80U) == 0) {
        for (const auto& [handle, connection] : m_connections) {
            if (connection->isOpen() && connection->currentRemote() == remote &&
                connection->currentLocal() == local) {
                connection->read(datagram, local, remote, now);
                offered = true;
                if (!connection->isOpen()) {
                    break;
                }
            }
        }
    }
    if (offered) {
        sweep();
        return;
    }
    ++m_stats.packetsDropped;
}

void QuicEngineCore::handleTimeout(QuicTime now) {
    for (const auto& [handle, connection] : m_connections) {
        const std::optional<QuicTime> deadline = connection->deadline();
        if (deadline && *deadline <= now) {
            connection->handleTimeout(now);
        }
    }
    sweep();
}

std::optional<QuicTime> QuicEngineCore::nextDeadline() const {
    std::optional<QuicTime> earliest;
    for (const auto& [handle, connection] : m_connections) {
        const std::optional<QuicTime> deadline = connection->deadline();
        if (deadline && (!earliest || *deadline < *earliest)) {
            earliest = deadline;
        }
    }
    return earliest;
}

QuicOutput QuicEngineCore::takeOutput() {
    QuicOutput output = std::move(m_output);
    m_output = QuicOutput{};
    return output;
}

QuicConnection* QuicEngineCore::find(QuicConnectionHandle handle) const {
    const auto it = m_connections.find(handle);
    return it == m_connections.end() ? nullptr : it->second.get();
}

std::vector<QuicConnectionHandle> QuicEngineCore::openConnections() const {
    std::vector<QuicConnectionHandle> handles;
    for (const auto& [handle, connection] : m_connections) {
        if (connection->isOpen()) {
            handles.push_back(handle);
        }
    }
    return handles;
}

void QuicEngineCore::sweep() {
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        QuicConnection& connection = *it->second;
        if (connection.state() != QuicConnection::State::finished) {
            ++it;
            continue;
        }
        if (connection.abandoned()) {
            ++m_stats.packetsDropped;
        } else if (connection.alpn().empty() && m_acceptor != nullptr) {
            ++m_stats.handshakesFailed;
        }
        for (const QuicCidKey& key : connection.routes()) {
            const auto route = m_routes.find(key);
            if (route != m_routes.end() && route->second == &connection) {
                m_routes.erase(route);
            }
        }
        it = m_connections.erase(it);
    }
}

ngtcp2_cid QuicEngineCore::freshConnectionId() const {
    ngtcp2_cid cid{};
    cid.datalen = m_connectionIdLength;
    do {
        (void)gnutls_rnd(GNUTLS_RND_RANDOM, cid.data, cid.datalen);
    } while (isRouted(cid));
    return cid;
}

void QuicEngineCore::statelessResetToken(const ngtcp2_cid& cid, std::uint8_t* token) const {
    if (ngtcp2_crypto_generate_stateless_reset_token(token, m_secret.data(), m_secret.size(),
                                                     &cid) != 0) {
        // Only fails if the library cannot derive a key; an unguessable token still works.
        (void)gnutls_rnd(GNUTLS_RND_RANDOM, token, NGTCP2_STATELESS_RESET_TOKENLEN);
    }
}

QuicConnection& QuicEngineCore::adopt(std::unique_ptr<QuicConnection> connection) {
    QuicConnection& adopted = *connection;
    m_connections.emplace(adopted.handle(), std::move(connection));
    return adopted;
}

void QuicEngineCore::route(const ngtcp2_cid& cid, QuicConnection& connection) {
    const QuicCidKey key = QuicCidKey::of(cid);
    m_routes[key] = &connection;
    connection.routes().push_back(key);
}

bool QuicEngineCore::isRouted(const ngtcp2_cid& cid) const {
    return m_routes.contains(QuicCidKey::of(cid));
}

std::size_t QuicEngineCore::connectionsFromHost(const QuicEndpoint& remote) const {
    return static_cast<std::size_t>(
        std::count_if(m_connections.begin(), m_connections.end(),
                      [&](const auto& entry) { return entry.second->remote().sameHost(remote); }));
}

std::size_t QuicEngineCore::handshakesInProgress() const {
    return static_cast<std::size_t>(
        std::count_if(m_connections.begin(), m_connections.end(), [](const auto& entry) {
            return entry.second->state() == QuicConnection::State::handshaking;
        }));
}

QuicEngineStats QuicEngineCore::stats() const {
    QuicEngineStats stats = m_stats;
    stats.connections = m_connections.size();
    stats.handshaking = handshakesInProgress();
    return stats;
}

void QuicEngineCore::emitDatagram(const QuicEndpoint& source, const QuicEndpoint& destination,
                                  std::span<const std::uint8_t> bytes) {
    ++m_stats.datagramsSent;
    m_stats.bytesSent += bytes.size();
    m_output.datagrams.push_back(QuicOutgoingDatagram{
        source, destination, std::vector<std::uint8_t>(bytes.begin(), bytes.end())});
}

void QuicEngineCore::emitEvent(QuicEvent event) {
    // Consecutive pieces of one stream become one event.
    if (auto* data = std::get_if<QuicStreamData>(&event);
        data != nullptr && !m_output.events.empty()) {
        if (auto* last = std::get_if<QuicStreamData>(&m_output.events.back());
            last != nullptr && !last->fin && last->connection == data->connection &&
            last->streamId == data->streamId) {
            last->bytes.insert(last->bytes.end(), data->bytes.begin(), data->bytes.end());
            last->fin = data->fin;
            return;
        }
    }
    m_output.events.push_back(std::move(event));
}

bool QuicEngineCore::issueConnectionId(QuicConnection& connection, ngtcp2_cid& cid,
                                       std::size_t length, std::uint8_t* resetToken) {
    if (length != m_connectionIdLength) {
        return false;
    }
    cid = freshConnectionId();
    statelessResetToken(cid, resetToken);
    route(cid, connection);
    return true;
}

void QuicEngineCore::retireConnectionId(const ngtcp2_cid& cid) {
    const QuicCidKey key = QuicCidKey::of(cid);
    const auto route = m_routes.find(key);
    if (route == m_routes.end()) {
        return;
    }
    auto& routes = route->second->routes();
    routes.erase(std::remove(routes.begin(), routes.end(), key), routes.end());
    m_routes.erase(route);
}

void QuicEngineCore::debugLog(std::string_view line) {
    if (m_debugLog) {
        m_debugLog(line);
    }
}

}  // namespace velurio
