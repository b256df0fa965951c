#include "app/overlay/png_exporter.h"

#include "app/overlay/stroke_painter.h"

#include <QBuffer>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageWriter>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPainter>
#include <QSaveFile>
#include <QStandardPaths>

#include <cmath>

namespace velurio::PNGExporter {

namespace {

Q_LOGGING_CATEGORY(lcExport, "velurio.export")

// The desktop's own file chooser when the platform theme offers one (a portal, GTK, KDE);
// Qt's dialog otherwise. It opens in the suggested file's folder with the name filled in.
QString dialogChooser(QWidget* parent, const QString& suggestedPath) {
    const QFileInfo suggested(suggestedPath);
    QFileDialog dialog(parent, QStringLiteral("Salvar anotações como PNG"),
                       suggested.absolutePath(), QStringLiteral("PNG (*.png)"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QStringLiteral("png"));
    dialog.setDirectory(suggested.absolutePath());
    dialog.selectFile(suggested.fileName());
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().front();
}

void messageBoxReporter(QWidget* parent, const QString& text, const QString& detail) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Velurio"), text, QMessageBox::Ok, parent);
    box.setInformativeText(detail);
    box.exec();
}

FileChooser g_chooser = &dialogChooser;
ErrorReporter g_reporter = &messageBoxReporter;

void report(QWidget* parent, const QString& text, const QString& detail) {
    qCWarning(lcExport).noquote() << QStringLiteral("Velurio: %1 %2").arg(text, detail);
    g_reporter(parent, text, detail);
}

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

void setErrorReporterForTesting(ErrorReporter reporter) {
    g_reporter = reporter != nullptr ? reporter : &messageBoxReporter;
}

QString suggestedFolder() {
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (!pictures.isEmpty() && QDir().mkpath(pictures))
        return pictures;
    return QDir::homePath();
}

SaveResult writePNG(const QByteArray& png, const QString& path) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return SaveResult::failed(file.errorString());
    if (file.write(png) != png.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return SaveResult::failed(reason);
    }
    if (!file.commit())
        return SaveResult::failed(file.errorString());
    return SaveResult{SaveResult::Kind::saved, path, {}};
}

SaveResult savePNG(const StrokeStore& store, QSizeF canvasSize, double backingScale,
                   QWidget* parentWindow) {
    const QSize pixels(static_cast<int>(std::lround(canvasSize.width() * backingScale)),
                       static_cast<int>(std::lround(canvasSize.height() * backingScale)));
    const auto png = renderPNG(store, pixels);
    if (!png) {
        report(
            parentWindow, QStringLiteral("Não foi possível gerar a imagem das anotações."),
            QStringLiteral("Tamanho da tela: %1 × %2.").arg(pixels.width()).arg(pixels.height()));
        return SaveResult::failed(QStringLiteral("render"));
    }
    const QString suggested =
        QDir(suggestedFolder()).filePath(suggestedFileName(QDateTime::currentDateTime()));
    const QString path = g_chooser(parentWindow, suggested);
    if (path.isEmpty())
        return SaveResult{SaveResult::Kind::cancelled, {}, {}};
    SaveResult result = writePNG(*png, path);
    if (result.kind == SaveResult::Kind::failed) {
        report(parentWindow, QStringLiteral("Não foi possível salvar as anotações."),
               QStringLiteral("O arquivo “%1” não pôde ser gravado: %2.")
                   .arg(QDir::toNativeSeparators(path), result.error));
        result.path = path;
    }
    return result;
}

}  // namespace velurio::PNGExporter
