#include "app/capture/slide_watcher.h"

#include <QLoggingCategory>
#include <QPointer>

#include <algorithm>

Q_LOGGING_CATEGORY(lcSlideWatcher, "velurio.slides")

namespace velurio {

namespace {

std::optional<CaptureBackend::Display> displayAt(
    const std::vector<CaptureBackend::Display>& displays, const QRect& area) {
    for (const CaptureBackend::Display& d : displays) {
        if (d.x == area.x() && d.y == area.y())
            return d;
    }
    const QPoint centre = area.center();
    for (const CaptureBackend::Display& d : displays) {
        const QRect rect(static_cast<int>(d.x), static_cast<int>(d.y), static_cast<int>(d.width),
                         static_cast<int>(d.height));
        if (rect.contains(centre))
            return d;
    }
    return std::nullopt;
}

}  // namespace

SlideWatcher::SlideWatcher(std::unique_ptr<CaptureBackend> backend, QObject* parent)
    : QObject(parent), m_backend(backend ? std::move(backend) : makePlatformCaptureBackend()) {}

SlideWatcher::~SlideWatcher() {
    stop();
}

bool SlideWatcher::start(const QRect& area) {
    stop();
    auto displays = m_backend->shareableDisplays();
    if (!displays) {
        qCWarning(lcSlideWatcher).noquote()
            << "Velurio: troca de slide não observada:" << QString::fromStdString(displays.error());
        return false;
    }
    const auto display = displayAt(*displays, area);
    if (!display || display->width <= 0 || display->height <= 0) {
        qCWarning(lcSlideWatcher)
            << "Velurio: troca de slide não observada: monitor não encontrado";
        return false;
    }
    const std::int64_t width = std::min<std::int64_t>(kImageWidth, display->width);
    const std::int64_t height =
        std::max<std::int64_t>(8, (display->height * width + display->width / 2) / display->width);
    const CaptureDimensions size{width, height};

    // Nothing runs on the capture thread yet: the monitor may be touched here.
    m_monitor.reset();
    m_monitor.setFrameRate(kFramesPerSecond);
    m_examined = 0;
    m_images = 0;
    const std::uint64_t generation = ++m_generation;
    QPointer<SlideWatcher> self(this);
    m_monitor.onSlideChanged = [self, generation](std::uint64_t hash) {
        QMetaObject::invokeMethod(
            self.data(),
            [self, generation, hash] {
                if (self && self->m_generation == generation && self->m_stream)
                    Q_EMIT self->slideChanged(hash);
            },
            Qt::QueuedConnection);
    };
    CaptureBackend::StreamHandlers handlers;
    handlers.onFrame = [this](PixelBuffer image, std::chrono::nanoseconds pts) {
        ++m_images;
        const std::int64_t before = m_monitor.examined();
        m_monitor.ingest(std::move(image),
                         SlideMonitor::Clock::time_point(
                             std::chrono::duration_cast<SlideMonitor::Clock::duration>(pts)));
        m_examined += m_monitor.examined() - before;
    };
    handlers.onTick = [this](std::chrono::steady_clock::time_point now) {
        const std::int64_t before = m_monitor.examined();
        m_monitor.tick(now);
        m_examined += m_monitor.examined() - before;
        return false;
    };
    handlers.onFailure = [self, generation](const std::string& text) {
        QMetaObject::invokeMethod(
            self.data(),
            [self, generation, text] {
                if (!self || self->m_generation != generation)
                    return;
                qCWarning(lcSlideWatcher).noquote() << "Velurio: observação de slides interrompida:"
                                                    << QString::fromStdString(text);
                self->stop();
            },
            Qt::QueuedConnection);
    };
    auto stream =
        m_backend->startWatchStream(*display, size, kFramesPerSecond, std::move(handlers));
    if (!stream) {
        qCWarning(lcSlideWatcher).noquote()
            << "Velurio: troca de slide não observada:" << QString::fromStdString(stream.error());
        return false;
    }
    if (!(*stream)->excludesOwnWindows()) {
        // The ink would be part of the picture and clear itself.
        qCWarning(lcSlideWatcher) << "Velurio: sem composição de janelas, a troca de slide só é "
                                     "observada com o iPad";
        return false;
    }
    m_stream = std::move(stream).value();
    return true;
}

void SlideWatcher::stop() {
    // Joins the capture thread: no handler runs after this.
    m_stream.reset();
    ++m_generation;
}

}  // namespace velurio
