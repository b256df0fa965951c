#pragma once
// The tray icon and its popup: the application's everyday controls (the four annotation
// toggles, clear, save as PNG, quit) one click away. The popup closes when the user clicks
// elsewhere and always lies inside the screen's available area. Without a tray host the
// application runs on and says so in the log. Main thread only.

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

class QSystemTrayIcon;
class QScreen;

namespace velurio {

class AppSettings;

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

    explicit TrayPopup(AppSettings& settings, QWidget* parent = nullptr);
    // The row with this label, if any.
    TrayRow* row(const QString& label) const;

    std::function<void()> onClear;
    std::function<void()> onSavePNG;
    std::function<void()> onQuit;

    // Re-reads the settings into the switches and the shortcut texts.
    void refresh();

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    void rebuild();

    AppSettings& m_settings;
};

class TrayController : public QObject {
    Q_OBJECT
  public:
    explicit TrayController(AppSettings& settings, QObject* parent = nullptr);
    ~TrayController() override;

    std::function<void()> onClear;
    std::function<void()> onSavePNG;
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

  private:
    AppSettings& m_settings;
    std::unique_ptr<QSystemTrayIcon> m_icon;
    QPointer<TrayPopup> m_popup;
};

}  // namespace velurio
