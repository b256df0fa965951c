#include "app/session/session_coordinator.h"

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
    if (screen == nullptr)
        screen = fallbackScreen();
    if (screen == nullptr)
        return;
    if (onToolbarVisibility)
        onToolbarVisibility(active && toolbar, screen);
}

QString SessionCoordinator::mouseHintText() const {
    return m_settings->shortcutToggleAnnotation().displayString() + QStringLiteral(" pausa · ") +
           m_settings->shortcutClear().displayString() + QStringLiteral(" limpa · ") +
           m_settings->shortcutSavePNG().displayString() + QStringLiteral(" salva PNG");
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
    if (!m_overlay)
        return;
    PNGExporter::savePNG(m_store, QSizeF(m_overlay->canvas()->size()), m_overlay->backingScale(),
                         nullptr);
}

}  // namespace velurio
