// The `velurio` executable as a user runs it: it starts in local mode on the X display, draws
// under the mouse, and quits cleanly on SIGTERM with its settings saved.
#include "gui_test_support.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <cmath>

namespace {

using namespace velurio::testing;

TEST(VelurioProcess, DrawsInLocalModeAndQuitsCleanlyOnSigterm) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral(".config")));
    QProcess velurio;
    velurio.setProcessEnvironment(environment);
    velurio.setProcessChannelMode(QProcess::ForwardedChannels);
    velurio.start(
        QStringLiteral(VELURIO_BINARY_DIR "/src/app/velurio"),
        {QStringLiteral("--annotation"), QStringLiteral("on"), QStringLiteral("--thickness"),
         QStringLiteral("8"), QStringLiteral("--color"), QStringLiteral("#2F8CFF")});
    ASSERT_TRUE(velurio.waitForStarted(10000));

    // Wait for the overlay window to be mapped.
    QElapsedTimer elapsed;
    elapsed.start();
    bool mapped = false;
    while (!mapped && elapsed.elapsed() < 10000) {
        QProcess search;
        search.start(QStringLiteral("xdotool"),
                     {QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                      QStringLiteral("--name"), QStringLiteral("Velurio overlay")});
        search.waitForFinished(5000);
        mapped = search.exitCode() == 0 && !search.readAllStandardOutput().trimmed().isEmpty();
        if (!mapped)
            settle(100);
    }
    ASSERT_TRUE(mapped);
    settle(300);

    ASSERT_EQ(
        xdoStatus({QStringLiteral("mousemove"), QStringLiteral("900"), QStringLiteral("200")}), 0);
    ASSERT_EQ(xdoStatus({QStringLiteral("mousedown"), QStringLiteral("1")}), 0);
    for (int x = 1000; x <= 1300; x += 100) {
        ASSERT_EQ(
            xdoStatus({QStringLiteral("mousemove"), QString::number(x), QStringLiteral("200")}), 0);
    }
    ASSERT_EQ(xdoStatus({QStringLiteral("mouseup"), QStringLiteral("1")}), 0);

    const QColor ink(0x2F, 0x8C, 0xFF);
    auto inked = [&](const QImage& image) {
        const QRgb p = image.pixel(1100, 200);
        return std::abs(qRed(p) - ink.red()) < 12 && std::abs(qGreen(p) - ink.green()) < 12 &&
               std::abs(qBlue(p) - ink.blue()) < 12;
    };
    QImage shot;
    elapsed.restart();
    do {
        settle(50);
        shot = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    } while (!inked(shot) && elapsed.elapsed() < 3000);
    EXPECT_TRUE(inked(shot));

    velurio.terminate();  // SIGTERM
    ASSERT_TRUE(velurio.waitForFinished(10000));
    EXPECT_EQ(velurio.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(velurio.exitCode(), 0);

    QSettings saved(home.filePath(QStringLiteral(".config/Velurio/velurio.conf")),
                    QSettings::IniFormat);
    EXPECT_TRUE(saved.value(QStringLiteral("annotationActive")).toBool());
    EXPECT_TRUE(saved.value(QStringLiteral("annotationHintShown")).toBool());

    // The overlay is gone from the screen.
    elapsed.restart();
    do {
        settle(50);
        shot = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    } while (inked(shot) && elapsed.elapsed() < 3000);
    EXPECT_FALSE(inked(shot));
}

}  // namespace
