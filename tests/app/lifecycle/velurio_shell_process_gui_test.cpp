// The `velurio` executable with a tray host running: its tray icon is shown, its global
// shortcut toggles annotation (and with it the floating toolbar) from outside the process, and
// the setting it changed is saved when it quits.
#include "gui_test_support.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>

namespace {

using namespace velurio::testing;

TEST(VelurioShellProcess, ShortcutTogglesAnnotationAndToolbarWithTheTrayIconShown) {
    QTemporaryDir home;
    ASSERT_TRUE(home.isValid());
    const QString configPath = home.filePath(QStringLiteral(".config/Velurio/velurio.conf"));
    {
        QSettings settings(configPath, QSettings::IniFormat);
        settings.setValue(QStringLiteral("showToolbar"), true);
        settings.setValue(QStringLiteral("annotationHintShown"), true);
    }

    QProcess trayer;
    ASSERT_NO_FATAL_FAILURE(startTrayHost(trayer));
    settle(500);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral(".config")));
    QProcess velurio;
    velurio.setProcessEnvironment(environment);
    velurio.setProcessChannelMode(QProcess::MergedChannels);
    velurio.start(QStringLiteral(VELURIO_BINARY_DIR "/src/app/velurio"), {});
    ASSERT_TRUE(velurio.waitForStarted(10000));
    ASSERT_TRUE(
        waitFor([]() { return visibleWindow(QStringLiteral("Velurio overlay")); }, 10000, 100));
    settle(300);
    EXPECT_FALSE(visibleWindow(QStringLiteral("Velurio toolbar"))) << "annotation starts off";

    ASSERT_EQ(QProcess::execute(QStringLiteral("xdotool"),
                                {QStringLiteral("key"), QStringLiteral("ctrl+shift+a")}),
              0);
    EXPECT_TRUE(
        waitFor([]() { return visibleWindow(QStringLiteral("Velurio toolbar")); }, 10000, 100));

    velurio.terminate();
    ASSERT_TRUE(velurio.waitForFinished(10000));
    trayer.terminate();
    trayer.waitForFinished(3000);
    EXPECT_EQ(velurio.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(velurio.exitCode(), 0);
    const QString output = QString::fromUtf8(velurio.readAll());
    EXPECT_FALSE(output.contains(QStringLiteral("área de notificação"))) << output.toStdString();
    EXPECT_FALSE(output.contains(QStringLiteral("atalho"))) << output.toStdString();
    QSettings saved(configPath, QSettings::IniFormat);
    EXPECT_TRUE(saved.value(QStringLiteral("annotationActive")).toBool());
}

}  // namespace
