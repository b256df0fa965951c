#include "app/transport/peer_connection.h"

#include "app/transport/transport_log.h"
#include "core/latency_tracker.h"
#include "protocol/message_codec.h"

#include <QAbstractSocket>
#include <QIODevice>
#include <QSslSocket>

namespace velurio {

namespace {
// How long a closed stream may take to flush what was written before it (an `end`).
constexpr int kCloseFlushMs = 2'000;
}  // namespace

std::int64_t PeerTiming::monotonicNowMs() {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count();
    return ns / 1'000'000;
}

PeerConnection::PeerConnection(QIODevice* stream, bool isUSB, PeerTiming timing, QObject* parent)
    : QObject(parent),
      m_id(QUuid::createUuid()),
      m_isUSB(isUSB),
      m_timing(std::move(timing)),
      m_stream(stream),
      m_socket(qobject_cast<QAbstractSocket*>(stream)) {
    if (m_stream != nullptr) {
        m_stream->setParent(this);
    }
    if (m_socket != nullptr) {
        // Bounds what waits in user space while the hello decision is pending: the kernel's
        // window then holds the sender back.
        m_socket->setReadBufferSize(kReceiveMaxBytes);
    }
}

PeerConnection::~PeerConnection() {
    // Destroying an open peer drops its stream without notification.
    close(false);
}

std::int64_t PeerConnection::nowMs() const {
    return m_timing.nowMs ? m_timing.nowMs() : PeerTiming::monotonicNowMs();
}

std::optional<RemoteEndpoint> PeerConnection::remoteEndpoint() const {
    if (m_remoteEndpoint) {
        return m_remoteEndpoint;
    }
    if (m_socket == nullptr || m_socket->peerAddress().isNull()) {
        return std::nullopt;
    }
    return RemoteEndpoint{m_socket->peerAddress(), m_socket->peerPort()};
}

void PeerConnection::start() {
    if (m_stream == nullptr || m_state == State::closed) {
        return;
    }
    // Transport state: failure closes with notification, end of stream drains and closes.
    connect(m_stream, &QIODevice::readyRead, this, &PeerConnection::scheduleReceive);
    connect(m_stream, &QIODevice::bytesWritten, this, &PeerConnection::onBytesWritten);
    connect(m_stream, &QIODevice::readChannelFinished, this, &PeerConnection::streamEnded);
    if (m_socket != nullptr) {
        connect(m_socket, &QAbstractSocket::disconnected, this, &PeerConnection::streamEnded);
        connect(m_socket, &QAbstractSocket::errorOccurred, this,
                [this](QAbstractSocket::SocketError error) {
                    if (error == QAbstractSocket::RemoteHostClosedError) {
                        streamEnded();
                    } else {
                        qCDebug(lcTransportPeer) << "stream failed:" << m_socket->errorString();
                        close(true);
                    }
                });
        // Ready means able to carry messages: for TLS, once the handshake is done.
        auto* tls = qobject_cast<QSslSocket*>(m_socket);
        const bool ready = tls != nullptr ? tls->isEncrypted()
                                          : m_socket->state() == QAbstractSocket::ConnectedState;
        if (ready) {
            QTimer::singleShot(0, this, [this] {
                if (m_state != State::closed && onReady) {
                    onReady();
                }
            });
        } else if (tls != nullptr) {
            connect(tls, &QSslSocket::encrypted, this, [this] {
                if (m_state != State::closed && onReady) {
                    onReady();
                }
            });
        } else {
            connect(m_socket, &QAbstractSocket::connected, this, [this] {
                if (m_state != State::closed && onReady) {
                    onReady();
                }
            });
        }
        if (tls != nullptr) {
            // What actually left for the network; bytesWritten only says the text was
            // encrypted.
            connect(tls, &QSslSocket::encryptedBytesWritten, this, [this](qint64 bytes) {
                m_encryptedWritten += bytes;
                scheduleVideoCheck();
            });
        }
    } else if (m_stream->isOpen()) {
        QTimer::singleShot(0, this, [this] {
            if (m_state != State::closed && onReady) {
                onReady();
            }
        });
    }

    m_helloTimer = new QTimer(this);
    m_helloTimer->setSingleShot(true);
    m_helloTimer->setTimerType(Qt::PreciseTimer);
    connect(m_helloTimer, &QTimer::timeout, this, [this] {
        if (m_state == State::awaitingHello) {
            sendEnd(SessionEndReason::timeout);
            close(true);
        }
    });
    m_helloTimer->start(m_isUSB ? m_timing.helloTimeoutUSB : m_timing.helloTimeout);

    // Bytes that arrived before start() would otherwise wait for the next readyRead.
    scheduleReceive();
}

void PeerConnection::scheduleReceive() {
    if (m_receiveScheduled || m_state == State::closed) {
        return;
    }
    m_receiveScheduled = true;
    QMetaObject::invokeMethod(this, &PeerConnection::receive, Qt::QueuedConnection);
}

void PeerConnection::receive() {
    m_receiveScheduled = false;
    if (m_state == State::closed || m_awaitingDecision) {
        return;  // a pending decision resumes the loop itself
    }
    while (!m_pendingFrames.empty()) {
        WireFrame frame = std::move(m_pendingFrames.front());
        m_pendingFrames.erase(m_pendingFrames.begin());
        if (m_state == State::closed) {
            return;
        }
        if (!handle(frame.payload)) {
            return;
        }
    }
    if (m_state == State::closed) {
        return;
    }
    if (m_stream != nullptr && m_stream->bytesAvailable() > 0) {
        const QByteArray chunk = m_stream->read(kReceiveMaxBytes);
        std::vector<WireFrame> frames =
            m_parser.ingest(std::span(reinterpret_cast<const std::uint8_t*>(chunk.constData()),
                                      static_cast<std::size_t>(chunk.size())));
        for (std::size_t i = 0; i < frames.size(); ++i) {
            if (m_state == State::closed) {
                return;
            }
            if (!handle(frames[i].payload)) {
                m_pendingFrames.assign(
                    std::make_move_iterator(frames.begin() + static_cast<std::ptrdiff_t>(i) + 1),
                    std::make_move_iterator(frames.end()));
                return;
            }
        }
        if (m_state != State::closed && m_stream != nullptr && m_stream->bytesAvailable() > 0) {
            scheduleReceive();
            return;
        }
    }
    if (m_streamEnded && m_state != State::closed) {
        close(true);
    }
}

void PeerConnection::streamEnded() {
    m_streamEnded = true;
    scheduleReceive();
}

bool PeerConnection::handle(const Bytes& payload) {
    // The channel is not looked at: every payload is a control message.
    auto decoded = MessageCodec::decode(std::span<const std::uint8_t>(payload));
    if (!decoded.ok()) {
        return true;  // dropped silently; the link stays
    }
    const SessionMessage& message = decoded.value();
    if (m_state == State::awaitingHello) {
        if (const HelloMessage* hello = message.get<HelloMessage>()) {
            return handleHello(*hello);
        }
        sendEnd(SessionEndReason::error);
        close(true);
        return true;
    }
    if (m_state == State::active) {
        handleActive(message);
    }
    return true;
}

bool PeerConnection::handleHello(const HelloMessage& hello) {
    if (hello.v != VelurioProtocolVersion::current || !onHello) {
        sendEnd(SessionEndReason::error);
        close(true);
        return true;
    }
    if (m_state != State::awaitingHello) {
        return true;
    }
    m_awaitingDecision = true;
    const std::uint64_t generation = ++m_decisionGeneration;
    QPointer<PeerConnection> self(this);
    HelloDecision decide = [self, generation, hello](bool accepted) {
        if (self == nullptr || !self->m_awaitingDecision ||
            self->m_decisionGeneration != generation) {
            return;  // the peer is gone, or this decision was already taken
        }
        self->finishHello(accepted, hello);
    };
    m_inHelloCall = true;
    onHello(this, hello, std::move(decide));
    if (self == nullptr) {
        return false;
    }
    m_inHelloCall = false;
    return !m_awaitingDecision;
}

void PeerConnection::finishHello(bool accepted, const HelloMessage& hello) {
    m_awaitingDecision = false;
    // A decision taken later resumes the frames that waited behind the hello, queued before
    // anything the acceptance itself queues: what the tablet sent right behind its hello (its
    // capabilities) is known by the time the session acts on the acceptance.
    if (!m_inHelloCall) {
        scheduleReceive();
    }
    QPointer<PeerConnection> self(this);
    if (m_state == State::awaitingHello) {
        if (accepted) {
            m_helloToken = hello.token;
            m_sessionId = hello.sessionId;
            m_isResume = hello.resume;
            m_remoteDeviceId = hello.deviceId;
            m_remoteDeviceName = hello.deviceName;
            m_state = State::active;
            if (m_helloTimer != nullptr) {
                m_helloTimer->stop();
            }
            if (onHelloAccepted) {
                onHelloAccepted(this);
            }
            if (self != nullptr && m_state == State::active && m_isResume && onResume) {
                onResume(this);
            }
            if (self != nullptr && m_state == State::active) {
                startPinging();
            }
        } else {
            sendEnd(SessionEndReason::error);
            close(true);
        }
    }
}

void PeerConnection::handleActive(const SessionMessage& message) {
    std::visit(
        [this](const auto& m) {
            using M = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<M, CapabilitiesMessage>) {
                m_remoteCapabilities = m;
            } else if constexpr (std::is_same_v<M, ToolStateMessage>) {
                if (onToolState)
                    onToolState(this, m);
            } else if constexpr (std::is_same_v<M, UndoMessage>) {
                if (onUndoRequested)
                    onUndoRequested(this, m.id);
            } else if constexpr (std::is_same_v<M, RedoMessage>) {
                if (onRedoRequested)
                    onRedoRequested(this, m.id);
            } else if constexpr (std::is_same_v<M, PingMessage>) {
                sendControl(PongMessage::echoing(m));
            } else if constexpr (std::is_same_v<M, PongMessage>) {
                // A send time in the future, or one whose distance from now does not fit,
                // is no round trip.
                const std::optional<std::int64_t> rtt = roundTripMs(nowMs(), m.ts);
                if (rtt && onPong) {
                    onPong(this, static_cast<double>(*rtt));
                }
            } else if constexpr (std::is_same_v<M, EndMessage>) {
                close(true);
            } else if constexpr (std::is_same_v<M, StrokeMessage>) {
                if (onStroke)
                    onStroke(this, m);
            } else if constexpr (std::is_same_v<M, SelectDisplayMessage>) {
                if (onSelectDisplay)
                    onSelectDisplay(this, m.displayID);
            } else if constexpr (std::is_same_v<M, ClearMessage>) {
                if (onClearRequested)
                    onClearRequested(this);
            }
            // hello, slide_changed and displays are ignored once active.
        },
        message.payload);
}

void PeerConnection::startPinging() {
    if (m_pingTimer == nullptr) {
        m_pingTimer = new QTimer(this);
        m_pingTimer->setTimerType(Qt::PreciseTimer);
        connect(m_pingTimer, &QTimer::timeout, this, &PeerConnection::sendPing);
    }
    m_pingTimer->start(m_timing.pingInterval);  // restarting cancels the previous loop
}

void PeerConnection::sendPing() {
    if (m_state != State::active) {
        m_pingTimer->stop();
        return;
    }
    ++m_pingSeq;  // unsigned: wraps
    sendControl(PingMessage{m_pingSeq, nowMs()});
}

void PeerConnection::sendControl(const SessionMessage& message) {
    send(message, WireChannel::control);
}
void PeerConnection::sendInk(const SessionMessage& message) {
    send(message, WireChannel::ink);
}
void PeerConnection::sendEnd(SessionEndReason reason) {
    send(EndMessage{reason}, WireChannel::control);
}

void PeerConnection::send(const SessionMessage& message, WireChannel channel) {
    auto framed = WireFraming::frame(MessageCodec::encode(message), channel);
    if (framed.ok()) {
        writeBytes(framed.value());
    }
}

void PeerConnection::sendUSBDiscovery(std::span<const std::uint8_t> payload) {
    auto framed = WireFraming::frame(payload, WireChannel::usbDiscovery);
    if (framed.ok()) {
        writeBytes(framed.value());
    }
}

bool PeerConnection::writeBytes(const Bytes& bytes) {
    if (m_stream == nullptr || m_state == State::closed || !m_stream->isOpen()) {
        return false;
    }
    const qint64 written = m_stream->write(reinterpret_cast<const char*>(bytes.data()),
                                           static_cast<qint64>(bytes.size()));
    if (written < 0) {
        return false;
    }
    m_bytesQueued += written;
    return written == static_cast<qint64>(bytes.size());
}

void PeerConnection::sendUSBVideo(const std::vector<Bytes>& datagrams) {
    if (!m_isUSB || m_state != State::active) {
        return;
    }
    // A completion whose signal never came (Qt skips nested bytesWritten emissions) must not
    // keep every later batch out: look at what the stream still holds.
    checkVideoSent();
    if (m_state != State::active) {
        return;
    }
    if (m_sendingVideo) {
        m_needsUSBKeyframe = true;
        return;
    }
    Bytes batch;
    std::size_t total = 0;
    for (const Bytes& datagram : datagrams) {
        total += WireFraming::headerByteCount + datagram.size();
    }
    batch.reserve(total);
    for (const Bytes& datagram : datagrams) {
        if (!WireFraming::appendFrame(batch, datagram, WireChannel::video)) {
            return;  // an oversized datagram is a caller error: send nothing of the batch
        }
    }
    if (!writeBytes(batch)) {
        close(true);
        return;
    }
    m_sendingVideo = true;
    m_videoSendEnd = m_bytesQueued;
    m_videoEncryptedEnd.reset();
}

void PeerConnection::onBytesWritten(qint64) {
    scheduleVideoCheck();
}

void PeerConnection::scheduleVideoCheck() {
    // Checked from the event loop: while TLS emits bytesWritten, the encrypted bytes have not
    // been handed to the socket yet, so its counts would say the batch is out too early.
    if (!m_sendingVideo || m_videoCheckScheduled) {
        return;
    }
    m_videoCheckScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_videoCheckScheduled = false;
            checkVideoSent();
        },
        Qt::QueuedConnection);
}

void PeerConnection::checkVideoSent() {
    if (!m_sendingVideo || m_stream == nullptr) {
        return;
    }
    // Plain bytes queued after the batch's last byte may still be buffered; anything more
    // means part of the batch has not been taken yet.
    const qint64 queuedAfterBatch = m_bytesQueued - m_videoSendEnd;
    if (m_stream->bytesToWrite() > queuedAfterBatch) {
        return;
    }
    if (auto* tls = qobject_cast<QSslSocket*>(m_socket)) {
        // The batch is encrypted; it has left once the encrypted bytes queued up to now have
        // been written to the network (or nothing encrypted waits at all).
        const qint64 pending = tls->encryptedBytesToWrite();
        if (!m_videoEncryptedEnd) {
            m_videoEncryptedEnd = m_encryptedWritten + pending;
        }
        if (pending > 0 && m_encryptedWritten < *m_videoEncryptedEnd) {
            return;
        }
    }
    m_sendingVideo = false;
    m_videoEncryptedEnd.reset();
    if (m_needsUSBKeyframe) {
        m_needsUSBKeyframe = false;
        if (onVideoBackpressure) {
            onVideoBackpressure();
        }
    }
}

void PeerConnection::close(bool notify) {
    if (m_state == State::closed) {
        return;
    }
    m_state = State::closed;
    m_awaitingDecision = false;
    m_pendingFrames.clear();
    if (m_helloTimer != nullptr) {
        m_helloTimer->stop();
    }
    if (m_pingTimer != nullptr) {
        m_pingTimer->stop();
    }
    if (QIODevice* stream = m_stream.data()) {
        stream->disconnect(this);
        // The stream outlives the peer just long enough to flush what was written last (an
        // `end`), then goes away on its own.
        stream->setParent(nullptr);
        m_stream = nullptr;
        if (auto* socket = qobject_cast<QAbstractSocket*>(stream)) {
            connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
            QTimer::singleShot(kCloseFlushMs, socket, [socket] {
                socket->abort();
                socket->deleteLater();
            });
            socket->disconnectFromHost();
            if (socket->state() == QAbstractSocket::UnconnectedState) {
                socket->deleteLater();
            }
        } else {
            stream->close();
            stream->deleteLater();
        }
    }
    m_socket = nullptr;
    m_remoteEndpoint.reset();
    QPointer<PeerConnection> self(this);
    if (notify && onClosed) {
        onClosed(this);
    }
    if (self != nullptr) {
        Q_EMIT finished();
    }
}

}  // namespace velurio
