#pragma once
// Saving the annotations (committed strokes and text notes) as a PNG with a transparent
// background. Main thread only.

#include "core/stroke_store.h"

#include <QByteArray>
#include <QDateTime>
#include <QImage>
#include <QSize>
#include <QSizeF>
#include <QString>

#include <cstdint>
#include <optional>

class QWidget;

namespace velurio::PNGExporter {

// The annotations drawn on a transparent image of `size` pixels (y grows downwards). Laser
// strokes and strokes still being drawn are not part of it. Null image for an empty size.
QImage renderImage(const StrokeStore& store, QSize size);

// The PNG bytes of renderImage, or nothing when the size is empty or encoding fails.
std::optional<QByteArray> renderPNG(const StrokeStore& store, QSize size);

// "Velurio anotações yyyy-MM-dd às HH.mm.png" for the given local time.
QString suggestedFileName(const QDateTime& localTime);

// Where savePNG writes; by default a modal save dialog. Tests replace it. Returns an empty
// string when the user cancels.
using FileChooser = QString (*)(QWidget* parent, const QString& suggestedPath);
void setFileChooserForTesting(FileChooser chooser);

// How a save ended.
struct SaveResult {
    enum class Kind : std::uint8_t { saved, cancelled, failed };
    Kind kind = Kind::cancelled;
    QString path;   // saved, failed (when a file was chosen)
    QString error;  // failed: why, as the system says it
    static SaveResult failed(QString why) { return {Kind::failed, {}, std::move(why)}; }
};

// Shows a failure to the user: a warning message box by default. Tests replace it.
using ErrorReporter = void (*)(QWidget* parent, const QString& text, const QString& detail);
void setErrorReporterForTesting(ErrorReporter reporter);

// The folder the dialog opens in: the pictures folder (created when it does not exist yet),
// else the home folder.
QString suggestedFolder();

// Writes `png` to `path` atomically (a file of that name is replaced only by a complete one).
SaveResult writePNG(const QByteArray& png, const QString& path);

// Renders at canvasSize × backingScale pixels, asks where to save it (the dialog opens in
// suggestedFolder() with the suggested name) and writes it. Cancelling does nothing; a failure
// to render or to write is shown to the user (and logged) and returned.
SaveResult savePNG(const StrokeStore& store, QSizeF canvasSize, double backingScale,
                   QWidget* parentWindow = nullptr);

}  // namespace velurio::PNGExporter
