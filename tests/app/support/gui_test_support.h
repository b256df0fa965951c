#pragma once
// Helpers of the window tests: letting the event loop run, real X input through xdotool (XTEST),
// root-window screenshots (what the compositor shows) and colour matching. Main thread of a test
// that has a QGuiApplication on the X server of scripts/services.d/30-xvfb.sh.

#include <gtest/gtest.h>

#include <QColor>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QPoint>
#include <QProcess>
#include <QScreen>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <cstdlib>
#include <functional>
#include <initializer_list>

namespace velurio::testing {

// Runs the event loop for `ms` milliseconds.
inline void settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Lets the application run until `condition` holds (at most `timeoutMs`); returns whether it did.
inline bool waitFor(const std::function<bool()>& condition, int timeoutMs = 3000, int stepMs = 20) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (!condition()) {
        if (elapsed.elapsed() > timeoutMs)
            return false;
        settle(stepMs);
    }
    return true;
}

// Runs xdotool, then lets the application handle what it caused; returns its exit status.
inline int xdoStatus(const QStringList& args, int settleMs = 20) {
    const int status = QProcess::execute(QStringLiteral("xdotool"), args);
    settle(settleMs);
    return status;
}

// Runs xdotool and fails the test when it fails.
inline void xdo(const QStringList& args, int settleMs = 20) {
    ASSERT_EQ(xdoStatus(args, settleMs), 0) << args.join(QLatin1Char(' ')).toStdString();
}

// What xdotool printed (trimmed), e.g. for `search` or `getwindowgeometry`.
inline QString xdoOutput(const QStringList& args) {
    QProcess process;
    process.start(QStringLiteral("xdotool"), args);
    process.waitForFinished(10000);
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// True when a mapped window has `name` as its title.
inline bool visibleWindow(const QString& name) {
    QProcess search;
    search.start(QStringLiteral("xdotool"),
                 {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                  QStringLiteral("--name"), name});
    search.waitForFinished(5000);
    return search.exitCode() == 0 && !search.readAllStandardOutput().trimmed().isEmpty();
}

inline void key(const QString& combination) {
    xdo({QStringLiteral("key"), combination}, 30);
}

inline void mouseMove(QPoint to) {
    xdo({QStringLiteral("mousemove"), QString::number(to.x()), QString::number(to.y())});
}

inline void click(QPoint at) {
    mouseMove(at);
    xdo({QStringLiteral("click"), QStringLiteral("1")}, 30);
}

inline void clickWidget(const QWidget* widget) {
    click(widget->mapToGlobal(widget->rect().center()));
}

// A drag with the left button through the given screen points.
inline void drag(std::initializer_list<QPoint> points) {
    auto it = points.begin();
    mouseMove(*it);
    xdo({QStringLiteral("mousedown"), QStringLiteral("1")});
    for (++it; it != points.end(); ++it)
        mouseMove(*it);
    xdo({QStringLiteral("mouseup"), QStringLiteral("1")}, 30);
}

// Starts trayer as the tray host along the top edge; with `strut` it reserves its strip, as a
// desktop panel does.
inline void startTrayHost(QProcess& trayer, bool strut = false) {
    trayer.start(QStringLiteral("trayer"),
                 {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                  QStringLiteral("right"), QStringLiteral("--widthtype"), QStringLiteral("request"),
                  QStringLiteral("--height"), QStringLiteral("24"), QStringLiteral("--SetDockType"),
                  QStringLiteral("true"), QStringLiteral("--SetPartialStrut"),
                  strut ? QStringLiteral("true") : QStringLiteral("false")});
    ASSERT_TRUE(trayer.waitForStarted(5000));
}

// A screenshot of the whole root window (what the compositor shows).
inline QImage screenshot() {
    return QGuiApplication::primaryScreen()->grabWindow(0).toImage().convertToFormat(
        QImage::Format_RGB32);
}

// True when `pixel` is within `tolerance` of `colour` in each channel.
inline bool near(QRgb pixel, QColor colour, int tolerance = 12) {
    return std::abs(qRed(pixel) - colour.red()) <= tolerance &&
           std::abs(qGreen(pixel) - colour.green()) <= tolerance &&
           std::abs(qBlue(pixel) - colour.blue()) <= tolerance;
}

// Waits (up to 3 s) until the compositor shows what `condition` expects; returns the last
// screenshot. The condition is checked on the real picture, never on a timer alone.
inline QImage waitForScreen(const std::function<bool(const QImage&)>& condition,
                            int timeoutMs = 3000) {
    QElapsedTimer elapsed;
    elapsed.start();
    QImage image = screenshot();
    while (!condition(image) && elapsed.elapsed() < timeoutMs) {
        settle(30);
        image = screenshot();
    }
    return image;
}

}  // namespace velurio::testing
