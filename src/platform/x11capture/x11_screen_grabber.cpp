// Set-up of the grabber, the images it fills and the grab itself.
#include "platform/x11capture/x11_screen_grabber_internal.h"

#include <sys/shm.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/render.h>
#include <xcb/shape.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace velurio {

using namespace x11grab;

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
    XCBReply<xcb_get_image_reply_t> probe(xcb_get_image_reply(
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
        XCBReply<xcb_shm_query_version_reply_t> v(xcb_shm_query_version_reply(
            m_connection, xcb_shm_query_version(m_connection), nullptr));
        m_hasShm = v != nullptr;
        m_sharedPixmaps = m_options.allowSharedPixmaps && v != nullptr && v->shared_pixmaps != 0 &&
                          v->pixmap_format == XCB_IMAGE_FORMAT_Z_PIXMAP;
    }
    bool hasDamage = extensionPresent(m_connection, &xcb_damage_id);
    if (hasDamage) {
        XCBReply<xcb_damage_query_version_reply_t> v(xcb_damage_query_version_reply(
            m_connection, xcb_damage_query_version(m_connection, 1, 1), nullptr));
        hasDamage = v != nullptr;
        m_damageEvent = firstEvent(m_connection, &xcb_damage_id);
    }
    m_hasXfixes = extensionPresent(m_connection, &xcb_xfixes_id);
    if (m_hasXfixes) {
        XCBReply<xcb_xfixes_query_version_reply_t> v(xcb_xfixes_query_version_reply(
            m_connection, xcb_xfixes_query_version(m_connection, 4, 0), nullptr));
        m_hasXfixes = v != nullptr && v->major_version >= 2;
        m_xfixesEvent = firstEvent(m_connection, &xcb_xfixes_id);
    }
    m_hasRender = extensionPresent(m_connection, &xcb_render_id);
    if (m_hasRender) {
        XCBReply<xcb_render_query_version_reply_t> v(xcb_render_query_version_reply(
            m_connection, xcb_render_query_version(m_connection, 0, 11), nullptr));
        XCBReply<xcb_render_query_pict_formats_reply_t> formats(xcb_render_query_pict_formats_reply(
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
        XCBReply<xcb_composite_query_version_reply_t> v(xcb_composite_query_version_reply(
            m_connection, xcb_composite_query_version(m_connection, 0, 4), nullptr));
        hasComposite = v != nullptr && (v->major_version > 0 || v->minor_version >= 2);
    }
    if (extensionPresent(m_connection, &xcb_randr_id)) {
        XCBReply<xcb_randr_query_version_reply_t> v(xcb_randr_query_version_reply(
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
    XCBReply<xcb_get_geometry_reply_t> geometry(
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
        XCBReply<xcb_shm_get_image_reply_t> reply(
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
    XCBReply<xcb_get_image_reply_t> reply(xcb_get_image_reply(m_connection, cookie, &error));
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
    slot->view = BGRAImageView{std::span<const std::uint8_t>(slot->data, size), m_outWidth,
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
    PixelBuffer image(&slot->view, [slot](const BGRAImageView*) {
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
        XCBReply<xcb_get_input_focus_reply_t> reply(
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

}  // namespace velurio
