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

// Renders at canvasSize × backingScale pixels and asks where to save it. Every failure is
// silent: a rendering failure shows no dialog; a write error is dropped.
void savePNG(const StrokeStore& store, QSizeF canvasSize, double backingScale,
             QWidget* parentWindow = nullptr);

}  // namespace velurio::PNGExporter
