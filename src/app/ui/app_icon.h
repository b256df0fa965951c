#pragma once
// The application's own icon ("AppIcon"): a dark rounded tile with the red ink curve, shipped as
// a scalable SVG and a 48-pixel PNG in the application's resources and installed beside the
// desktop entry. The tray keeps its own line icon (symbol_icons.h). Main thread only.

#include <QPixmap>
#include <QString>

namespace velurio {

// The resource path of the 48-pixel PNG.
inline constexpr const char* kAppIconResource = ":/velurio/icons/AppIcon.png";

// The 48-pixel picture; a null pixmap when the resource is missing.
QPixmap appIconPixmap();

}  // namespace velurio
