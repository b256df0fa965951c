#pragma once
// The control that records a new global shortcut: pressed once, it shows "…" and takes the next
// key pressed together with at least one modifier; keys without a modifier are ignored and
// recording goes on. While it records, no key press reaches any other control of the
// application. Pressing it again, or taking it out of its window, stops recording.
// Main thread only.

#include "app/settings/app_settings.h"

#include <QPushButton>

#include <functional>
#include <optional>

class QKeyEvent;

namespace velurio {

class ShortcutRecorderButton : public QPushButton {
    Q_OBJECT
  public:
    explicit ShortcutRecorderButton(QWidget* parent = nullptr);
    ~ShortcutRecorderButton() override;

    std::function<void(const HotKeyDescriptor&)> onChange;
    bool recording() const { return m_recording; }

    void toggleRecording();
    // Handles one key press while recording; true when it ended recording.
    bool capture(const QKeyEvent& event);
    void stopRecording();

    // The settings' key code of a Qt key (US layout; shifted symbols map to their key), if any.
    static std::optional<std::uint32_t> keyCodeForQtKey(int key);
    // The Carbon-style mask of Qt modifiers (Meta is command, Alt is option).
    static std::uint32_t carbonModifiers(Qt::KeyboardModifiers modifiers);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool event(QEvent* event) override;

  private:
    bool m_recording = false;
    bool m_monitoring = false;
};

// Keeps a recorder button in step with a descriptor: its title is the descriptor's text and its
// onChange the current callback.
class ShortcutRecorder {
  public:
    explicit ShortcutRecorder(ShortcutRecorderButton& button) : m_button(button) {}
    void update(const HotKeyDescriptor& value,
                std::function<void(const HotKeyDescriptor&)> onChange);

  private:
    ShortcutRecorderButton& m_button;
};

}  // namespace velurio
