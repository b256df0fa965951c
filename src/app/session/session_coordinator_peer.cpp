// One tablet at a time: hello validation, activation, capture and the platform session, the
// tablet's messages, latency, and the end of a session (with the grace for a dropped tablet).
#include "app/identity/platform_keys.h"
#include "app/session/session_coordinator.h"
#include "core/es256_verifier.h"

#include <QCoroTask>
#include <QDateTime>
#include <QLoggingCategory>

#include <cmath>

namespace velurio {

namespace {

Q_LOGGING_CATEGORY(lcPeerSession, "velurio.session.peer")

QString textOf(const std::optional<std::string>& value) {
    return value ? QString::fromStdString(*value) : QString();
}

}  // namespace

void SessionCoordinator::configure(PeerConnection* peer, SessionServer::Transport transport) {
    peer->onVideoBackpressure = [this] { requestKeyframe(); };
    peer->onHello = [this](PeerConnection* p, const HelloMessage& hello,
                           PeerConnection::HelloDecision decide) {
        QCoro::connect(answerHello(QPointer<PeerConnection>(p), hello, std::move(decide)), this,
                       [] {});
    };
    peer->onHelloAccepted = [this, transport](PeerConnection* p) { activate(p, transport); };
    peer->onResume = [this](PeerConnection* p) {
        if (p == m_peer)
            replayStore();
    };
    peer->onStroke = [this](PeerConnection* p, const StrokeMessage& message) {
        if (p != m_peer)
            return;
        if (!m_inkArrived && m_overlay && m_overlay->canvas()->isVisible())
            m_inkArrived = std::chrono::steady_clock::now();
        m_store.apply(message);
    };
    peer->onUndoRequested = [this](PeerConnection* p, const std::string& id) {
        if (p == m_peer)
            m_store.handleUndoRequest(id);
    };
    peer->onRedoRequested = [this](PeerConnection* p, const std::string& id) {
        if (p == m_peer)
            m_store.handleRedoRequest(id);
    };
    peer->onClearRequested = [this](PeerConnection* p) {
        if (p == m_peer)
            m_store.clear(true);
    };
    peer->onSelectDisplay = [this](PeerConnection* p, std::uint32_t id) {
        if (p != m_peer)
            return;
        const auto& listed = m_capture->displays();
        if (std::any_of(listed.begin(), listed.end(),
                        [id](const DisplayDescriptor& d) { return d.id == id; })) {
            m_settings->setSelectedDisplayID(id);  // its subscriber schedules the change
        }
    };
    peer->onPong = [this](PeerConnection* p, double rttMs) {
        if (p == m_peer)
            recordLatency(rttMs);
    };
    peer->onClosed = [this](PeerConnection* p) { handlePeerClosed(p); };
    // The tablet's tool changes do not change this computer's toolbar: onToolState stays unset.
}

QCoro::Task<void> SessionCoordinator::answerHello(QPointer<PeerConnection> peer, HelloMessage hello,
                                                  PeerConnection::HelloDecision decide) {
    if (m_shutdownStarted) {
        decide(false);
        co_return;
    }
    // The decision is owed until answered here or refused by shutdown, whichever comes first.
    const std::uint64_t ticket = ++m_nextDecisionTicket;
    m_pendingDecisions.emplace(ticket, std::move(decide));
    QPointer<SessionCoordinator> self(this);
    // Calls are made apart from their co_await (g++ 12 mishandles temporaries inside one).
    auto validation = validate(std::move(hello));
    const bool accepted = co_await validation;
    if (!self)
        co_return;
    const auto owed = m_pendingDecisions.find(ticket);
    if (owed == m_pendingDecisions.end())
        co_return;  // already refused
    PeerConnection::HelloDecision answer = std::move(owed->second);
    m_pendingDecisions.erase(owed);
    answer(accepted && peer != nullptr && !m_shutdownStarted);
}

QCoro::Task<bool> SessionCoordinator::validate(HelloMessage hello) {
    // 1. The platform's key; a build without one refuses every tablet.
    const auto pem = PlatformKeys::publicKeyPEM();
    if (!pem.ok())
        co_return false;
    const auto key = ES256Verifier::p256PublicKey(pem.value().toStdString());
    if (!key.ok())
        co_return false;
    // 2. The tablet's attestation, signed by the platform, at the current time.
    const double nowSeconds = static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    if (!ES256Verifier::verify(hello.attestation, key.value(), nowSeconds).ok())
        co_return false;
    // 3. A tablet coming back to the session that just ended.
    if (hello.resume && m_lastSessionId && hello.sessionId == *m_lastSessionId &&
        m_sessionEndedAt && m_scheduler->now() - *m_sessionEndedAt <= kResumeWindow) {
        co_return true;
    }
    // 4. Otherwise the platform must vouch for the pairing token.
    QPointer<SessionCoordinator> self(this);
    auto request = m_client->validatePairingToken(QString::fromStdString(hello.token));
    const auto session = co_await request;
    if (!self)
        co_return false;
    co_return session.ok() && session.value().has_value();
}

void SessionCoordinator::activate(PeerConnection* peer, SessionServer::Transport transport) {
    if (m_shutdownStarted) {
        peer->sendEnd(SessionEndReason::userEnded);
        peer->close(false);
        return;
    }
    // 1. One tablet at a time: the earlier one is told and let go without a close callback.
    if (PeerConnection* earlier = m_peer.data(); earlier != nullptr && earlier != peer) {
        earlier->sendEnd(SessionEndReason::replaced);
        earlier->close(false);
        m_store.abandonRemoteStrokes();  // the earlier tablet will never end them
    }
    // 2.
    if (m_reconnectGraceTask != 0) {
        m_scheduler->cancel(m_reconnectGraceTask);
        m_reconnectGraceTask = 0;
    }
    m_peer = peer;
    m_peerTransport = transport;
    // 3. Over USB the video travels on the tablet's own stream.
    if (peer->isUSB())
        m_server->setVideoConnection(std::nullopt);
    // 4.
    if (peer->sessionId())
        m_lastSessionId = *peer->sessionId();
    // 5. hello, capabilities, displays.
    peer->sendControl(ownHello(peer->sessionId(), peer->helloToken()));
    CapabilitiesMessage capabilities;
    capabilities.videoCodec = "h264";
    capabilities.maxWidth = 1920;
    capabilities.maxHeight = 1080;
    capabilities.maxFps = 60;
    capabilities.quic = transport == SessionServer::Transport::quic;
    capabilities.pencil = false;
    capabilities.inkBatchMs = 8;
    peer->sendControl(capabilities);
    sendDisplays();
    // 6. Published state; the shell shows the pin with the name and the latency.
    const QString name = peer->remoteDeviceName() && !peer->remoteDeviceName()->empty()
                             ? QString::fromStdString(*peer->remoteDeviceName())
                             : QStringLiteral("iPad");
    m_latencyTracker.reset();
    setLatencyText(kNoLatencyText);
    // A platform session still open (a tablet back within the grace) keeps its start, so the
    // summary covers the whole session.
    if (!m_sessionStartedAt || !m_platformSessionId)
        m_sessionStartedAt = m_scheduler->now();
    setConnectionState(ConnectedPeer{name, transport});
    updateInteractionMode();
    // 8. Once the messages that came with the hello are handled: capabilities sent right behind
    // it choose the codec the capture starts with.
    QMetaObject::invokeMethod(
        this,
        [this, peer = QPointer<PeerConnection>(peer)] {
            QCoro::connect(beginCaptureAndPlatformSession(peer), this, [] {});
        },
        Qt::QueuedConnection);
}

void SessionCoordinator::replayStore() {
    requestKeyframe();
    if (!m_store.onSend)
        return;
    m_store.onSend(ClearMessage{});
    for (const Stroke& stroke : m_store.strokes()) {
        m_store.onSend(stroke.wireMessage(StrokeOp::begin));
        m_store.onSend(stroke.wireMessage(StrokeOp::end));
    }
}

bool SessionCoordinator::peerIsActive(const QPointer<PeerConnection>& peer) const {
    return peer != nullptr && peer == m_peer && peer->state() == PeerConnection::State::active;
}

QCoro::Task<void> SessionCoordinator::beginCaptureAndPlatformSession(
    QPointer<PeerConnection> peer) {
    if (!peerIsActive(peer) || m_platformStartInFlight)
        co_return;
    m_platformStartInFlight = true;
    QPointer<SessionCoordinator> self(this);
    co_await startCaptureIfPossible();
    if (!self)
        co_return;
    const bool videoPath =
        peer != nullptr && (peer->isUSB() || m_server->videoConnection().has_value());
    if (!peerIsActive(peer) || !m_capture->isCapturing() || !videoPath || m_platformSessionId ||
        !peer->remoteDeviceId()) {
        m_platformStartInFlight = false;
        co_return;
    }
    const bool usb = peer->isUSB();
    auto request = m_client->startSession(
        peer->helloToken() ? std::optional(textOf(peer->helloToken())) : std::nullopt,
        storedText(AccountFlow::kDeviceIdKey), textOf(peer->remoteDeviceId()),
        usb ? QStringLiteral("usb_c") : QStringLiteral("wifi"));
    auto started = co_await request;
    if (!self)
        co_return;
    m_platformStartInFlight = false;
    const std::optional<QString> id = started.ok() && started.value() && !started.value()->isEmpty()
                                          ? started.value()
                                          : std::nullopt;
    if (!peerIsActive(peer)) {
        // The tablet left while the platform answered: that session ends at once, empty.
        QCoro::connect(m_client->endSession(id, SessionSummaryPayload{}), this,
                       [](const PlatformStatus&) {});
        co_return;
    }
    m_platformSessionId = id;  // nothing after a failure: the next trigger tries again
}

bool SessionCoordinator::screenCapturePermitted() {
    // On this platform permission is whether the display can be opened and read.
    m_capture->refreshDisplays();
    return m_capture->permissionGranted();
}

QCoro::Task<void> SessionCoordinator::startCaptureIfPossible() {
    if (!screenCapturePermitted()) {
        if (!m_screenPermissionNeeded && !m_permissionRequested) {
            // Nothing to ask the system for here; say once where the problem lies.
            m_permissionRequested = true;
            qCWarning(lcPeerSession)
                << "the screen cannot be captured:" << m_capture->lastError().value_or(QString());
        }
        setScreenPermissionNeeded(true);
        setCaptureStatus(CaptureStatus::permissionRequired);
        sendDisplays();
        co_return;
    }
    setScreenPermissionNeeded(false);
    if (m_capture->isCapturing())
        co_return;
    m_capture->settings.fps = m_settings->captureFPS();
    const bool peerWantsHEVC = m_peer && m_peer->remoteCapabilities() &&
                               m_peer->remoteCapabilities()->videoCodec == "hevc";
    m_capture->settings.codec = m_settings->useHEVC() && peerWantsHEVC ? H264Encoder::Codec::hevc
                                                                       : H264Encoder::Codec::h264;
    if (m_capture->start().ok()) {
        moveOverlayToSelectedDisplay();
        setCaptureStatus(CaptureStatus::streaming);
    } else {
        setCaptureStatus(CaptureStatus::failed);
    }
    sendDisplays();
}

void SessionCoordinator::recordLatency(double rttMs) {
    m_latencyTracker.record(rttMs);
    setLatencyText(QString::number(std::llround(rttMs)) + QStringLiteral(" ms"));
    const AdaptiveBitrate::Instant now(
        std::chrono::duration_cast<AdaptiveBitrate::Instant::duration>(m_scheduler->now()));
    const std::int64_t bitrate =
        m_capture->bitrateController().evaluate(m_latencyTracker.p95(), 0.0, now);
    m_capture->encoder().setBitrate(bitrate);
}

void SessionCoordinator::detachPeer(bool sessionEnded) {
    // Only the end of a real session opens the window in which its tablet may resume.
    if (sessionEnded)
        m_sessionEndedAt = m_scheduler->now();
    // A stroke the tablet began and never ended must not stay half drawn; a tablet that
    // resumes sends again what the replay lacks.
    m_store.abandonRemoteStrokes();
    m_peer = nullptr;
    setConnectionState(std::nullopt);
    setLatencyText(kNoLatencyText);
    updateInteractionMode();
}

void SessionCoordinator::handlePeerClosed(PeerConnection* peer) {
    if (peer == nullptr || peer != m_peer)
        return;  // a replaced or refused tablet changes nothing
    detachPeer(true);
    m_scheduler->cancelAndClear(m_reconnectGraceTask);
    // Capture keeps running while the tablet may come back.
    m_reconnectGraceTask = m_scheduler->schedule(kReconnectGrace, [this] {
        m_reconnectGraceTask = 0;
        if (!m_peer)
            QCoro::connect(endPlatformSessionThenStopCapture(), this, [] {});
    });
}

void SessionCoordinator::disconnectPeer() {
    const bool hadPeer = m_peer != nullptr;
    if (PeerConnection* peer = m_peer.data()) {
        peer->sendEnd(SessionEndReason::userEnded);
        peer->close(false);
    }
    if (m_reconnectGraceTask != 0) {
        m_scheduler->cancel(m_reconnectGraceTask);
        m_reconnectGraceTask = 0;
    }
    detachPeer(hadPeer);
    QCoro::connect(endPlatformSessionThenStopCapture(), this, [] {});
}

QCoro::Task<void> SessionCoordinator::endPlatformSessionThenStopCapture() {
    QPointer<SessionCoordinator> self(this);
    co_await endPlatformSession();
    // A tablet that arrived meanwhile keeps its picture.
    if (self && !m_peer)
        m_capture->stop();
}

QCoro::Task<void> SessionCoordinator::endPlatformSession() {
    if (!m_sessionStartedAt)
        co_return;
    SessionSummaryPayload summary;
    summary.strokeCount = static_cast<int>(m_store.strokes().size());
    summary.framesDropped = 0;
    summary.durationSeconds =
        static_cast<double>((m_scheduler->now() - *m_sessionStartedAt).count()) / 1000.0;
    if (m_latencyTracker.count() > 0) {
        summary.latencyP50Ms = m_latencyTracker.p50();
        summary.latencyP95Ms = m_latencyTracker.p95();
    }
    const std::optional<QString> sent = m_platformSessionId;
    QPointer<SessionCoordinator> self(this);
    auto request = m_client->endSession(sent, summary);
    const PlatformStatus status = co_await request;
    if (!self)
        co_return;
    if (status.ok() || status.error().hasCode(u"session_already_ended")) {
        if (m_platformSessionId == sent) {
            m_platformSessionId.reset();
            m_sessionStartedAt.reset();
        }
        Q_EMIT platformSessionEnded();
        co_return;
    }
    // Both fields stay: the next end (disconnect, grace expiry, shutdown) sends it again.
    qCWarning(lcPeerSession).noquote() << kEndRetryLine;
}

// --- Published state -------------------------------------------------------------------------

void SessionCoordinator::setConnectionState(ConnectionState state) {
    if (m_connectionState == state)
        return;
    m_connectionState = std::move(state);
    Q_EMIT connectionStateChanged(m_connectionState);
}

void SessionCoordinator::setLatencyText(QString text) {
    if (m_latencyText == text)
        return;
    m_latencyText = std::move(text);
    Q_EMIT latencyTextChanged(m_latencyText);
}

void SessionCoordinator::setScreenPermissionNeeded(bool needed) {
    if (m_screenPermissionNeeded == needed)
        return;
    m_screenPermissionNeeded = needed;
    Q_EMIT screenPermissionNeededChanged(needed);
}

void SessionCoordinator::setCaptureStatus(CaptureStatus status) {
    if (m_captureStatus == status)
        return;
    m_captureStatus = status;
    Q_EMIT captureStatusChanged(status);
}

}  // namespace velurio
