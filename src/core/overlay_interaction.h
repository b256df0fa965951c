// Whether the overlay takes mouse input and whether the toolbar and status pin show, derived
// from three flags. While a tablet is connected the mouse never draws: every click passes
// through to the applications below and the strokes come from the tablet.
#pragma once

namespace velurio {

struct OverlayInteraction {
    bool peerConnected = false;     // a tablet session is active
    bool annotationActive = false;  // the user has turned annotation on
    bool showToolbar = false;       // the user wants the floating toolbar

    constexpr bool mouseDrawingEnabled() const noexcept {
        return annotationActive && !peerConnected;
    }
    constexpr bool ignoresMouseEvents() const noexcept { return !mouseDrawingEnabled(); }
    // Independent of a connected peer.
    constexpr bool toolbarVisible() const noexcept { return annotationActive && showToolbar; }
    constexpr bool pinVisible() const noexcept { return peerConnected; }

    constexpr bool operator==(const OverlayInteraction&) const = default;
};

namespace SettingsDefaults {
// Annotation starts switched off until the user turns it on.
inline constexpr bool annotationActive = false;
}  // namespace SettingsDefaults

}  // namespace velurio
