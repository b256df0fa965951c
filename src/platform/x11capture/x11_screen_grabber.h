// Grabs one region of the X screen as a BGRA image, leaving this process's own windows out.
//
// Composed mode (Composite, Render, MIT-SHM and Damage present): the grabber holds its own
// automatic redirection of the root's children, keeps the stacking order of the top-level
// windows, and per frame draws the root background and then every mapped window that is not
// ours, bottom to top, from its named pixmap (OVER when its visual has alpha, SRC otherwise,
// clipped to its bounding shape). When the server shares pixmaps, the frame is drawn straight
// into the image's shared memory; otherwise into a pixmap of its own, read back once. A
// window is ours when it, or a child of it (a window manager's frame holds the client), carries
// our process id in _NET_WM_PID.
//
// Root-grab mode (any of those extensions missing, or compose not allowed): the region of the
// root window is read as it is shown, so our own windows appear in the picture.
//
// Changes are reported through handleEvent: per-window damage on the other windows (root damage
// in root-grab mode), structure changes, background and cursor-shape changes. The pointer's
// motion makes no damage; pollCursor asks for it. The cursor is drawn into every image.
//
// Not thread-safe: one thread uses a grabber at a time. The images it hands out stay valid
// after the grabber is gone; their memory returns to its pool when the last reference drops.
#pragma once

#include "core/pixel_buffer.h"
#include "platform/x11capture/x11_display_list.h"
#include "protocol/result.h"

#include <sys/types.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace velurio {

class X11ScreenGrabber {
  public:
    enum class Mode : std::uint8_t { composed, rootGrab };

    struct Rect {
        std::int32_t x = 0;
        std::int32_t y = 0;
        std::int32_t width = 0;
        std::int32_t height = 0;
    };

    struct Options {
        // False forces the root grab (tests, comparisons).
        bool allowCompose = true;
        bool drawCursor = true;
        // The process whose windows are left out; 0 means this process.
        pid_t ownPid = 0;
        // False draws into pixmaps of our own and reads them back, as on a server that does
        // not share pixmaps (tests, comparisons).
        bool allowSharedPixmaps = true;
    };

    // Opens its own connection to `displayName` (nullptr: $DISPLAY). Fails with a text when the
    // display cannot be opened or its root window cannot be read.
    static Result<std::unique_ptr<X11ScreenGrabber>, std::string> open(const char* displayName,
                                                                       Options options);
    ~X11ScreenGrabber();
    X11ScreenGrabber(const X11ScreenGrabber&) = delete;
    X11ScreenGrabber& operator=(const X11ScreenGrabber&) = delete;

    Mode mode() const noexcept { return m_mode; }
    xcb_connection_t* connection() const noexcept { return m_connection; }
    xcb_window_t root() const noexcept { return m_root; }
    int fileDescriptor() const noexcept;
    bool connectionBroken() const noexcept;
    std::vector<X11Display> displays() const;

    // The part of the root window to capture and the size of the images (scaled when it
    // differs). Fails when the sizes are not positive or the region leaves the root window.
    Status<std::string> setRegion(Rect region, int outputWidth, int outputHeight);
    const Rect& region() const noexcept { return m_region; }

    // Reads every event waiting on the connection; true when one of them may have changed the
    // picture in the region. X errors (which arrive as events) are ignored.
    bool drainEvents();
    // Asks the server where the pointer is; true when the cursor moved or changed within (or
    // out of) the region since the last call.
    bool pollCursor();
    // Composes (or reads) the region now. The image is outputWidth × outputHeight BGRA with
    // rows of 4·outputWidth bytes; the fourth byte of each pixel is undefined (a depth-24
    // screen has no alpha), which the encoder and the slide monitor never read.
    Result<PixelBuffer, std::string> grab();

    // Whether the displays may have changed (monitors added, removed, moved or resized, or the
    // root window resized) since the last call; such events arrive through drainEvents.
    bool takeDisplaysChanged() noexcept { return std::exchange(m_displaysChanged, false); }

    // Windows left out of the last composed frame (tests and logs).
    std::size_t lastExcludedCount() const noexcept { return m_lastExcluded; }

  private:
    struct Window;
    struct Slot;
    struct Formats;

    X11ScreenGrabber() = default;
    Status<std::string> initialise(const char* displayName, Options options);
    bool handleEvent(const xcb_generic_event_t& event);
    void refreshTree();
    void forget(Window& window);
    bool isOurs(xcb_window_t window);
    void prepare(Window& window);
    bool intersectsRegion(const Window& window) const noexcept;
    void refreshBackground();
    void compose(std::uint32_t target);
    void drawCursor(const BGRAImageView& image, std::uint8_t* bytes);
    std::shared_ptr<Slot> acquireSlot();
    void releaseRenderTargets();
    bool scaled() const noexcept {
        return m_outWidth != m_region.width || m_outHeight != m_region.height;
    }
    void freeSlot(Slot& slot);
    // Frees a Render picture and the pixmap under it (either may be 0) and zeroes both.
    void freePicture(std::uint32_t& picture, std::uint32_t& pixmap);
    void createSlotPicture(Slot& slot);
    void createRenderTargets();
    Status<std::string> readBack(const Slot& slot, std::uint32_t source, std::int16_t x,
                                 std::int16_t y, std::uint16_t width, std::uint16_t height);

    xcb_connection_t* m_connection = nullptr;
    xcb_window_t m_root = 0;
    xcb_visualid_t m_rootVisual = 0;
    std::uint8_t m_rootDepth = 0;
    Mode m_mode = Mode::rootGrab;
    Options m_options;
    bool m_hasShm = false;
    bool m_sharedPixmaps = false;
    bool m_hasRender = false;
    bool m_hasXfixes = false;
    std::uint8_t m_damageEvent = 0;
    std::uint8_t m_shapeEvent = 0;
    std::uint8_t m_xfixesEvent = 0;
    std::uint8_t m_randrEvent = 0;
    bool m_displaysChanged = false;
    std::unique_ptr<Formats> m_formats;
    xcb_atom_t m_atomPid = 0;
    xcb_atom_t m_atomRootPmap = 0;
    xcb_atom_t m_atomEsetrootPmap = 0;
    std::uint32_t m_rootDamage = 0;

    Rect m_region;
    int m_outWidth = 0;
    int m_outHeight = 0;
    std::uint32_t m_composePixmap = 0;
    std::uint32_t m_composePicture = 0;
    std::uint32_t m_scaledPixmap = 0;
    std::uint32_t m_scaledPicture = 0;
    std::uint32_t m_rootPicture = 0;
    std::uint32_t m_backgroundPicture = 0;
    bool m_backgroundStale = true;

    std::unordered_map<xcb_window_t, std::unique_ptr<Window>> m_windows;
    std::vector<xcb_window_t> m_stack;  // bottom to top
    bool m_treeDirty = true;
    std::size_t m_lastExcluded = 0;
    std::optional<unsigned int> m_lastReadSequence;  // of the request that read the last image

    std::vector<std::shared_ptr<Slot>> m_slots;

    void scaleCursor(double fx, double fy);

    std::vector<std::uint32_t> m_cursorPixels;
    // The cursor at the output's scale (when the output is scaled).
    std::vector<std::uint32_t> m_scaledCursorPixels;
    int m_scaledCursorWidth = 0;
    int m_scaledCursorHeight = 0;
    int m_scaledCursorHotX = 0;
    int m_scaledCursorHotY = 0;
    double m_scaledCursorFx = 0;
    double m_scaledCursorFy = 0;
    int m_cursorWidth = 0;
    int m_cursorHeight = 0;
    int m_cursorHotX = 0;
    int m_cursorHotY = 0;
    bool m_cursorStale = true;
    std::int32_t m_pointerX = -1;
    std::int32_t m_pointerY = -1;
    bool m_pointerOnScreen = false;
};

}  // namespace velurio
