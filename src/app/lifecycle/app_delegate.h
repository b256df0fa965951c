#pragma once
// Start and stop of the application: builds the session coordinator, bootstraps it on the main
// screen (or the first one; with no screen it runs without an overlay), sets up the shell (tray,
// shortcuts, toolbar, pin) and the windows, and shows the main window (pairing when signed in,
// else login). Closing a window never quits: the application stays in the tray. On quit the
// coordinator shuts down before the event loop ends. SIGINT and SIGTERM quit the same way.
// SIGUSR1 writes the video pipeline's and the ink's timing summary to statsPath() for tools.

#include "app/session/session_coordinator.h"
#include "app/session/shell_controller.h"
#include "app/windows/app_windows.h"

#include <QObject>

#include <chrono>
#include <memory>

class QScreen;

namespace velurio {

class AppDelegate : public QObject {
    Q_OBJECT
  public:
    // Whether the main window (pairing when signed in, else login) shows after start; off with
    // --background, e.g. for a start with the desktop session.
    bool showMainWindowAtStart = true;

    explicit AppDelegate(std::unique_ptr<SessionCoordinator> coordinator,
                         QObject* parent = nullptr);
    ~AppDelegate() override;

    // Bootstraps the coordinator on the main screen, else the first screen, else not at all.
    void applicationDidFinishLaunching();
    // How long quitting waits for the coordinator's shutdown (the platform's answer).
    static constexpr std::chrono::milliseconds kShutdownTimeout{5000};

    // Starts the shutdown the first time and quits the event loop when it finished (or after
    // kShutdownTimeout); later calls while terminating do nothing.
    void requestQuit();
    bool isTerminating() const { return m_isTerminating; }
    SessionCoordinator* coordinator() const { return m_coordinator.get(); }
    ShellController* shell() const { return m_shell.get(); }
    AppWindows* windows() const { return m_windows.get(); }

    // Shows the main window again (another start of the application asked for it).
    void applicationShouldHandleReopen();
    // How long the first main window waits for the stored account when the boot takes longer.
    static constexpr std::chrono::milliseconds kMainWindowWait{3000};

    // {"pid":N,"video":{…PipelineTimings summary…},"rtt":LatencySummary or null,"ink":
    // LatencySummary or null}: the stage timings of the frames sent lately, the tablet's round
    // trips, and the time from a tablet's stroke message to the overlay's next paint.
    QByteArray statsJSON() const;
    // Where SIGUSR1 writes statsJSON(): $XDG_RUNTIME_DIR/velurio-stats-<pid>.json, else in the
    // temporary directory. Replaced atomically.
    static QString statsPath();
    bool writeStats() const;

    // The screen the coordinator is bootstrapped on; nullptr when there is none.
    static QScreen* launchScreen();

  private:
    void showMainWindowOnceKnown();

    std::unique_ptr<SessionCoordinator> m_coordinator;
    // Destroyed before the coordinator it is attached to.
    std::unique_ptr<ShellController> m_shell;
    // Destroyed before the shell whose model it uses.
    std::unique_ptr<AppWindows> m_windows;
    bool m_isTerminating = false;
    bool m_quitRequested = false;
};

// The entry point: a tray application (closing windows never quits). `--help` and `--version`
// print and exit; a start while the application already runs in this session brings the running
// one's main window to the front and exits with status 0.
int runApplication(int argc, char** argv);

}  // namespace velurio
