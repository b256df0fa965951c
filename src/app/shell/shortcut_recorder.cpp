#include "app/shell/shortcut_recorder.h"

#include <QApplication>
#include <QFontDatabase>
#include <QKeyEvent>

namespace velurio {

namespace {

struct QtKeyEntry {
    int key;
    std::uint32_t keyCode;
};

// Qt keys and the settings' key codes of the same key on a US keyboard. Shifted symbols (what
// Qt reports for Shift+1 and the like) map to the key that produces them.
constexpr QtKeyEntry kQtKeys[] = {
    {Qt::Key_A, 0},
    {Qt::Key_S, 1},
    {Qt::Key_D, 2},
    {Qt::Key_F, 3},
    {Qt::Key_H, 4},
    {Qt::Key_G, 5},
    {Qt::Key_Z, 6},
    {Qt::Key_X, 7},
    {Qt::Key_C, 8},
    {Qt::Key_V, 9},
    {Qt::Key_B, 11},
    {Qt::Key_Q, 12},
    {Qt::Key_W, 13},
    {Qt::Key_E, 14},
    {Qt::Key_R, 15},
    {Qt::Key_Y, 16},
    {Qt::Key_T, 17},
    {Qt::Key_1, 18},
    {Qt::Key_Exclam, 18},
    {Qt::Key_2, 19},
    {Qt::Key_At, 19},
    {Qt::Key_3, 20},
    {Qt::Key_NumberSign, 20},
    {Qt::Key_4, 21},
    {Qt::Key_Dollar, 21},
    {Qt::Key_6, 22},
    {Qt::Key_AsciiCircum, 22},
    {Qt::Key_5, 23},
    {Qt::Key_Percent, 23},
    {Qt::Key_Equal, 24},
    {Qt::Key_Plus, 24},
    {Qt::Key_9, 25},
    {Qt::Key_ParenLeft, 25},
    {Qt::Key_7, 26},
    {Qt::Key_Ampersand, 26},
    {Qt::Key_Minus, 27},
    {Qt::Key_Underscore, 27},
    {Qt::Key_8, 28},
    {Qt::Key_Asterisk, 28},
    {Qt::Key_0, 29},
    {Qt::Key_ParenRight, 29},
    {Qt::Key_BracketRight, 30},
    {Qt::Key_BraceRight, 30},
    {Qt::Key_O, 31},
    {Qt::Key_U, 32},
    {Qt::Key_BracketLeft, 33},
    {Qt::Key_BraceLeft, 33},
    {Qt::Key_I, 34},
    {Qt::Key_P, 35},
    {Qt::Key_Return, 36},
    {Qt::Key_Enter, 36},
    {Qt::Key_L, 37},
    {Qt::Key_J, 38},
    {Qt::Key_Apostrophe, 39},
    {Qt::Key_QuoteDbl, 39},
    {Qt::Key_K, 40},
    {Qt::Key_Semicolon, 41},
    {Qt::Key_Colon, 41},
    {Qt::Key_Backslash, 42},
    {Qt::Key_Bar, 42},
    {Qt::Key_Comma, 43},
    {Qt::Key_Less, 43},
    {Qt::Key_Slash, 44},
    {Qt::Key_Question, 44},
    {Qt::Key_N, 45},
    {Qt::Key_M, 46},
    {Qt::Key_Period, 47},
    {Qt::Key_Greater, 47},
    {Qt::Key_Tab, 48},
    {Qt::Key_Backtab, 48},
    {Qt::Key_Space, 49},
    {Qt::Key_QuoteLeft, 50},
    {Qt::Key_AsciiTilde, 50},
    {Qt::Key_Backspace, 51},
    {Qt::Key_Escape, 53},
    {Qt::Key_F5, 96},
    {Qt::Key_F6, 97},
    {Qt::Key_F7, 98},
    {Qt::Key_F3, 99},
    {Qt::Key_F8, 100},
    {Qt::Key_F9, 101},
    {Qt::Key_F11, 103},
    {Qt::Key_F10, 109},
    {Qt::Key_F12, 111},
    {Qt::Key_Home, 115},
    {Qt::Key_PageUp, 116},
    {Qt::Key_Delete, 117},
    {Qt::Key_F4, 118},
    {Qt::Key_End, 119},
    {Qt::Key_F2, 120},
    {Qt::Key_PageDown, 121},
    {Qt::Key_F1, 122},
    {Qt::Key_Left, 123},
    {Qt::Key_Right, 124},
    {Qt::Key_Down, 125},
    {Qt::Key_Up, 126},
};

}  // namespace

ShortcutRecorderButton::ShortcutRecorderButton(QWidget* parent) : QPushButton(parent) {
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPixelSize(12);
    mono.setWeight(QFont::Medium);
    setFont(mono);
    connect(this, &QPushButton::clicked, this, &ShortcutRecorderButton::toggleRecording);
}

ShortcutRecorderButton::~ShortcutRecorderButton() {
    stopRecording();
}

std::optional<std::uint32_t> ShortcutRecorderButton::keyCodeForQtKey(int key) {
    for (const auto& entry : kQtKeys) {
        if (entry.key == key)
            return entry.keyCode;
    }
    return std::nullopt;
}

std::uint32_t ShortcutRecorderButton::carbonModifiers(Qt::KeyboardModifiers modifiers) {
    std::uint32_t mask = 0;
    if (modifiers.testFlag(Qt::MetaModifier))
        mask |= HotKeyDescriptor::kCommand;
    if (modifiers.testFlag(Qt::AltModifier))
        mask |= HotKeyDescriptor::kOption;
    if (modifiers.testFlag(Qt::ControlModifier))
        mask |= HotKeyDescriptor::kControl;
    if (modifiers.testFlag(Qt::ShiftModifier))
        mask |= HotKeyDescriptor::kShift;
    return mask;
}

void ShortcutRecorderButton::toggleRecording() {
    if (m_recording) {
        stopRecording();
        return;
    }
    m_recording = true;
    setText(QStringLiteral("…"));
    // The application-wide monitor: every key press goes to capture() and no further.
    qApp->installEventFilter(this);
    m_monitoring = true;
    grabKeyboard();
}

bool ShortcutRecorderButton::capture(const QKeyEvent& event) {
    const std::uint32_t mask = carbonModifiers(event.modifiers());
    if (mask == 0)
        return false;
    // A modifier on its own, or a key without a code in the settings' encoding: keep waiting.
    const auto keyCode = keyCodeForQtKey(event.key());
    if (!keyCode)
        return false;
    const HotKeyDescriptor descriptor{*keyCode, mask};
    stopRecording();
    if (onChange)
        onChange(descriptor);
    return true;
}

void ShortcutRecorderButton::stopRecording() {
    m_recording = false;
    if (m_monitoring) {
        qApp->removeEventFilter(this);
        m_monitoring = false;
        releaseKeyboard();
    }
}

bool ShortcutRecorderButton::eventFilter(QObject* watched, QEvent* event) {
    if (m_recording &&
        (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride)) {
        if (event->type() == QEvent::KeyPress)
            capture(*static_cast<QKeyEvent*>(event));
        return true;
    }
    if (m_recording && event->type() == QEvent::KeyRelease)
        return true;
    return QPushButton::eventFilter(watched, event);
}

void ShortcutRecorderButton::hideEvent(QHideEvent* event) {
    stopRecording();
    QPushButton::hideEvent(event);
}

bool ShortcutRecorderButton::event(QEvent* event) {
    if (event->type() == QEvent::ParentAboutToChange)
        stopRecording();
    return QPushButton::event(event);
}

void ShortcutRecorder::update(const HotKeyDescriptor& value,
                              std::function<void(const HotKeyDescriptor&)> onChange) {
    m_button.onChange = std::move(onChange);
    m_button.setText(value.displayText());
}

}  // namespace velurio
