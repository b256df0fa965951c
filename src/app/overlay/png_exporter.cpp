#include "app/overlay/png_exporter.h"

#include "app/overlay/stroke_painter.h"

#include <QBuffer>
#include <QDir>
#include <QFileDialog>
#include <QImageWriter>
#include <QPainter>
#include <QSaveFile>
#include <QStandardPaths>

#include <cmath>

namespace velurio::PNGExporter {

namespace {

QString dialogChooser(QWidget* parent, const QString& suggestedPath) {
    QFileDialog dialog(parent, QString(), suggestedPath, QStringLiteral("PNG (*.png)"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QStringLiteral("png"));
    dialog.selectFile(suggestedPath);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().front();
}

FileChooser g_chooser = &dialogChooser;

}  // namespace

QImage renderImage(const StrokeStore& store, QSize size) {
    if (size.width() <= 0 || size.height() <= 0)
        return {};
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return {};
    image.fill(Qt::transparent);
    const SizeF geometrySize{static_cast<double>(size.width()), static_cast<double>(size.height())};
    QPainter painter(&image);
    for (const Stroke& stroke : store.strokes()) {
        if (stroke.tool == InkTool::laser)
            continue;
        paintStroke(painter, stroke, geometrySize);
    }
    for (const TextAnnotation& note : store.texts())
        paintText(painter, note, geometrySize);
    painter.end();
    return image;
}

std::optional<QByteArray> renderPNG(const StrokeStore& store, QSize size) {
    const QImage image = renderImage(store, size);
    if (image.isNull())
        return std::nullopt;
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    if (!writer.write(image))
        return std::nullopt;
    return bytes;
}

QString suggestedFileName(const QDateTime& localTime) {
    return QStringLiteral("Velurio anotações ") +
           localTime.toString(QStringLiteral("yyyy-MM-dd 'às' HH.mm")) + QStringLiteral(".png");
}

void setFileChooserForTesting(FileChooser chooser) {
    g_chooser = chooser != nullptr ? chooser : &dialogChooser;
}

void savePNG(const StrokeStore& store, QSizeF canvasSize, double backingScale,
             QWidget* parentWindow) {
    const QSize pixels(static_cast<int>(std::lround(canvasSize.width() * backingScale)),
                       static_cast<int>(std::lround(canvasSize.height() * backingScale)));
    const auto png = renderPNG(store, pixels);
    if (!png)
        return;
    QString directory = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (directory.isEmpty())
        directory = QDir::homePath();
    const QString suggested =
        QDir(directory).filePath(suggestedFileName(QDateTime::currentDateTime()));
    const QString path = g_chooser(parentWindow, suggested);
    if (path.isEmpty())
        return;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    if (file.write(*png) != png->size()) {
        file.cancelWriting();
        return;
    }
    file.commit();
}

}  // namespace velurio::PNGExporter
