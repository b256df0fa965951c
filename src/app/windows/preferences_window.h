#pragma once
// The preferences window ("Preferências"): the three global shortcuts with a recorder each (a
// new combination is stored at once, and the shell re-registers the keys when the settings say
// the shortcuts changed, so it works at once and the old one stops), the display to capture,
// the frame rate, the codec, and the signed-in account with "Sair".
//
// The window is created on the first show() and kept (closing only hides it); every show() asks
// the model to refresh its display list. The view follows the model and the settings. Main
// thread only; the model outlives the controller.

#include <QAbstractButton>
#include <QPointer>
#include <QWidget>

class QComboBox;
class QLabel;

namespace velurio {

struct DisplayDescriptor;
class AppSettings;
class ShellModel;
class ShortcutRecorderButton;
class ThemeButton;

// A switch-style toggle with its label on the left, tinted with the ink colour when on.
class SwitchToggle : public QAbstractButton {
    Q_OBJECT
  public:
    SwitchToggle(const QString& text, QWidget* parent);
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
};

class PreferencesView : public QWidget {
    Q_OBJECT
  public:
    explicit PreferencesView(ShellModel& model, QWidget* parent = nullptr);

    enum class Shortcut { toggleAnnotation, clear, savePNG };
    ShortcutRecorderButton* recorder(Shortcut which) const;
    QComboBox* displayPicker() const { return m_display; }
    QComboBox* fpsPicker() const { return m_fps; }
    SwitchToggle* hevcToggle() const { return m_hevc; }
    QString accountText() const;
    // "Sair": shown only while signed in.
    ThemeButton* signOutButton() const { return m_signOut; }

    // A display as the picker lists it: "1920×1080 · 1".
    static QString displayLabel(const DisplayDescriptor& display);

  private:
    void refreshShortcuts();
    void refreshDisplays();
    void refreshCapture();
    void refreshAccount();

    ShellModel& m_model;
    AppSettings& m_settings;
    ShortcutRecorderButton* m_recorders[3] = {};
    QComboBox* m_display = nullptr;
    QComboBox* m_fps = nullptr;
    SwitchToggle* m_hevc = nullptr;
    QLabel* m_account = nullptr;
    ThemeButton* m_signOut = nullptr;
    bool m_filling = false;
};

class PreferencesWindowController : public QObject {
    Q_OBJECT
  public:
    static constexpr int kWidth = 520;
    static constexpr int kHeight = 480;

    explicit PreferencesWindowController(ShellModel& model, QObject* parent = nullptr);
    ~PreferencesWindowController() override;

    void show();

    QWidget* window() const { return m_window.data(); }
    PreferencesView* view() const { return m_view.data(); }

  private:
    ShellModel& m_model;
    QPointer<QWidget> m_window;
    QPointer<PreferencesView> m_view;
};

}  // namespace velurio
