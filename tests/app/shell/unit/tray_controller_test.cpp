// The tray popup's header states, rows, footer and placement, and the tray's behaviour without
// a tray host. The popup observes a stand-in shell model.
#include "app/shell/tray_controller.h"

#include "app/settings/app_settings.h"
#include "app/ui/widgets.h"
#include "stand_in_shell_model.h"

#include <gtest/gtest.h>

namespace velurio {
namespace {

using testing::StandInShellModel;

class TrayTest : public ::testing::Test {
  protected:
    StandInShellModel m_model;
    AppSettings& m_settings = m_model.settings();
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
    TrayPopup popup(m_model);
    popup.setAttribute(Qt::WA_DeleteOnClose, false);
    std::vector<std::string> ran;
    popup.onOpenPairing = [&]() { ran.push_back("pairing"); };
    popup.onOpenPreferences = [&]() { ran.push_back("preferences"); };
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
    EXPECT_EQ(m_model.clears, 1);
    EXPECT_EQ(m_model.saves, 1);
    popup.row(QStringLiteral("Conectar outro iPad…"))->onActivated();
    popup.row(QStringLiteral("Preferências…"))->onActivated();
    popup.row(QStringLiteral("Sair do Velurio"))->onActivated();
    EXPECT_EQ(ran, (std::vector<std::string>{"pairing", "preferences", "quit"}));
}

TEST_F(TrayTest, ShortcutTextsUseTheDesktopNotationAndFollowTheSettings) {
    TrayPopup popup(m_model);
    popup.setAttribute(Qt::WA_DeleteOnClose, false);
    auto shortcutOf = [&](const char* label) {
        return popup.row(QString::fromUtf8(label))->shortcut();
    };
    EXPECT_EQ(shortcutOf("Anotação ativa"), QStringLiteral("Ctrl+Shift+A"));
    EXPECT_EQ(shortcutOf("Limpar traços"), QStringLiteral("Ctrl+Shift+L"));
    EXPECT_EQ(shortcutOf("Salvar anotações como PNG"), QStringLiteral("Ctrl+Shift+S"));
    EXPECT_EQ(shortcutOf("Destacar o cursor"), QString());
    m_settings.setShortcutClear(HotKeyDescriptor{40, 0x900});
    QCoreApplication::processEvents();  // the rows are rebuilt after the change
    EXPECT_EQ(shortcutOf("Limpar traços"), QStringLiteral("Alt+Super+K"));
}

TEST_F(TrayTest, HeaderFollowsTheModelThroughItsThreeStates) {
    TrayPopup popup(m_model);
    popup.setAttribute(Qt::WA_DeleteOnClose, false);
    std::vector<std::string> ran;
    popup.onOpenLogin = [&]() { ran.push_back("login"); };
    popup.onOpenPairing = [&]() { ran.push_back("pairing"); };

    // Signed out: local mode.
    EXPECT_EQ(popup.header(), TrayPopup::Header::localMode);
    EXPECT_EQ(popup.headerTexts(), (QStringList{QStringLiteral("Modo local"),
                                                QStringLiteral("Entre para conectar o iPad")}));
    ASSERT_NE(popup.button(QStringLiteral("Entrar")), nullptr);
    EXPECT_EQ(popup.button(QStringLiteral("Entrar"))->style(), ThemeButton::Style::accent);
    popup.button(QStringLiteral("Entrar"))->click();
    EXPECT_EQ(popup.accountLine(), QStringLiteral("—"));

    // Signed in, no tablet: the pairing entry with the code split in two.
    m_model.authenticatedValue = true;
    m_model.email = QStringLiteral("ana.souza@example.com");
    Q_EMIT m_model.accountChanged();
    EXPECT_EQ(popup.header(), TrayPopup::Header::pairing);
    EXPECT_EQ(popup.headerTexts(), QStringList());
    m_model.pairingValue = PairingState{QStringLiteral("ABC123"), QDateTime::currentDateTimeUtc()};
    Q_EMIT m_model.pairingChanged();
    EXPECT_EQ(popup.headerTexts(), QStringList{QStringLiteral("ABC 123")});
    m_model.pairingValue->code = QStringLiteral("ABCDE");
    Q_EMIT m_model.pairingChanged();
    EXPECT_EQ(popup.headerTexts(), QStringList{QStringLiteral("ABCDE")});
    ASSERT_NE(popup.button(QStringLiteral("Conectar iPad…")), nullptr);
    popup.button(QStringLiteral("Conectar iPad…"))->click();
    EXPECT_EQ(popup.initials(), QStringLiteral("AS"));
    EXPECT_EQ(popup.accountLine(), QStringLiteral("ana.souza@example.com"));

    // A tablet connected: its name, the status line with the latency, and "Desconectar".
    m_model.device = QStringLiteral("iPad de Ana");
    m_model.latency = QStringLiteral("12 ms");
    Q_EMIT m_model.connectionChanged();
    EXPECT_EQ(popup.header(), TrayPopup::Header::connected);
    EXPECT_EQ(popup.headerTexts(),
              (QStringList{QStringLiteral("iPad de Ana"), QStringLiteral("Conectado · Wi‑Fi · "),
                           QStringLiteral("12 ms")}));
    m_model.latency = QStringLiteral("9 ms");
    Q_EMIT m_model.connectionChanged();
    EXPECT_EQ(popup.headerTexts().back(), QStringLiteral("9 ms"));
    popup.button(QStringLiteral("Desconectar"))->click();
    EXPECT_EQ(m_model.disconnects, 1);
    EXPECT_EQ(ran, (std::vector<std::string>{"login", "pairing"}));
}

TEST_F(TrayTest, WithoutATrayHostTheTraySaysSoAndShowsNothing) {
    static QStringList log;
    log.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& message) {
            log.push_back(message);
        });
    TrayController tray(m_model);
    const bool shown = tray.start();  // the offscreen platform has no tray
    qInstallMessageHandler(previous);
    EXPECT_FALSE(shown);
    EXPECT_EQ(tray.icon(), nullptr);
    ASSERT_EQ(log.size(), 1);
    EXPECT_TRUE(log.front().startsWith(QStringLiteral("Velurio: "))) << log.front().toStdString();
}

}  // namespace
}  // namespace velurio
