// CPU cost of watching for slide changes without a tablet (SlideWatcher: a damage-driven,
// pointer-free capture of the display at 320 pixels wide, feeding the slide monitor), on a
// private Xvfb + picom at 1920×1080:
// - a static slide for the whole period (goal: at most 1 % of one core);
// - a slide show that replaces its full-screen slide every 5 s (each change must be reported,
//   within a second of the replacement: the time from the replacement to the report on the
//   main thread is given too).
// The figure is this process's CPU time (the capture thread and the event loop) over the
// period; the work of the X server and the compositor (children of this process) is reported
// beside it.
//
//   build/dev/bench/velurio_slide_watch_bench [seconds per case, default 60]
#include "app/capture/slide_watcher.h"
#include "x_session.h"

#include <QCoreApplication>
#include <QTimer>

#include <dirent.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace velurio {
namespace {

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double wallSeconds() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// CPU seconds (user + system) of this process's children (the private X server and picom).
double childrenCpuSeconds() {
    double total = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return 0;
    const pid_t self = getpid();
    while (const dirent* entry = readdir(proc)) {
        const int pid = std::atoi(entry->d_name);
        if (pid <= 0)
            continue;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        // After "pid (comm) ": state ppid … utime (14th field) stime (15th).
        const auto close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(line.substr(close + 2));
        std::string state;
        long ppid = 0;
        fields >> state >> ppid;
        if (ppid != self)
            continue;
        std::string skip;
        for (int i = 0; i < 9; ++i)
            fields >> skip;
        double utime = 0;
        double stime = 0;
        fields >> utime >> stime;
        total += (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    closedir(proc);
    return total;
}

std::vector<xcb_window_t> slide(test::TestClient& client, int which) {
    std::vector<xcb_window_t> windows{client.window(0, 0, 1920, 1080, 0x202830)};
    windows.push_back(which % 2 == 0 ? client.window(100, 100, 800, 400, 0xf0f0f0)
                                     : client.window(1000, 600, 800, 400, 0xf0e060));
    return windows;
}

void runFor(double seconds) {
    QTimer::singleShot(static_cast<int>(seconds * 1000), QCoreApplication::instance(),
                       &QCoreApplication::quit);
    QCoreApplication::exec();
}

}  // namespace
}  // namespace velurio

int main(int argc, char** argv) {
    using namespace velurio;
    const double seconds = argc > 1 ? std::max(5.0, std::atof(argv[1])) : 60.0;
    test::XSession x({true, false, true});
    if (!x.ok()) {
        std::fprintf(stderr, "no X server\n");
        return 1;
    }
    int qtArgc = 1;
    QCoreApplication app(qtArgc, argv);
    test::TestClient client;
    std::vector<xcb_window_t> current = slide(client, 0);

    SlideWatcher watcher;
    int changes = 0;
    QObject::connect(&watcher, &SlideWatcher::slideChanged, [&](std::uint64_t) { ++changes; });
    if (!watcher.start(QRect(0, 0, 1920, 1080))) {
        std::fprintf(stderr, "the watcher did not start\n");
        return 1;
    }
    runFor(2);  // the first image and its reference hash

    // A static slide.
    double server0 = childrenCpuSeconds();
    double cpu0 = processCpuSeconds();
    double wall0 = wallSeconds();
    std::int64_t images0 = watcher.images();
    runFor(seconds);
    double cpu = processCpuSeconds() - cpu0;
    double wall = wallSeconds() - wall0;
    double server = childrenCpuSeconds() - server0;
    std::printf(
        "static slide, %.0f s: %.3f %% of one core (X server + compositor %.3f %%), "
        "%lld images, %d changes\n",
        wall, 100 * cpu / wall, 100 * server / wall,
        static_cast<long long>(watcher.images() - images0), changes);
    std::fflush(stdout);

    // A slide show: the next slide every 5 s.
    changes = 0;
    server0 = childrenCpuSeconds();
    cpu0 = processCpuSeconds();
    wall0 = wallSeconds();
    images0 = watcher.images();
    int shown = 0;
    double replacedAt = 0;
    bool reported = true;
    std::vector<double> latenciesMs;
    QObject::connect(&watcher, &SlideWatcher::slideChanged, [&](std::uint64_t) {
        if (!reported) {
            latenciesMs.push_back(1000 * (wallSeconds() - replacedAt));
            reported = true;
        }
    });
    QTimer next;
    QObject::connect(&next, &QTimer::timeout, [&]() {
        replacedAt = wallSeconds();
        reported = false;
        for (xcb_window_t w : current)
            client.destroy(w);
        current = slide(client, ++shown);
    });
    next.start(5000);
    // The last replacement comes 2.5 s before the end, so its report is inside the period.
    runFor(seconds - 2.5);
    next.stop();
    runFor(2.5);
    cpu = processCpuSeconds() - cpu0;
    wall = wallSeconds() - wall0;
    server = childrenCpuSeconds() - server0;
    // A replacement passes through a frame or two in between (old slide gone, new one not yet
    // complete), which may count as changes of their own.
    std::printf(
        "slide every 5 s, %.0f s: %.3f %% of one core (X server + compositor %.3f %%), "
        "%lld images, %d slides shown, %d changes reported\n",
        wall, 100 * cpu / wall, 100 * server / wall,
        static_cast<long long>(watcher.images() - images0), shown, changes);
    std::sort(latenciesMs.begin(), latenciesMs.end());
    if (!latenciesMs.empty()) {
        std::printf(
            "replacement -> report on the main thread: min %.0f ms, median %.0f ms, "
            "max %.0f ms (%zu of %d replacements reported)\n",
            latenciesMs.front(), latenciesMs[latenciesMs.size() / 2], latenciesMs.back(),
            latenciesMs.size(), shown);
    }
    watcher.stop();
    return 0;
}
