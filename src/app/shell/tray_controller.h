#pragma once
// The tray icon and its popup: the application's everyday controls one click away. The popup
// shows, from top to bottom, the connection header (the connected tablet with its latency and
// "Desconectar"; "Modo local" with "Entrar" when signed out; "Conectar iPad…" with the pairing
// code when signed in), the four annotation toggles, clear, save as PNG, "Conectar outro iPad…",
// the preferences, quit, and the account footer. It follows the shell model's published state
// while open. It closes when the user clicks elsewhere and always lies inside the screen's
// available area; every row that opens a window closes it first. Without a tray host the
// application runs on and says so in the log. Main thread only; the model outlives the tray.

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

class QLabel;
class QSystemTrayIcon;
class QVBoxLayout;
class QScreen;

namespace velurio {

class AppSettings;
class ShellModel;
class ThemeButton;

// One row of the popup: a label, an optional shortcut text and, for a toggle, a switch.
class TrayRow : public QWidget {
    Q_OBJECT
  public:
    TrayRow(const QString& label, const QString& shortcut, std::optional<bool> toggled,
            QWidget* parent);
    void setToggled(bool on);
    std::optional<bool> toggled() const { return m_toggled; }
    QString label() const { return m_label; }
    QString shortcut() const { return m_shortcut; }

    std::function<void()> onActivated;

  protected:
    void paintEvent(QPaintEvent*) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent*) override;
    void leaveEvent(QEvent*) override;

  private:
    QString m_label;
    QString m_shortcut;
    std::optional<bool> m_toggled;
    bool m_hover = false;
};

class TrayPopup : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kWidth = 320;

    enum class Header { connected, localMode, pairing };

    explicit TrayPopup(ShellModel& model, QWidget* parent = nullptr);
    // The row with this label, if any.
    TrayRow* row(const QString& label) const;
    // The header's or the footer's button with this text, if shown.
    ThemeButton* button(const QString& text) const;

    Header header() const { return m_header; }
    // The texts shown in the header, top to bottom (for the connected state: the device name and
    // the status line).
    QStringList headerTexts() const;
    QString initials() const;
    QString accountLine() const;

    // Each closes the popup, then runs.
    std::function<void()> onOpenPairing;
    std::function<void()> onOpenPreferences;
    std::function<void()> onOpenLogin;
    // Runs without closing first (quitting closes everything).
    std::function<void()> onQuit;

    // Re-reads the settings into the switches.
    void refresh();

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    void rebuild();
    void rebuildHeader();
    void refreshFooter();
    void fitHeight();
    // Closes the popup, then runs `action` if set.
    void closeThen(const std::function<void()>& action);

    ShellModel& m_model;
    AppSettings& m_settings;
    Header m_header = Header::localMode;
    QWidget* m_headerBox = nullptr;
    QVBoxLayout* m_headerLayout = nullptr;
    QWidget* m_headerContent = nullptr;
    QLabel* m_initials = nullptr;
    QLabel* m_accountLine = nullptr;
};

class TrayController : public QObject {
    Q_OBJECT
  public:
    explicit TrayController(ShellModel& model, QObject* parent = nullptr);
    ~TrayController() override;

    // Set by the owner of the windows and of the application's quit.
    std::function<void()> onOpenPairing;
    std::function<void()> onOpenPreferences;
    std::function<void()> onOpenLogin;
    std::function<void()> onQuit;

    // Shows the icon when a tray host runs; otherwise logs that there is none. True when shown.
    bool start();
    // Opens the popup next to `anchor` (the icon's area on screen), or closes it when open.
    void togglePopup(const QRect& anchor);
    TrayPopup* popup() const { return m_popup.data(); }
    QSystemTrayIcon* icon() const { return m_icon.get(); }

    // Where a popup of `size` goes for an icon at `anchor`: below the icon when it is in the
    // upper half of the screen, else above it, aligned on the icon's left edge, then moved
    // inside `available`.
    static QPoint popupPosition(const QRect& anchor, QSize size, const QRect& available);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // How long after the popup closed a click on the icon is taken as the click that closed it.
    static constexpr int kReopenGuardMs = 250;

    ShellModel& m_model;
    std::unique_ptr<QSystemTrayIcon> m_icon;
    QElapsedTimer m_popupHidden;
    QPointer<TrayPopup> m_popup;
};

}  // namespace velurio
