#include "platform/quic/quic_engine.h"

#include "platform/quic/quic_engine_core.h"

#include <utility>

namespace velurio {

QuicEngine::QuicEngine(std::unique_ptr<QuicEngineCore> core) : m_core(std::move(core)) {}

QuicEngine::~QuicEngine() = default;

void QuicEngine::receive(std::span<const std::uint8_t> datagram, const QuicEndpoint& local,
                         const QuicEndpoint& remote, QuicTime now) {
    m_core->receive(datagram, local, remote, now);
}

void QuicEngine::handleTimeout(QuicTime now) {
    m_core->handleTimeout(now);
}

std::optional<QuicTime> QuicEngine::nextDeadline() const {
    return m_core->nextDeadline();
}

QuicOutput QuicEngine::takeOutput() {
    return m_core->takeOutput();
}

QuicStreamWrite QuicEngine::writeStream(QuicConnectionHandle connection, std::int64_t streamId,
                                        std::span<const std::uint8_t> bytes, bool fin,
                                        QuicTime now) {
    QuicConnection* found = m_core->find(connection);
    if (found == nullptr) {
        return {QuicStreamWriteStatus::noConnection, 0};
    }
    const QuicStreamWrite result = found->writeStream(streamId, bytes, fin, now);
    m_core->sweep();
    return result;
}

std::size_t QuicEngine::streamBufferedBytes(QuicConnectionHandle connection,
                                            std::int64_t streamId) const {
    const QuicConnection* found = m_core->find(connection);
    return found == nullptr ? 0 : found->streamBufferedBytes(streamId);
}

QuicDatagramResult QuicEngine::sendDatagram(QuicConnectionHandle connection,
                                            std::span<const std::uint8_t> payload, QuicTime now) {
    QuicConnection* found = m_core->find(connection);
    if (found == nullptr) {
        return QuicDatagramResult::noConnection;
    }
    const QuicDatagramResult result = found->sendDatagram(payload, now);
    m_core->sweep();
    return result;
}

std::size_t QuicEngine::maxDatagramPayload(QuicConnectionHandle connection) const {
    const QuicConnection* found = m_core->find(connection);
    return found == nullptr ? 0 : found->maxDatagramPayload();
}

void QuicEngine::close(QuicConnectionHandle connection, std::uint64_t applicationErrorCode,
                       std::string_view reason, QuicTime now) {
    if (QuicConnection* found = m_core->find(connection); found != nullptr) {
        found->close(applicationErrorCode, reason, now);
    }
    m_core->sweep();
}

void QuicEngine::closeAll(std::uint64_t applicationErrorCode, std::string_view reason,
                          QuicTime now) {
    for (const QuicConnectionHandle handle : m_core->openConnections()) {
        if (QuicConnection* found = m_core->find(handle); found != nullptr) {
            found->close(applicationErrorCode, reason, now);
        }
    }
    m_core->sweep();
}

std::optional<QuicConnectionInfo> QuicEngine::connectionInfo(
    QuicConnectionHandle connection) const {
    const QuicConnection* found = m_core->find(connection);
    if (found == nullptr || !found->isOpen()) {
        return std::nullopt;
    }
    return QuicConnectionInfo{found->currentRemote(), found->currentLocal(), found->alpn(),
                              found->state() == QuicConnection::State::established};
}

std::vector<QuicConnectionHandle> QuicEngine::connections() const {
    return m_core->openConnections();
}

QuicEngineStats QuicEngine::stats() const {
    return m_core->stats();
}

}  // namespace velurio
