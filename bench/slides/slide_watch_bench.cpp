// CPU cost of watching for slide changes without a tablet (SlideWatcher: a damage-driven,
// pointer-free capture of the display at 320 pixels wide, feeding the slide monitor), on a
// private Xvfb + picom at 1920×1080:
// - a static slide for the whole period (goal: at most 1 % of one core);
// - a slide show that replaces its full-screen slide every 5 s (each change must be reported).
// The figure is this process's CPU time (the capture thread and the event loop) over the
// period; the X server's own work for the grabs is reported beside it.
//
//   build/dev/bench/velurio_slide_watch_bench [seconds per case, default 60]
#include "app/capture/slide_watcher.h"
#include "x_session.h"

#include <QCoreApplication>
#include <QTimer>

#include <time.h>
#include <unistd.h>

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

// CPU seconds (user + system) of every process called `name` (the X server).
double cpuSecondsOf(const char* name) {
    double total = 0;
    const std::string wanted = std::string("(") + name + ")";
    for (int pid = 1; pid < 4194304; ++pid) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        if (!stat)
            continue;
        std::string line;
        std::getline(stat, line);
        std::istringstream fields(line);
        std::string p;
        std::string comm;
        fields >> p >> comm;
        if (comm != wanted)
            continue;
        std::string skip;
        for (int i = 0; i < 11; ++i)
            fields >> skip;
        double utime = 0;
        double stime = 0;
        fields >> utime >> stime;
        total += (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
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
    double cpu0 = processCpuSeconds();
    double server0 = cpuSecondsOf("Xvfb");
    double wall0 = wallSeconds();
    std::int64_t images0 = watcher.images();
    runFor(seconds);
    double wall = wallSeconds() - wall0;
    std::printf(
        "static slide, %.0f s: %.3f %% of one core (X server %.3f %%), %lld images, "
        "%d changes\n",
        wall, 100 * (processCpuSeconds() - cpu0) / wall,
        100 * (cpuSecondsOf("Xvfb") - server0) / wall,
        static_cast<long long>(watcher.images() - images0), changes);

    // A slide show: the next slide every 5 s.
    changes = 0;
    cpu0 = processCpuSeconds();
    server0 = cpuSecondsOf("Xvfb");
    wall0 = wallSeconds();
    images0 = watcher.images();
    int shown = 0;
    QTimer next;
    QObject::connect(&next, &QTimer::timeout, [&]() {
        for (xcb_window_t w : current)
            client.destroy(w);
        current = slide(client, ++shown);
    });
    next.start(5000);
    runFor(seconds);
    next.stop();
    wall = wallSeconds() - wall0;
    std::printf(
        "slide every 5 s, %.0f s: %.3f %% of one core (X server %.3f %%), %lld images, "
        "%d slides shown, %d changes reported\n",
        wall, 100 * (processCpuSeconds() - cpu0) / wall,
        100 * (cpuSecondsOf("Xvfb") - server0) / wall,
        static_cast<long long>(watcher.images() - images0), shown, changes);
    watcher.stop();
    return 0;
}
