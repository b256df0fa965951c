#pragma once
// What the account windows share: the dark, fixed-size top-level window (title bar with a close
// button only, kept when closed), bringing a window to the front, and opening a path of the
// platform's site in the default browser. Main thread only.

#include <QString>
#include <QWidget>

namespace velurio {

// A top-level window of `width` × `height` titled `title`, on the theme's dark background,
// without minimise or maximise buttons, hidden rather than deleted when closed, centred on the
// screen under the pointer (else the primary one).
QWidget* createAccountWindow(const QString& title, int width, int height);

// Shows `window`, raises it and asks the window manager for the keyboard focus.
void bringToFront(QWidget* window);

// Opens the platform's base URL with `path` appended in the default browser.
void openPlatformPage(const QString& path);

}  // namespace velurio
