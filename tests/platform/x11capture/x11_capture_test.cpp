// The X11 grabber and capture thread on a real Xvfb with picom (and openbox): frames are
// composed from the other applications' windows in their stacking order, our own windows stay
// out while a root screenshot shows them, RandR monitors made with `xrandr --setmonitor` are
// listed and captured, and a static screen costs no grab.
#include "platform/x11capture/x11_capture_stream.h"
#include "x_session.h"

#include <gtest/gtest.h>

#include <xcb/render.h>
#include <xcb/shape.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace velurio {
namespace {

using test::TestClient;
using test::XSession;

std::uint32_t pixel(const PixelBuffer& image, int x, int y) {
    const std::uint8_t* p =
        image->bytes.data() + std::size_t(y) * image->bytesPerRow + std::size_t(x) * 4;
    return (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
}

std::unique_ptr<X11ScreenGrabber> grabberFor(X11ScreenGrabber::Rect region, bool compose,
                                             int outW = 0, int outH = 0) {
    auto grabber = X11ScreenGrabber::open(nullptr, X11ScreenGrabber::Options{compose, false, 0});
    EXPECT_TRUE(grabber.ok());
    if (!grabber)
        return nullptr;
    EXPECT_TRUE((*grabber)
                    ->setRegion(region, outW ? outW : region.width, outH ? outH : region.height)
                    .ok());
    return std::move(grabber).value();
}

// Grabs until `ok` holds for the image or two seconds pass (the compositor and window manager
// act asynchronously).
template <class Check>
PixelBuffer grabUntil(X11ScreenGrabber& grabber, Check ok) {
    PixelBuffer image;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    do {
        grabber.drainEvents();
        auto result = grabber.grab();
        if (result)
            image = std::move(result).value();
        if (image && ok(image))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    return image;
}

constexpr std::uint32_t kBlue = 0x2040c0;
constexpr std::uint32_t kGreen = 0x20a040;
constexpr std::uint32_t kInk = 0xe02020;
constexpr std::uint32_t kGrey = 0x808080;
const X11ScreenGrabber::Rect kFullScreen{0, 0, 1920, 1080};

std::size_t count(const PixelBuffer& image, std::uint32_t colour) {
    std::size_t n = 0;
    for (int y = 0; y < image->height; y += 4) {
        for (int x = 0; x < image->width; x += 4)
            n += pixel(image, x, y) == colour ? 1u : 0u;
    }
    return n;
}

// Without a window manager the windows stay where they were put: check the places. With one,
// it places and decorates them itself: check that both are there and the ink is not.
void expectComposedWithoutOverlay(bool managed) {
    TestClient client;
    client.window(100, 100, 300, 200, kBlue, 0, !managed);
    client.window(250, 150, 300, 200, kGreen, 0, !managed);
    // A window of this process on top: unmanaged and full-screen like the overlay, or, under
    // a window manager, a managed one (so it sits inside a frame that carries no process id).
    if (managed) {
        client.window(0, 0, 1000, 800, kInk, static_cast<std::uint32_t>(getpid()), false);
    } else {
        client.window(0, 0, 1920, 1080, kInk, static_cast<std::uint32_t>(getpid()), true);
    }

    auto root = grabberFor(kFullScreen, false);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->mode(), X11ScreenGrabber::Mode::rootGrab);
    PixelBuffer shot = grabUntil(*root, [](const PixelBuffer& i) { return count(i, kInk) > 1000; });
    EXPECT_GT(count(shot, kInk), 1000u) << "our window is on the screen";

    auto composed = grabberFor(kFullScreen, true);
    ASSERT_NE(composed, nullptr);
    ASSERT_EQ(composed->mode(), X11ScreenGrabber::Mode::composed);
    if (managed) {
        PixelBuffer frame = grabUntil(*composed, [](const PixelBuffer& i) {
            return count(i, kBlue) > 0 && count(i, kGreen) > 0;
        });
        EXPECT_GT(count(frame, kBlue), 0u);
        EXPECT_GE(count(frame, kGreen), 75u * 50u - 200u) << "the upper window is whole";
        EXPECT_EQ(count(frame, kInk), 0u);
        EXPECT_EQ(composed->lastExcludedCount(), 1u);
        return;
    }
    PixelBuffer frame = grabUntil(*composed, [](const PixelBuffer& i) {
        return pixel(i, 300, 200) == kGreen && pixel(i, 150, 130) == kBlue;
    });
    EXPECT_EQ(pixel(frame, 150, 130), kBlue);
    EXPECT_EQ(pixel(frame, 300, 200), kGreen) << "the upper window wins where they overlap";
    EXPECT_EQ(pixel(frame, 500, 320), kGreen);
    EXPECT_EQ(pixel(frame, 1500, 900), kGrey) << "background, not the overlay";
    EXPECT_EQ(count(frame, kInk), 0u);
    EXPECT_EQ(composed->lastExcludedCount(), 1u);
}

TEST(X11Grabber, ComposesOtherWindowsInStackingOrderWithoutOursUnderPicom) {
    XSession x({true, false});
    ASSERT_TRUE(x.ok());
    expectComposedWithoutOverlay(false);
}

TEST(X11Grabber, ComposesManagedWindowsInsideWindowManagerFrames) {
    XSession x({true, true});
    ASSERT_TRUE(x.ok());
    expectComposedWithoutOverlay(true);
}

TEST(X11Grabber, FollowsAMovedWindowAndScalesToTheOutputSize) {
    XSession x({true, false});
    ASSERT_TRUE(x.ok());
    TestClient client;
    const xcb_window_t w = client.window(0, 0, 400, 400, kBlue);
    auto grabber = grabberFor(kFullScreen, true, 960, 540);
    ASSERT_NE(grabber, nullptr);
    PixelBuffer first =
        grabUntil(*grabber, [](const PixelBuffer& i) { return pixel(i, 100, 100) == kBlue; });
    EXPECT_EQ(first->width, 960);
    EXPECT_EQ(pixel(first, 100, 100), kBlue);
    client.move(w, 1000, 500);
    PixelBuffer moved =
        grabUntil(*grabber, [](const PixelBuffer& i) { return pixel(i, 600, 350) == kBlue; });
    EXPECT_EQ(pixel(moved, 600, 350), kBlue) << "(1200, 700) on screen, halved";
    EXPECT_EQ(pixel(moved, 100, 100), kGrey);
}

// Drawing straight into the images' shared memory gives the very pixels that reading back a
// pixmap of our own gives, composed or not, scaled or not.
TEST(X11Grabber, SharedPixmapsGiveTheSamePictureAsAReadBack) {
    XSession x({true, false});
    ASSERT_TRUE(x.ok());
    TestClient client;
    client.window(100, 100, 700, 500, kBlue);
    client.window(450, 300, 900, 600, kGreen);
    client.window(300, 200, 400, 300, kInk, static_cast<std::uint32_t>(getpid()), true);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // picom has painted
    auto open = [](bool compose, bool shared, int w, int h) {
        X11ScreenGrabber::Options options{compose, false, 0, shared};
        auto grabber = X11ScreenGrabber::open(nullptr, options);
        EXPECT_TRUE(grabber.ok());
        EXPECT_TRUE((*grabber)->setRegion({200, 100, 1600, 900}, w, h).ok());
        return std::move(grabber).value();
    };
    for (const bool compose : {true, false}) {
        for (const auto& [w, h] : {std::pair{1600, 900}, std::pair{1280, 720}}) {
            if (!compose && w == 1600)
                continue;  // an unscaled root grab reads the root itself
            auto shared = open(compose, true, w, h);
            auto read = open(compose, false, w, h);
            auto a = shared->grab();
            auto b = read->grab();
            ASSERT_TRUE(a.ok() && b.ok());
            std::size_t differing = 0;
            for (int y = 0; y < h; ++y) {
                for (int xx = 0; xx < w; ++xx)
                    differing += pixel(*a, xx, y) != pixel(*b, xx, y) ? 1u : 0u;
            }
            EXPECT_EQ(differing, 0u) << "compose " << compose << ", " << w << "x" << h;
            EXPECT_EQ(pixel(*a, w - 30, h - 20), kGrey);
            EXPECT_EQ(pixel(*a, w / 2, h / 2), kGreen);
            EXPECT_EQ(count(*a, kInk) == 0, compose);
        }
    }
}

// The cursor is drawn where the pointer is, and shrinks with the picture when the output is
// scaled down (a display wider than 1920 pixels).
TEST(X11Grabber, DrawsTheCursorAtThePointerAndScalesItWithThePicture) {
    XSession x({true, false});
    ASSERT_TRUE(x.ok());
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    // A 64×64 opaque red cursor, hot spot at its top left corner.
    xcb_render_pictformat_t argb = 0;
    auto* formats =
        xcb_render_query_pict_formats_reply(c, xcb_render_query_pict_formats(c), nullptr);
    ASSERT_NE(formats, nullptr);
    for (auto f = xcb_render_query_pict_formats_formats_iterator(formats); f.rem != 0;
         xcb_render_pictforminfo_next(&f)) {
        if (f.data->depth == 32 && f.data->type == XCB_RENDER_PICT_TYPE_DIRECT &&
            f.data->direct.alpha_mask == 0xff && f.data->direct.red_shift == 16) {
            argb = f.data->id;
        }
    }
    std::free(formats);
    ASSERT_NE(argb, 0u);
    const xcb_pixmap_t pixmap = xcb_generate_id(c);
    xcb_create_pixmap(c, 32, pixmap, screen->root, 64, 64);
    const xcb_render_picture_t picture = xcb_generate_id(c);
    xcb_render_create_picture(c, picture, pixmap, argb, 0, nullptr);
    const xcb_rectangle_t all{0, 0, 64, 64};
    xcb_render_fill_rectangles(c, XCB_RENDER_PICT_OP_SRC, picture, {0xe0e0, 0x2020, 0x2020, 0xffff},
                               1, &all);
    const xcb_cursor_t cursor = xcb_generate_id(c);
    xcb_render_create_cursor(c, cursor, picture, 0, 0);
    xcb_change_window_attributes(c, screen->root, XCB_CW_CURSOR, &cursor);
    xcb_warp_pointer(c, XCB_NONE, screen->root, 0, 0, 0, 0, 1000, 500);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));

    for (const int scale : {1, 2}) {
        auto grabber = X11ScreenGrabber::open(nullptr, X11ScreenGrabber::Options{true, true, 0});
        ASSERT_TRUE(grabber.ok());
        ASSERT_TRUE((*grabber)->setRegion(kFullScreen, 1920 / scale, 1080 / scale).ok());
        (*grabber)->pollCursor();
        auto image = (*grabber)->grab();
        ASSERT_TRUE(image.ok());
        std::size_t red = 0;
        for (int y = 0; y < 1080 / scale; ++y) {
            for (int xx = 0; xx < 1920 / scale; ++xx)
                red += pixel(*image, xx, y) == kInk ? 1u : 0u;
        }
        const int side = 64 / scale;
        EXPECT_EQ(red, std::size_t(side) * std::size_t(side)) << "scale 1/" << scale;
        EXPECT_EQ(pixel(*image, 1000 / scale + side / 2, 500 / scale + side / 2), kInk);
        EXPECT_NE(pixel(*image, 1000 / scale + side + 1, 500 / scale + side / 2), kInk);
    }
    xcb_disconnect(c);
}

// A window with a bounding shape (only its left half) and a translucent window (32-bit visual,
// half-transparent white) over a blue one: what lies under both must show through.
TEST(X11Grabber, ShapedAndTranslucentWindowsLetTheWindowsBelowShowThrough) {
    XSession x({true, false});
    ASSERT_TRUE(x.ok());
    TestClient client;
    client.window(0, 0, 800, 400, kBlue);
    const xcb_window_t shaped = client.window(0, 0, 400, 200, kGreen);
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    const xcb_rectangle_t half{0, 0, 200, 200};
    xcb_shape_rectangles(c, XCB_SHAPE_SO_SET, XCB_SHAPE_SK_BOUNDING, XCB_CLIP_ORDERING_UNSORTED,
                         shaped, 0, 0, 1, &half);
    // A 32-bit visual for the translucent window.
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_visualid_t argb = 0;
    for (auto d = xcb_screen_allowed_depths_iterator(screen); d.rem != 0 && argb == 0;
         xcb_depth_next(&d)) {
        if (d.data->depth != 32)
            continue;
        auto v = xcb_depth_visuals_iterator(d.data);
        if (v.rem != 0)
            argb = v.data->visual_id;
    }
    ASSERT_NE(argb, 0u);
    const xcb_colormap_t colormap = xcb_generate_id(c);
    xcb_create_colormap(c, XCB_COLORMAP_ALLOC_NONE, colormap, screen->root, argb);
    const xcb_window_t glass = xcb_generate_id(c);
    // Premultiplied half-transparent white: 0x80808080.
    const std::uint32_t values[] = {0x80808080u, 0u, 1u, colormap};
    xcb_create_window(
        c, 32, glass, screen->root, 500, 0, 200, 200, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, argb,
        XCB_CW_BACK_PIXEL | XCB_CW_BORDER_PIXEL | XCB_CW_OVERRIDE_REDIRECT | XCB_CW_COLORMAP,
        values);
    xcb_map_window(c, glass);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));

    auto grabber = grabberFor(kFullScreen, true);
    ASSERT_NE(grabber, nullptr);
    PixelBuffer frame = grabUntil(*grabber, [](const PixelBuffer& i) {
        return pixel(i, 100, 100) == kGreen && pixel(i, 300, 100) == kBlue;
    });
    EXPECT_EQ(pixel(frame, 100, 100), kGreen);
    EXPECT_EQ(pixel(frame, 300, 100), kBlue) << "outside the shape: the window below";
    const std::uint32_t mixed = pixel(frame, 600, 100);
    // White at half over blue: each channel about (255 + c) / 2.
    EXPECT_NEAR(static_cast<int>(mixed >> 16), (0x80 + 0x20 / 2), 3);
    EXPECT_NEAR(static_cast<int>(mixed & 0xff), (0x80 + 0xc0 / 2), 3);
    EXPECT_EQ(pixel(frame, 600, 300), kBlue);
    xcb_disconnect(c);
}

// Our own redirection keeps the window pixmaps alive when the compositor unredirects and exits.
TEST(X11Grabber, KeepsComposingAfterTheCompositorExits) {
    XSession x({true, false});
    ASSERT_TRUE(x.ok());
    TestClient client;
    client.window(100, 100, 200, 200, kBlue);
    client.window(0, 0, 1920, 1080, kInk, static_cast<std::uint32_t>(getpid()));
    auto grabber = grabberFor(kFullScreen, true);
    ASSERT_NE(grabber, nullptr);
    PixelBuffer before =
        grabUntil(*grabber, [](const PixelBuffer& i) { return pixel(i, 150, 150) == kBlue; });
    EXPECT_EQ(pixel(before, 150, 150), kBlue);

    x.stopCompositor();
    client.window(500, 500, 200, 200, kGreen);
    PixelBuffer after = grabUntil(*grabber, [](const PixelBuffer& i) {
        return pixel(i, 150, 150) == kBlue && pixel(i, 550, 550) == kGreen;
    });
    EXPECT_EQ(pixel(after, 150, 150), kBlue);
    EXPECT_EQ(pixel(after, 550, 550), kGreen);
    EXPECT_EQ(count(after, kInk), 0u);
}

TEST(X11Displays, SplitMonitorsAreListedWithNameIdsAndCapturedSeparately) {
    XSession x({true, false});
    ASSERT_TRUE(x.ok());
    ASSERT_TRUE(
        test::run("xrandr --setmonitor left 960/254x1080/286+0+0 none && "
                  "xrandr --setmonitor right 960/254x1080/286+960+0 none"));
    auto grabber = grabberFor(kFullScreen, true);
    ASSERT_NE(grabber, nullptr);
    const std::vector<X11Display> displays = grabber->displays();
    const X11Display* right = nullptr;
    const X11Display* left = nullptr;
    for (const X11Display& d : displays) {
        if (d.name == "right")
            right = &d;
        if (d.name == "left")
            left = &d;
    }
    ASSERT_NE(left, nullptr);
    ASSERT_NE(right, nullptr);
    EXPECT_EQ(right->id, x11DisplayIdForName("right")) << "stable across server restarts";
    EXPECT_NE(left->id, right->id);
    EXPECT_EQ(right->x, 960);
    EXPECT_EQ(right->width, 960);

    TestClient client;
    client.window(1000, 100, 100, 100, kGreen);
    auto half = grabberFor({right->x, right->y, right->width, right->height}, true);
    PixelBuffer image =
        grabUntil(*half, [](const PixelBuffer& i) { return pixel(i, 50, 150) == kGreen; });
    EXPECT_EQ(image->width, 960);
    EXPECT_EQ(pixel(image, 50, 150), kGreen)
        << "(1010, 150) on screen is (50, 150) of the right half";
}

TEST(X11Displays, IdsAreUniqueAndNeverZero) {
    EXPECT_NE(x11DisplayIdForName(""), 0u);
    EXPECT_EQ(x11DisplayIdForName("DP-1"), x11DisplayIdForName("DP-1"));
    EXPECT_NE(x11DisplayIdForName("DP-1"), x11DisplayIdForName("DP-2"));
}

TEST(X11CaptureStream, StaticScreenAndOwnRedrawsCostNoGrabButOtherWindowsDo) {
    XSession x({true, false});
    ASSERT_TRUE(x.ok());
    TestClient client;
    const xcb_window_t overlay =
        client.window(0, 0, 400, 400, kInk, static_cast<std::uint32_t>(getpid()));
    std::atomic<int> frames{0};
    X11CaptureStream::Config config;
    config.region = kFullScreen;
    config.outputWidth = 1920;
    config.outputHeight = 1080;
    config.fps = 30;
    config.onFrame = [&](PixelBuffer, std::chrono::nanoseconds) { ++frames; };
    auto stream = X11CaptureStream::start(config);
    ASSERT_TRUE(stream.ok()) << stream.error();
    const auto firstDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (frames.load() == 0 && std::chrono::steady_clock::now() < firstDeadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int settled = frames.load();
    EXPECT_EQ(settled, 1) << "one image at start, then nothing";

    // Our overlay redraws (and the compositor repaints the root) many times.
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    for (int i = 0; i < 20; ++i) {
        const std::uint32_t colour = (i % 2) != 0 ? kInk : 0x10e010;
        xcb_change_window_attributes(c, overlay, XCB_CW_BACK_PIXEL, &colour);
        xcb_clear_area(c, 0, overlay, 0, 0, 0, 0);
        xcb_flush(c);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    xcb_disconnect(c);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(frames.load(), settled) << "no grab for a static screen or our own drawing";

    client.window(600, 600, 100, 100, kBlue);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (frames.load() == settled && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GT(frames.load(), settled) << "another application's window appearing is captured";
}

}  // namespace
}  // namespace velurio
