#pragma once
// The application's central object, in local mode: it owns the settings, the stroke store, the
// toolbar state and the overlay, keeps the overlay's interaction mode in step with the
// settings, shows the first-time hint, and offers the actions of the shortcuts (toggle
// annotation, clear, save PNG). Sessions with a tablet plug in here. Without a tablet, while
// annotation is on, it watches the overlay's display for slide changes itself (SlideWatcher)
// so that "clear on slide change" works with the mouse alone.
//
// Main thread only.

#include "app/clock/scheduler.h"
#include "app/overlay/annotation_overlay_controller.h"
#include "app/settings/app_settings.h"
#include "app/settings/toolbar_state.h"
#include "core/stroke_store.h"

#include <QObject>
#include <QRect>

#include <functional>
#include <memory>
#include <optional>

class QScreen;

namespace velurio {

class SlideWatcher;

class SessionCoordinator : public QObject {
    Q_OBJECT
  public:
    static constexpr std::chrono::milliseconds kMouseHintDuration{6000};

    // `settings` defaults to the standard location; `scheduler` to real time.
    explicit SessionCoordinator(std::unique_ptr<AppSettings> settings = nullptr,
                                Scheduler* scheduler = nullptr, QObject* parent = nullptr);
    ~SessionCoordinator() override;

    // Creates the overlay on `screen` and subscribes to the settings (their current values are
    // applied at once). Called once.
    void bootstrap(QScreen* screen);
    // Ends what runs; safe to call more than once.
    void shutdown();

    // Mouse drawing is on exactly when annotation is active and no tablet is connected; absent
    // arguments are read from the settings.
    void updateInteractionMode(std::optional<bool> annotationActive = std::nullopt,
                               std::optional<bool> showToolbar = std::nullopt);
    // The shortcut hint, shown once per installation when annotation first turns on.
    void maybeShowMouseHint();
    QString mouseHintText() const;

    // Actions of the global shortcuts and the menu.
    void toggleAnnotation();
    void clearStrokes();
    void saveAnnotationsAsPNG();

    // Whether the mouse draws on the overlay (annotation on, no tablet).
    bool mouseDrawing() const { return m_mouseDrawing; }
    // The local slide watcher while it runs, else nullptr.
    SlideWatcher* slideWatcher() const;

    AppSettings& settings() { return *m_settings; }
    StrokeStore& strokeStore() { return m_store; }
    ToolbarState& toolbarState() { return m_toolbarState; }
    AnnotationOverlayController* overlay() const { return m_overlay.get(); }
    bool peerActive() const { return m_peerActive; }

    // Where the floating toolbar shows or hides; set by the toolbar when it exists.
    std::function<void(bool visible, QScreen* screen)> onToolbarVisibility;

  Q_SIGNALS:
    void mouseDrawingChanged(bool on);

  private:
    // Runs the local slide watcher exactly while mouse drawing is on and the setting asks for
    // clearing on slide change (on an X server; restarted when the overlay's screen moves).
    void updateSlideWatching();
    void localSlideChanged();

    std::unique_ptr<AppSettings> m_settings;
    std::unique_ptr<QtScheduler> m_ownScheduler;
    Scheduler* m_scheduler;
    ToolbarState m_toolbarState;
    StrokeStore m_store;
    std::unique_ptr<AnnotationOverlayController> m_overlay;
    bool m_peerActive = false;
    bool m_mouseDrawing = false;
    std::unique_ptr<SlideWatcher> m_slideWatcher;
    QRect m_watchedArea;
    bool m_watchRefused = false;
    bool m_bootstrapped = false;
    bool m_shutDown = false;
};

}  // namespace velurio
