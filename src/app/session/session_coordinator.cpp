#include "app/session/session_coordinator.h"

#include "app/capture/slide_watcher.h"
#include "app/identity/host_name.h"
#include "app/overlay/png_exporter.h"
#include "app/ui/panel.h"

#include <QCoroTask>
#include <QGuiApplication>
#include <QScreen>
#include <QUuid>
#include <QWidget>

namespace velurio {

SessionCoordinator::SessionCoordinator(std::unique_ptr<AppSettings> settings, Scheduler* scheduler,
                                       QObject* parent)
    : SessionCoordinator(
          [&] {
              Parts parts;
              parts.settings = std::move(settings);
              parts.scheduler = scheduler;
              return parts;
          }(),
          parent) {}

SessionCoordinator::SessionCoordinator(Parts parts, QObject* parent)
    : QObject(parent),
      m_settings(parts.settings ? std::move(parts.settings) : std::make_unique<AppSettings>()),
      m_scheduler(parts.scheduler),
      m_secrets(parts.secrets ? std::move(parts.secrets) : makeSecretStore()) {
    if (m_scheduler == nullptr) {
        m_ownScheduler = std::make_unique<QtScheduler>();
        m_scheduler = m_ownScheduler.get();
    }
    m_client = std::make_unique<PlatformClient>(
        parts.platformURL.value_or(PlatformClient::defaultBaseURL()), *m_secrets);
    m_client->setDeviceName(HostName::localizedHostName());
    m_account = std::make_unique<AccountFlow>(*m_client, *m_secrets, m_settings->store(),
                                              std::move(parts.presenceBrowser));
    // The USB connector polls on the coordinator's clock, like every other timer of a session.
    m_server = std::make_unique<SessionServer>(
        SessionServer::deviceIdentityProvider(*m_secrets),
        parts.quic ? std::move(parts.quic) : makePlatformQUICBackend(parts.bindAddress),
        std::move(parts.advertiser), nullptr, new USBConnector(m_scheduler));
    m_server->bindAddress = parts.bindAddress;
    m_server->peerTiming = parts.peerTiming;
    m_capture =
        parts.capture
            ? std::move(parts.capture)
            : std::make_unique<CaptureEngine>(CaptureSettings{30, H264Encoder::Codec::h264});

    // The account's state is the coordinator's published state.
    connect(m_account.get(), &AccountFlow::authenticatedChanged, this,
            &SessionCoordinator::authenticatedChanged);
    connect(m_account.get(), &AccountFlow::userEmailChanged, this,
            &SessionCoordinator::userEmailChanged);
    connect(m_account.get(), &AccountFlow::pairingChanged, this,
            &SessionCoordinator::pairingChanged);
    connect(m_account.get(), &AccountFlow::nearbyDevicesChanged, this,
            &SessionCoordinator::nearbyDevicesChanged);
    connect(m_account.get(), &AccountFlow::accountSummaryChanged, this,
            &SessionCoordinator::accountSummaryChanged);
    connect(m_capture.get(), &CaptureEngine::stateChanged, this,
            &SessionCoordinator::displaysChanged);
}

SessionCoordinator::~SessionCoordinator() {
    if (!m_shutdownStarted) {
        m_shutdownStarted = true;
        stopEverythingNow();
    }
    // Nothing of the parts calls back into a half-destroyed coordinator.
    m_server->isVideoPeerAllowed = nullptr;
    m_server->onPeerAccepted = nullptr;
    m_server->onVideoConnectionChanged = nullptr;
    m_capture->onDatagrams = nullptr;
    m_capture->onSlideChanged = nullptr;
    m_store.onSend = nullptr;
    m_toolbarState.onChanged = nullptr;
    m_slideWatcher.reset();
    m_overlay.reset();
}

// --- Bootstrap ------------------------------------------------------------------------------

void SessionCoordinator::bootstrap(QScreen* screen) {
    if (m_bootstrapped)
        return;
    m_bootstrapped = true;
    // 1. The overlay on the given screen.
    m_overlay = std::make_unique<AnnotationOverlayController>(screen, m_store, m_toolbarState,
                                                              *m_scheduler);
    connect(m_overlay->canvas(), &AnnotationCanvasView::painted, this, [this] {
        if (!m_inkArrived)
            return;
        m_inkLatency.record(std::chrono::duration<double, std::milli>(
                                std::chrono::steady_clock::now() - *m_inkArrived)
                                .count());
        m_inkArrived.reset();
    });
    // 2. The displays, and the saved selection when it is one of them.
    m_capture->refreshScreenList();
    if (const auto saved = m_settings->selectedDisplayID()) {
        const auto& listed = m_capture->displays();
        if (std::any_of(listed.begin(), listed.end(),
                        [&](const DisplayDescriptor& d) { return d.id == *saved; })) {
            m_capture->setSelectedDisplayID(saved);
        }
    }
    // 3. The overlay onto the selected display.
    moveOverlayToSelectedDisplay();
    // 4. The floating toolbar and the shortcuts belong to the shell (ShellController), which
    // drives them from this object. 5, 6. Settings, server, capture, toolbar state and store.
    wireParts();
    wireDisplaySubscriptions();
    // 7-9. The account (its tokens load asynchronously), then the services.
    QCoro::connect(postBoot(), this, [] {});
}

void SessionCoordinator::wireParts() {
    m_server->isVideoPeerAllowed = [this](const VideoConnection& connection) {
        return m_peer != nullptr &&
               SessionServer::hasSameRemoteHost(RemoteEndpoint{connection.host, connection.port},
                                                m_peer->remoteEndpoint());
    };
    m_server->onPeerAccepted = [this](PeerConnection* peer, SessionServer::Transport transport) {
        configure(peer, transport);
    };
    m_server->onVideoConnectionChanged = [this](const std::optional<VideoConnection>& connection) {
        if (!connection)
            return;
        requestKeyframe();
        if (m_peer)
            QCoro::connect(beginCaptureAndPlatformSession(m_peer), this, [] {});
    };
    connect(m_server.get(), &SessionServer::videoKeyframeNeeded, this,
            &SessionCoordinator::requestKeyframe, Qt::UniqueConnection);
    m_capture->onDatagrams = [this](std::vector<Bytes> datagrams) {
        routeDatagrams(std::move(datagrams));
    };
    m_capture->onSlideChanged = [this](std::uint64_t hash) { slideChanged(hash); };
    m_toolbarState.onChanged = [this](const ToolbarState&) { sendToolState(); };
    m_store.onSend = [this](const SessionMessage& message) {
        if (m_peer)
            m_peer->sendInk(message);
    };
    // Screen capture may have been allowed while the tablet waited.
    connect(qGuiApp, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState state) {
                if (state != Qt::ApplicationActive || !m_screenPermissionNeeded || !m_peer)
                    return;
                if (screenCapturePermitted())
                    QCoro::connect(beginCaptureAndPlatformSession(m_peer), this, [] {});
            });
}

QCoro::Task<void> SessionCoordinator::postBoot() {
    QPointer<SessionCoordinator> self(this);
    co_await m_account->loadStoredAccount();
    if (!self || m_shutdownStarted)
        co_return;
    if (screenCapturePermitted()) {
        if (const auto saved = m_settings->selectedDisplayID()) {
            const auto& listed = m_capture->displays();
            if (std::any_of(listed.begin(), listed.end(),
                            [&](const DisplayDescriptor& d) { return d.id == *saved; })) {
                m_capture->setSelectedDisplayID(saved);
            }
        }
    }
    if (m_account->authenticated()) {
        co_await m_account->ensureDeviceRegistered();
        if (!self || m_shutdownStarted)
            co_return;
        if (!m_peer) {
            co_await m_account->recoverPreviousSession();
            if (!self || m_shutdownStarted)
                co_return;
        }
    }
    refreshServices();
    if (m_account->authenticated()) {
        co_await m_account->refreshNearbyDevices();
        if (!self)
            co_return;
    }
    m_booted = true;
    Q_EMIT bootFinished();
}

std::optional<QString> SessionCoordinator::storedText(const char* key) const {
    const QVariant value = m_settings->store().value(QLatin1String(key));
    if (!value.isValid())
        return std::nullopt;
    return value.toString();
}

HelloMessage SessionCoordinator::ownHello(const std::optional<std::string>& sessionId,
                                          const std::optional<std::string>& token) const {
    HelloMessage hello;
    hello.v = 1;
    hello.sessionId =
        sessionId ? *sessionId : QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
    hello.role = PeerRole::mac;
    hello.deviceId =
        storedText(AccountFlow::kDeviceIdKey).value_or(QStringLiteral("mac-local")).toStdString();
    hello.deviceName = HostName::localizedHostName().toStdString();
    hello.token = token.value_or(std::string());
    hello.attestation = storedText(AccountFlow::kAttestationKey).value_or(QString()).toStdString();
    hello.resume = false;
    return hello;
}

void SessionCoordinator::refreshServices() {
    if (m_account->authenticated() && !m_shutdownStarted) {
        HelloMessage offer = ownHello(std::nullopt, std::nullopt);
        offer.deviceId = storedText(AccountFlow::kDeviceIdKey).value_or(QString()).toStdString();
        m_server->usbOffer = offer;
        m_server->deviceId = storedText(AccountFlow::kDeviceIdKey);
        m_server->start();
        if (!m_account->pairing()) {
            QCoro::connect(refreshPairingCode(), this, [](bool) {});
            m_account->startPresenceBrowser();
        }
    }
    updateInteractionMode();
}

// --- Wiring of the media and the ink ---------------------------------------------------------

void SessionCoordinator::requestKeyframe() {
    m_capture->keyframeFlag().set();
    m_capture->encoder().requestKeyframe();
}

void SessionCoordinator::routeDatagrams(std::vector<Bytes> datagrams) {
    if (m_peer && m_peer->isUSB()) {
        m_peer->sendUSBVideo(datagrams);
        return;
    }
    if (!m_server->videoConnection())
        return;  // no path for video: dropped
    for (const Bytes& datagram : datagrams) {
        m_server->sendVideoDatagram(QByteArray(reinterpret_cast<const char*>(datagram.data()),
                                               static_cast<qsizetype>(datagram.size())));
    }
}

void SessionCoordinator::slideChanged(std::uint64_t hash) {
    if (m_settings->clearOnSlideChange())
        m_store.clear(true);
    if (m_peer)
        m_peer->sendControl(SlideChangedMessage{hash});
}

void SessionCoordinator::sendToolState() {
    if (!m_peer)
        return;
    ToolStateMessage message;
    message.tool = std::string(rawValue(m_toolbarState.tool()));
    message.color = m_toolbarState.color().hex;
    message.width = rawValue(m_toolbarState.thickness());  // 2, 4 or 8
    m_peer->sendControl(message);
}

// --- Account ---------------------------------------------------------------------------------

QCoro::Task<PlatformStatus> SessionCoordinator::login(QString email, QString password) {
    QPointer<SessionCoordinator> self(this);
    // Calls are made apart from their co_await (g++ 12 mishandles temporaries inside one).
    auto signIn = m_account->signIn(std::move(email), std::move(password));
    PlatformStatus status = co_await signIn;
    if (!self || !status.ok())
        co_return status;
    co_await m_account->ensureDeviceRegistered();
    if (!self)
        co_return status;
    if (!m_peer) {
        co_await m_account->recoverPreviousSession();
        if (!self)
            co_return status;
    }
    refreshServices();
    co_await m_account->refreshNearbyDevices();
    co_return status;
}

QCoro::Task<void> SessionCoordinator::logout() {
    QPointer<SessionCoordinator> self(this);
    disconnectPeer();
    // A session of this account cannot be resumed once it signed out.
    m_lastSessionId.reset();
    m_sessionEndedAt.reset();
    co_await m_account->signOut();
    if (!self)
        co_return;
    m_server->stop();
    refreshServices();
}

QCoro::Task<bool> SessionCoordinator::refreshPairingCode() {
    if (!m_account->authenticated() || !m_account->deviceId())
        co_return false;
    QPointer<SessionCoordinator> self(this);
    if (!m_peer && m_platformSessionId) {
        co_await endPlatformSession();
        if (!self)
            co_return false;
    }
    co_return co_await m_account->requestPairingCode();
}

QCoro::Task<void> SessionCoordinator::refreshNearbyDevices() {
    co_await m_account->refreshNearbyDevices();
}

QCoro::Task<void> SessionCoordinator::connectToNearby(NearbyDevice) {
    const auto& pairing = m_account->pairing();
    if (pairing && pairing->expiresAt > QDateTime::currentDateTimeUtc())
        co_return;
    co_await refreshPairingCode();
}

// --- Stop ------------------------------------------------------------------------------------

void SessionCoordinator::stopEverythingNow() {
    if (m_reconnectGraceTask != 0) {
        m_scheduler->cancel(m_reconnectGraceTask);
        m_reconnectGraceTask = 0;
    }
    // Tablets still waiting for their hello get their answer now, not at their timeout.
    auto pending = std::exchange(m_pendingDecisions, {});
    for (auto& [ticket, decide] : pending) {
        decide(false);
    }
    if (PeerConnection* peer = m_peer.data()) {
        peer->sendEnd(SessionEndReason::userEnded);
        peer->close(false);
    }
    m_peer = nullptr;
    setConnectionState(std::nullopt);
    m_server->stop();
    m_capture->stop();
    if (m_slideWatcher)
        m_slideWatcher->stop();
}

QCoro::Task<void> SessionCoordinator::shutdown() {
    if (m_shutdownStarted)
        co_return;
    m_shutdownStarted = true;
    stopEverythingNow();
    QPointer<SessionCoordinator> self(this);
    co_await endPlatformSession();
    if (!self)
        co_return;
    m_settings->sync();
}

// --- Shortcut actions ------------------------------------------------------------------------

void SessionCoordinator::toggleAnnotation() {
    m_settings->setAnnotationActive(!m_settings->annotationActive());
}

void SessionCoordinator::clearStrokes() {
    m_store.clear(true);
}

void SessionCoordinator::saveAnnotationsAsPNG() {
    // A second press while the dialog is up does not open another one.
    if (!m_overlay || m_overlay->modal())
        return;
    // The dialog goes above the overlay and gets every click; afterwards drawing resumes.
    const AnnotationOverlayController::ModalScope dialogUp(*m_overlay);
    PNGExporter::savePNG(m_store, QSizeF(m_overlay->canvas()->size()), m_overlay->backingScale(),
                         nullptr);
}

}  // namespace velurio
