// The pairing window against a stand-in shell model and a hand-driven clock: the code and its
// countdown, the minute tick that replaces an expired code, the nearby list and its buttons.
#include "app/windows/pairing_window.h"

#include "app/clock/scheduler.h"
#include "app/ui/widgets.h"
#include "stand_in_shell_model.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

namespace velurio {
namespace {

using namespace std::chrono_literals;
using testing::StandInShellModel;

void runEvents() {
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

class PairingWindowTest : public ::testing::Test {
  protected:
    // 12:00:10 UTC: 50 seconds to the next minute.
    const QDateTime m_start =
        QDateTime::fromString(QStringLiteral("2026-12-08T12:00:10Z"), Qt::ISODate);
    ManualScheduler m_scheduler;
    StandInShellModel m_model;
    PairingWindowController m_controller{
        m_model, &m_scheduler, [this]() { return m_start.addMSecs(m_scheduler.now().count()); }};
};

TEST_F(PairingWindowTest, WithoutACodeTheCardSaysSoAndEveryShowingAsksForOne) {
    m_controller.show();
    runEvents();
    PairingView* view = m_controller.view();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(m_controller.window()->size(), QSize(760, 560));
    EXPECT_EQ(m_controller.window()->windowTitle(), QStringLiteral("Velurio · Conectar iPad"));
    EXPECT_EQ(view->codeText(), QStringLiteral("••• •••"));
    EXPECT_EQ(view->statusText(), QStringLiteral("Gerando código…"));
    EXPECT_EQ(m_model.codeRequests, 1);
    // "Gerar outro" tries again; a second showing keeps the window and asks once more.
    view->refreshButton()->click();
    runEvents();
    QWidget* window = m_controller.window();
    m_controller.show();
    runEvents();
    EXPECT_EQ(m_controller.window(), window);
    EXPECT_EQ(m_model.codeRequests, 3);
    // With no code the minute tick starts nothing.
    m_scheduler.advance(5min);
    runEvents();
    EXPECT_EQ(m_model.codeRequests, 3);
}

TEST_F(PairingWindowTest, CountdownMovesEveryMinuteAndAnExpiredCodeIsReplaced) {
    m_model.pairingValue = PairingState{QStringLiteral("ABC123"), m_start.addSecs(61)};
    m_controller.show();
    runEvents();
    PairingView* view = m_controller.view();
    EXPECT_EQ(view->codeText(), QStringLiteral("ABC 123"));
    EXPECT_EQ(view->statusText(), QStringLiteral("Expira em 1:01"));
    EXPECT_EQ(m_model.codeRequests, 1);

    // Not yet at the minute: nothing changes.
    m_scheduler.advance(49s);
    EXPECT_EQ(view->statusText(), QStringLiteral("Expira em 1:01"));
    // 12:01:00: rebuilt, 11 s left, no new code.
    m_scheduler.advance(1s);
    runEvents();
    EXPECT_EQ(view->statusText(), QStringLiteral("Expira em 0:11"));
    EXPECT_EQ(m_model.codeRequests, 1);
    // 12:02:00: expired; shown as 0:00 and a new code is asked for.
    m_scheduler.advance(60s);
    runEvents();
    EXPECT_EQ(view->statusText(), QStringLiteral("Expira em 0:00"));
    EXPECT_EQ(m_model.codeRequests, 2);

    // The new code shows as soon as the model publishes it; other lengths stay unsplit.
    m_model.pairingValue = PairingState{QStringLiteral("XYZ78"), m_start.addSecs(410)};
    Q_EMIT m_model.pairingChanged();
    EXPECT_EQ(view->codeText(), QStringLiteral("XYZ78"));
    EXPECT_EQ(view->statusText(), QStringLiteral("Expira em 5:00"));

    // A hidden window does not tick.
    m_controller.window()->hide();
    m_model.pairingValue->expiresAt = m_start;
    m_scheduler.advance(10min);
    runEvents();
    EXPECT_EQ(m_model.codeRequests, 2);
}

TEST_F(PairingWindowTest, NearbyTabletsOfEitherAccountAndTheAccountLine) {
    m_controller.show();
    runEvents();
    PairingView* view = m_controller.view();
    EXPECT_TRUE(view->showsNoDevices());
    EXPECT_EQ(view->accountLine(), QStringLiteral("Dispositivos conectados à conta: —."));

    m_model.devices = {{QStringLiteral("d1"), QStringLiteral("iPad de Ana"), true, true},
                       {QStringLiteral("Sala 2"), QStringLiteral("Sala 2"), false, true}};
    Q_EMIT m_model.nearbyDevicesChanged();
    m_model.summary = QStringLiteral("1 Mac · 1 iPad");
    Q_EMIT m_model.accountChanged();
    runEvents();
    EXPECT_FALSE(view->showsNoDevices());
    EXPECT_EQ(view->accountLine(),
              QStringLiteral("Dispositivos conectados à conta: 1 Mac · 1 iPad."));
    EXPECT_EQ(view->deviceSubtitle(QStringLiteral("d1")), QStringLiteral("Mesma conta · Wi‑Fi"));
    EXPECT_EQ(view->deviceSubtitle(QStringLiteral("Sala 2")),
              QStringLiteral("Outra conta · pede o código"));
    ThemeButton* connectButton = view->deviceButton(QStringLiteral("d1"));
    ThemeButton* allow = view->deviceButton(QStringLiteral("Sala 2"));
    ASSERT_NE(connectButton, nullptr);
    ASSERT_NE(allow, nullptr);
    EXPECT_EQ(connectButton->text(), QStringLiteral("Conectar"));
    EXPECT_EQ(connectButton->style(), ThemeButton::Style::accent);
    EXPECT_EQ(allow->text(), QStringLiteral("Permitir"));
    EXPECT_EQ(allow->style(), ThemeButton::Style::outline);

    const int before = m_model.codeRequests;
    connectButton->click();
    allow->click();
    runEvents();
    ASSERT_EQ(m_model.connectRequests.size(), 1U);
    EXPECT_EQ(m_model.connectRequests[0].id, QStringLiteral("d1"));
    EXPECT_EQ(m_model.codeRequests, before + 1);
}

}  // namespace
}  // namespace velurio
