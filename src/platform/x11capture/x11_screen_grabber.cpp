#include "platform/x11capture/x11_screen_grabber.h"

#include "platform/x11/xcb_reply.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/render.h>
#include <xcb/shape.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace velurio {

using x11::XcbReply;
namespace {

// What a compositing manager shows where no wallpaper is set.
constexpr std::uint16_t kBackgroundGrey = 0x8080;

bool extensionPresent(xcb_connection_t* c, xcb_extension_t* ext) {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, ext);
    return data != nullptr && data->present != 0;
}

std::uint8_t firstEvent(xcb_connection_t* c, xcb_extension_t* ext) {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, ext);
    return data != nullptr ? data->first_event : 0;
}

xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
    XcbReply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

std::int16_t clamp16(std::int64_t v) {
    return static_cast<std::int16_t>(std::clamp<std::int64_t>(v, INT16_MIN, INT16_MAX));
}

std::uint16_t clampU16(std::int64_t v) {
    return static_cast<std::uint16_t>(std::clamp<std::int64_t>(v, 0, UINT16_MAX));
}

}  // namespace

struct X11ScreenGrabber::Formats {
    std::unordered_map<xcb_visualid_t, xcb_render_pictforminfo_t> byVisual;
    xcb_render_pictforminfo_t root{};
};

struct X11ScreenGrabber::Window {
    xcb_window_t id = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t border = 0;
    bool mapped = false;
    bool inputOutput = false;
    xcb_visualid_t visual = 0;
    std::optional<bool> ours;
    std::uint32_t damage = 0;
    std::uint32_t pixmap = 0;
    std::uint32_t picture = 0;
    bool hasAlpha = false;
    bool pixmapStale = true;
    bool shapeStale = true;
    bool shaped = false;
    std::vector<xcb_rectangle_t> shape;  // relative to the pixmap's origin (outer corner)
};

// One image's memory: a shared-memory segment the server writes into, or plain memory when
// MIT-SHM is missing.
struct X11ScreenGrabber::Slot {
    std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::uint32_t segment = 0;
    // A pixmap over the segment (when the server shares pixmaps): the server draws the image
    // straight into our memory, with no read back.
    std::uint32_t pixmap = 0;
    std::uint32_t picture = 0;
    std::vector<std::uint8_t> heap;
    std::atomic<bool> inUse{false};
    BgraImageView view;

    Slot() = default;
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    ~Slot() {
        if (segment != 0 && data != nullptr)
            shmdt(data);
    }
};

Result<std::unique_ptr<X11ScreenGrabber>, std::string> X11ScreenGrabber::open(
    const char* displayName, Options options) {
    std::unique_ptr<X11ScreenGrabber> grabber(new X11ScreenGrabber());
    if (Status<std::string> status = grabber->initialise(displayName, options); !status)
        return fail(status.error());
    return grabber;
}

Status<std::string> X11ScreenGrabber::initialise(const char* displayName, Options options) {
    m_options = options;
    if (m_options.ownPid == 0)
        m_options.ownPid = getpid();
    int screenNumber = 0;
    m_connection = xcb_connect(displayName, &screenNumber);
    if (m_connection == nullptr || xcb_connection_has_error(m_connection) != 0) {
        return fail(std::string("cannot open the X display"));
    }
    const xcb_setup_t* setup = xcb_get_setup(m_connection);
    auto it = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && it.rem != 0; ++i)
        xcb_screen_next(&it);
    if (it.rem == 0)
        return fail(std::string("the X display has no screen"));
    m_root = it.data->root;
    m_rootVisual = it.data->root_visual;
    m_rootDepth = it.data->root_depth;

    // Readable: one pixel of the root window comes back.
    XcbReply<xcb_get_image_reply_t> probe(xcb_get_image_reply(
        m_connection,
        xcb_get_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, m_root, 0, 0, 1, 1, ~0u), nullptr));
    if (!probe)
        return fail(std::string("the X root window cannot be read"));

    xcb_prefetch_extension_data(m_connection, &xcb_shm_id);
    xcb_prefetch_extension_data(m_connection, &xcb_composite_id);
    xcb_prefetch_extension_data(m_connection, &xcb_render_id);
    xcb_prefetch_extension_data(m_connection, &xcb_damage_id);
    xcb_prefetch_extension_data(m_connection, &xcb_xfixes_id);
    xcb_prefetch_extension_data(m_connection, &xcb_shape_id);
    xcb_prefetch_extension_data(m_connection, &xcb_randr_id);

    m_hasShm = extensionPresent(m_connection, &xcb_shm_id);
    if (m_hasShm) {
        XcbReply<xcb_shm_query_version_reply_t> v(xcb_shm_query_version_reply(
            m_connection, xcb_shm_query_version(m_connection), nullptr));
        m_hasShm = v != nullptr;
        m_sharedPixmaps = m_options.allowSharedPixmaps && v != nullptr && v->shared_pixmaps != 0 &&
                          v->pixmap_format == XCB_IMAGE_FORMAT_Z_PIXMAP;
    }
    bool hasDamage = extensionPresent(m_connection, &xcb_damage_id);
    if (hasDamage) {
        XcbReply<xcb_damage_query_version_reply_t> v(xcb_damage_query_version_reply(
            m_connection, xcb_damage_query_version(m_connection, 1, 1), nullptr));
        hasDamage = v != nullptr;
        m_damageEvent = firstEvent(m_connection, &xcb_damage_id);
    }
    m_hasXfixes = extensionPresent(m_connection, &xcb_xfixes_id);
    if (m_hasXfixes) {
        XcbReply<xcb_xfixes_query_version_reply_t> v(xcb_xfixes_query_version_reply(
            m_connection, xcb_xfixes_query_version(m_connection, 4, 0), nullptr));
        m_hasXfixes = v != nullptr && v->major_version >= 2;
        m_xfixesEvent = firstEvent(m_connection, &xcb_xfixes_id);
    }
    m_hasRender = extensionPresent(m_connection, &xcb_render_id);
    if (m_hasRender) {
        XcbReply<xcb_render_query_version_reply_t> v(xcb_render_query_version_reply(
            m_connection, xcb_render_query_version(m_connection, 0, 11), nullptr));
        XcbReply<xcb_render_query_pict_formats_reply_t> formats(xcb_render_query_pict_formats_reply(
            m_connection, xcb_render_query_pict_formats(m_connection), nullptr));
        m_hasRender = v != nullptr && formats != nullptr;
        if (m_hasRender) {
            m_formats = std::make_unique<Formats>();
            std::unordered_map<xcb_render_pictformat_t, xcb_render_pictforminfo_t> byId;
            for (auto f = xcb_render_query_pict_formats_formats_iterator(formats.get()); f.rem != 0;
                 xcb_render_pictforminfo_next(&f)) {
                byId[f.data->id] = *f.data;
            }
            for (auto s = xcb_render_query_pict_formats_screens_iterator(formats.get()); s.rem != 0;
                 xcb_render_pictscreen_next(&s)) {
                for (auto d = xcb_render_pictscreen_depths_iterator(s.data); d.rem != 0;
                     xcb_render_pictdepth_next(&d)) {
                    for (auto v2 = xcb_render_pictdepth_visuals_iterator(d.data); v2.rem != 0;
                         xcb_render_pictvisual_next(&v2)) {
                        auto found = byId.find(v2.data->format);
                        if (found != byId.end())
                            m_formats->byVisual[v2.data->visual] = found->second;
                    }
                }
            }
            auto root = m_formats->byVisual.find(m_rootVisual);
            if (root == m_formats->byVisual.end()) {
                m_hasRender = false;
            } else {
                m_formats->root = root->second;
            }
        }
    }
    bool hasComposite = extensionPresent(m_connection, &xcb_composite_id);
    if (hasComposite) {
        XcbReply<xcb_composite_query_version_reply_t> v(xcb_composite_query_version_reply(
            m_connection, xcb_composite_query_version(m_connection, 0, 4), nullptr));
        hasComposite = v != nullptr && (v->major_version > 0 || v->minor_version >= 2);
    }
    if (extensionPresent(m_connection, &xcb_randr_id)) {
        XcbReply<xcb_randr_query_version_reply_t> v(xcb_randr_query_version_reply(
            m_connection, xcb_randr_query_version(m_connection, 1, 5), nullptr));
        if (v) {
            m_randrEvent = firstEvent(m_connection, &xcb_randr_id);
            xcb_randr_select_input(m_connection, m_root,
                                   XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE |
                                       XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                       XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
        }
    }
    bool hasShape = extensionPresent(m_connection, &xcb_shape_id);
    if (hasShape)
        m_shapeEvent = firstEvent(m_connection, &xcb_shape_id);

    m_atomPid = internAtom(m_connection, "_NET_WM_PID");
    m_atomRootPmap = internAtom(m_connection, "_XROOTPMAP_ID");
    m_atomEsetrootPmap = internAtom(m_connection, "ESETROOT_PMAP_ID");

    const bool canCompose = m_options.allowCompose && m_hasShm && m_hasRender && hasDamage &&
                            hasComposite && (m_rootDepth == 24 || m_rootDepth == 32);
    m_mode = canCompose ? Mode::composed : Mode::rootGrab;

    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE |
                               XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(m_connection, m_root, XCB_CW_EVENT_MASK, &mask);
    if (m_mode == Mode::composed) {
        xcb_composite_redirect_subwindows(m_connection, m_root, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    } else if (hasDamage) {
        m_rootDamage = xcb_generate_id(m_connection);
        xcb_damage_create(m_connection, m_rootDamage, m_root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    }
    if (m_hasXfixes) {
        xcb_xfixes_select_cursor_input(m_connection, m_root,
                                       XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    }
    if (m_hasRender) {
        m_rootPicture = xcb_generate_id(m_connection);
        const std::uint32_t include = XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS;
        xcb_render_create_picture(m_connection, m_rootPicture, m_root, m_formats->root.id,
                                  XCB_RENDER_CP_SUBWINDOW_MODE, &include);
    }
    xcb_flush(m_connection);
    return {};
}

X11ScreenGrabber::~X11ScreenGrabber() {
    if (m_connection == nullptr)
        return;
    // Closing the connection frees every server resource we made (redirection, damage,
    // pictures, shared-memory attachments); the slots detach their memory when unused.
    for (auto& slot : m_slots) {
        if (slot->segment != 0)
            xcb_shm_detach(m_connection, slot->segment);
    }
    xcb_disconnect(m_connection);
}

int X11ScreenGrabber::fileDescriptor() const noexcept {
    return xcb_get_file_descriptor(m_connection);
}

bool X11ScreenGrabber::connectionBroken() const noexcept {
    return xcb_connection_has_error(m_connection) != 0;
}

std::vector<X11Display> X11ScreenGrabber::displays() const {
    return listX11Displays(m_connection, m_root);
}

void X11ScreenGrabber::releaseRenderTargets() {
    freePicture(m_composePicture, m_composePixmap);
    freePicture(m_scaledPicture, m_scaledPixmap);
}

Status<std::string> X11ScreenGrabber::setRegion(Rect region, int outputWidth, int outputHeight) {
    if (region.width <= 0 || region.height <= 0 || outputWidth <= 0 || outputHeight <= 0 ||
        region.width > INT16_MAX || region.height > INT16_MAX || outputWidth > INT16_MAX ||
        outputHeight > INT16_MAX) {
        return fail(std::string("invalid capture size"));
    }
    XcbReply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(m_connection, xcb_get_geometry(m_connection, m_root), nullptr));
    if (!geometry || region.x < 0 || region.y < 0 || region.x + region.width > geometry->width ||
        region.y + region.height > geometry->height) {
        return fail(std::string("the capture region leaves the screen"));
    }
    const bool scaled = outputWidth != region.width || outputHeight != region.height;
    if (!m_hasRender && scaled)
        return fail(std::string("scaling needs the Render extension"));
    m_region = region;
    m_outWidth = outputWidth;
    m_outHeight = outputHeight;
    createRenderTargets();
    m_treeDirty = true;
    m_backgroundStale = true;
    xcb_flush(m_connection);
    return {};
}

// The pixmaps a frame is drawn into before it is read back: needed unless the images' own
// shared pixmaps can take the drawing.
void X11ScreenGrabber::createRenderTargets() {
    releaseRenderTargets();
    if (!m_hasRender || (m_mode != Mode::composed && !scaled()))
        return;
    auto make = [this](std::uint32_t& pixmap, std::uint32_t& picture, int width, int height) {
        pixmap = xcb_generate_id(m_connection);
        xcb_create_pixmap(m_connection, m_rootDepth, pixmap, m_root,
                          static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height));
        picture = xcb_generate_id(m_connection);
        xcb_render_create_picture(m_connection, picture, pixmap, m_formats->root.id, 0, nullptr);
    };
    if (m_mode == Mode::composed && (scaled() || !m_sharedPixmaps)) {
        make(m_composePixmap, m_composePicture, m_region.width, m_region.height);
    }
    if (scaled() && !m_sharedPixmaps)
        make(m_scaledPixmap, m_scaledPicture, m_outWidth, m_outHeight);
    if (scaled()) {
        // The source of the scaling step maps output pixels back to region pixels.
        const std::uint32_t source = m_mode == Mode::composed ? m_composePicture : m_rootPicture;
        auto fixed = [](double v) { return static_cast<xcb_render_fixed_t>(v * 65536.0); };
        const double sx = static_cast<double>(m_region.width) / m_outWidth;
        const double sy = static_cast<double>(m_region.height) / m_outHeight;
        xcb_render_transform_t transform{fixed(sx), 0, 0, 0, fixed(sy), 0, 0, 0, fixed(1.0)};
        xcb_render_set_picture_transform(m_connection, source, transform);
        static const char kFilter[] = "bilinear";
        xcb_render_set_picture_filter(m_connection, source, sizeof kFilter - 1, kFilter, 0,
                                      nullptr);
    }
}

Status<std::string> X11ScreenGrabber::readBack(const Slot& slot, std::uint32_t source,
                                               std::int16_t x, std::int16_t y, std::uint16_t width,
                                               std::uint16_t height) {
    if (slot.segment != 0) {
        xcb_generic_error_t* error = nullptr;
        const xcb_shm_get_image_cookie_t cookie =
            xcb_shm_get_image(m_connection, source, x, y, width, height, ~0u,
                              XCB_IMAGE_FORMAT_Z_PIXMAP, slot.segment, 0);
        m_lastReadSequence = cookie.sequence;
        XcbReply<xcb_shm_get_image_reply_t> reply(
            xcb_shm_get_image_reply(m_connection, cookie, &error));
        if (error != nullptr)
            std::free(error);
        if (error != nullptr || !reply)
            return fail(std::string("the screen could not be read"));
        return {};
    }
    xcb_generic_error_t* error = nullptr;
    const xcb_get_image_cookie_t cookie =
        xcb_get_image(m_connection, XCB_IMAGE_FORMAT_Z_PIXMAP, source, x, y, width, height, ~0u);
    m_lastReadSequence = cookie.sequence;
    XcbReply<xcb_get_image_reply_t> reply(xcb_get_image_reply(m_connection, cookie, &error));
    if (error != nullptr)
        std::free(error);
    if (!reply)
        return fail(std::string("the screen could not be read"));
    const auto length = static_cast<std::size_t>(xcb_get_image_data_length(reply.get()));
    if (length != slot.size)
        return fail(std::string("the screen has an unsupported depth"));
    std::memcpy(slot.data, xcb_get_image_data(reply.get()), length);
    return {};
}

bool X11ScreenGrabber::intersectsRegion(const Window& w) const noexcept {
    const std::int64_t right = std::int64_t{w.x} + w.width + 2 * w.border;
    const std::int64_t bottom = std::int64_t{w.y} + w.height + 2 * w.border;
    return w.x < m_region.x + m_region.width && right > m_region.x &&
           w.y < m_region.y + m_region.height && bottom > m_region.y;
}

bool X11ScreenGrabber::drainEvents() {
    bool dirty = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
        dirty = handleEvent(*event) || dirty;
        std::free(event);
    }
    return dirty;
}

bool X11ScreenGrabber::handleEvent(const xcb_generic_event_t& event) {
    const std::uint8_t type = event.response_type & 0x7f;
    auto find = [this](xcb_window_t id) -> Window* {
        auto it = m_windows.find(id);
        return it == m_windows.end() ? nullptr : it->second.get();
    };
    switch (type) {
        case 0:  // an error: a window vanished between a request and its use
            return false;
        case XCB_CREATE_NOTIFY:
            m_treeDirty = true;
            return false;
        case XCB_DESTROY_NOTIFY: {
            const auto& e = reinterpret_cast<const xcb_destroy_notify_event_t&>(event);
            Window* w = find(e.window);
            const bool visible = w != nullptr && w->mapped;
            if (w != nullptr) {
                w->damage = 0;  // destroyed with its window
                forget(*w);
                m_windows.erase(e.window);
            }
            m_treeDirty = true;
            return visible;
        }
        case XCB_MAP_NOTIFY: {
            const auto& e = reinterpret_cast<const xcb_map_notify_event_t&>(event);
            if (e.event != m_root)
                return false;
            if (Window* w = find(e.window)) {
                w->mapped = true;
                w->pixmapStale = true;
                w->shapeStale = true;
                w->ours.reset();
            }
            m_treeDirty = true;
            return true;
        }
        case XCB_UNMAP_NOTIFY: {
            const auto& e = reinterpret_cast<const xcb_unmap_notify_event_t&>(event);
            if (e.event != m_root)
                return false;
            if (Window* w = find(e.window)) {
                w->mapped = false;
                w->pixmapStale = true;
            }
            return true;
        }
        case XCB_CONFIGURE_NOTIFY: {
            const auto& e = reinterpret_cast<const xcb_configure_notify_event_t&>(event);
            if (e.window == m_root) {
                // The root resizes with the screen; monitors set or deleted also reconfigure it.
                m_displaysChanged = true;
                return true;
            }
            if (e.event != m_root)
                return false;
            if (Window* w = find(e.window)) {
                if (w->width != e.width || w->height != e.height || w->border != e.border_width) {
                    w->pixmapStale = true;
                    w->shapeStale = true;
                }
                w->x = e.x;
                w->y = e.y;
                w->width = e.width;
                w->height = e.height;
                w->border = e.border_width;
            }
            m_treeDirty = true;
            return true;
        }
        case XCB_REPARENT_NOTIFY:
        case XCB_CIRCULATE_NOTIFY:
            m_treeDirty = true;
            return true;
        case XCB_PROPERTY_NOTIFY: {
            const auto& e = reinterpret_cast<const xcb_property_notify_event_t&>(event);
            if (e.window == m_root && (e.atom == m_atomRootPmap || e.atom == m_atomEsetrootPmap)) {
                m_backgroundStale = true;
                return true;
            }
            return false;
        }
        default:
            break;
    }
    if (m_damageEvent != 0 && type == m_damageEvent + XCB_DAMAGE_NOTIFY) {
        const auto& e = reinterpret_cast<const xcb_damage_notify_event_t&>(event);
        xcb_damage_subtract(m_connection, e.damage, XCB_NONE, XCB_NONE);
        // Damage the server saw before it read our last image is in that image (this is also
        // the report every new damage object makes of the window's existing contents).
        if (m_lastReadSequence &&
            static_cast<std::int32_t>(event.full_sequence - *m_lastReadSequence) < 0) {
            return false;
        }
        if (e.drawable == m_root)
            return true;
        Window* w = find(e.drawable);
        return w == nullptr || intersectsRegion(*w);
    }
    if (m_randrEvent != 0 && (type == m_randrEvent + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                              type == m_randrEvent + XCB_RANDR_NOTIFY)) {
        m_displaysChanged = true;
        return true;
    }
    if (m_shapeEvent != 0 && type == m_shapeEvent + XCB_SHAPE_NOTIFY) {
        const auto& e = reinterpret_cast<const xcb_shape_notify_event_t&>(event);
        if (Window* w = find(e.affected_window)) {
            w->shapeStale = true;
            return w->mapped;
        }
        return false;
    }
    if (m_xfixesEvent != 0 && type == m_xfixesEvent + XCB_XFIXES_CURSOR_NOTIFY) {
        m_cursorStale = true;
        return m_options.drawCursor && m_pointerOnScreen && m_pointerX >= m_region.x &&
               m_pointerX < m_region.x + m_region.width && m_pointerY >= m_region.y &&
               m_pointerY < m_region.y + m_region.height;
    }
    return false;
}

void X11ScreenGrabber::freePicture(std::uint32_t& picture, std::uint32_t& pixmap) {
    if (picture != 0)
        xcb_render_free_picture(m_connection, picture);
    if (pixmap != 0)
        xcb_free_pixmap(m_connection, pixmap);
    picture = 0;
    pixmap = 0;
}

void X11ScreenGrabber::forget(Window& w) {
    freePicture(w.picture, w.pixmap);
    if (w.damage != 0)
        xcb_damage_destroy(m_connection, w.damage);
    w.damage = 0;
}

void X11ScreenGrabber::refreshTree() {
    m_treeDirty = false;
    XcbReply<xcb_query_tree_reply_t> tree(
        xcb_query_tree_reply(m_connection, xcb_query_tree(m_connection, m_root), nullptr));
    if (!tree)
        return;
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    std::vector<xcb_window_t> stack(children, children + count);

    struct Pending {
        xcb_window_t id;
        xcb_get_window_attributes_cookie_t attributes;
        xcb_get_geometry_cookie_t geometry;
    };
    std::vector<Pending> pending;
    for (xcb_window_t id : stack) {
        if (m_windows.count(id) == 0) {
            pending.push_back({id, xcb_get_window_attributes(m_connection, id),
                               xcb_get_geometry(m_connection, id)});
        }
    }
    for (const Pending& p : pending) {
        XcbReply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(m_connection, p.attributes, nullptr));
        XcbReply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(m_connection, p.geometry, nullptr));
        if (!attributes || !geometry)
            continue;  // gone meanwhile
        auto w = std::make_unique<Window>();
        w->id = p.id;
        w->x = geometry->x;
        w->y = geometry->y;
        w->width = geometry->width;
        w->height = geometry->height;
        w->border = geometry->border_width;
        w->mapped = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        w->inputOutput = attributes->_class == XCB_WINDOW_CLASS_INPUT_OUTPUT;
        w->visual = attributes->visual;
        m_windows.emplace(p.id, std::move(w));
    }
    // Drop windows that are no longer the root's children (reparented into a frame).
    for (auto it = m_windows.begin(); it != m_windows.end();) {
        if (std::find(stack.begin(), stack.end(), it->first) == stack.end()) {
            forget(*it->second);
            it = m_windows.erase(it);
        } else {
            ++it;
        }
    }
    stack.erase(std::remove_if(stack.begin(), stack.end(),
                               [this](xcb_window_t id) { return m_windows.count(id) == 0; }),
                stack.end());
    m_stack = std::move(stack);
}

bool X11ScreenGrabber::isOurs(xcb_window_t window) {
    auto pidOf = [this](xcb_get_property_cookie_t cookie) -> std::optional<std::uint32_t> {
        XcbReply<xcb_get_property_reply_t> reply(
            xcb_get_property_reply(m_connection, cookie, nullptr));
        if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4) {
            return std::nullopt;
        }
        std::uint32_t pid = 0;
        std::memcpy(&pid, xcb_get_property_value(reply.get()), sizeof pid);
        return pid;
    };
    const auto own = static_cast<std::uint32_t>(m_options.ownPid);
    auto cookie = xcb_get_property(m_connection, 0, window, m_atomPid, XCB_ATOM_CARDINAL, 0, 1);
    auto treeCookie = xcb_query_tree(m_connection, window);
    const std::optional<std::uint32_t> pid = pidOf(cookie);
    XcbReply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(m_connection, treeCookie, nullptr));
    if (pid)
        return *pid == own;
    if (!tree)
        return false;
    // A window manager's frame: the client inside carries the process id.
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    std::vector<xcb_get_property_cookie_t> cookies;
    for (int i = 0; i < count; ++i) {
        cookies.push_back(
            xcb_get_property(m_connection, 0, children[i], m_atomPid, XCB_ATOM_CARDINAL, 0, 1));
    }
    bool ours = false;
    for (auto c : cookies) {
        const std::optional<std::uint32_t> childPid = pidOf(c);
        ours = ours || (childPid && *childPid == own);
    }
    return ours;
}

void X11ScreenGrabber::prepare(Window& w) {
    if (!w.ours) {
        w.ours = isOurs(w.id);
        if (*w.ours) {
            forget(w);
        } else if (w.damage == 0) {
            w.damage = xcb_generate_id(m_connection);
            xcb_damage_create(m_connection, w.damage, w.id, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
            if (m_shapeEvent != 0)
                xcb_shape_select_input(m_connection, w.id, 1);
        }
    }
    if (*w.ours)
        return;
    if (w.pixmapStale) {
        freePicture(w.picture, w.pixmap);
        w.pixmapStale = false;
        auto format = m_formats->byVisual.find(w.visual);
        if (format != m_formats->byVisual.end()) {
            w.pixmap = xcb_generate_id(m_connection);
            xcb_composite_name_window_pixmap(m_connection, w.id, w.pixmap);
            w.picture = xcb_generate_id(m_connection);
            xcb_render_create_picture(m_connection, w.picture, w.pixmap, format->second.id, 0,
                                      nullptr);
            w.hasAlpha = format->second.type == XCB_RENDER_PICT_TYPE_DIRECT &&
                         format->second.direct.alpha_mask != 0;
        }
    }
    if (w.shapeStale && m_shapeEvent != 0) {
        w.shapeStale = false;
        w.shaped = false;
        w.shape.clear();
        XcbReply<xcb_shape_query_extents_reply_t> extents(xcb_shape_query_extents_reply(
            m_connection, xcb_shape_query_extents(m_connection, w.id), nullptr));
        if (extents && extents->bounding_shaped != 0) {
            XcbReply<xcb_shape_get_rectangles_reply_t> rects(xcb_shape_get_rectangles_reply(
                m_connection, xcb_shape_get_rectangles(m_connection, w.id, XCB_SHAPE_SK_BOUNDING),
                nullptr));
            if (rects) {
                w.shaped = true;
                const xcb_rectangle_t* r = xcb_shape_get_rectangles_rectangles(rects.get());
                const int n = xcb_shape_get_rectangles_rectangles_length(rects.get());
                // Shape rectangles are relative to the inside of the border.
                for (int i = 0; i < n; ++i) {
                    xcb_rectangle_t rect = r[i];
                    rect.x = clamp16(rect.x + w.border);
                    rect.y = clamp16(rect.y + w.border);
                    w.shape.push_back(rect);
                }
            }
        }
    }
}

void X11ScreenGrabber::refreshBackground() {
    m_backgroundStale = false;
    if (m_backgroundPicture != 0)
        xcb_render_free_picture(m_connection, m_backgroundPicture);
    m_backgroundPicture = 0;
    for (xcb_atom_t atom : {m_atomRootPmap, m_atomEsetrootPmap}) {
        if (atom == XCB_ATOM_NONE)
            continue;
        XcbReply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            m_connection, xcb_get_property(m_connection, 0, m_root, atom, XCB_ATOM_PIXMAP, 0, 1),
            nullptr));
        if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4)
            continue;
        xcb_pixmap_t pixmap = 0;
        std::memcpy(&pixmap, xcb_get_property_value(reply.get()), sizeof pixmap);
        if (pixmap == 0)
            continue;
        // A stale id (the setter exited) makes the picture fail; the check keeps the grey.
        const std::uint32_t picture = xcb_generate_id(m_connection);
        const xcb_void_cookie_t cookie = xcb_render_create_picture_checked(
            m_connection, picture, pixmap, m_formats->root.id, 0, nullptr);
        if (xcb_generic_error_t* error = xcb_request_check(m_connection, cookie)) {
            std::free(error);
            continue;
        }
        const std::uint32_t repeat = XCB_RENDER_REPEAT_NORMAL;
        xcb_render_change_picture(m_connection, picture, XCB_RENDER_CP_REPEAT, &repeat);
        m_backgroundPicture = picture;
        return;
    }
}

void X11ScreenGrabber::compose(std::uint32_t target) {
    if (m_treeDirty)
        refreshTree();
    if (m_backgroundStale)
        refreshBackground();
    const auto width = static_cast<std::uint16_t>(m_region.width);
    const auto height = static_cast<std::uint16_t>(m_region.height);

    // The windows to draw, bottom to top.
    std::vector<Window*> visible;
    m_lastExcluded = 0;
    for (xcb_window_t id : m_stack) {
        auto it = m_windows.find(id);
        if (it == m_windows.end())
            continue;
        Window& w = *it->second;
        if (!w.mapped || !w.inputOutput || !intersectsRegion(w))
            continue;
        prepare(w);
        if (*w.ours) {
            ++m_lastExcluded;
            continue;
        }
        if (w.picture != 0)
            visible.push_back(&w);
    }
    auto outer = [this](const Window& w) {
        return xcb_rectangle_t{clamp16(std::int64_t{w.x} - m_region.x),
                               clamp16(std::int64_t{w.y} - m_region.y),
                               clampU16(w.width + 2 * w.border), clampU16(w.height + 2 * w.border)};
    };
    auto draw = [this, target](const Window& w, const xcb_rectangle_t& r) {
        xcb_render_composite(m_connection,
                             w.hasAlpha ? XCB_RENDER_PICT_OP_OVER : XCB_RENDER_PICT_OP_SRC,
                             w.picture, XCB_NONE, target, 0, 0, 0, 0, r.x, r.y, r.width, r.height);
    };
    auto drawBackground = [&] {
        if (m_backgroundPicture != 0) {
            xcb_render_composite(m_connection, XCB_RENDER_PICT_OP_SRC, m_backgroundPicture,
                                 XCB_NONE, target, clamp16(m_region.x), clamp16(m_region.y), 0, 0,
                                 0, 0, width, height);
        } else {
            const xcb_render_color_t grey{kBackgroundGrey, kBackgroundGrey, kBackgroundGrey,
                                          0xffff};
            const xcb_rectangle_t all{0, 0, width, height};
            xcb_render_fill_rectangles(m_connection, XCB_RENDER_PICT_OP_SRC, target, grey, 1, &all);
        }
    };

    if (m_hasXfixes) {
        // Every pixel is written once: top to bottom, each window's clip is its outline (and
        // bounding shape) minus what the opaque, unshaped windows above it cover; windows with
        // alpha cover nothing, so what lies under them is still drawn first.
        std::vector<std::uint32_t> clips(visible.size());
        const std::uint32_t covered = xcb_generate_id(m_connection);
        xcb_xfixes_create_region(m_connection, covered, 0, nullptr);
        for (std::size_t i = visible.size(); i-- > 0;) {
            const Window& w = *visible[i];
            const xcb_rectangle_t r = outer(w);
            const std::uint32_t clip = xcb_generate_id(m_connection);
            xcb_xfixes_create_region(m_connection, clip, 1, &r);
            if (w.shaped) {
                const std::uint32_t shape = xcb_generate_id(m_connection);
                xcb_xfixes_create_region(m_connection, shape,
                                         static_cast<std::uint32_t>(w.shape.size()),
                                         w.shape.data());
                xcb_xfixes_translate_region(m_connection, shape, r.x, r.y);
                xcb_xfixes_intersect_region(m_connection, clip, shape, clip);
                xcb_xfixes_destroy_region(m_connection, shape);
            }
            xcb_xfixes_subtract_region(m_connection, clip, covered, clip);
            if (!w.hasAlpha && !w.shaped)
                xcb_xfixes_union_region(m_connection, covered, clip, covered);
            clips[i] = clip;
        }
        const xcb_rectangle_t all{0, 0, width, height};
        const std::uint32_t background = xcb_generate_id(m_connection);
        xcb_xfixes_create_region(m_connection, background, 1, &all);
        xcb_xfixes_subtract_region(m_connection, background, covered, background);
        xcb_xfixes_set_picture_clip_region(m_connection, target, background, 0, 0);
        drawBackground();
        for (std::size_t i = 0; i < visible.size(); ++i) {
            xcb_xfixes_set_picture_clip_region(m_connection, target, clips[i], 0, 0);
            draw(*visible[i], outer(*visible[i]));
            xcb_xfixes_destroy_region(m_connection, clips[i]);
        }
        xcb_xfixes_set_picture_clip_region(m_connection, target, XCB_NONE, 0, 0);
        xcb_xfixes_destroy_region(m_connection, background);
        xcb_xfixes_destroy_region(m_connection, covered);
        return;
    }

    drawBackground();
    for (const Window* w : visible) {
        const xcb_rectangle_t r = outer(*w);
        if (w->shaped) {
            xcb_render_set_picture_clip_rectangles(m_connection, target, r.x, r.y,
                                                   static_cast<std::uint32_t>(w->shape.size()),
                                                   w->shape.data());
        }
        draw(*w, r);
        if (w->shaped) {
            const std::uint32_t none = XCB_NONE;
            xcb_render_change_picture(m_connection, target, XCB_RENDER_CP_CLIP_MASK, &none);
        }
    }
}

void X11ScreenGrabber::createSlotPicture(Slot& slot) {
    const std::uint32_t pixmap = xcb_generate_id(m_connection);
    xcb_generic_error_t* error = xcb_request_check(
        m_connection, xcb_shm_create_pixmap_checked(
                          m_connection, pixmap, m_root, static_cast<std::uint16_t>(m_outWidth),
                          static_cast<std::uint16_t>(m_outHeight), m_rootDepth, slot.segment, 0));
    if (error != nullptr) {
        // Not shared after all: draw into pixmaps of our own and read them back.
        std::free(error);
        m_sharedPixmaps = false;
        createRenderTargets();
        return;
    }
    slot.pixmap = pixmap;
    slot.picture = xcb_generate_id(m_connection);
    xcb_render_create_picture(m_connection, slot.picture, pixmap, m_formats->root.id, 0, nullptr);
}

void X11ScreenGrabber::freeSlot(Slot& slot) {
    freePicture(slot.picture, slot.pixmap);
    if (slot.segment != 0)
        xcb_shm_detach(m_connection, slot.segment);
    slot.segment = 0;
}

std::shared_ptr<X11ScreenGrabber::Slot> X11ScreenGrabber::acquireSlot() {
    const std::size_t size = std::size_t(m_outWidth) * std::size_t(m_outHeight) * 4;
    for (auto& slot : m_slots) {
        bool expected = false;
        if (slot->size == size &&
            slot->inUse.compare_exchange_strong(expected, true, std::memory_order_acquire)) {
            return slot;
        }
    }
    // Images of another size are of no more use; free ones go.
    std::erase_if(m_slots, [this, size](const std::shared_ptr<Slot>& slot) {
        if (slot->size == size || slot->inUse.load(std::memory_order_acquire))
            return false;
        freeSlot(*slot);
        return true;
    });
    constexpr std::size_t kMaxSlots = 8;
    if (m_slots.size() >= kMaxSlots)
        return nullptr;
    auto slot = std::make_shared<Slot>();
    slot->size = size;
    if (m_hasShm) {
        const int id = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
        if (id >= 0) {
            void* address = shmat(id, nullptr, 0);
            if (address != reinterpret_cast<void*>(-1)) {
                const std::uint32_t segment = xcb_generate_id(m_connection);
                xcb_generic_error_t* error = xcb_request_check(
                    m_connection, xcb_shm_attach_checked(m_connection, segment,
                                                         static_cast<std::uint32_t>(id), 0));
                if (error == nullptr) {
                    slot->data = static_cast<std::uint8_t*>(address);
                    slot->segment = segment;
                    if (m_sharedPixmaps && m_hasRender)
                        createSlotPicture(*slot);
                } else {
                    std::free(error);
                    shmdt(address);
                }
            }
            shmctl(id, IPC_RMID, nullptr);  // freed once both sides detach
        }
    }
    if (slot->data == nullptr) {
        slot->heap.resize(size);
        slot->data = slot->heap.data();
    }
    slot->view = BgraImageView{std::span<const std::uint8_t>(slot->data, size), m_outWidth,
                               m_outHeight, std::size_t(m_outWidth) * 4};
    slot->inUse.store(true, std::memory_order_relaxed);
    m_slots.push_back(slot);
    return slot;
}

Result<PixelBuffer, std::string> X11ScreenGrabber::grab() {
    if (m_outWidth <= 0)
        return fail(std::string("no capture region"));
    if (connectionBroken())
        return fail(std::string("the X connection was lost"));
    std::shared_ptr<Slot> slot = acquireSlot();
    if (!slot)
        return fail(std::string("every capture buffer is still in use"));
    // Hands the slot back when the last reference to the image drops.
    PixelBuffer image(&slot->view, [slot](const BgraImageView*) {
        slot->inUse.store(false, std::memory_order_release);
    });

    // Scaling maps output pixels back to region pixels through the source's transform, so the
    // source offset is given in output pixels.
    auto scaleInto = [this](std::uint32_t from, std::int64_t fromX, std::int64_t fromY,
                            std::uint32_t to) {
        const double fx = static_cast<double>(m_outWidth) / m_region.width;
        const double fy = static_cast<double>(m_outHeight) / m_region.height;
        xcb_render_composite(m_connection, XCB_RENDER_PICT_OP_SRC, from, XCB_NONE, to,
                             clamp16(static_cast<std::int64_t>(static_cast<double>(fromX) * fx)),
                             clamp16(static_cast<std::int64_t>(static_cast<double>(fromY) * fy)), 0,
                             0, 0, 0, static_cast<std::uint16_t>(m_outWidth),
                             static_cast<std::uint16_t>(m_outHeight));
    };
    const auto w = static_cast<std::uint16_t>(m_outWidth);
    const auto h = static_cast<std::uint16_t>(m_outHeight);

    if (slot->picture != 0 && (m_mode == Mode::composed || scaled())) {
        // Drawn straight into the image's memory; the reply to a request sent after the
        // drawing means the server has finished it.
        if (m_mode == Mode::composed && !scaled()) {
            compose(slot->picture);
        } else if (m_mode == Mode::composed) {
            compose(m_composePicture);
            scaleInto(m_composePicture, 0, 0, slot->picture);
        } else {
            scaleInto(m_rootPicture, m_region.x, m_region.y, slot->picture);
        }
        const xcb_get_input_focus_cookie_t cookie = xcb_get_input_focus(m_connection);
        m_lastReadSequence = cookie.sequence;
        XcbReply<xcb_get_input_focus_reply_t> reply(
            xcb_get_input_focus_reply(m_connection, cookie, nullptr));
        if (!reply)
            return fail(std::string("the screen could not be read"));
    } else {
        xcb_drawable_t source = m_root;
        std::int16_t x = clamp16(m_region.x);
        std::int16_t y = clamp16(m_region.y);
        if (m_mode == Mode::composed) {
            compose(m_composePicture);
            source = m_composePixmap;
            x = 0;
            y = 0;
        }
        if (scaled()) {
            const bool composed = m_mode == Mode::composed;
            scaleInto(composed ? m_composePicture : m_rootPicture, composed ? 0 : m_region.x,
                      composed ? 0 : m_region.y, m_scaledPicture);
            source = m_scaledPixmap;
            x = 0;
            y = 0;
        }
        if (Status<std::string> read = readBack(*slot, source, x, y, w, h); !read) {
            return fail(read.error());
        }
    }
    if (m_options.drawCursor)
        drawCursor(slot->view, slot->data);
    return image;
}

bool X11ScreenGrabber::pollCursor() {
    if (!m_options.drawCursor)
        return false;
    XcbReply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(m_connection, xcb_query_pointer(m_connection, m_root), nullptr));
    if (!pointer)
        return false;
    const bool onScreen = pointer->same_screen != 0;
    if (onScreen == m_pointerOnScreen && pointer->root_x == m_pointerX &&
        pointer->root_y == m_pointerY) {
        return false;
    }
    auto inside = [this](std::int32_t px, std::int32_t py, bool on) {
        // The cursor image reaches up to 64 pixels around the hot spot.
        constexpr std::int32_t kReach = 64;
        return on && px + kReach > m_region.x && px - kReach < m_region.x + m_region.width &&
               py + kReach > m_region.y && py - kReach < m_region.y + m_region.height;
    };
    const bool mattered = inside(m_pointerX, m_pointerY, m_pointerOnScreen) ||
                          inside(pointer->root_x, pointer->root_y, onScreen);
    m_pointerX = pointer->root_x;
    m_pointerY = pointer->root_y;
    m_pointerOnScreen = onScreen;
    return mattered;
}

void X11ScreenGrabber::drawCursor(const BgraImageView& image, std::uint8_t* bytes) {
    if (!m_hasXfixes)
        return;
    if (m_cursorStale) {
        m_cursorStale = false;
        XcbReply<xcb_xfixes_get_cursor_image_reply_t> cursor(xcb_xfixes_get_cursor_image_reply(
            m_connection, xcb_xfixes_get_cursor_image(m_connection), nullptr));
        if (!cursor)
            return;
        const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(cursor.get());
        const int count = xcb_xfixes_get_cursor_image_cursor_image_length(cursor.get());
        m_cursorPixels.assign(pixels, pixels + count);
        m_cursorWidth = cursor->width;
        m_cursorHeight = cursor->height;
        m_cursorHotX = cursor->xhot;
        m_cursorHotY = cursor->yhot;
        m_scaledCursorPixels.clear();
        if (m_pointerX < 0) {
            m_pointerX = cursor->x;
            m_pointerY = cursor->y;
            m_pointerOnScreen = true;
        }
    }
    if (!m_pointerOnScreen ||
        m_cursorPixels.size() < std::size_t(m_cursorWidth) * std::size_t(m_cursorHeight)) {
        return;
    }
    const double fx = static_cast<double>(image.width) / m_region.width;
    const double fy = static_cast<double>(image.height) / m_region.height;
    const std::uint32_t* pixels = m_cursorPixels.data();
    int width = m_cursorWidth;
    int height = m_cursorHeight;
    int hotX = m_cursorHotX;
    int hotY = m_cursorHotY;
    if (fx != 1.0 || fy != 1.0) {
        // The cursor shrinks with the picture, as it looks on the screen.
        if (fx != m_scaledCursorFx || fy != m_scaledCursorFy || m_scaledCursorPixels.empty()) {
            scaleCursor(fx, fy);
        }
        pixels = m_scaledCursorPixels.data();
        width = m_scaledCursorWidth;
        height = m_scaledCursorHeight;
        hotX = m_scaledCursorHotX;
        hotY = m_scaledCursorHotY;
    }
    const auto left = static_cast<int>((m_pointerX - m_region.x) * fx) - hotX;
    const auto top = static_cast<int>((m_pointerY - m_region.y) * fy) - hotY;
    for (int row = 0; row < height; ++row) {
        const int y = top + row;
        if (y < 0 || y >= image.height)
            continue;
        for (int col = 0; col < width; ++col) {
            const int x = left + col;
            if (x < 0 || x >= image.width)
                continue;
            // Premultiplied ARGB: out = src + dst·(1 − αsrc).
            const std::uint32_t p =
                pixels[std::size_t(row) * std::size_t(width) + std::size_t(col)];
            const std::uint32_t alpha = p >> 24;
            if (alpha == 0)
                continue;
            std::uint8_t* d = bytes + std::size_t(y) * image.bytesPerRow + std::size_t(x) * 4;
            const std::uint32_t inverse = 255 - alpha;
            const std::uint32_t src[3] = {p & 0xff, (p >> 8) & 0xff, (p >> 16) & 0xff};
            for (int c = 0; c < 3; ++c) {
                const std::uint32_t value = src[c] + (d[c] * inverse + 127) / 255;
                d[c] = static_cast<std::uint8_t>(std::min<std::uint32_t>(value, 255));
            }
        }
    }
}

// Box filter over premultiplied pixels: each output pixel is the mean of the cursor pixels its
// area covers (weighted by how much of each it covers), so edges stay smooth at any scale.
void X11ScreenGrabber::scaleCursor(double fx, double fy) {
    m_scaledCursorFx = fx;
    m_scaledCursorFy = fy;
    const int width = std::max(1, static_cast<int>(std::ceil(m_cursorWidth * fx)));
    const int height = std::max(1, static_cast<int>(std::ceil(m_cursorHeight * fy)));
    m_scaledCursorWidth = width;
    m_scaledCursorHeight = height;
    m_scaledCursorHotX = static_cast<int>(m_cursorHotX * fx);
    m_scaledCursorHotY = static_cast<int>(m_cursorHotY * fy);
    m_scaledCursorPixels.assign(std::size_t(width) * std::size_t(height), 0);
    // Source span [from, to) of output index i along one axis, in source pixels.
    auto span = [](int i, double f, int limit) {
        const double from = i / f;
        const double to = std::min((i + 1) / f, static_cast<double>(limit));
        return std::pair{from, to};
    };
    for (int oy = 0; oy < height; ++oy) {
        const auto [y0, y1] = span(oy, fy, m_cursorHeight);
        for (int ox = 0; ox < width; ++ox) {
            const auto [x0, x1] = span(ox, fx, m_cursorWidth);
            double sum[4] = {0, 0, 0, 0};
            double area = 0;
            for (int sy = static_cast<int>(y0); sy < m_cursorHeight && sy < y1; ++sy) {
                const double wy = std::min<double>(sy + 1, y1) - std::max<double>(sy, y0);
                for (int sx = static_cast<int>(x0); sx < m_cursorWidth && sx < x1; ++sx) {
                    const double wx = std::min<double>(sx + 1, x1) - std::max<double>(sx, x0);
                    const double weight = wx * wy;
                    if (weight <= 0)
                        continue;
                    const std::uint32_t p =
                        m_cursorPixels[std::size_t(sy) * std::size_t(m_cursorWidth) +
                                       std::size_t(sx)];
                    for (int c = 0; c < 4; ++c)
                        sum[c] += weight * static_cast<double>((p >> (8 * c)) & 0xff);
                    area += weight;
                }
            }
            if (area <= 0)
                continue;
            std::uint32_t out = 0;
            for (int c = 0; c < 4; ++c) {
                const auto v =
                    static_cast<std::uint32_t>(std::lround(std::min(sum[c] / area, 255.0)));
                out |= v << (8 * c);
            }
            m_scaledCursorPixels[std::size_t(oy) * std::size_t(width) + std::size_t(ox)] = out;
        }
    }
}

}  // namespace velurio
