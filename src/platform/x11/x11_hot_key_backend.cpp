#include "platform/x11/x11_hot_key_backend.h"

#include "platform/x11/xcb_reply.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <xcb/xcb.h>
#include <xcb/xproto.h>

#include <cstdlib>
#include <memory>

namespace velurio {

using x11::XCBReply;

namespace {

struct KeysymEntry {
    std::uint32_t keyCode;
    std::uint32_t keysym;
};

// Key codes of the settings' encoding (a US keyboard's virtual key codes) and the X keysym of
// the same key. Letters use their lower-case keysym, which is what column 0 of the keyboard
// mapping holds.
constexpr KeysymEntry kKeysyms[] = {
    {0, 'a'},      {1, 's'},      {2, 'd'},      {3, 'f'},      {4, 'h'},      {5, 'g'},
    {6, 'z'},      {7, 'x'},      {8, 'c'},      {9, 'v'},      {11, 'b'},     {12, 'q'},
    {13, 'w'},     {14, 'e'},     {15, 'r'},     {16, 'y'},     {17, 't'},     {18, '1'},
    {19, '2'},     {20, '3'},     {21, '4'},     {22, '6'},     {23, '5'},     {24, '='},
    {25, '9'},     {26, '7'},     {27, '-'},     {28, '8'},     {29, '0'},     {30, ']'},
    {31, 'o'},     {32, 'u'},     {33, '['},     {34, 'i'},     {35, 'p'},     {36, 0xff0d},
    {37, 'l'},     {38, 'j'},     {39, '\''},    {40, 'k'},     {41, ';'},     {42, '\\'},
    {43, ','},     {44, '/'},     {45, 'n'},     {46, 'm'},     {47, '.'},     {48, 0xff09},
    {49, ' '},     {50, '`'},     {51, 0xff08},  {53, 0xff1b},  {96, 0xffc2},  {97, 0xffc3},
    {98, 0xffc4},  {99, 0xffc0},  {100, 0xffc5}, {101, 0xffc6}, {103, 0xffc8}, {109, 0xffc7},
    {111, 0xffc9}, {115, 0xff50}, {116, 0xff55}, {117, 0xffff}, {118, 0xffc1}, {119, 0xff57},
    {120, 0xffbf}, {121, 0xff56}, {122, 0xffbe}, {123, 0xff51}, {124, 0xff53}, {125, 0xff54},
    {126, 0xff52},
};
constexpr std::uint32_t kNumLockKeysym = 0xff7f;

constexpr std::uint32_t kCarbonCommand = 0x0100;
constexpr std::uint32_t kCarbonShift = 0x0200;
constexpr std::uint32_t kCarbonOption = 0x0800;
constexpr std::uint32_t kCarbonControl = 0x1000;

constexpr std::uint8_t kBadAccess = 10;

}  // namespace

X11HotKeyBackend::X11HotKeyBackend() {
    auto* app = qGuiApp;
    if (app == nullptr)
        return;
    auto* x11 = app->nativeInterface<QNativeInterface::QX11Application>();
    if (x11 == nullptr || x11->connection() == nullptr)
        return;
    m_connection = x11->connection();
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    if (screens.rem == 0) {
        m_connection = nullptr;
        return;
    }
    m_root = screens.data->root;
    QCoreApplication::instance()->installNativeEventFilter(this);
}

X11HotKeyBackend::~X11HotKeyBackend() {
    if (m_connection == nullptr)
        return;
    if (auto* app = QCoreApplication::instance())
        app->removeNativeEventFilter(this);
    for (const auto& [id, grabbed] : m_grabs)
        ungrab(grabbed);
    xcb_flush(m_connection);
}

std::optional<std::uint32_t> X11HotKeyBackend::keysymForKeyCode(std::uint32_t keyCode) {
    for (const auto& entry : kKeysyms) {
        if (entry.keyCode == keyCode)
            return entry.keysym;
    }
    return std::nullopt;
}

std::uint16_t X11HotKeyBackend::xModifiers(std::uint32_t carbonModifiers) {
    std::uint16_t mask = 0;
    if ((carbonModifiers & kCarbonControl) != 0)
        mask |= XCB_MOD_MASK_CONTROL;
    if ((carbonModifiers & kCarbonShift) != 0)
        mask |= XCB_MOD_MASK_SHIFT;
    if ((carbonModifiers & kCarbonOption) != 0)
        mask |= XCB_MOD_MASK_1;
    if ((carbonModifiers & kCarbonCommand) != 0)
        mask |= XCB_MOD_MASK_4;
    return mask;
}

std::optional<std::uint8_t> X11HotKeyBackend::keycodeForKeysym(std::uint32_t keysym) const {
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    const std::uint8_t first = setup->min_keycode;
    const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
    XCBReply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
        m_connection, xcb_get_keyboard_mapping(m_connection, first, count), nullptr));
    if (!reply)
        return std::nullopt;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply.get());
    const int perCode = reply->keysyms_per_keycode;
    const int total = xcb_get_keyboard_mapping_keysyms_length(reply.get());
    if (perCode <= 0)
        return std::nullopt;
    // Prefer the key whose unshifted symbol it is, then any column.
    for (int column = 0; column < perCode; ++column) {
        for (int index = column; index < total; index += perCode) {
            if (syms[index] == keysym)
                return static_cast<std::uint8_t>(first + index / perCode);
        }
    }
    return std::nullopt;
}

std::uint16_t X11HotKeyBackend::numLockMask() const {
    const auto numLock = keycodeForKeysym(kNumLockKeysym);
    if (!numLock)
        return 0;
    XCBReply<xcb_get_modifier_mapping_reply_t> reply(xcb_get_modifier_mapping_reply(
        m_connection, xcb_get_modifier_mapping(m_connection), nullptr));
    if (!reply)
        return 0;
    const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(reply.get());
    const int perModifier = reply->keycodes_per_modifier;
    for (int modifier = 0; modifier < 8; ++modifier) {
        for (int k = 0; k < perModifier; ++k) {
            if (codes[modifier * perModifier + k] == *numLock) {
                return static_cast<std::uint16_t>(1u << modifier);
            }
        }
    }
    return 0;
}

std::vector<std::uint16_t> X11HotKeyBackend::lockVariants() const {
    const std::uint16_t numLock = numLockMask();
    std::vector<std::uint16_t> variants{0, XCB_MOD_MASK_LOCK};
    if (numLock != 0) {
        variants.push_back(numLock);
        variants.push_back(static_cast<std::uint16_t>(numLock | XCB_MOD_MASK_LOCK));
    }
    return variants;
}

HotKeyBackend::GrabResult X11HotKeyBackend::grab(std::uint32_t id, std::uint32_t keyCode,
                                                 std::uint32_t carbonModifiers) {
    if (m_connection == nullptr)
        return GrabResult::unavailable;
    release(id);
    const auto keysym = keysymForKeyCode(keyCode);
    if (!keysym)
        return GrabResult::unknownKey;
    const auto keycode = keycodeForKeysym(*keysym);
    if (!keycode)
        return GrabResult::unknownKey;

    const std::uint16_t modifiers = xModifiers(carbonModifiers);
    std::vector<std::uint16_t> done;
    for (const std::uint16_t variant : lockVariants()) {
        const auto mask = static_cast<std::uint16_t>(modifiers | variant);
        const xcb_void_cookie_t cookie = xcb_grab_key_checked(
            m_connection, 0, m_root, mask, *keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        XCBReply<xcb_generic_error_t> error(xcb_request_check(m_connection, cookie));
        if (error) {
            // All or nothing: a half-grabbed combination would work only with some lock keys.
            for (const std::uint16_t grabbedMask : done)
                ungrab(Grab{*keycode, grabbedMask});
            xcb_flush(m_connection);
            return error->error_code == kBadAccess ? GrabResult::taken : GrabResult::unavailable;
        }
        done.push_back(mask);
    }
    m_grabs[id] = Grab{*keycode, modifiers};
    return GrabResult::grabbed;
}

void X11HotKeyBackend::ungrab(const Grab& grabbed) {
    xcb_ungrab_key(m_connection, grabbed.keycode, m_root, grabbed.modifiers);
}

void X11HotKeyBackend::release(std::uint32_t id) {
    const auto it = m_grabs.find(id);
    if (it == m_grabs.end())
        return;
    const Grab grabbed = it->second;
    m_grabs.erase(it);
    for (const std::uint16_t variant : lockVariants()) {
        ungrab(Grab{grabbed.keycode, static_cast<std::uint16_t>(grabbed.modifiers | variant)});
    }
    // Released at once: the old combination must reach other programs from now on.
    xcb_flush(m_connection);
}

bool X11HotKeyBackend::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (eventType != "xcb_generic_event_t" || message == nullptr)
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_KEY_PRESS)
        return false;
    const auto* press = static_cast<const xcb_key_press_event_t*>(message);
    if (press->event != m_root)
        return false;
    const std::uint16_t relevant =
        XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;
    const auto state = static_cast<std::uint16_t>(press->state & relevant);
    for (const auto& [id, grabbed] : m_grabs) {
        if (grabbed.keycode == press->detail && grabbed.modifiers == state) {
            if (onPressed)
                onPressed(id);
            return true;
        }
    }
    return false;
}

}  // namespace velurio
