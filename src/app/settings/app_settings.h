#pragma once
// Application settings persisted with QSettings, and the stored form of a global shortcut.

#include <QObject>
#include <QSettings>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

namespace velurio {

// A global shortcut: a virtual key code and a modifier mask, both in the host-neutral encoding
// the settings store (command 0x0100, shift 0x0200, option 0x0800, control 0x1000).
struct HotKeyDescriptor {
    static constexpr std::uint32_t kCommand = 0x0100;
    static constexpr std::uint32_t kShift = 0x0200;
    static constexpr std::uint32_t kOption = 0x0800;
    static constexpr std::uint32_t kControl = 0x1000;

    std::uint32_t keyCode = 0;
    std::uint32_t carbonModifiers = 0;

    bool operator==(const HotKeyDescriptor&) const = default;

    // Modifier symbols in the order ⌃ ⌥ ⇧ ⌘, then the key's name, or "?" for an unknown key code.
    QString displayString() const;
    // The same combination as a Linux desktop writes it, shown to the user everywhere:
    // "Ctrl+Alt+Shift+Super+" in that order (Super for command, Alt for option), then the key's
    // name ("A", "Esc", "Space", "Left", …), or "?" for an unknown key code.
    QString displayText() const;
};

// Name of a virtual key code from the fixed key-name table; empty for codes not in it.
QString keyName(std::uint32_t keyCode);

// The settings object: every field is read at construction and written back at once when set.
// Main thread only. Each setter emits its change signal on every set (even to the same value),
// so subscribers may recompute derived state unconditionally.
class AppSettings : public QObject {
    Q_OBJECT
  public:
    // Keys as stored.
    static constexpr const char* kAnnotationActive = "annotationActive";
    static constexpr const char* kAnnotationHintShown = "annotationHintShown";
    static constexpr const char* kShowToolbar = "showToolbar";
    static constexpr const char* kClearOnSlideChange = "clearOnSlideChange";
    static constexpr const char* kHighlightCursor = "highlightCursor";
    static constexpr const char* kCaptureFPS = "captureFPS";
    static constexpr const char* kUseHEVC = "useHEVC";
    static constexpr const char* kSelectedDisplayID = "selectedDisplayID";
    static constexpr const char* kShortcutToggleAnnotation = "shortcut.toggleAnnotation";
    static constexpr const char* kShortcutClear = "shortcut.clear";
    static constexpr const char* kShortcutSavePNG = "shortcut.savePNG";

    static constexpr HotKeyDescriptor kDefaultToggleAnnotation{0, 0x1200};
    static constexpr HotKeyDescriptor kDefaultClear{37, 0x1200};
    static constexpr HotKeyDescriptor kDefaultSavePNG{1, 0x1200};

    // Uses the application's standard QSettings location.
    explicit AppSettings(QObject* parent = nullptr);
    // Uses the given store (tests pass an INI file); takes ownership.
    explicit AppSettings(std::unique_ptr<QSettings> store, QObject* parent = nullptr);
    ~AppSettings() override;

    bool annotationActive() const { return m_annotationActive; }
    bool annotationHintShown() const { return m_annotationHintShown; }
    bool showToolbar() const { return m_showToolbar; }
    bool clearOnSlideChange() const { return m_clearOnSlideChange; }
    bool highlightCursor() const { return m_highlightCursor; }
    int captureFPS() const { return m_captureFPS; }
    bool useHEVC() const { return m_useHEVC; }
    std::optional<std::uint32_t> selectedDisplayID() const { return m_selectedDisplayID; }
    HotKeyDescriptor shortcutToggleAnnotation() const { return m_shortcutToggleAnnotation; }
    HotKeyDescriptor shortcutClear() const { return m_shortcutClear; }
    HotKeyDescriptor shortcutSavePNG() const { return m_shortcutSavePNG; }

    void setAnnotationActive(bool value);
    void setAnnotationHintShown(bool value);  // not observed: no signal
    void setShowToolbar(bool value);
    void setClearOnSlideChange(bool value);
    void setHighlightCursor(bool value);
    void setCaptureFPS(int value);
    void setUseHEVC(bool value);
    void setSelectedDisplayID(std::optional<std::uint32_t> value);  // empty removes the key
    void setShortcutToggleAnnotation(HotKeyDescriptor value);
    void setShortcutClear(HotKeyDescriptor value);
    void setShortcutSavePNG(HotKeyDescriptor value);

    // Writes pending changes to disk (QSettings also does this on its own, later).
    void sync();
    QSettings& store() { return *m_store; }

    // The stored shortcut, or nothing unless `value` is a list of exactly two unsigned 32-bit
    // integers. The INI backend hands lists of numbers back as lists of strings, so the test is
    // made on each element's text, not on the variant's type.
    static std::optional<HotKeyDescriptor> parseShortcut(const QVariant& value);

  Q_SIGNALS:
    void annotationActiveChanged(bool value);
    void showToolbarChanged(bool value);
    void clearOnSlideChangeChanged(bool value);
    void highlightCursorChanged(bool value);
    void captureFPSChanged(int value);
    void useHEVCChanged(bool value);
    void selectedDisplayIDChanged(std::optional<std::uint32_t> value);
    void shortcutsChanged();

  private:
    void load();
    bool readBool(const char* key, bool whenAbsent) const;
    HotKeyDescriptor readShortcut(const char* key, HotKeyDescriptor fallback) const;
    void writeShortcut(const char* key, HotKeyDescriptor value);

    std::unique_ptr<QSettings> m_store;
    bool m_annotationActive = false;
    bool m_annotationHintShown = false;
    bool m_showToolbar = false;
    bool m_clearOnSlideChange = true;
    bool m_highlightCursor = false;
    int m_captureFPS = 30;
    bool m_useHEVC = false;
    std::optional<std::uint32_t> m_selectedDisplayID;
    HotKeyDescriptor m_shortcutToggleAnnotation = kDefaultToggleAnnotation;
    HotKeyDescriptor m_shortcutClear = kDefaultClear;
    HotKeyDescriptor m_shortcutSavePNG = kDefaultSavePNG;
};

}  // namespace velurio
