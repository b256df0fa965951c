#include "app/lifecycle/app_delegate.h"

#include "app/identity/platform_keys.h"
#include "app/lifecycle/single_instance.h"
#include "app/ui/app_icon.h"
#include "app/ui/panel.h"
#include "core/ink_color.h"
#include "core/ink_tool.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoroTask>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QSaveFile>
#include <QScreen>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

namespace velurio {

namespace {

int g_signalFds[2] = {-1, -1};

constexpr char kQuitByte = 1;
constexpr char kStatsByte = 2;

void onSignal(int signal) {
    const char byte = signal == SIGUSR1 ? kStatsByte : kQuitByte;
    // Async-signal-safe: the event loop reads the byte and acts on it.
    [[maybe_unused]] const auto written = ::write(g_signalFds[0], &byte, 1);
}

void installQuitSignals(AppDelegate& delegate) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalFds) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_signalFds[1], QSocketNotifier::Read, &delegate);
    QObject::connect(notifier, &QSocketNotifier::activated, &delegate, [&delegate]() {
        char byte = 0;
        if (::read(g_signalFds[1], &byte, 1) == 1 && byte == kStatsByte) {
            delegate.writeStats();
            return;
        }
        delegate.requestQuit();
    });
    struct sigaction action {};
    action.sa_handler = &onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGUSR1, &action, nullptr);
}

// Dialogs (the save dialog above all) follow the desktop: through the desktop portal's file
// chooser when one answers, else the desktop theme's own dialog (GTK, KDE), else Qt's. Qt
// uses the portal only through its portal theme, which wraps the desktop's theme and falls
// back to it when no portal answers; it is chosen here unless the user chose a theme.
void followDesktopDialogs() {
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORMTHEME"))
        return;
    const QString portalTheme = QLibraryInfo::path(QLibraryInfo::PluginsPath) +
                                QStringLiteral("/platformthemes/libqxdgdesktopportal.so");
    if (QFile::exists(portalTheme))
        qputenv("QT_QPA_PLATFORMTHEME", "xdgdesktopportal");
}

}  // namespace

AppDelegate::AppDelegate(std::unique_ptr<SessionCoordinator> coordinator, QObject* parent)
    : QObject(parent), m_coordinator(std::move(coordinator)) {}

AppDelegate::~AppDelegate() {
    m_windows.reset();
    m_shell.reset();
}

QScreen* AppDelegate::launchScreen() {
    return fallbackScreen();
}

void AppDelegate::applicationDidFinishLaunching() {
    // Which platform key vouches for tablets (or that none does, and every tablet is refused).
    PlatformKeys::logTrustAnchor();
    if (QScreen* screen = launchScreen())
        m_coordinator->bootstrap(screen);
    m_shell = std::make_unique<ShellController>(*m_coordinator);
    m_shell->onQuit = [this]() { requestQuit(); };
    m_windows = std::make_unique<AppWindows>(m_shell->model());
    m_windows->onQuit = [this]() { requestQuit(); };
    m_windows->attachTray(m_shell->tray());
    m_shell->start();
    if (showMainWindowAtStart)
        showMainWindowOnceKnown();
}

void AppDelegate::showMainWindowOnceKnown() {
    // Whether the user is signed in is known once the stored tokens are read (the secret store
    // answers asynchronously): show the pairing window as soon as the account turns out to be
    // signed in, else the login window when the boot finished or the wait ran out.
    auto shown = std::make_shared<bool>(false);
    auto show = [this, shown]() {
        if (*shown || !m_windows)
            return;
        *shown = true;
        m_windows->showMainWindow();
    };
    if (m_coordinator->booted() || m_coordinator->authenticated()) {
        show();
        return;
    }
    connect(m_coordinator.get(), &SessionCoordinator::authenticatedChanged, this,
            [show](bool authenticated) {
                if (authenticated)
                    show();
            });
    connect(m_coordinator.get(), &SessionCoordinator::bootFinished, this, show);
    QTimer::singleShot(kMainWindowWait, this, show);
}

void AppDelegate::applicationShouldHandleReopen() {
    if (m_windows)
        m_windows->showMainWindow();
}

QByteArray AppDelegate::statsJSON() const {
    const auto summary = [](const LatencyTracker& tracker) {
        const auto values = tracker.summary();
        return values ? QByteArray::fromStdString(values->toJSON()) : QByteArray("null");
    };
    return "{\"pid\":" + QByteArray::number(QCoreApplication::applicationPid()) +
           ",\"video\":" + m_coordinator->capture().timingsJSON() +
           ",\"rtt\":" + summary(m_coordinator->latencyTracker()) +
           ",\"ink\":" + summary(m_coordinator->inkLatency()) + "}";
}

QString AppDelegate::statsPath() {
    QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty())
        dir = QDir::tempPath();
    return dir + QStringLiteral("/velurio-stats-%1.json").arg(QCoreApplication::applicationPid());
}

bool AppDelegate::writeStats() const {
    QSaveFile file(statsPath());
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(statsJSON() + '\n');
    return file.commit();
}

void AppDelegate::requestQuit() {
    if (m_isTerminating)
        return;
    m_isTerminating = true;
    // The tablet is told, the listeners and capture stop at once; the platform is told the
    // session ended, waited for at most kShutdownTimeout so a silent network never holds the
    // quit.
    auto finish = [this] {
        if (m_quitRequested)
            return;
        m_quitRequested = true;
        QCoreApplication::quit();
    };
    QTimer::singleShot(kShutdownTimeout, this, finish);
    QCoro::connect(m_coordinator->shutdown(), this, finish);
}

int runApplication(int argc, char** argv) {
    followDesktopDialogs();
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Velurio"));
    QCoreApplication::setApplicationName(QStringLiteral("velurio"));
    QGuiApplication::setApplicationDisplayName(QStringLiteral("Velurio"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VELURIO_VERSION));
    QGuiApplication::setQuitOnLastWindowClosed(false);
    QGuiApplication::setDesktopFileName(QStringLiteral("velurio"));
    QApplication::setWindowIcon(QIcon(appIconPixmap()));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Draw on the screen from a tablet, or with the mouse in local mode. Lives in the system "
        "tray; starting it again while it runs brings its window to the front."));
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption annotation(QStringLiteral("annotation"),
                                  QStringLiteral("Turn mouse annotation on or off (saved)."),
                                  QStringLiteral("on|off"));
    QCommandLineOption tool(
        QStringLiteral("tool"),
        QStringLiteral("Tool to draw with: pen, marker, laser, arrow, rectangle, text, eraser."),
        QStringLiteral("tool"));
    QCommandLineOption color(QStringLiteral("color"), QStringLiteral("Ink colour, #RRGGBB."),
                             QStringLiteral("hex"));
    QCommandLineOption thickness(QStringLiteral("thickness"),
                                 QStringLiteral("Line thickness: 2, 4 or 8."),
                                 QStringLiteral("width"));
    QCommandLineOption highlight(QStringLiteral("highlight-cursor"),
                                 QStringLiteral("Highlight the mouse pointer (saved)."),
                                 QStringLiteral("on|off"));
    QCommandLineOption background(
        QStringLiteral("background"),
        QStringLiteral("Start in the tray without showing the main window."));
    parser.addOptions({annotation, tool, color, thickness, highlight, background});
    parser.process(app);

    // One application per session: a second start shows the first one's window and ends here.
    SingleInstance instance;
    if (instance.claim() == SingleInstance::Role::forwarded)
        return 0;

    AppDelegate delegate(std::make_unique<SessionCoordinator>());
    SessionCoordinator& coordinator = *delegate.coordinator();
    delegate.showMainWindowAtStart = !parser.isSet(background);
    QTextStream err(stderr);
    auto onOff = [&](const QCommandLineOption& option, auto&& set) {
        if (!parser.isSet(option))
            return true;
        const QString value = parser.value(option);
        if (value != QLatin1String("on") && value != QLatin1String("off")) {
            err << "velurio: --" << option.names().front() << " takes on or off\n";
            return false;
        }
        set(value == QLatin1String("on"));
        return true;
    };
    if (!onOff(annotation, [&](bool on) { coordinator.settings().setAnnotationActive(on); }) ||
        !onOff(highlight, [&](bool on) { coordinator.settings().setHighlightCursor(on); })) {
        return 2;
    }
    if (parser.isSet(tool)) {
        const auto parsed = inkToolFromRaw(parser.value(tool).toStdString());
        if (!parsed) {
            err << "velurio: unknown tool " << parser.value(tool) << "\n";
            return 2;
        }
        coordinator.toolbarState().setTool(*parsed);
    }
    if (parser.isSet(color)) {
        const auto parsed = InkColor::fromHex(parser.value(color).toStdString());
        if (!parsed) {
            err << "velurio: invalid colour " << parser.value(color) << "\n";
            return 2;
        }
        coordinator.toolbarState().setColor(*parsed);
    }
    if (parser.isSet(thickness)) {
        const auto parsed = strokeThicknessFromRaw(parser.value(thickness).toLongLong());
        if (!parsed) {
            err << "velurio: thickness must be 2, 4 or 8\n";
            return 2;
        }
        coordinator.toolbarState().setThickness(*parsed);
    }

    QObject::connect(&instance, &SingleInstance::activationRequested, &delegate,
                     &AppDelegate::applicationShouldHandleReopen);
    installQuitSignals(delegate);
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    return QApplication::exec();
}

}  // namespace velurio
