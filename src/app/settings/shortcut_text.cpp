#include "app/settings/shortcut_text.h"

namespace velurio {

namespace {

// Keys whose name in the key table is a symbol get the word a Linux desktop uses.
QString linuxKeyName(std::uint32_t keyCode) {
    switch (keyCode) {
        case 36:
            return QStringLiteral("Enter");
        case 48:
            return QStringLiteral("Tab");
        case 49:
            return QStringLiteral("Space");
        case 51:
            return QStringLiteral("Backspace");
        case 53:
            return QStringLiteral("Esc");
        case 123:
            return QStringLiteral("Left");
        case 124:
            return QStringLiteral("Right");
        case 125:
            return QStringLiteral("Down");
        case 126:
            return QStringLiteral("Up");
        default:
            break;
    }
    const QString name = keyName(keyCode);
    return name.isEmpty() ? QStringLiteral("?") : name;
}

}  // namespace

QString shortcutDisplayText(const HotKeyDescriptor& descriptor) {
    QString text;
    const std::uint32_t mask = descriptor.carbonModifiers;
    if ((mask & HotKeyDescriptor::kControl) != 0)
        text += QStringLiteral("Ctrl+");
    if ((mask & HotKeyDescriptor::kOption) != 0)
        text += QStringLiteral("Alt+");
    if ((mask & HotKeyDescriptor::kShift) != 0)
        text += QStringLiteral("Shift+");
    if ((mask & HotKeyDescriptor::kCommand) != 0)
        text += QStringLiteral("Super+");
    return text + linuxKeyName(descriptor.keyCode);
}

}  // namespace velurio
