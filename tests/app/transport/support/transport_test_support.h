// Loopback helpers for the transport tests: a Qt application, waiting on the event loop with a
// deadline, and a raw tablet-side client that frames and decodes messages.
#pragma once

#include "protocol/message_codec.h"
#include "protocol/wire_framing.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTcpServer>
#include <QTcpSocket>

#include <chrono>
#include <functional>
#include <vector>

namespace velurio::test {

inline void ensureApplication() {
    if (QCoreApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "velurio_transport_tests";
        static char* argv[] = {name, nullptr};
        new QCoreApplication(argc, argv);
    }
}

// Runs the event loop until `done` holds or the deadline passes; the deadline only guards
// against a hang, no test relies on it passing.
inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    QDeadlineTimer deadline(limit);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Lets queued events run for a short while (to show that something does NOT happen).
inline void settle(std::chrono::milliseconds span = std::chrono::milliseconds(50)) {
    QDeadlineTimer deadline(span);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

inline Bytes frameOf(const SessionMessage& message, WireChannel channel = WireChannel::control) {
    return WireFraming::frame(MessageCodec::encode(message), channel).value();
}

inline Bytes frameOfText(std::string_view text, WireChannel channel = WireChannel::control) {
    return WireFraming::frame(
               std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), channel)
        .value();
}

// The hello a paired tablet sends, with `sessionId`.
inline HelloMessage tabletHello(std::string sessionId = "s-1") {
    HelloMessage hello;
    hello.sessionId = std::move(sessionId);
    hello.role = PeerRole::ipad;
    hello.deviceId = "ipad-1";
    hello.deviceName = "iPad de Ana";
    hello.token = "pairing-token";
    hello.attestation = "att";
    return hello;
}

// The tablet's end of a stream: what it receives, decoded.
class TabletEnd {
  public:
    explicit TabletEnd(QTcpSocket* socket) : m_socket(socket) {
        QObject::connect(socket, &QTcpSocket::readyRead, &m_context, [this] {
            const QByteArray data = m_socket->readAll();
            for (WireFrame& frame :
                 m_parser.ingest(std::span(reinterpret_cast<const std::uint8_t*>(data.constData()),
                                           static_cast<std::size_t>(data.size())))) {
                channels.push_back(frame.channel);
                payloads.push_back(frame.payload);
                auto decoded = MessageCodec::decode(std::span<const std::uint8_t>(frame.payload));
                if (decoded.ok()) {
                    messages.push_back(decoded.value());
                }
            }
        });
        QObject::connect(socket, &QTcpSocket::disconnected, &m_context,
                         [this] { disconnected = true; });
    }
    void send(const Bytes& bytes) {
        m_socket->write(reinterpret_cast<const char*>(bytes.data()),
                        static_cast<qint64>(bytes.size()));
    }
    void send(const SessionMessage& message) { send(frameOf(message)); }

    template <class M>
    std::vector<M> received() const {
        std::vector<M> out;
        for (const SessionMessage& m : messages) {
            if (const M* typed = m.get<M>()) {
                out.push_back(*typed);
            }
        }
        return out;
    }

    std::vector<SessionMessage> messages;
    std::vector<WireChannel> channels;
    std::vector<Bytes> payloads;
    bool disconnected = false;

  private:
    QObject m_context;  // ends the connections above when this goes, whatever the socket's lifetime
    QTcpSocket* m_socket;
    WireFrameParser m_parser;
};

// A connected pair of TCP sockets on loopback: `host` for the peer under test, `tablet` for the
// test's side.
struct LoopbackPair {
    QTcpServer server;
    QTcpSocket* tablet = nullptr;
    QTcpSocket* host = nullptr;

    LoopbackPair() {
        server.listen(QHostAddress::LocalHost, 0);
        tablet = new QTcpSocket(&server);
        tablet->connectToHost(QHostAddress::LocalHost, server.serverPort());
        waitUntil([this] {
            return server.hasPendingConnections() &&
                   tablet->state() == QAbstractSocket::ConnectedState;
        });
        host = server.nextPendingConnection();
    }
};

}  // namespace velurio::test
