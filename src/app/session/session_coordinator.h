#pragma once
// The application's central object. It owns every part a session needs (settings, stroke
// store, toolbar state, overlay, platform client and its secret store, session server, capture
// engine, latency tracker, and the account flow) and wires them in one place:
//
//   session_coordinator.cpp           construction, bootstrap, services, shutdown, published state
//   session_coordinator_peer.cpp      one tablet at a time: hello validation, activation,
//                                     capture and the platform session, latency, the end and
//                                     the 30-second grace for a dropped tablet
//   session_coordinator_displays.cpp  the captured display, the overlay's screen, whether
//                                     the mouse draws, and the local slide watching
//
// Without a tablet, while the mouse draws, it watches the overlay's display for slide changes
// itself (SlideWatcher) so that "clear on slide change" works with the mouse alone; once a
// tablet connects the capture for the tablet does that instead.
//
// The account half (sign in and out, device registration, pairing code, nearby tablets) is the
// owned AccountFlow; the coordinator sequences it with the services and republishes its state.
// Windows, the tray and the status pin observe the signals below and call the operations.
//
// Threads: main thread only; every callback of the parts runs there. Coroutines re-check after
// each suspension that the coordinator and the tablet they started for are still current.
// Lifetime: created before the shell, destroyed after it; destroying it ends what runs without
// waiting for the platform (call shutdown() and await it first for a clean end).

#include "app/capture/capture_engine.h"
#include "app/clock/scheduler.h"
#include "app/overlay/annotation_overlay_controller.h"
#include "app/session/account_flow.h"
#include "app/settings/app_settings.h"
#include "app/settings/toolbar_state.h"
#include "app/transport/session_server.h"
#include "app/web/platform_client.h"
#include "core/latency_tracker.h"
#include "core/stroke_store.h"
#include "platform/keychain/secret_store.h"

#include <QCoroTask>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QRect>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

class QScreen;

namespace velurio {

class SlideWatcher;

class SessionCoordinator : public QObject {
    Q_OBJECT
  public:
    // The connected tablet; a ConnectionState without one is "no peer".
    struct ConnectedPeer {
        QString deviceName;
        SessionServer::Transport transport = SessionServer::Transport::tcp;
        friend bool operator==(const ConnectedPeer&, const ConnectedPeer&) = default;
    };
    using ConnectionState = std::optional<ConnectedPeer>;

    static constexpr std::chrono::milliseconds kMouseHintDuration{6000};
    // How long a dropped tablet may take to come back before the session ends.
    static constexpr std::chrono::milliseconds kReconnectGrace{30'000};
    // A resuming hello this soon after the end skips the platform's pairing check.
    static constexpr std::chrono::milliseconds kResumeWindow{30'000};
    static constexpr std::size_t kLatencySamples = 2048;
    static inline const QString kNoLatencyText = QStringLiteral("—");
    static inline const QString kEndRetryLine =
        QStringLiteral("Velurio: encerramento da sessão será tentado novamente");

    // Every part the coordinator would otherwise make itself; tests hand in their own.
    struct Parts {
        std::unique_ptr<AppSettings> settings;   // default: the standard location
        Scheduler* scheduler = nullptr;          // default: real time; must outlive
        std::unique_ptr<SecretStore> secrets;    // default: makeSecretStore()
        std::optional<QUrl> platformURL;         // default: PlatformClient::defaultBaseURL()
        std::unique_ptr<CaptureEngine> capture;  // default: 30 fps, H.264, the platform backend
        std::unique_ptr<QUICBackend> quic;       // default: makePlatformQUICBackend()
        std::unique_ptr<ServiceAdvertiser> advertiser;  // default: the platform's
        AccountFlow::BrowserFactory presenceBrowser;    // default: the platform's
        QHostAddress bindAddress = QHostAddress::Any;
        PeerTiming peerTiming;
    };

    // Local-mode construction (as before sessions existed): the other parts are the defaults.
    explicit SessionCoordinator(std::unique_ptr<AppSettings> settings = nullptr,
                                Scheduler* scheduler = nullptr, QObject* parent = nullptr);
    explicit SessionCoordinator(Parts parts, QObject* parent = nullptr);
    ~SessionCoordinator() override;

    // --- Start and stop ----------------------------------------------------------------------
    // Creates the overlay on `screen`, wires every part, then starts the post-boot task
    // (tokens, device registration, recovery, services, nearby devices). Called once.
    void bootstrap(QScreen* screen);
    // Runs once (later calls return at once): the tablet gets `end` "userEnded", the server
    // and capture stop, pending hello decisions are refused, and the platform session is
    // ended (awaited).
    QCoro::Task<void> shutdown();
    // True once the post-boot task has finished.
    bool booted() const { return m_booted; }

    // --- Session -----------------------------------------------------------------------------
    // The user ends the session (menu, pin).
    void disconnectPeer();

    // --- Account (see AccountFlow) -------------------------------------------------------------
    // A rejected login returns the platform's error and changes nothing.
    QCoro::Task<PlatformStatus> login(QString email, QString password);
    QCoro::Task<void> logout();
    QCoro::Task<bool> refreshPairingCode();
    QCoro::Task<void> refreshNearbyDevices();
    // Makes sure a pairing code that has not expired is on display; `device` is not contacted.
    QCoro::Task<void> connectToNearby(NearbyDevice device);

    // --- Displays and interaction --------------------------------------------------------------
    void sendDisplays();
    // Queued behind the previous change; none runs in parallel, none is dropped.
    void scheduleDisplayChange(std::uint32_t id);
    void moveOverlayToSelectedDisplay();
    // Mouse drawing is on exactly when annotation is active and no tablet is connected; absent
    // arguments are read from the settings.
    void updateInteractionMode(std::optional<bool> annotationActive = std::nullopt,
                               std::optional<bool> showToolbar = std::nullopt);
    // The shortcut hint, shown once per installation when annotation first turns on.
    void maybeShowMouseHint();
    QString mouseHintText() const;

    // Actions of the global shortcuts, the pin and the menu.
    void toggleAnnotation();
    void clearStrokes();
    void saveAnnotationsAsPNG();

    // Whether the mouse draws on the overlay (annotation on, no tablet).
    bool mouseDrawing() const { return m_mouseDrawing; }
    // The local slide watcher while it runs, else nullptr.
    SlideWatcher* slideWatcher() const;

    // --- Published state -------------------------------------------------------------------------
    const ConnectionState& connectionState() const { return m_connectionState; }
    const QString& latencyText() const { return m_latencyText; }
    const std::optional<PairingState>& pairing() const { return m_account->pairing(); }
    const QList<NearbyDevice>& nearbyDevices() const { return m_account->nearbyDevices(); }
    const QString& accountSummary() const { return m_account->accountSummary(); }
    const std::optional<QString>& userEmail() const { return m_account->userEmail(); }
    bool screenPermissionNeeded() const { return m_screenPermissionNeeded; }
    bool authenticated() const { return m_account->authenticated(); }
    CaptureStatus captureStatus() const { return m_captureStatus; }
    // The displays that can be captured and the one selected (followed by the overlay).
    const std::vector<DisplayDescriptor>& displays() const { return m_capture->displays(); }
    std::optional<std::uint32_t> selectedDisplayID() const {
        return m_capture->selectedDisplayID();
    }

    // --- Parts
    // -------------------------------------------------------------------------------------
    AppSettings& settings() { return *m_settings; }
    StrokeStore& strokeStore() { return m_store; }
    ToolbarState& toolbarState() { return m_toolbarState; }
    AnnotationOverlayController* overlay() const { return m_overlay.get(); }
    SessionServer& server() { return *m_server; }
    CaptureEngine& capture() { return *m_capture; }
    PlatformClient& client() { return *m_client; }
    AccountFlow& account() { return *m_account; }
    const LatencyTracker& latencyTracker() const { return m_latencyTracker; }
    // Milliseconds from a tablet's stroke message to the overlay's next paint (recent ones).
    const LatencyTracker& inkLatency() const { return m_inkLatency; }
    bool peerActive() const { return m_peer != nullptr; }
    PeerConnection* peer() const { return m_peer.data(); }
    const std::optional<QString>& platformSessionId() const { return m_platformSessionId; }

    // Where the floating toolbar shows or hides; set by the shell that owns the toolbar.
    std::function<void(bool visible, QScreen* screen)> onToolbarVisibility;

  Q_SIGNALS:
    void connectionStateChanged(const SessionCoordinator::ConnectionState& state);
    void latencyTextChanged(const QString& text);
    void pairingChanged(const std::optional<PairingState>& pairing);
    void nearbyDevicesChanged(const QList<NearbyDevice>& devices);
    void accountSummaryChanged(const QString& summary);
    void userEmailChanged(const std::optional<QString>& email);
    void screenPermissionNeededChanged(bool needed);
    void authenticatedChanged(bool authenticated);
    void captureStatusChanged(CaptureStatus status);
    // The capture's display list or its selection changed: displays(), selectedDisplayID().
    void displaysChanged();
    // The overlay moved onto another screen (the pin follows it).
    void overlayScreenChanged(QScreen* screen);
    // The post-boot task finished (services started when signed in).
    void bootFinished();
    // The platform session ended (or was found already ended); for observers and tests.
    void platformSessionEnded();
    // mouseDrawing() changed.
    void mouseDrawingChanged(bool on);

  private:
    // session_coordinator.cpp
    void wireParts();
    void wireDisplaySubscriptions();
    QCoro::Task<void> postBoot();
    void refreshServices();
    HelloMessage ownHello(const std::optional<std::string>& sessionId,
                          const std::optional<std::string>& token) const;
    std::optional<QString> storedText(const char* key) const;
    void requestKeyframe();
    void routeDatagrams(std::vector<Bytes> datagrams);
    void slideChanged(std::uint64_t hash);
    void sendToolState();
    void stopEverythingNow();

    // session_coordinator_peer.cpp
    void configure(PeerConnection* peer, SessionServer::Transport transport);
    QCoro::Task<void> answerHello(QPointer<PeerConnection> peer, HelloMessage hello,
                                  PeerConnection::HelloDecision decide);
    QCoro::Task<bool> validate(HelloMessage hello);
    void activate(PeerConnection* peer, SessionServer::Transport transport);
    void replayStore();
    QCoro::Task<void> beginCaptureAndPlatformSession(QPointer<PeerConnection> peer);
    QCoro::Task<void> startCaptureIfPossible();
    bool screenCapturePermitted();
    void recordLatency(double rttMs);
    void handlePeerClosed(PeerConnection* peer);
    void detachPeer(bool sessionEnded);
    QCoro::Task<void> endPlatformSessionThenStopCapture();
    QCoro::Task<void> endPlatformSession();
    bool peerIsActive(const QPointer<PeerConnection>& peer) const;
    void setConnectionState(ConnectionState state);
    void setLatencyText(QString text);
    void setScreenPermissionNeeded(bool needed);
    void setCaptureStatus(CaptureStatus status);

    // session_coordinator_displays.cpp
    void runDisplayChanges();
    void applyDisplayChange(std::uint32_t id);
    QScreen* screenForSelectedDisplay() const;
    QScreen* overlayScreen() const;
    // Runs the local slide watcher exactly while mouse drawing is on and the setting asks for
    // clearing on slide change (on an X server; restarted when the overlay's screen moves).
    void updateSlideWatching();
    void localSlideChanged();

    std::unique_ptr<AppSettings> m_settings;
    std::unique_ptr<QtScheduler> m_ownScheduler;
    Scheduler* m_scheduler;
    std::unique_ptr<SecretStore> m_secrets;
    ToolbarState m_toolbarState;
    StrokeStore m_store;
    std::unique_ptr<PlatformClient> m_client;
    std::unique_ptr<AccountFlow> m_account;
    std::unique_ptr<SessionServer> m_server;
    std::unique_ptr<CaptureEngine> m_capture;
    std::unique_ptr<AnnotationOverlayController> m_overlay;
    LatencyTracker m_latencyTracker{kLatencySamples};
    LatencyTracker m_inkLatency{600};
    std::optional<std::chrono::steady_clock::time_point> m_inkArrived;  // not yet painted

    // Published.
    ConnectionState m_connectionState;
    QString m_latencyText = kNoLatencyText;
    bool m_screenPermissionNeeded = false;
    CaptureStatus m_captureStatus = CaptureStatus::starting;

    // The session.
    QPointer<PeerConnection> m_peer;
    SessionServer::Transport m_peerTransport = SessionServer::Transport::tcp;
    std::optional<std::chrono::milliseconds> m_sessionStartedAt;  // scheduler time
    std::optional<std::chrono::milliseconds> m_sessionEndedAt;    // scheduler time
    bool m_platformStartInFlight = false;
    std::optional<QString> m_platformSessionId;
    std::optional<std::string> m_lastSessionId;
    Scheduler::Id m_reconnectGraceTask = 0;
    bool m_permissionRequested = false;
    // Hello decisions still owed, by ticket: every one is answered, at the latest by shutdown.
    std::map<std::uint64_t, PeerConnection::HelloDecision> m_pendingDecisions;
    std::uint64_t m_nextDecisionTicket = 0;

    // Display changes waiting, in the order they were asked for; they run one after another.
    std::deque<std::uint32_t> m_displayChanges;
    bool m_displayChangesPosted = false;
    std::optional<std::uint32_t> m_lastSelectedDisplaySetting;

    // Mouse drawing and the local slide watcher that runs only with it.
    bool m_mouseDrawing = false;
    std::unique_ptr<SlideWatcher> m_slideWatcher;
    QRect m_watchedArea;
    bool m_watchRefused = false;

    bool m_bootstrapped = false;
    bool m_booted = false;
    bool m_shutdownStarted = false;
};

}  // namespace velurio
