#pragma once
// The pairing window ("Velurio · Conectar iPad"): on the left this computer's short pairing code
// with its remaining validity and the steps to follow on the tablet; on the right the tablets
// found nearby, each with "Conectar" (same account) or "Permitir" (another account, which needs
// the code). Shown at start-up when signed in and from the tray.
//
// Every show() asks the model for a fresh code. While the window is shown a tick at the start of
// every minute (of the injected clock) rebuilds the texts, so the countdown moves in one-minute
// steps, and asks for a new code once the shown one has expired. With no code the card shows
// "••• •••" and "Gerando código…" and "Gerar outro" tries again; the window shows no errors of
// its own.
//
// The window is created on the first show() and kept (closing only hides it). Main thread only;
// the model and the scheduler outlive the controller.

#include "app/clock/scheduler.h"
#include "app/shell/shell_model.h"

#include <QDateTime>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class QLabel;
class QVBoxLayout;

namespace velurio {

class ThemeButton;

class PairingView : public QWidget {
    Q_OBJECT
  public:
    using Clock = std::function<QDateTime()>;

    PairingView(ShellModel& model, Clock clock, QWidget* parent = nullptr);

    // Re-reads the whole state (code, countdown, devices, account line).
    void rebuild();

    QString codeText() const;
    // "Gerando código…" without a code, else "Expira em <countdown>".
    QString statusText() const;
    // The device row of `id` (nullptr when not listed) and its parts.
    QWidget* deviceRow(const QString& id) const;
    QString deviceSubtitle(const QString& id) const;
    ThemeButton* deviceButton(const QString& id) const;
    // "Nenhum iPad por perto ainda." is shown.
    bool showsNoDevices() const;
    QString accountLine() const;
    ThemeButton* refreshButton() const { return m_refresh; }
    ThemeButton* helpButton() const { return m_help; }

    // This computer's name as the tablet lists it.
    static QString computerName();

  protected:
    void mousePressEvent(QMouseEvent* event) override;

  private:
    void rebuildCode();
    void rebuildDevices();
    void rebuildAccount();
    void askForCode();

    ShellModel& m_model;
    Clock m_clock;
    QLabel* m_code = nullptr;
    QLabel* m_generating = nullptr;
    QLabel* m_expiresIn = nullptr;
    QLabel* m_countdown = nullptr;
    ThemeButton* m_refresh = nullptr;
    ThemeButton* m_help = nullptr;
    QWidget* m_devices = nullptr;
    QVBoxLayout* m_devicesLayout = nullptr;
    QLabel* m_account = nullptr;
};

class PairingWindowController : public QObject {
    Q_OBJECT
  public:
    static constexpr int kWidth = 760;
    static constexpr int kHeight = 560;

    // `scheduler` times the minute ticks and `clock` gives the wall-clock time; both default to
    // real time.
    explicit PairingWindowController(ShellModel& model, Scheduler* scheduler = nullptr,
                                     PairingView::Clock clock = nullptr, QObject* parent = nullptr);
    ~PairingWindowController() override;

    void show();

    QWidget* window() const { return m_window.data(); }
    PairingView* view() const { return m_view.data(); }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void scheduleTick();
    void tick();
    void stopTicks();

    ShellModel& m_model;
    std::unique_ptr<QtScheduler> m_ownScheduler;
    Scheduler* m_scheduler;
    PairingView::Clock m_clock;
    QPointer<QWidget> m_window;
    QPointer<PairingView> m_view;
    Scheduler::Id m_tick = 0;
};

}  // namespace velurio
