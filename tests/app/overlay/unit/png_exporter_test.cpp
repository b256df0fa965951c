#include "app/overlay/png_exporter.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTime>

#include <span>

namespace velurio {
namespace {

StrokePoint at(double x, double y) {
    StrokePoint p;
    p.x = x;
    p.y = y;
    p.pressure = 0.5;
    return p;
}

// Draws a committed local stroke through the given normalised points.
void drawStroke(StrokeStore& store, InkTool tool, std::initializer_list<StrokePoint> points,
                StrokeThickness thickness = StrokeThickness::thick, bool end = true) {
    auto it = points.begin();
    const Stroke stroke =
        store.beginLocalStroke(tool, *InkColor::fromHex("#2F8CFF"), thickness, *it);
    for (++it; it != points.end(); ++it)
        store.appendLocalStroke(stroke.id, std::span(&*it, 1));
    if (end)
        store.endLocalStroke(stroke.id);
}

// Facts about a PNG file read by an independent decoder (Python's PIL): "W H MODE" then, for
// each requested pixel, its RGBA, then the bounding box of non-transparent pixels.
QStringList inspect(const QString& path, const QString& pixels = QString()) {
    const QString script = QStringLiteral(
        "import sys\n"
        "from PIL import Image\n"
        "im = Image.open(sys.argv[1]); im.load()\n"
        "print(im.size[0], im.size[1], im.mode)\n"
        "rgba = im.convert('RGBA')\n"
        "for xy in sys.argv[2:]:\n"
        "    x, y = map(int, xy.split(','))\n"
        "    print(*rgba.getpixel((x, y)))\n"
        "print(rgba.getchannel('A').getbbox())\n");
    QStringList args{QStringLiteral("-c"), script, path};
    if (!pixels.isEmpty())
        args += pixels.split(QLatin1Char(' '));
    QProcess python;
    // Debian's interpreter, which has PIL (python3-pil), even when another python3 is first
    // on PATH.
    const QString interpreter = QFile::exists(QStringLiteral("/usr/bin/python3"))
                                    ? QStringLiteral("/usr/bin/python3")
                                    : QStringLiteral("python3");
    python.start(interpreter, args);
    python.waitForFinished(30000);
    EXPECT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    return QString::fromUtf8(python.readAllStandardOutput()).trimmed().split(QLatin1Char('\n'));
}

class PNGExporterTest : public ::testing::Test {
  protected:
    QString write(const QByteArray& bytes) {
        const QString path = m_dir.filePath(QStringLiteral("out.png"));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }
    QTemporaryDir m_dir;
    StrokeStore m_store;
};

TEST_F(PNGExporterTest, EmptyStoreGivesFullyTransparentImageOfTheRequestedSize) {
    const auto png = PNGExporter::renderPNG(m_store, QSize(640, 360));
    ASSERT_TRUE(png);
    const QStringList facts = inspect(write(*png), QStringLiteral("0,0 639,359"));
    ASSERT_EQ(facts.size(), 4);
    EXPECT_EQ(facts[0], QStringLiteral("640 360 RGBA"));
    EXPECT_EQ(facts[1], QStringLiteral("0 0 0 0"));
    EXPECT_EQ(facts[3], QStringLiteral("None"));  // no pixel with any alpha
    EXPECT_FALSE(PNGExporter::renderPNG(m_store, QSize(0, 10)));
}

// Committed marker ink is translucent (once, even where the stroke crosses itself); the laser,
// live strokes and the live laser are left out.
TEST_F(PNGExporterTest, ExportsCommittedInkOnlyWithMarkerTranslucency) {
    // A marker stroke that goes right and comes back over itself.
    drawStroke(m_store, InkTool::marker, {at(0.1, 0.5), at(0.3, 0.5), at(0.1, 0.5)});
    drawStroke(m_store, InkTool::laser, {at(0.5, 0.2), at(0.9, 0.2)});  // ended laser
    drawStroke(m_store, InkTool::pen, {at(0.5, 0.8), at(0.9, 0.8)}, StrokeThickness::thick, false);
    drawStroke(m_store, InkTool::laser, {at(0.5, 0.4), at(0.9, 0.4)}, StrokeThickness::thick,
               false);
    ASSERT_EQ(m_store.strokes().size(), 1u);

    const auto png = PNGExporter::renderPNG(m_store, QSize(1920, 1080));
    ASSERT_TRUE(png);
    const QStringList facts =
        inspect(write(*png), QStringLiteral("384,540 1344,216 1344,864 1344,432"));
    ASSERT_EQ(facts.size(), 6);
    // Marker: #2F8CFF at alpha 0.4 (102 of 255); PIL un-premultiplies.
    const QStringList marker = facts[1].split(QLatin1Char(' '));
    EXPECT_NEAR(marker[0].toInt(), 0x2F, 3);
    EXPECT_NEAR(marker[1].toInt(), 0x8C, 3);
    EXPECT_NEAR(marker[2].toInt(), 0xFF, 3);
    EXPECT_NEAR(marker[3].toInt(), 102, 2);
    EXPECT_EQ(facts[2], QStringLiteral("0 0 0 0"));  // ended laser
    EXPECT_EQ(facts[3], QStringLiteral("0 0 0 0"));  // live pen stroke
    EXPECT_EQ(facts[4], QStringLiteral("0 0 0 0"));  // live laser
}

TEST_F(PNGExporterTest, TextIsPlacedByItsTopLeftCornerAtTheBackingScale) {
    m_store.addText("H", PointF{0.5, 0.5}, *InkColor::fromHex("#FFFFFF"));
    const auto png = PNGExporter::renderPNG(m_store, QSize(3840, 2160));
    ASSERT_TRUE(png);
    const QStringList facts = inspect(write(*png));
    ASSERT_EQ(facts.size(), 2);
    EXPECT_EQ(facts[0], QStringLiteral("3840 2160 RGBA"));
    // "(left, top, right, bottom)" of the ink of the "H".
    QString box = facts[1];
    box.remove(QLatin1Char('(')).remove(QLatin1Char(')')).remove(QLatin1Char(' '));
    const QStringList edges = box.split(QLatin1Char(','));
    ASSERT_EQ(edges.size(), 4);
    const int left = edges[0].toInt(), top = edges[1].toInt(), bottom = edges[3].toInt();
    // The glyph starts just right of and below the note's corner (side bearing, line leading),
    // not above it as a baseline placement would put it.
    EXPECT_GE(left, 1920);
    EXPECT_LE(left, 1920 + 12);
    EXPECT_GE(top, 1080);
    EXPECT_LE(top, 1080 + 28);
    // The cap height of a 56-pixel font is about 40 pixels (20 for the 28-pixel font of 1x).
    EXPECT_GE(bottom - top, 34);
    EXPECT_LE(bottom - top, 46);
}

TEST(PNGExporterNames, SuggestedFileNameUsesTheLocalDateAndTime) {
    EXPECT_EQ(PNGExporter::suggestedFileName(QDateTime(QDate(2026, 3, 3), QTime(14, 5))),
              QStringLiteral("Velurio anotações 2026-03-03 às 14.05.png"));
}

QString g_chosenPath;
QString g_suggested;
QString chooseFixedPath(QWidget*, const QString& suggested) {
    g_suggested = suggested;
    return g_chosenPath;
}

TEST_F(PNGExporterTest, SaveWritesTheChosenFileAtBackingScaleAndCancelWritesNothing) {
    drawStroke(m_store, InkTool::pen, {at(0.2, 0.2), at(0.8, 0.8)});
    PNGExporter::setFileChooserForTesting(&chooseFixedPath);
    g_chosenPath = m_dir.filePath(QStringLiteral("saved.png"));
    PNGExporter::savePNG(m_store, QSizeF(320, 180), 2.0);
    EXPECT_TRUE(g_suggested.endsWith(QStringLiteral(".png")));
    EXPECT_TRUE(g_suggested.contains(QStringLiteral("Velurio anotações ")));
    ASSERT_TRUE(QFile::exists(g_chosenPath));
    EXPECT_EQ(inspect(g_chosenPath).front(), QStringLiteral("640 360 RGBA"));

    g_chosenPath.clear();  // the user cancels
    g_suggested.clear();
    PNGExporter::savePNG(m_store, QSizeF(320, 180), 2.0);
    EXPECT_FALSE(g_suggested.isEmpty());
    EXPECT_EQ(QDir(m_dir.path()).entryList(QDir::Files).size(), 1);
    PNGExporter::setFileChooserForTesting(nullptr);
}

QStringList g_reported;
void recordReport(QWidget*, const QString& text, const QString& detail) {
    g_reported << text << detail;
}

// The pictures folder of a fresh account does not exist yet: the dialog must open in it, so it
// is made first; a file that cannot be written is reported, never dropped.
TEST_F(PNGExporterTest, MissingPicturesFolderIsCreatedAndAWriteFailureIsReported) {
    const QByteArray oldHome = qgetenv("HOME");
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("HOME", m_dir.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", m_dir.filePath(QStringLiteral("config")).toUtf8());
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    ASSERT_TRUE(pictures.startsWith(m_dir.path())) << pictures.toStdString();
    ASSERT_FALSE(QDir(pictures).exists());

    PNGExporter::setFileChooserForTesting(&chooseFixedPath);
    PNGExporter::setErrorReporterForTesting(&recordReport);
    drawStroke(m_store, InkTool::pen, {at(0.2, 0.2), at(0.8, 0.8)});
    g_chosenPath.clear();
    EXPECT_EQ(PNGExporter::savePNG(m_store, QSizeF(320, 180), 1.0).kind,
              PNGExporter::SaveResult::Kind::cancelled);
    EXPECT_TRUE(QDir(pictures).exists());
    EXPECT_EQ(QFileInfo(g_suggested).absolutePath(), pictures);
    EXPECT_TRUE(g_reported.isEmpty()) << "cancelling is not a failure";

    // A folder that is a file: no one, not even root, can write below it.
    QFile blocker(m_dir.filePath(QStringLiteral("not-a-folder")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    g_chosenPath = blocker.fileName() + QStringLiteral("/saved.png");
    const auto result = PNGExporter::savePNG(m_store, QSizeF(320, 180), 1.0);
    EXPECT_EQ(result.kind, PNGExporter::SaveResult::Kind::failed);
    ASSERT_EQ(g_reported.size(), 2);
    EXPECT_EQ(g_reported.front(), QStringLiteral("Não foi possível salvar as anotações."));
    EXPECT_TRUE(g_reported.back().contains(g_chosenPath));

    PNGExporter::setFileChooserForTesting(nullptr);
    PNGExporter::setErrorReporterForTesting(nullptr);
    qputenv("HOME", oldHome);
    if (oldConfig.isEmpty()) {
        qunsetenv("XDG_CONFIG_HOME");
    } else {
        qputenv("XDG_CONFIG_HOME", oldConfig);
    }
}

}  // namespace
}  // namespace velurio
