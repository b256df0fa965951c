// The captured display, the overlay's screen and the interaction mode: display selections (from
// the settings, the tablet or a change of screens) are applied one after another, the overlay
// follows the captured display, and the mouse draws only while no tablet is connected. While it
// draws, a local slide watcher follows the slides of the overlay's display.
#include "app/capture/slide_watcher.h"
#include "app/session/session_coordinator.h"
#include "app/ui/panel.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace velurio {

void SessionCoordinator::wireDisplaySubscriptions() {
    // The selected display: the current value at once, then each change (repeats removed).
    connect(m_settings.get(), &AppSettings::selectedDisplayIDChanged, this,
            [this](std::optional<std::uint32_t> id) {
                if (id == m_lastSelectedDisplaySetting)
                    return;
                m_lastSelectedDisplaySetting = id;
                if (id)
                    scheduleDisplayChange(*id);
            });
    m_lastSelectedDisplaySetting = m_settings->selectedDisplayID();
    if (m_lastSelectedDisplaySetting)
        scheduleDisplayChange(*m_lastSelectedDisplaySetting);

    // A change of screens: the list again, and the selection re-applied.
    auto screensChanged = [this] {
        m_capture->refreshScreenList();
        if (const auto selected = m_capture->selectedDisplayID())
            scheduleDisplayChange(*selected);
    };
    auto watch = [this, screensChanged](QScreen* screen) {
        connect(screen, &QScreen::geometryChanged, this, [this, screen, screensChanged] {
            // The overlay on this screen redraws at its new size at once.
            if (m_overlay && m_overlay->window()->screen() == screen) {
                m_overlay->setScreenGeometry(screen->geometry());
                m_overlay->canvas()->apply(StrokeEvent::changed());
                updateSlideWatching();
            }
            screensChanged();
        });
    };
    for (QScreen* screen : QGuiApplication::screens()) {
        watch(screen);
    }
    connect(qGuiApp, &QGuiApplication::screenAdded, this, [watch, screensChanged](QScreen* s) {
        watch(s);
        screensChanged();
    });
    connect(qGuiApp, &QGuiApplication::screenRemoved, this,
            [this, screensChanged](QScreen* removed) {
                // When the overlay's screen goes away it moves to the main screen at once.
                if (m_overlay && m_overlay->window()->screen() == removed) {
                    if (QScreen* next = fallbackScreen(removed)) {
                        m_overlay->moveToScreen(next);
                        m_overlay->canvas()->apply(StrokeEvent::changed());
                    }
                }
                screensChanged();
                updateInteractionMode();
            });

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

    // Subscribers see the current values at once.
    if (m_overlay) {
        m_overlay->highlightCursor = m_settings->highlightCursor();
        m_overlay->updateCursorHighlightVisibility();
    }
    updateInteractionMode(m_settings->annotationActive());
    if (m_settings->annotationActive())
        maybeShowMouseHint();
}

void SessionCoordinator::sendDisplays() {
    if (!m_peer)
        return;
    DisplaysMessage message;
    message.displays = m_capture->displays();
    message.selectedDisplayID = m_capture->selectedDisplayID();
    message.status = m_captureStatus;
    m_peer->sendControl(message);
}

void SessionCoordinator::scheduleDisplayChange(std::uint32_t id) {
    m_displayChanges.push_back(id);
    if (m_displayChangesPosted)
        return;
    m_displayChangesPosted = true;
    QMetaObject::invokeMethod(this, &SessionCoordinator::runDisplayChanges, Qt::QueuedConnection);
}

void SessionCoordinator::runDisplayChanges() {
    m_displayChangesPosted = false;
    // In the order asked for; each finishes before the next starts.
    while (!m_displayChanges.empty() && !m_shutdownStarted) {
        const std::uint32_t id = m_displayChanges.front();
        m_displayChanges.pop_front();
        applyDisplayChange(id);
    }
}

void SessionCoordinator::applyDisplayChange(std::uint32_t id) {
    const auto& listed = m_capture->displays();
    if (std::none_of(listed.begin(), listed.end(),
                     [id](const DisplayDescriptor& d) { return d.id == id; })) {
        return;
    }
    if (m_peer) {
        setCaptureStatus(CaptureStatus::starting);
        sendDisplays();
        if (screenCapturePermitted()) {
            if (m_capture->switchDisplay(id).ok()) {
                setCaptureStatus(m_capture->isCapturing() ? CaptureStatus::streaming
                                                          : CaptureStatus::starting);
                m_store.clear(true);
            } else {
                setCaptureStatus(CaptureStatus::failed);
            }
        } else {
            m_capture->setSelectedDisplayID(id);
            setCaptureStatus(CaptureStatus::permissionRequired);
        }
    } else {
        m_capture->setSelectedDisplayID(id);
    }
    moveOverlayToSelectedDisplay();
    sendDisplays();
}

QScreen* SessionCoordinator::screenForSelectedDisplay() const {
    const auto selected = m_capture->selectedDisplayID();
    if (!selected)
        return nullptr;
    const auto& listed = m_capture->displays();
    const auto display =
        std::find_if(listed.begin(), listed.end(),
                     [&](const DisplayDescriptor& d) { return d.id == *selected; });
    if (display == listed.end())
        return nullptr;
    // A display is known to the window system by its output (monitor) name.
    const QString name = QString::fromStdString(display->name);
    for (QScreen* screen : QGuiApplication::screens()) {
        if (screen->name() == name)
            return screen;
    }
    return nullptr;
}

QScreen* SessionCoordinator::overlayScreen() const {
    if (m_overlay) {
        if (QScreen* screen = m_overlay->window()->screen())
            return screen;
    }
    return fallbackScreen();
}

void SessionCoordinator::moveOverlayToSelectedDisplay() {
    QScreen* screen = screenForSelectedDisplay();
    if (screen == nullptr)
        return;  // the overlay stays where it is
    if (m_overlay && m_overlay->window()->screen() != screen) {
        m_overlay->moveToScreen(screen);
        m_overlay->canvas()->apply(StrokeEvent::changed());
    } else if (m_overlay) {
        m_overlay->setScreenGeometry(screen->geometry());
        m_overlay->canvas()->apply(StrokeEvent::changed());
    }
    updateInteractionMode();
    Q_EMIT overlayScreenChanged(screen);
}

void SessionCoordinator::updateInteractionMode(std::optional<bool> annotationActive,
                                               std::optional<bool> showToolbar) {
    const bool active = annotationActive.value_or(m_settings->annotationActive());
    const bool toolbar = showToolbar.value_or(m_settings->showToolbar());
    const bool mouseDrawing = active && m_peer == nullptr;
    if (m_overlay) {
        m_overlay->setIgnoresMouseEvents(!mouseDrawing);
        m_overlay->canvas()->setMouseEnabled(mouseDrawing);
        if (!mouseDrawing)
            m_overlay->canvas()->setCursor(Qt::ArrowCursor);
        m_overlay->highlightCursor = m_settings->highlightCursor();
        m_overlay->updateCursorHighlightVisibility();
    }
    // With a tablet the capture for it follows the slides, so the local watcher stops.
    const bool changed = mouseDrawing != m_mouseDrawing;
    m_mouseDrawing = mouseDrawing;
    updateSlideWatching();
    if (changed)
        Q_EMIT mouseDrawingChanged(mouseDrawing);
    // Without a tablet the pin is hidden: the shell follows connectionState.
    QScreen* screen = overlayScreen();
    if (screen == nullptr)
        return;
    if (onToolbarVisibility)
        onToolbarVisibility(active && toolbar, screen);
}

SlideWatcher* SessionCoordinator::slideWatcher() const {
    return m_slideWatcher && m_slideWatcher->watching() ? m_slideWatcher.get() : nullptr;
}

void SessionCoordinator::updateSlideWatching() {
    const bool wanted = !m_shutdownStarted && m_overlay && m_mouseDrawing && m_peer == nullptr &&
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
    // A tablet's capture reports its own slide changes (and tells the tablet).
    if (m_peer != nullptr || !m_settings->clearOnSlideChange())
        return;
    m_store.clear(true);
}

QString SessionCoordinator::mouseHintText() const {
    return m_settings->shortcutToggleAnnotation().displayText() + QStringLiteral(" pausa · ") +
           m_settings->shortcutClear().displayText() + QStringLiteral(" limpa · ") +
           m_settings->shortcutSavePNG().displayText() + QStringLiteral(" salva PNG");
}

void SessionCoordinator::maybeShowMouseHint() {
    if (m_peer != nullptr || m_settings->annotationHintShown())
        return;
    m_settings->setAnnotationHintShown(true);
    m_settings->sync();
    if (m_overlay)
        m_overlay->showMouseHint(mouseHintText(), kMouseHintDuration);
}

}  // namespace velurio
