#include "app/session/session_coordinator.h"

#include "app/capture/slide_watcher.h"
#include "app/overlay/png_exporter.h"
#include "app/ui/panel.h"

#include <QGuiApplication>
#include <QLoggingCategory>
#include <QScreen>
#include <QWidget>

namespace velurio {

SessionCoordinator::SessionCoordinator(std::unique_ptr<AppSettings> settings, Scheduler* scheduler,
                                       QObject* parent)
    : QObject(parent),
      m_settings(settings ? std::move(settings) : std::make_unique<AppSettings>()),
      m_scheduler(scheduler) {
    if (m_scheduler == nullptr) {
        m_ownScheduler = std::make_unique<QtScheduler>();
        m_scheduler = m_ownScheduler.get();
    }
}

SessionCoordinator::~SessionCoordinator() {
    shutdown();
    m_slideWatcher.reset();
    m_overlay.reset();
}

void SessionCoordinator::bootstrap(QScreen* screen) {
    if (m_bootstrapped)
        return;
    m_bootstrapped = true;
    m_overlay = std::make_unique<AnnotationOverlayController>(screen, m_store, m_toolbarState,
                                                              *m_scheduler);

    connect(m_settings.get(), &AppSettings::annotationActiveChanged, this, [this](bool value) {
        updateInteractionMode(value);
        if (value)
            maybeShowMouseHint();
    });
    connect(m_settings.get(), &AppSettings::highlightCursorChanged, this, [this](bool value) {
        if (!m_overlay)
            return;
        m_overlay->highlightCursor = value;
        m_overlay->updateCursorHighlightVisibility();
    });
    connect(m_settings.get(), &AppSettings::showToolbarChanged, this,
            [this](bool value) { updateInteractionMode(std::nullopt, value); });
    connect(m_settings.get(), &AppSettings::clearOnSlideChangeChanged, this,
            [this](bool) { updateSlideWatching(); });

    // The overlay follows its screen: a new resolution redraws everything at the new size, and
    // when the screen goes away the overlay moves to the main screen.
    auto follow = [this](QScreen* target) {
        if (!m_overlay || target == nullptr)
            return;
        connect(target, &QScreen::geometryChanged, m_overlay.get(),
                [this, target](const QRect& geometry) {
                    if (!m_overlay || m_overlay->window()->screen() != target)
                        return;
                    m_overlay->setScreenGeometry(geometry);
                    m_overlay->canvas()->apply(StrokeEvent::changed());
                    updateSlideWatching();
                });
    };
    follow(screen);
    connect(qGuiApp, &QGuiApplication::screenRemoved, this, [this, follow](QScreen* removed) {
        if (!m_overlay || m_overlay->window()->screen() != removed)
            return;
        QScreen* next = fallbackScreen(removed);
        if (next == nullptr)
            return;  // no screen left: the overlay stays where it is
        m_overlay->moveToScreen(next);
        m_overlay->canvas()->apply(StrokeEvent::changed());
        follow(next);
        updateInteractionMode();
    });

    // Subscribers see the current values at once.
    m_overlay->highlightCursor = m_settings->highlightCursor();
    m_overlay->updateCursorHighlightVisibility();
    updateInteractionMode(m_settings->annotationActive());
    if (m_settings->annotationActive())
        maybeShowMouseHint();
}

void SessionCoordinator::shutdown() {
    if (m_shutDown)
        return;
    m_shutDown = true;
    if (m_slideWatcher)
        m_slideWatcher->stop();
    m_settings->sync();
}

void SessionCoordinator::updateInteractionMode(std::optional<bool> annotationActive,
                                               std::optional<bool> showToolbar) {
    const bool active = annotationActive.value_or(m_settings->annotationActive());
    const bool toolbar = showToolbar.value_or(m_settings->showToolbar());
    const bool mouseDrawing = active && !m_peerActive;
    QScreen* screen = nullptr;
    if (m_overlay) {
        m_overlay->setIgnoresMouseEvents(!mouseDrawing);
        m_overlay->canvas()->setMouseEnabled(mouseDrawing);
        if (!mouseDrawing)
            m_overlay->canvas()->setCursor(Qt::ArrowCursor);
        m_overlay->highlightCursor = m_settings->highlightCursor();
        m_overlay->updateCursorHighlightVisibility();
        screen = m_overlay->window()->screen();
    }
    const bool changed = mouseDrawing != m_mouseDrawing;
    m_mouseDrawing = mouseDrawing;
    updateSlideWatching();
    if (changed)
        Q_EMIT mouseDrawingChanged(mouseDrawing);
    if (screen == nullptr)
        screen = fallbackScreen();
    if (screen == nullptr)
        return;
    if (onToolbarVisibility)
        onToolbarVisibility(active && toolbar, screen);
}

SlideWatcher* SessionCoordinator::slideWatcher() const {
    return m_slideWatcher && m_slideWatcher->watching() ? m_slideWatcher.get() : nullptr;
}

void SessionCoordinator::updateSlideWatching() {
    const bool wanted = !m_shutDown && m_overlay && m_mouseDrawing &&
                        m_settings->clearOnSlideChange() &&
                        QGuiApplication::platformName() == QLatin1String("xcb");
    if (!wanted) {
        if (m_slideWatcher)
            m_slideWatcher->stop();
        m_watchedArea = QRect();
        m_watchRefused = false;
        return;
    }
    const QRect area = m_overlay->window()->geometry();
    // A refusal (no compositing) stands until the screen or the wish changes: no retry, and no
    // repeated log line, on every change of the interaction mode.
    if (m_slideWatcher && area == m_watchedArea && (m_slideWatcher->watching() || m_watchRefused))
        return;
    if (!m_slideWatcher) {
        m_slideWatcher = std::make_unique<SlideWatcher>();
        connect(m_slideWatcher.get(), &SlideWatcher::slideChanged, this,
                &SessionCoordinator::localSlideChanged);
    }
    m_watchedArea = area;
    m_watchRefused = !m_slideWatcher->start(area);
}

void SessionCoordinator::localSlideChanged() {
    if (m_peerActive || !m_settings->clearOnSlideChange())
        return;
    m_store.clear(true);
}

QString SessionCoordinator::mouseHintText() const {
    return m_settings->shortcutToggleAnnotation().displayText() + QStringLiteral(" pausa · ") +
           m_settings->shortcutClear().displayText() + QStringLiteral(" limpa · ") +
           m_settings->shortcutSavePNG().displayText() + QStringLiteral(" salva PNG");
}

void SessionCoordinator::maybeShowMouseHint() {
    if (m_peerActive || m_settings->annotationHintShown())
        return;
    m_settings->setAnnotationHintShown(true);
    m_settings->sync();
    if (m_overlay)
        m_overlay->showMouseHint(mouseHintText(), kMouseHintDuration);
}

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
