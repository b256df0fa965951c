#pragma once
// The text a user sees for a global shortcut, in the notation of Linux desktops ("Ctrl+Shift+A"):
// the tray popup, the preferences' recorders and the hints all show shortcuts through this one
// function, so they always agree. Pure function; any thread.

#include "app/settings/app_settings.h"

#include <QString>

namespace velurio {

// The modifiers in the order Ctrl, Alt, Shift, Super (control, option, shift, command bits),
// each followed by "+", then the key's name; "?" for a key code without a name.
QString shortcutDisplayText(const HotKeyDescriptor& descriptor);

}  // namespace velurio
