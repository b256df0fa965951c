// The tray popup's rows and placement, and the tray's behaviour without a tray host.
#include "app/shell/tray_controller.h"

#include "app/settings/app_settings.h"

#include <gtest/gtest.h>

#include <QSettings>
#include <QTemporaryDir>

namespace velurio {
namespace {

class TrayTest : public ::testing::Test {
  protected:
    TrayTest()
        : m_settings(std::make_unique<QSettings>(m_dir.filePath(QStringLiteral("s.conf")),
                                                 QSettings::IniFormat)) {}
    QTemporaryDir m_dir;
    AppSettings m_settings;
};

TEST_F(TrayTest, PopupPlacementStaysInsideTheAvailableArea) {
    const QRect available(0, 0, 1920, 1050);  // a 30-point panel at the bottom
    const QSize size(320, 300);
    // Icon at the top right: below it, pulled left so the popup ends at the screen's edge.
    EXPECT_EQ(TrayController::popupPosition(QRect(1900, 2, 20, 20), size, available),
              QPoint(1600, 26));
    // Icon in the bottom panel: above it.
    EXPECT_EQ(TrayController::popupPosition(QRect(40, 1055, 20, 20), size, available),
              QPoint(40, 1050 - 300));  // above, and not over the panel
    // An icon reported off screen still gives a popup on screen.
    EXPECT_EQ(TrayController::popupPosition(QRect(-50, -50, 20, 20), size, available),
              QPoint(0, 0));
}

TEST_F(TrayTest, RowsToggleTheSettingsAndRunTheActions) {
    TrayPopup popup(m_settings);
    popup.setAttribute(Qt::WA_DeleteOnClose, false);
    std::vector<std::string> ran;
    popup.onClear = [&]() { ran.push_back("clear"); };
    popup.onSavePNG = [&]() { ran.push_back("save"); };
    popup.onQuit = [&]() { ran.push_back("quit"); };

    TrayRow* annotation = popup.row(QStringLiteral("Anotação ativa"));
    ASSERT_NE(annotation, nullptr);
    EXPECT_EQ(annotation->toggled(), false);
    annotation->onActivated();
    EXPECT_TRUE(m_settings.annotationActive());
    EXPECT_EQ(annotation->toggled(), true);
    // A change made elsewhere (the shortcut) shows in the popup too.
    m_settings.setAnnotationActive(false);
    EXPECT_EQ(annotation->toggled(), false);

    for (const char* label : {"Mostrar barra de ferramentas na tela",
                              "Apagar traços ao trocar de slide", "Destacar o cursor"}) {
        ASSERT_NE(popup.row(QString::fromUtf8(label)), nullptr) << label;
    }
    popup.row(QStringLiteral("Mostrar barra de ferramentas na tela"))->onActivated();
    EXPECT_TRUE(m_settings.showToolbar());
    const bool clearOnSlide = m_settings.clearOnSlideChange();
    popup.row(QStringLiteral("Apagar traços ao trocar de slide"))->onActivated();
    EXPECT_EQ(m_settings.clearOnSlideChange(), !clearOnSlide);

    popup.row(QStringLiteral("Limpar traços"))->onActivated();
    popup.row(QStringLiteral("Salvar anotações como PNG"))->onActivated();
    popup.row(QStringLiteral("Sair do Velurio"))->onActivated();
    EXPECT_EQ(ran, (std::vector<std::string>{"clear", "save", "quit"}));
}

TEST_F(TrayTest, WithoutATrayHostTheTraySaysSoAndShowsNothing) {
    static QStringList log;
    log.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& message) {
            log.push_back(message);
        });
    TrayController tray(m_settings);
    const bool shown = tray.start();  // the offscreen platform has no tray
    qInstallMessageHandler(previous);
    EXPECT_FALSE(shown);
    EXPECT_EQ(tray.icon(), nullptr);
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log.front().startsWith(QStringLiteral("Velurio: "))) << log.front().toStdString();
}

}  // namespace
}  // namespace velurio
