// The shell on a real X server with a compositor: global shortcuts grabbed from the X server and
// pressed with xdotool (XTEST), toolbar and pin clicked with the real pointer, the tray icon in a
// real tray host (trayer) and its popup. With VELURIO_SCREENSHOT_DIR set, the toolbar, the pin
// and the popup are also saved there as PNG files.
#include "app/overlay/png_exporter.h"
#include "app/session/session_coordinator.h"
#include "app/session/shell_controller.h"
#include "app/shell/shortcut_recorder.h"
#include "gui_test_support.h"
#include "platform/x11/x11_window_support.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QPointer>
#include <QProcess>
#include <QScreen>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTimer>

#include <xcb/xcb.h>

#include <cstdlib>
#include <functional>
#include <memory>

namespace velurio {
namespace {

using namespace velurio::testing;

// Saves the part of the screen under `area` (with a margin) when screenshots are asked for.
void saveScreenshot(const QRect& area, const char* name) {
    const QByteArray dir = qgetenv("VELURIO_SCREENSHOT_DIR");
    if (dir.isEmpty())
        return;
    settle(150);
    const QRect crop =
        area.adjusted(-24, -24, 24, 24).intersected(QGuiApplication::primaryScreen()->geometry());
    screenshot().copy(crop).save(QString::fromUtf8(dir) + QLatin1Char('/') +
                                 QString::fromUtf8(name));
}

bool near(QRgb pixel, QColor colour, int tolerance = 16) {
    return std::abs(qRed(pixel) - colour.red()) <= tolerance &&
           std::abs(qGreen(pixel) - colour.green()) <= tolerance &&
           std::abs(qBlue(pixel) - colour.blue()) <= tolerance;
}

QString g_savePath;
QString chooseSavePath(QWidget*, const QString&) {
    return g_savePath;
}

// Captures the application's log lines.
QStringList g_log;
void captureLog(QtMsgType, const QMessageLogContext&, const QString& message) {
    g_log.push_back(message);
}

// Another X client: its own connection to the server, holding a key grab on the root window.
class OtherClient {
  public:
    OtherClient() : m_connection(xcb_connect(nullptr, nullptr)) {
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_connection)).data->root;
    }
    ~OtherClient() { xcb_disconnect(m_connection); }
    // Grabs `keysym` with `modifiers` exactly as given; true when the server accepted it.
    bool grab(xcb_keysym_t keysym, std::uint16_t modifiers) {
        const xcb_setup_t* setup = xcb_get_setup(m_connection);
        const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
        auto* reply = xcb_get_keyboard_mapping_reply(
            m_connection, xcb_get_keyboard_mapping(m_connection, setup->min_keycode, count),
            nullptr);
        if (reply == nullptr)
            return false;
        const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
        const int total = xcb_get_keyboard_mapping_keysyms_length(reply);
        for (int i = 0; i < total; ++i) {
            if (syms[i] == keysym) {
                m_keycode =
                    static_cast<xcb_keycode_t>(setup->min_keycode + i / reply->keysyms_per_keycode);
                break;
            }
        }
        std::free(reply);
        if (m_keycode == 0)
            return false;
        xcb_generic_error_t* error = xcb_request_check(
            m_connection, xcb_grab_key_checked(m_connection, 0, m_root, modifiers, m_keycode,
                                               XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        const bool ok = error == nullptr;
        std::free(error);
        return ok;
    }
    // Returns once the server has released the grabs (a flush alone could let another
    // client's grab reach the server first).
    void ungrabAll() {
        std::free(xcb_request_check(
            m_connection,
            xcb_ungrab_key_checked(m_connection, XCB_GRAB_ANY, m_root, XCB_MOD_MASK_ANY)));
    }
    // Key presses this client received so far.
    int keyPresses() {
        while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
            if ((event->response_type & 0x7f) == XCB_KEY_PRESS)
                ++m_presses;
            std::free(event);
        }
        return m_presses;
    }

  private:
    xcb_connection_t* m_connection;
    xcb_window_t m_root = 0;
    xcb_keycode_t m_keycode = 0;
    int m_presses = 0;
};

class ShellGuiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        auto settingsStore = std::make_unique<QSettings>(
            m_dir.filePath(QStringLiteral("velurio.conf")), QSettings::IniFormat);
        m_coordinator = std::make_unique<SessionCoordinator>(
            std::make_unique<AppSettings>(std::move(settingsStore)), &m_scheduler);
        m_coordinator->bootstrap(QGuiApplication::primaryScreen());
        g_savePath = m_dir.filePath(QStringLiteral("saved.png"));
        PNGExporter::setFileChooserForTesting(&chooseSavePath);
    }
    void TearDown() override {
        PNGExporter::setFileChooserForTesting(nullptr);
        m_shell.reset();
        m_coordinator.reset();
        if (m_trayer.state() != QProcess::NotRunning) {
            m_trayer.terminate();
            m_trayer.waitForFinished(3000);
        }
        settle(50);
    }

    void startShell() {
        m_shell = std::make_unique<ShellController>(*m_coordinator);
        m_shell->onQuit = [this]() { ++quits; };
        m_shell->onEndSession = [this]() { ++ends; };
        m_shell->start();
        settle(100);
    }

    void drawStroke(QPoint from = {700, 400}, QPoint to = {1000, 450}) {
        const std::size_t before = store().strokes().size();
        drag({from, (from + to) / 2 + QPoint(0, 40), to});
        ASSERT_TRUE(waitFor([&]() { return store().strokes().size() == before + 1; }));
    }

    StrokeStore& store() { return m_coordinator->strokeStore(); }
    AppSettings& settings() { return m_coordinator->settings(); }

    QTemporaryDir m_dir;
    ManualScheduler m_scheduler;
    std::unique_ptr<SessionCoordinator> m_coordinator;
    std::unique_ptr<ShellController> m_shell;
    QProcess m_trayer;
    int quits = 0;
    int ends = 0;
};

TEST_F(ShellGuiTest, ShortcutsToggleAnnotationClearAndSaveAPNG) {
    startShell();
    ASSERT_FALSE(settings().annotationActive());
    key(QStringLiteral("ctrl+shift+a"));
    ASSERT_TRUE(waitFor([&]() { return settings().annotationActive(); }));
    drawStroke();

    key(QStringLiteral("ctrl+shift+s"));
    ASSERT_TRUE(waitFor([&]() { return QFile::exists(g_savePath); }));
    const QImage saved(g_savePath);
    ASSERT_FALSE(saved.isNull());
    EXPECT_EQ(saved.size(),
              QGuiApplication::primaryScreen()->geometry().size() * saved.devicePixelRatio());
    bool inked = false;
    for (int x = 0; x < saved.width() && !inked; x += 2) {
        for (int y = 380; y < 520 && !inked; ++y)
            inked = qAlpha(saved.pixel(x, y)) > 0;
    }
    EXPECT_TRUE(inked) << "the saved PNG holds the stroke";

    key(QStringLiteral("ctrl+shift+l"));
    ASSERT_TRUE(waitFor([&]() { return store().strokes().empty(); }));
    // Caps Lock on: the grab covers that variant too.
    drawStroke();
    key(QStringLiteral("Caps_Lock"));
    key(QStringLiteral("ctrl+shift+l"));
    key(QStringLiteral("Caps_Lock"));
    EXPECT_TRUE(waitFor([&]() { return store().strokes().empty(); }));
    // And with Num Lock on.
    drawStroke();
    key(QStringLiteral("Num_Lock"));
    key(QStringLiteral("ctrl+shift+l"));
    key(QStringLiteral("Num_Lock"));
    EXPECT_TRUE(waitFor([&]() { return store().strokes().empty(); }));

    key(QStringLiteral("ctrl+shift+a"));
    EXPECT_TRUE(waitFor([&]() { return !settings().annotationActive(); }));
}

TEST_F(ShellGuiTest, ToolbarClicksChooseWhatTheNextStrokeDrawsWithoutTakingTheFocus) {
    startShell();
    FloatingToolbarView* toolbar = m_shell->toolbar().panel();
    EXPECT_TRUE(toolbar == nullptr || !toolbar->isVisible()) << "hidden while annotation is off";
    settings().setShowToolbar(true);
    settings().setAnnotationActive(true);
    toolbar = m_shell->toolbar().panel();
    ASSERT_NE(toolbar, nullptr);
    ASSERT_TRUE(waitFor([&]() { return toolbar->isVisible(); }));
    settle(200);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(toolbar->geometry().bottom() + 1, screen.bottom() + 1 - 24);
    saveScreenshot(toolbar->geometry(), "toolbar.png");

    const auto focusBefore = x11::inputFocus();
    int reported = 0;
    m_coordinator->toolbarState().onChanged = [&](const ToolbarState&) { ++reported; };
    clickWidget(toolbar->toolButton(InkTool::marker));
    clickWidget(toolbar->colorButton(3));
    clickWidget(toolbar->thicknessButton(StrokeThickness::thick));
    ASSERT_TRUE(waitFor([&]() { return reported == 3; }));
    EXPECT_EQ(x11::inputFocus(), focusBefore);

    // The toolbar is drawn above the overlay: the selected tool's tinted square is on screen.
    const QPoint markerCorner = toolbar->toolButton(InkTool::marker)->mapToGlobal(QPoint(6, 19));
    EXPECT_TRUE(waitFor(
        [&]() { return near(screenshot().pixel(markerCorner), QColor(0xC9, 0x41, 0x1B)); }));

    drawStroke();
    const Stroke& stroke = store().strokes().back();
    EXPECT_EQ(stroke.tool, InkTool::marker);
    EXPECT_EQ(stroke.color, InkPalette::colors()[3]);
    EXPECT_EQ(stroke.thickness, StrokeThickness::thick);

    // Dragging the background moves the panel.
    const QPoint grip = toolbar->mapToGlobal(QPoint(5, 28));
    const QPoint before = toolbar->pos();
    drag({grip, grip + QPoint(-50, -60), grip + QPoint(-100, -200)});
    EXPECT_TRUE(waitFor([&]() { return toolbar->pos() != before; }));
}

TEST_F(ShellGuiTest, UndoAndRedoButtonsEnableAsTheHistoryAllows) {
    startShell();
    settings().setShowToolbar(true);
    settings().setAnnotationActive(true);
    FloatingToolbarView* toolbar = m_shell->toolbar().panel();
    ASSERT_NE(toolbar, nullptr);
    ASSERT_TRUE(waitFor([&]() { return toolbar->isVisible(); }));
    EXPECT_FALSE(toolbar->undoButton()->isEnabled());
    EXPECT_FALSE(toolbar->redoButton()->isEnabled());

    drawStroke();
    EXPECT_TRUE(toolbar->undoButton()->isEnabled());
    EXPECT_FALSE(toolbar->redoButton()->isEnabled());
    clickWidget(toolbar->undoButton());
    ASSERT_TRUE(waitFor([&]() { return store().strokes().empty(); }));
    EXPECT_FALSE(toolbar->undoButton()->isEnabled());
    EXPECT_TRUE(toolbar->redoButton()->isEnabled());
    // Disabled: a click does nothing.
    clickWidget(toolbar->undoButton());
    clickWidget(toolbar->redoButton());
    ASSERT_TRUE(waitFor([&]() { return store().strokes().size() == 1; }));
    EXPECT_FALSE(toolbar->redoButton()->isEnabled());

    clickWidget(toolbar->undoButton());
    ASSERT_TRUE(waitFor([&]() { return store().strokes().empty(); }));
    drawStroke();  // a new stroke after an undo
    clickWidget(toolbar->clearButton());
    ASSERT_TRUE(waitFor([&]() { return store().strokes().empty(); }));
    EXPECT_FALSE(toolbar->undoButton()->isEnabled());
    EXPECT_FALSE(toolbar->redoButton()->isEnabled());
}

TEST_F(ShellGuiTest, AShortcutChangedThroughTheRecorderWorksAtOnceAndTheOldOneNoLonger) {
    startShell();
    settings().setAnnotationActive(true);
    QWidget window;
    window.setWindowTitle(QStringLiteral("preferences"));
    window.setGeometry(100, 100, 240, 60);
    auto* button = new ShortcutRecorderButton(&window);
    button->setGeometry(20, 15, 200, 30);
    ShortcutRecorder recorder(*button);
    std::function<void(const HotKeyDescriptor&)> onChange = [&](const HotKeyDescriptor& value) {
        settings().setShortcutClear(value);
        recorder.update(settings().shortcutClear(), onChange);
    };
    recorder.update(settings().shortcutClear(), onChange);
    window.show();
    ASSERT_TRUE(waitFor([&]() { return window.isVisible(); }));
    settle(150);

    clickWidget(button);
    ASSERT_TRUE(waitFor([&]() { return button->recording(); }));
    key(QStringLiteral("k"));  // no modifier: ignored
    EXPECT_TRUE(button->recording());
    key(QStringLiteral("ctrl+alt+k"));
    ASSERT_TRUE(waitFor([&]() { return !button->recording(); }));
    EXPECT_EQ(settings().shortcutClear(), (HotKeyDescriptor{40, 0x1800}));
    EXPECT_EQ(button->text(), QStringLiteral("Ctrl+Alt+K"));
    EXPECT_EQ(m_shell->shortcuts().registeredDescriptor(GlobalShortcuts::Action::clear),
              (HotKeyDescriptor{40, 0x1800}));
    window.hide();

    drawStroke();
    key(QStringLiteral("ctrl+shift+l"));
    settle(200);
    EXPECT_EQ(store().strokes().size(), 1u) << "the old combination was released";
    key(QStringLiteral("ctrl+alt+k"));
    EXPECT_TRUE(waitFor([&]() { return store().strokes().empty(); }));
}

TEST_F(ShellGuiTest, ACombinationHeldByAnotherClientIsReportedAndSkipped) {
    OtherClient other;
    ASSERT_TRUE(other.grab('l', XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT));
    g_log.clear();
    const QtMessageHandler previous = qInstallMessageHandler(&captureLog);
    startShell();
    qInstallMessageHandler(previous);

    EXPECT_TRUE(m_shell->shortcuts().isRegistered(GlobalShortcuts::Action::toggleAnnotation));
    EXPECT_FALSE(m_shell->shortcuts().isRegistered(GlobalShortcuts::Action::clear));
    EXPECT_TRUE(m_shell->shortcuts().isRegistered(GlobalShortcuts::Action::savePNG));
    EXPECT_TRUE(g_log.join(QLatin1Char('\n'))
                    .contains(QStringLiteral(
                        "Velurio: atalho Ctrl+Shift+L (limpar traços) já está em uso")))
        << g_log.join(QLatin1Char('\n')).toStdString();

    settings().setAnnotationActive(true);
    drawStroke();
    key(QStringLiteral("ctrl+shift+l"));
    EXPECT_TRUE(waitFor([&]() { return other.keyPresses() > 0; }))
        << "the other client got the key";
    EXPECT_EQ(store().strokes().size(), 1u);

    // Once the other client lets go, registering again takes the combination.
    other.ungrabAll();
    m_shell->registerShortcuts();
    EXPECT_TRUE(m_shell->shortcuts().isRegistered(GlobalShortcuts::Action::clear));
    key(QStringLiteral("ctrl+shift+l"));
    EXPECT_TRUE(waitFor([&]() { return store().strokes().empty(); }));
}

TEST_F(ShellGuiTest, ThePinShowsWithATabletAndItsButtonsAct) {
    startShell();
    m_shell->setConnection(std::nullopt, QStringLiteral("0 ms"));
    EXPECT_EQ(m_shell->pin().panel(), nullptr);
    m_shell->setConnection(QString(), QStringLiteral("18 ms"));
    QWidget* pin = m_shell->pin().panel();
    ASSERT_NE(pin, nullptr);
    ASSERT_TRUE(waitFor([&]() { return pin->isVisible(); }));
    EXPECT_EQ(m_shell->pin().view()->deviceName(), QStringLiteral("iPad"));
    m_shell->setConnection(QStringLiteral("iPad de Ana"), QStringLiteral("18 ms"));
    m_shell->setConnection(QStringLiteral("iPad de Ana"), QStringLiteral("23 ms"));
    EXPECT_EQ(m_shell->pin().view()->latency(), QStringLiteral("23 ms"));
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QRect capsule = m_shell->pin().capsuleGeometry();
    EXPECT_EQ(capsule.right() + 1, screen.right() + 1 - 24);
    EXPECT_EQ(capsule.top(), screen.top() + 20);
    // The shadow around the capsule lets clicks through: the overlay below gets them.
    saveScreenshot(pin->geometry(), "status-pin.png");

    settings().setAnnotationActive(true);
    drawStroke(capsule.bottomLeft() + QPoint(40, 12), capsule.bottomLeft() + QPoint(-200, 150));
    StatusPinView* view = m_shell->pin().view();
    const bool toolbarShown = settings().showToolbar();
    clickWidget(view->showToolbarButton());
    ASSERT_TRUE(waitFor([&]() { return settings().showToolbar() != toolbarShown; }));
    clickWidget(view->clearButton());
    ASSERT_TRUE(waitFor([&]() { return store().strokes().empty(); }));
    clickWidget(view->endSessionButton());
    ASSERT_TRUE(waitFor([&]() { return ends == 1; }));

    m_shell->setConnection(std::nullopt, QString());
    EXPECT_FALSE(pin->isVisible());
}

TEST_F(ShellGuiTest, TheTrayPopupOpensFromTheIconAndItsEntriesAct) {
    ASSERT_NO_FATAL_FAILURE(startTrayHost(m_trayer));
    ASSERT_TRUE(waitFor([]() { return QSystemTrayIcon::isSystemTrayAvailable(); }, 5000))
        << "trayer is not a tray host";
    startShell();
    QSystemTrayIcon* icon = m_shell->tray().icon();
    ASSERT_NE(icon, nullptr);
    ASSERT_TRUE(
        waitFor([&]() { return icon->geometry().isValid() && !icon->geometry().isEmpty(); }, 5000));
    settle(200);

    click(icon->geometry().center());
    ASSERT_TRUE(waitFor([&]() {
        return m_shell->tray().popup() != nullptr && m_shell->tray().popup()->isVisible();
    }));
    const QPointer<TrayPopup> popup = m_shell->tray().popup();
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_TRUE(available.contains(popup->geometry())) << "inside the screen's available area";
    saveScreenshot(popup->geometry().united(icon->geometry()), "tray-popup.png");

    // Turning annotation on for the first time also shows the hint bubble: the popup stays open.
    clickWidget(popup->row(QStringLiteral("Anotação ativa")));
    ASSERT_TRUE(waitFor([&]() { return settings().annotationActive(); }));
    ASSERT_TRUE(popup && popup->isVisible()) << "a toggle leaves the popup open";
    clickWidget(popup->row(QStringLiteral("Destacar o cursor")));
    ASSERT_TRUE(waitFor([&]() { return settings().highlightCursor(); }));
    key(QStringLiteral("Escape"));
    ASSERT_TRUE(waitFor([&]() {
        return m_shell->tray().popup() == nullptr || !m_shell->tray().popup()->isVisible();
    }));

    drawStroke();
    // Drawing off again: without a panel strut here the icon lies inside the overlay's input
    // area (the test with a strut shows the tray reachable while drawing).
    settings().setAnnotationActive(false);
    settle(100);
    auto reopen = [&]() {
        settle(300);  // past the guard against the click that closed the popup reopening it
        click(icon->geometry().center());
        EXPECT_TRUE(waitFor([&]() {
            return m_shell->tray().popup() != nullptr && m_shell->tray().popup()->isVisible();
        }));
        settle(100);
        return m_shell->tray().popup();
    };
    clickWidget(reopen()->row(QStringLiteral("Salvar anotações como PNG")));
    ASSERT_TRUE(waitFor([&]() { return QFile::exists(g_savePath); }));
    clickWidget(reopen()->row(QStringLiteral("Limpar traços")));
    ASSERT_TRUE(waitFor([&]() { return store().strokes().empty(); }));
    clickWidget(m_shell->tray().popup()->row(QStringLiteral("Sair do Velurio")));
    EXPECT_TRUE(waitFor([&]() { return quits == 1; }));
}

}  // namespace
}  // namespace velurio
