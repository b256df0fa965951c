// The overlay on a real X server with a compositor, driven by real X input (xdotool) and
// checked on root-window screenshots.
#include "app/session/session_coordinator.h"
#include "gui_test_support.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QImage>
#include <QMouseEvent>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <cmath>
#include <functional>
#include <memory>

namespace velurio {
namespace {

using namespace velurio::testing;

using namespace std::chrono_literals;

const QColor kInk(0xFF, 0x4D, 0x2E);  // the default colour

// A plain window below the overlay that records the clicks it gets and can take the focus.
class Target : public QWidget {
  public:
    Target() {
        setGeometry(1200, 600, 400, 300);
        setWindowTitle(QStringLiteral("target"));
        setAutoFillBackground(true);
        QPalette palette;
        palette.setColor(QPalette::Window, QColor(40, 90, 160));
        setPalette(palette);
    }
    int presses = 0;

  protected:
    void mousePressEvent(QMouseEvent*) override { ++presses; }
};

class OverlayGuiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_coordinator = makeCoordinator();
        m_coordinator->bootstrap(QGuiApplication::primaryScreen());
        m_overlayWindow = m_coordinator->overlay()->window()->windowHandle();
        ASSERT_NE(m_overlayWindow, nullptr);
        settle(100);
    }
    void TearDown() override {
        m_coordinator.reset();
        settle(50);
    }

    std::unique_ptr<SessionCoordinator> makeCoordinator() {
        auto store = std::make_unique<QSettings>(m_dir.filePath(QStringLiteral("velurio.conf")),
                                                 QSettings::IniFormat);
        return std::make_unique<SessionCoordinator>(std::make_unique<AppSettings>(std::move(store)),
                                                    &m_scheduler);
    }

    StrokeStore& store() { return m_coordinator->strokeStore(); }
    AppSettings& settings() { return m_coordinator->settings(); }

    QTemporaryDir m_dir;
    ManualScheduler m_scheduler;
    std::unique_ptr<SessionCoordinator> m_coordinator;
    QWindow* m_overlayWindow = nullptr;
};

TEST_F(OverlayGuiTest, ClicksReachTheWindowBelowUnlessAnnotationIsOn) {
    Target target;
    target.show();
    settle(200);
    m_coordinator->overlay()->window()->raise();
    const WId overlayId = m_overlayWindow->winId();

    click({1400, 750});
    EXPECT_EQ(target.presses, 1);
    EXPECT_TRUE(store().strokes().empty());

    const QString targetId = QString::number(target.winId());
    xdo({QStringLiteral("windowfocus"), QStringLiteral("--sync"), targetId});
    settings().setAnnotationActive(true);
    settle(50);
    drag({{1300, 700}, {1400, 720}, {1500, 750}});
    EXPECT_EQ(target.presses, 1);
    EXPECT_EQ(store().strokes().size(), 1u);
    // Drawing never takes the keyboard focus.
    EXPECT_EQ(xdoOutput({QStringLiteral("getwindowfocus")}), targetId);

    settings().setAnnotationActive(false);
    settle(50);
    click({1400, 800});
    EXPECT_EQ(target.presses, 2);
    EXPECT_EQ(store().strokes().size(), 1u);
    // Switching never re-created or hid the overlay.
    EXPECT_EQ(m_overlayWindow->winId(), overlayId);
    EXPECT_TRUE(m_overlayWindow->isVisible());
}

TEST_F(OverlayGuiTest, DragDrawsAStrokeAtThePlaceColourAndWidthAndUndoRedoClearShow) {
    settings().setAnnotationActive(true);
    m_coordinator->toolbarState().setThickness(StrokeThickness::thick);
    settle(50);
    drag({{300, 500}, {400, 500}, {500, 500}, {600, 500}, {700, 500}});
    ASSERT_EQ(store().strokes().size(), 1u);

    QImage shot =
        waitForScreen([](const QImage& image) { return near(image.pixel(500, 500), kInk); });
    EXPECT_TRUE(near(shot.pixel(500, 500), kInk));
    // Thick is 8 points on a 1080-point screen: count the inked rows at x = 500.
    int rows = 0;
    for (int y = 480; y <= 520; ++y)
        rows += near(shot.pixel(500, y), kInk, 40) ? 1 : 0;
    EXPECT_GE(rows, 6);
    EXPECT_LE(rows, 10);
    EXPECT_FALSE(near(shot.pixel(500, 530), kInk, 60));
    EXPECT_FALSE(near(shot.pixel(250, 500), kInk, 60));

    store().undo();
    shot =
        waitForScreen([](const QImage& image) { return !near(image.pixel(500, 500), kInk, 60); });
    EXPECT_FALSE(near(shot.pixel(500, 500), kInk, 60));
    store().redo();
    shot = waitForScreen([](const QImage& image) { return near(image.pixel(500, 500), kInk); });
    EXPECT_TRUE(near(shot.pixel(500, 500), kInk));
    store().clear(true);
    shot =
        waitForScreen([](const QImage& image) { return !near(image.pixel(500, 500), kInk, 60); });
    EXPECT_FALSE(near(shot.pixel(500, 500), kInk, 60));
}

TEST_F(OverlayGuiTest, LaserIsGoneAboutOneAndAHalfSecondsAfterItEnds) {
    settings().setAnnotationActive(true);
    m_coordinator->toolbarState().setTool(InkTool::laser);
    settle(50);
    drag({{300, 300}, {450, 300}, {600, 300}});
    EXPECT_TRUE(store().strokes().empty());
    const QColor laserCore(255, 106, 61);
    QImage shot = waitForScreen(
        [&](const QImage& image) { return near(image.pixel(450, 300), laserCore, 20); });
    EXPECT_TRUE(near(shot.pixel(450, 300), laserCore, 20));

    m_scheduler.advance(800ms);
    settle(100);
    EXPECT_TRUE(near(screenshot().pixel(450, 300), laserCore, 20));
    m_scheduler.advance(750ms);  // 1.55 s after the end
    EXPECT_FALSE(m_coordinator->overlay()->canvas()->hasLaser());
    shot = waitForScreen(
        [&](const QImage& image) { return !near(image.pixel(450, 300), laserCore, 80); });
    EXPECT_FALSE(near(shot.pixel(450, 300), laserCore, 80));
    // No glow is left either.
    EXPECT_EQ(shot.pixel(450, 300), shot.pixel(450, 400));
}

TEST_F(OverlayGuiTest, EraserRemovesWhatItTouches) {
    settings().setAnnotationActive(true);
    m_coordinator->toolbarState().setThickness(StrokeThickness::thick);
    drag({{300, 700}, {500, 700}, {700, 700}});
    drag({{300, 800}, {500, 800}, {700, 800}});
    ASSERT_EQ(store().strokes().size(), 2u);
    const QImage before =
        waitForScreen([](const QImage& image) { return near(image.pixel(500, 800), kInk); });

    m_coordinator->toolbarState().setTool(InkTool::eraser);
    drag({{500, 650}, {500, 690}, {500, 720}});
    ASSERT_EQ(store().strokes().size(), 1u);
    const QImage shot =
        waitForScreen([](const QImage& image) { return !near(image.pixel(400, 700), kInk, 60); });
    // Documentation pictures, on request (VELURIO_SCREENSHOT_DIR).
    const QString pictures = qEnvironmentVariable("VELURIO_SCREENSHOT_DIR");
    if (!pictures.isEmpty()) {
        before.save(pictures + QStringLiteral("/overlay-eraser-before.png"));
        shot.save(pictures + QStringLiteral("/overlay-eraser-after.png"));
    }
    EXPECT_FALSE(near(shot.pixel(400, 700), kInk, 60));
    EXPECT_TRUE(near(shot.pixel(400, 800), kInk));
}

TEST_F(OverlayGuiTest, NoteCommitsOnReturnVanishesOnEscapeAndFocusReturns) {
    Target target;
    target.show();
    settle(200);
    m_coordinator->overlay()->window()->raise();
    const QString targetId = QString::number(target.winId());
    xdo({QStringLiteral("windowfocus"), QStringLiteral("--sync"), targetId});
    ASSERT_EQ(xdoOutput({QStringLiteral("getwindowfocus")}), targetId);

    settings().setAnnotationActive(true);
    m_coordinator->toolbarState().setTool(InkTool::text);
    m_coordinator->toolbarState().setColor(*InkColor::fromHex("#FFFFFF"));
    settle(50);
    click({800, 300});
    ASSERT_NE(m_coordinator->overlay()->canvas()->textEditor(), nullptr);
    settle(100);
    xdo({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("30"),
         QStringLiteral("Oi")});
    xdo({QStringLiteral("key"), QStringLiteral("Return")});
    settle(100);
    ASSERT_EQ(store().texts().size(), 1u);
    EXPECT_EQ(store().texts().front().text, "Oi");
    EXPECT_EQ(m_coordinator->overlay()->canvas()->textEditor(), nullptr);
    EXPECT_EQ(xdoOutput({QStringLiteral("getwindowfocus")}), targetId);
    // White text on screen in the note's box.
    QImage shot = waitForScreen([](const QImage& image) {
        for (int y = 300; y < 340; ++y)
            for (int x = 800; x < 840; ++x)
                if (near(image.pixel(x, y), Qt::white, 30))
                    return true;
        return false;
    });
    int white = 0;
    for (int y = 300; y < 345; ++y)
        for (int x = 800; x < 850; ++x)
            white += near(shot.pixel(x, y), Qt::white, 30) ? 1 : 0;
    EXPECT_GT(white, 20);

    click({800, 600});
    settle(100);
    ASSERT_NE(m_coordinator->overlay()->canvas()->textEditor(), nullptr);
    // The editor shows its dark field on screen.
    shot = waitForScreen([](const QImage& image) { return qRed(image.pixel(1000, 620)) < 60; });
    EXPECT_LT(qRed(shot.pixel(1000, 620)), 60);
    xdo({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("30"),
         QStringLiteral("X")});
    xdo({QStringLiteral("key"), QStringLiteral("Escape")});
    settle(100);
    EXPECT_EQ(m_coordinator->overlay()->canvas()->textEditor(), nullptr);
    EXPECT_EQ(store().texts().size(), 1u);
    EXPECT_EQ(xdoOutput({QStringLiteral("getwindowfocus")}), targetId);
    shot = waitForScreen([](const QImage& image) { return qRed(image.pixel(1000, 620)) > 60; });
    EXPECT_GT(qRed(shot.pixel(1000, 620)), 60);
}

// Under a window manager, a full-screen window that is raised and activated after the overlay
// appeared still stays below the ink.
TEST_F(OverlayGuiTest, InkStaysAboveAFullScreenWindowUnderAWindowManager) {
    QProcess openbox;
    openbox.start(QStringLiteral("openbox"), {QStringLiteral("--replace")});
    ASSERT_TRUE(openbox.waitForStarted(5000));
    settle(700);

    settings().setAnnotationActive(true);
    m_coordinator->toolbarState().setThickness(StrokeThickness::thick);
    drag({{300, 400}, {500, 400}, {700, 400}});
    ASSERT_EQ(store().strokes().size(), 1u);

    Target fullScreen;
    fullScreen.showFullScreen();
    fullScreen.raise();
    fullScreen.activateWindow();
    settle(500);
    xdo({QStringLiteral("windowactivate"), QString::number(fullScreen.winId())});
    settle(300);
    const QImage shot = waitForScreen([](const QImage& image) {
        return near(image.pixel(500, 400), kInk) &&
               near(image.pixel(500, 600), QColor(40, 90, 160));
    });
    EXPECT_TRUE(
        near(shot.pixel(500, 600), QColor(40, 90, 160)));  // the full-screen window is shown
    EXPECT_TRUE(near(shot.pixel(500, 400), kInk));         // and the ink is above it

    fullScreen.close();
    openbox.terminate();
    openbox.waitForFinished(5000);
    settle(200);
}

TEST_F(OverlayGuiTest, HintShowsOncePerInstallation) {
    settings().setAnnotationActive(true);
    QWidget* hint = m_coordinator->overlay()->hintPanel();
    ASSERT_NE(hint, nullptr);
    EXPECT_EQ(m_coordinator->mouseHintText(),
              QStringLiteral("Ctrl+Shift+A pausa · Ctrl+Shift+L limpa · Ctrl+Shift+S salva PNG"));
    const QRect box = hint->geometry();
    EXPECT_EQ(box.left(), 27);
    EXPECT_EQ(box.bottom() + 1, 1080 - 22);
    // The dark bubble is on screen near the bottom-left corner.
    const QPoint inside(box.left() + 4, box.center().y());
    QImage shot =
        waitForScreen([&](const QImage& image) { return qRed(image.pixel(inside)) < 60; });
    EXPECT_LT(qRed(shot.pixel(inside)), 60);
    m_scheduler.advance(6000ms);
    settle(50);
    EXPECT_EQ(m_coordinator->overlay()->hintPanel(), nullptr);

    settings().setAnnotationActive(false);
    settings().setAnnotationActive(true);
    EXPECT_EQ(m_coordinator->overlay()->hintPanel(), nullptr);

    // A later run of the application on the same settings shows no hint either.
    m_coordinator = makeCoordinator();
    m_coordinator->bootstrap(QGuiApplication::primaryScreen());
    EXPECT_TRUE(m_coordinator->settings().annotationActive());
    EXPECT_TRUE(m_coordinator->settings().annotationHintShown());
    EXPECT_EQ(m_coordinator->overlay()->hintPanel(), nullptr);
}

}  // namespace
}  // namespace velurio
