#include "app/overlay/annotation_canvas_view.h"
#include "app/overlay/png_exporter.h"
#include "app/overlay/stroke_layer.h"
#include "app/settings/toolbar_state.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QLineF>
#include <QMouseEvent>

#include <cmath>
#include <limits>
#include <span>

namespace velurio {
namespace {

using namespace std::chrono_literals;

StrokePoint at(double x, double y) {
    StrokePoint p;
    p.x = x;
    p.y = y;
    p.pressure = 0.5;
    return p;
}

class CanvasTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_canvas.setStore(&m_store);
        m_canvas.setToolbarState(&m_toolbar);
        m_canvas.resize(640, 360);
        m_canvas.show();
        QApplication::processEvents();
        m_store.setOverlaySize(SizeF{640, 360});
        m_store.onEvent = [this](const StrokeEvent& event) { m_canvas.apply(event); };
    }

    QImage snapshot() {
        QImage image(m_canvas.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        m_canvas.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        return image.convertToFormat(QImage::Format_ARGB32);
    }

    // A wavy freehand stroke of `count` points, long enough to be smoothed.
    std::string drawWave(InkTool tool, int count, bool end) {
        const Stroke stroke = m_store.beginLocalStroke(tool, *InkColor::fromHex("#35D07F"),
                                                       StrokeThickness::thick, at(0.1, 0.5));
        for (int i = 1; i < count; ++i) {
            const double t = static_cast<double>(i) / count;
            // Goes right, then comes back over its own path: a self-overlapping scribble.
            const double x = t < 0.5 ? 0.1 + 1.6 * t : 0.9 - 1.6 * (t - 0.5);
            const StrokePoint p = at(x, 0.5 + 0.15 * std::sin(t * 12.0));
            m_store.appendLocalStroke(stroke.id, std::span(&p, 1));
        }
        if (end)
            m_store.endLocalStroke(stroke.id);
        return stroke.id;
    }

    // Counts pixels whose alpha differs by more than `tolerance`.
    static int alphaDifferences(const QImage& a, const QImage& b, int tolerance) {
        int count = 0;
        for (int y = 0; y < a.height(); ++y) {
            for (int x = 0; x < a.width(); ++x) {
                if (std::abs(qAlpha(a.pixel(x, y)) - qAlpha(b.pixel(x, y))) > tolerance)
                    ++count;
            }
        }
        return count;
    }
    static int inkedPixels(const QImage& image) {
        int count = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                count += qAlpha(image.pixel(x, y)) > 0 ? 1 : 0;
        return count;
    }

    ManualScheduler m_scheduler;
    StrokeStore m_store;
    ToolbarState m_toolbar;
    AnnotationCanvasView m_canvas{m_scheduler};
};

// The live layer, extended point by point, shows the same picture as drawing the whole
// smoothed path at once; the marker is translucent once, even where it crosses itself.
TEST_F(CanvasTest, IncrementalLiveLayersMatchTheWholePath) {
    for (InkTool tool : {InkTool::pen, InkTool::marker}) {
        m_store.clear(false);
        drawWave(tool, 80, false);
        const QImage live = snapshot();

        StrokeStore reference;
        reference.beginLocalStroke(tool, *InkColor::fromHex("#35D07F"), StrokeThickness::thick,
                                   at(0, 0));
        Stroke whole = *m_store.activeStroke(*m_store.activeLocalStrokeID());
        whole.id = "m-0001";
        StrokeMessage end = whole.wireMessage(StrokeOp::begin, whole.points);
        reference.clear(false);
        reference.apply(end);
        end.op = StrokeOp::end;
        end.pts.clear();
        reference.apply(end);
        ASSERT_EQ(reference.strokes().size(), 1u);
        const QImage expected = PNGExporter::renderImage(reference, QSize(640, 360))
                                    .convertToFormat(QImage::Format_ARGB32);

        const int inked = inkedPixels(expected);
        ASSERT_GT(inked, 2000);
        EXPECT_LT(alphaDifferences(live, expected, 40), inked / 50)
            << "tool " << static_cast<int>(tool);
        if (tool == InkTool::marker) {
            int maxAlpha = 0;
            for (int y = 0; y < live.height(); ++y)
                for (int x = 0; x < live.width(); ++x)
                    maxAlpha = std::max(maxAlpha, qAlpha(live.pixel(x, y)));
            EXPECT_LE(maxAlpha, 104);  // 0.4 × 255, never blended twice
        }
        // Committing keeps the picture.
        m_store.endLocalStroke(*m_store.activeLocalStrokeID());
        EXPECT_LT(alphaDifferences(snapshot(), expected, 40), inked / 50);
        EXPECT_EQ(m_canvas.liveLayerCount(), 0u);
    }
}

// A stroke's screen-sized image goes back to the pool transparent, and the next stroke takes it
// instead of a new one (whose allocation delayed every stroke's first point by milliseconds).
TEST(LayerImagePool, ALayerGivesItsImageBackTransparentForTheNext) {
    LayerImagePool pool;
    {
        StrokeLayer layer(QSize(200, 100), 1.0, {{Qt::green, 8, 1}}, pool);
        ASSERT_FALSE(layer.replace({{QPointF(10, 10), QPointF(150, 80)}}).isEmpty());
    }
    ASSERT_EQ(pool.kept(), 1u);
    const QImage image = pool.take(QSize(200, 100), 1.0);
    EXPECT_EQ(pool.kept(), 0u);
    int inked = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            inked += qAlpha(image.pixel(x, y)) != 0 ? 1 : 0;
    EXPECT_EQ(inked, 0);
    EXPECT_TRUE(pool.take(QSize(100, 100), 1.0).size() == QSize(100, 100)) << "another size: new";
}

TEST_F(CanvasTest, UndoRedoEraseAndClearShowOnTheCanvas) {
    drawWave(InkTool::pen, 20, true);
    const QImage drawn = snapshot();
    ASSERT_GT(inkedPixels(drawn), 500);
    m_store.undo();
    EXPECT_EQ(inkedPixels(snapshot()), 0);
    m_store.redo();
    EXPECT_LT(alphaDifferences(snapshot(), drawn, 40), 50);
    m_store.eraseLocal(PointF{0.1, 0.5}, SizeF{640, 360});
    EXPECT_EQ(inkedPixels(snapshot()), 0);
    drawWave(InkTool::pen, 20, true);
    m_store.addText("nota", PointF{0.5, 0.1}, *InkColor::fromHex("#FFFFFF"));
    m_store.clear(true);
    EXPECT_EQ(inkedPixels(snapshot()), 0);
}

TEST_F(CanvasTest, LaserFadesAfterItEndsAndANewLaserStopsTheFade) {
    m_toolbar.setTool(InkTool::laser);
    const Stroke laser = m_store.beginLocalStroke(InkTool::laser, m_toolbar.color(),
                                                  StrokeThickness::thin, at(0.2, 0.2));
    const StrokePoint p = at(0.6, 0.3);
    m_store.appendLocalStroke(laser.id, std::span(&p, 1));
    m_store.endLocalStroke(laser.id);
    ASSERT_TRUE(m_canvas.hasLaser());
    EXPECT_GT(inkedPixels(snapshot()), 0);

    m_scheduler.advance(899ms);
    EXPECT_DOUBLE_EQ(m_canvas.laserOpacity(), 1.0);
    m_scheduler.advance(151ms);  // 150 ms into the 300 ms fade
    EXPECT_NEAR(m_canvas.laserOpacity(), 0.5, 0.07);
    m_scheduler.advance(160ms);  // faded out, still lingering
    EXPECT_TRUE(m_canvas.hasLaser());
    EXPECT_DOUBLE_EQ(m_canvas.laserOpacity(), 0.0);
    m_scheduler.advance(330ms);  // 1.54 s after the end
    EXPECT_FALSE(m_canvas.hasLaser());
    EXPECT_EQ(inkedPixels(snapshot()), 0);

    // A new laser during a fade shows at full opacity and is not removed by the old fade.
    const Stroke second = m_store.beginLocalStroke(InkTool::laser, m_toolbar.color(),
                                                   StrokeThickness::thin, at(0.2, 0.6));
    m_store.endLocalStroke(second.id);
    m_scheduler.advance(1000ms);
    EXPECT_LT(m_canvas.laserOpacity(), 1.0);
    const Stroke third = m_store.beginLocalStroke(InkTool::laser, m_toolbar.color(),
                                                  StrokeThickness::thin, at(0.3, 0.6));
    EXPECT_DOUBLE_EQ(m_canvas.laserOpacity(), 1.0);
    m_scheduler.advance(5000ms);
    EXPECT_TRUE(m_canvas.hasLaser());
    // Clearing during a fade removes the laser at once; the pending fade then finds nothing.
    m_store.endLocalStroke(third.id);
    m_scheduler.advance(1000ms);
    m_store.clear(true);
    EXPECT_FALSE(m_canvas.hasLaser());
    m_scheduler.advance(2000ms);
    EXPECT_EQ(m_scheduler.pending(), 0u);
}

void sendMouse(QWidget& widget, QEvent::Type type, QPointF position, Qt::MouseButtons buttons) {
    QMouseEvent event(type, position, widget.mapToGlobal(position), Qt::LeftButton, buttons,
                      Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}

TEST_F(CanvasTest, MouseDrawsOnlyWhenEnabledAndTheToolDecides) {
    sendMouse(m_canvas, QEvent::MouseButtonPress, {100, 100}, Qt::LeftButton);
    sendMouse(m_canvas, QEvent::MouseMove, {200, 100}, Qt::LeftButton);
    sendMouse(m_canvas, QEvent::MouseButtonRelease, {200, 100}, Qt::NoButton);
    EXPECT_TRUE(m_store.strokes().empty());
    EXPECT_TRUE(m_store.activeStrokes().empty());

    m_canvas.setMouseEnabled(true);
    m_toolbar.setTool(InkTool::rectangle);
    m_toolbar.setThickness(StrokeThickness::thick);
    sendMouse(m_canvas, QEvent::MouseButtonPress, {100, 100}, Qt::LeftButton);
    sendMouse(m_canvas, QEvent::MouseMove, {150, 120}, Qt::LeftButton);
    sendMouse(m_canvas, QEvent::MouseMove, {200, 150}, Qt::LeftButton);
    sendMouse(m_canvas, QEvent::MouseButtonRelease, {200, 150}, Qt::NoButton);
    ASSERT_EQ(m_store.strokes().size(), 1u);
    const Stroke& rect = m_store.strokes().front();
    EXPECT_EQ(rect.tool, InkTool::rectangle);
    EXPECT_EQ(rect.points.size(), 3u);
    EXPECT_DOUBLE_EQ(rect.points.back().x, 200.0 / 640);
    EXPECT_DOUBLE_EQ(rect.points.back().pressure, 0.5);
    const QImage image = snapshot();
    EXPECT_GT(qAlpha(image.pixel(150, 100)), 200);  // top edge
    EXPECT_EQ(qAlpha(image.pixel(150, 125)), 0);    // inside is not filled

    m_toolbar.setTool(InkTool::eraser);
    sendMouse(m_canvas, QEvent::MouseButtonPress, {400, 300}, Qt::LeftButton);
    // The eraser measures to the sampled points, not to the drawn rectangle.
    sendMouse(m_canvas, QEvent::MouseMove, {150, 102}, Qt::LeftButton);
    EXPECT_EQ(m_store.strokes().size(), 1u);
    sendMouse(m_canvas, QEvent::MouseMove, {150, 116}, Qt::LeftButton);
    sendMouse(m_canvas, QEvent::MouseButtonRelease, {150, 116}, Qt::NoButton);
    EXPECT_TRUE(m_store.strokes().empty());
}

TEST_F(CanvasTest, TextEditorCommitsTrimmedTextAndDiscardsOnEscapeOrEmpty) {
    m_canvas.setMouseEnabled(true);
    m_toolbar.setTool(InkTool::text);
    m_toolbar.setColor(*InkColor::fromHex("#FFC224"));
    int closed = 0;
    m_canvas.onEditorClosed = [&closed]() { ++closed; };

    sendMouse(m_canvas, QEvent::MouseButtonPress, {320, 180}, Qt::LeftButton);
    ASSERT_NE(m_canvas.textEditor(), nullptr);
    EXPECT_EQ(m_canvas.textEditor()->placeholderText(), QStringLiteral("Texto…"));
    m_canvas.textEditor()->setText(QStringLiteral("   \t"));
    m_canvas.commitText();
    EXPECT_TRUE(m_store.texts().empty());
    EXPECT_EQ(closed, 1);

    sendMouse(m_canvas, QEvent::MouseButtonPress, {320, 180}, Qt::LeftButton);
    m_canvas.textEditor()->setText(QStringLiteral("  Olá  "));
    // A click elsewhere commits the open note and opens a new editor (focus stays with us).
    sendMouse(m_canvas, QEvent::MouseButtonPress, {64, 36}, Qt::LeftButton);
    ASSERT_EQ(m_store.texts().size(), 1u);
    EXPECT_EQ(m_store.texts().front().text, "Olá");
    EXPECT_EQ(m_store.texts().front().color.hex, "#FFC224");
    EXPECT_DOUBLE_EQ(m_store.texts().front().position.x, 0.5);
    EXPECT_EQ(closed, 1);

    m_canvas.textEditor()->setText(QStringLiteral("descartada"));
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(m_canvas.textEditor(), &escape);
    EXPECT_EQ(m_canvas.textEditor(), nullptr);
    EXPECT_EQ(m_store.texts().size(), 1u);
    EXPECT_EQ(closed, 2);
}

// Tablet coordinates are unchecked: absurd or infinite values neither crash the canvas nor the
// export, and the part of the stroke inside the overlay is still drawn.
TEST_F(CanvasTest, HostileTabletCoordinatesAreDrawnSafely) {
    StrokeMessage message;
    message.id = "remote-1";
    message.op = StrokeOp::begin;
    message.tool = "marker";
    message.color = "#FFFFFF";
    message.width = 8;
    message.pts = {at(0.5, 0.5), at(1e300, -1e300)};
    m_store.apply(message);
    message.op = StrokeOp::append;
    message.pts = {at(std::numeric_limits<double>::infinity(), 0.5), at(-1e12, 3e9), at(0.2, 0.2)};
    for (int i = 0; i < 3; ++i)
        m_store.apply(message);  // long enough to be smoothed
    message.op = StrokeOp::end;
    message.pts = {at(0.25, 0.25)};
    m_store.apply(message);
    ASSERT_EQ(m_store.strokes().size(), 1u);
    EXPECT_GT(inkedPixels(snapshot()), 0);
    const QImage exported = PNGExporter::renderImage(m_store, QSize(640, 360));
    EXPECT_FALSE(exported.isNull());
    m_store.undo();
    EXPECT_EQ(inkedPixels(snapshot()), 0);
}

TEST_F(CanvasTest, TurningDrawingOffCommitsTheOpenNote) {
    m_canvas.setMouseEnabled(true);
    m_canvas.openTextEditor({100, 100});
    m_canvas.textEditor()->setText(QStringLiteral("fica"));
    m_canvas.setMouseEnabled(false);
    EXPECT_EQ(m_canvas.textEditor(), nullptr);
    ASSERT_EQ(m_store.texts().size(), 1u);
    EXPECT_EQ(m_store.texts().front().text, "fica");
}

// Drags through `corners` in steps of 10 pixels with the button held (no release).
void dragThrough(QWidget& widget, const std::vector<QPointF>& corners) {
    sendMouse(widget, QEvent::MouseButtonPress, corners.front(), Qt::LeftButton);
    for (std::size_t i = 0; i + 1 < corners.size(); ++i) {
        const QPointF a = corners[i];
        const QPointF b = corners[i + 1];
        const int steps = std::max(1, static_cast<int>(QLineF(a, b).length() / 10));
        for (int k = 1; k <= steps; ++k)
            sendMouse(widget, QEvent::MouseMove, a + (b - a) * k / steps, Qt::LeftButton);
    }
}

// A pen stroke held still at its end becomes the shape; moving on after the snap changes
// nothing; a stroke that keeps moving, the marker and a drawing turned off never snap.
TEST_F(CanvasTest, HoldingStillAtTheEndOfAPenStrokeSnapsItToItsShape) {
    m_canvas.setMouseEnabled(true);
    const std::vector<QPointF> box{{100, 80}, {420, 84}, {418, 280}, {104, 276}, {102, 86}};
    dragThrough(m_canvas, box);
    m_scheduler.advance(AnnotationCanvasView::kShapeHold - std::chrono::milliseconds(1));
    ASSERT_EQ(m_store.activeStrokes().size(), 1u);
    EXPECT_GT(m_store.activeStrokes().begin()->second.points.size(), 5u) << "not yet";
    m_scheduler.advance(std::chrono::milliseconds(1));
    EXPECT_EQ(m_store.activeStrokes().begin()->second.points.size(), 5u) << "snapped";
    sendMouse(m_canvas, QEvent::MouseMove, {300, 200}, Qt::LeftButton);
    EXPECT_EQ(m_store.activeStrokes().begin()->second.points.size(), 5u) << "the shape stands";
    sendMouse(m_canvas, QEvent::MouseButtonRelease, {300, 200}, Qt::NoButton);
    ASSERT_EQ(m_store.strokes().size(), 1u);
    EXPECT_EQ(m_store.strokes().front().points.size(), 5u);
    EXPECT_EQ(m_scheduler.pending(), 0u);

    // Moving on keeps postponing the snap; released before the hold, it stays freehand.
    dragThrough(m_canvas, box);
    for (int i = 0; i < 4; ++i) {
        m_scheduler.advance(AnnotationCanvasView::kShapeHold / 2);
        sendMouse(m_canvas, QEvent::MouseMove, {102.0 + 10 * (i + 1), 86}, Qt::LeftButton);
    }
    sendMouse(m_canvas, QEvent::MouseButtonRelease, {142, 86}, Qt::NoButton);
    m_scheduler.advance(AnnotationCanvasView::kShapeHold);
    EXPECT_GT(m_store.strokes().back().points.size(), 5u);

    m_toolbar.setTool(InkTool::marker);
    dragThrough(m_canvas, box);
    m_scheduler.advance(AnnotationCanvasView::kShapeHold);
    EXPECT_GT(m_store.activeStrokes().begin()->second.points.size(), 5u) << "only the pen";
    sendMouse(m_canvas, QEvent::MouseButtonRelease, box.back(), Qt::NoButton);

    m_toolbar.setTool(InkTool::pen);
    dragThrough(m_canvas, box);
    m_canvas.setMouseEnabled(false);
    EXPECT_EQ(m_scheduler.pending(), 0u) << "drawing off drops the hold";
}

}  // namespace
}  // namespace velurio
