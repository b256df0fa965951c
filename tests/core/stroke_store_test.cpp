// The stroke store: remote and local strokes, laser, erasers, texts, undo/redo, clear.
#include "core/stroke_store.h"

#include "protocol/message_codec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace velurio {
namespace {

// Records events and messages in one sequence, so their relative order is checked too.
struct Recorder {
    struct Entry {
        bool isEvent;
        StrokeEvent event;
        SessionMessage message;
        bool operator==(const Entry&) const = default;
    };
    std::vector<Entry> log;

    void attach(StrokeStore& store) {
        store.onEvent = [this](const StrokeEvent& e) { log.push_back({true, e, {}}); };
        store.onSend = [this](const SessionMessage& m) { log.push_back({false, {}, m}); };
    }
    std::vector<StrokeEvent> events() const {
        std::vector<StrokeEvent> out;
        for (const auto& e : log) {
            if (e.isEvent)
                out.push_back(e.event);
        }
        return out;
    }
    std::vector<SessionMessage> messages() const {
        std::vector<SessionMessage> out;
        for (const auto& e : log) {
            if (!e.isEvent)
                out.push_back(e.message);
        }
        return out;
    }
    std::vector<StrokeEvent::Kind> kinds() const {
        std::vector<StrokeEvent::Kind> out;
        for (const auto& e : events())
            out.push_back(e.kind);
        return out;
    }
    void reset() { log.clear(); }
};

StrokePoint pt(double x, double y) {
    return {x, y, 0.5, 0, 0};
}

StrokeMessage msg(std::string id, StrokeOp op, std::vector<StrokePoint> pts = {},
                  std::string tool = "pen", std::int64_t width = 4, std::string color = "#FF4D2E") {
    return StrokeMessage{std::move(id),    op,    std::move(tool),
                         std::move(color), width, std::move(pts)};
}

// Begin and end of a remote stroke in one go.
void remoteStroke(StrokeStore& store, const std::string& id, std::vector<StrokePoint> pts,
                  const std::string& tool = "pen") {
    store.apply(msg(id, StrokeOp::begin, {pts.front()}, tool));
    store.apply(msg(id, StrokeOp::end, std::vector<StrokePoint>(pts.begin() + 1, pts.end()), tool));
}

std::vector<std::string> ids(const std::vector<Stroke>& strokes) {
    std::vector<std::string> out;
    for (const auto& s : strokes)
        out.push_back(s.id);
    return out;
}

using K = StrokeEvent::Kind;

TEST(StrokeStoreRemoteTest, InvalidBeginIsIgnoredAndSoAreItsFollowers) {
    StrokeStore store;
    Recorder rec;
    rec.attach(store);
    store.apply(msg("a", StrokeOp::begin, {pt(0.1, 0.1)}, "pen", 3));
    store.apply(msg("a", StrokeOp::append, {pt(0.2, 0.2)}));
    store.apply(msg("a", StrokeOp::end, {pt(0.3, 0.3)}));
    store.apply(msg("b", StrokeOp::append, {pt(0.2, 0.2)}));
    store.apply(msg("c", StrokeOp::begin, {}, "crayon"));
    store.apply(msg("d", StrokeOp::begin, {}, "pen", 4, "red"));
    EXPECT_TRUE(rec.log.empty());
    EXPECT_TRUE(store.strokes().empty());
    EXPECT_TRUE(store.activeStrokes().empty());
}

TEST(StrokeStoreRemoteTest, PenStrokeBeginAppendEndCommitsWithoutSending) {
    StrokeStore store;
    Recorder rec;
    rec.attach(store);
    store.apply(msg("a", StrokeOp::begin, {pt(0.1, 0.1)}));
    store.apply(msg("a", StrokeOp::append, {pt(0.2, 0.2), pt(0.3, 0.3)}));
    ASSERT_NE(store.activeStroke("a"), nullptr);
    EXPECT_EQ(store.activeStroke("a")->points.size(), 3u);
    store.apply(msg("a", StrokeOp::end, {pt(0.4, 0.4)}));
    EXPECT_EQ(rec.kinds(), (std::vector<K>{K::began, K::appended, K::ended}));
    EXPECT_EQ(rec.events()[1].id, "a");
    EXPECT_EQ(rec.events()[2].stroke.points.size(), 4u);
    EXPECT_TRUE(rec.messages().empty());
    ASSERT_EQ(store.strokes().size(), 1u);
    EXPECT_EQ(store.undoHistory(), (std::vector<UndoRef>{{UndoRef::Kind::stroke, "a"}}));
    EXPECT_TRUE(store.activeStrokes().empty());
}

TEST(StrokeStoreRemoteTest, LaserIsLiveOnlyAndNeverKept) {
    StrokeStore store;
    Recorder rec;
    rec.attach(store);
    store.apply(msg("L", StrokeOp::begin, {pt(0.1, 0.1)}, "laser"));
    store.apply(msg("L", StrokeOp::append, {pt(0.2, 0.2)}, "laser"));
    store.apply(msg("L", StrokeOp::end, {pt(0.3, 0.3)}, "laser"));
    EXPECT_EQ(rec.kinds(), (std::vector<K>{K::laserLive, K::laserLive, K::laserEnded}));
    EXPECT_EQ(rec.events()[0].stroke.points.size(), 1u);
    EXPECT_EQ(rec.events()[1].stroke.points.size(), 2u);
    EXPECT_EQ(rec.events()[2].stroke.points.size(), 3u);
    EXPECT_TRUE(store.strokes().empty());
    EXPECT_FALSE(store.activeLaser());
    EXPECT_FALSE(store.undo());
    EXPECT_TRUE(rec.messages().empty());

    // A second laser replaces the first; the first's id then finds nothing.
    rec.reset();
    store.apply(msg("L1", StrokeOp::begin, {pt(0.1, 0.1)}, "laser"));
    store.apply(msg("L2", StrokeOp::begin, {pt(0.5, 0.5)}, "laser"));
    store.apply(msg("L1", StrokeOp::append, {pt(0.2, 0.2)}, "laser"));
    store.apply(msg("L1", StrokeOp::end, {}, "laser"));
    EXPECT_EQ(rec.kinds(), (std::vector<K>{K::laserLive, K::laserLive}));
    ASSERT_TRUE(store.activeLaser());
    EXPECT_EQ(store.activeLaser()->id, "L2");
    EXPECT_TRUE(store.activeStrokes().empty());
}

// A tablet that goes away mid-stroke: its strokes in progress leave the screen, the local
// mouse's stroke and everything committed stay, and nothing is sent.
TEST(StrokeStoreRemoteTest, AbandoningTheTabletsStrokesDropsOnlyItsStrokesInProgress) {
    StrokeStore store;
    Recorder rec;
    remoteStroke(store, "done", {pt(0.1, 0.1), pt(0.2, 0.2)});
    store.apply(msg("half", StrokeOp::begin, {pt(0.3, 0.3)}));
    store.apply(msg("half", StrokeOp::append, {pt(0.4, 0.4)}));
    store.apply(msg("rub", StrokeOp::begin, {pt(0.1, 0.1)}, "eraser"));
    store.apply(msg("m-1x", StrokeOp::begin, {pt(0.3, 0.3)}));  // looks local, is not
    const Stroke local = store.beginLocalStroke(InkTool::pen, InkPalette::defaultColor(),
                                                StrokeThickness::thin, pt(0.6, 0.6));
    rec.attach(store);
    store.abandonRemoteStrokes();
    EXPECT_EQ(rec.events(), (std::vector<StrokeEvent>{StrokeEvent::removed("half"),
                                                      StrokeEvent::removed("m-1x")}));
    EXPECT_TRUE(rec.messages().empty());
    ASSERT_EQ(store.activeStrokes().size(), 1u);
    EXPECT_EQ(store.activeStrokes().begin()->first, local.id);
    EXPECT_EQ(ids(store.strokes()), (std::vector<std::string>{"done"}));
    // Their late ends find nothing; a begin sent again starts afresh.
    store.apply(msg("half", StrokeOp::end, {pt(0.5, 0.5)}));
    EXPECT_EQ(ids(store.strokes()), (std::vector<std::string>{"done"}));

    // The tablet's live laser ends; a local one lives on.
    rec.reset();
    store.apply(msg("L", StrokeOp::begin, {pt(0.1, 0.1)}, "laser"));
    store.abandonRemoteStrokes();
    EXPECT_EQ(rec.kinds(), (std::vector<K>{K::laserLive, K::laserEnded}));
    EXPECT_FALSE(store.activeLaser());
    store.endLocalStroke(local.id);
    store.beginLocalStroke(InkTool::laser, InkPalette::defaultColor(), StrokeThickness::thin,
                           pt(0.2, 0.2));
    store.abandonRemoteStrokes();
    EXPECT_TRUE(store.activeLaser());
}

TEST(StrokeStoreRemoteTest, EraserSweepRemovesHitStrokesInOrderAndCannotBeRedone) {
    StrokeStore store;
    remoteStroke(store, "a", {pt(0.1, 0.1), pt(0.2, 0.1)});
    remoteStroke(store, "far", {pt(0.9, 0.9), pt(0.95, 0.9)});
    remoteStroke(store, "b", {pt(0.1, 0.5), pt(0.2, 0.5)});
    remoteStroke(store, "c", {pt(0.5, 0.5), pt(0.6, 0.5)});
    ASSERT_EQ(store.undo(), "c");  // c goes to the redo stack
    Recorder rec;
    rec.attach(store);
    // The eraser drags over b first, then a; events still follow the order of strokes.
    store.apply(msg("e", StrokeOp::begin, {pt(0.15, 0.5)}, "eraser"));
    store.apply(msg("e", StrokeOp::append, {pt(0.15, 0.3)}, "eraser"));
    EXPECT_TRUE(rec.log.empty());  // an eraser in progress emits nothing
    store.apply(msg("e", StrokeOp::end, {pt(0.15, 0.1)}, "eraser"));
    ASSERT_EQ(rec.log.size(), 4u);
    EXPECT_EQ(rec.log[0].event, StrokeEvent::removed("a"));
    EXPECT_EQ(rec.log[1].message, SessionMessage(UndoMessage{"a"}));
    EXPECT_EQ(rec.log[2].event, StrokeEvent::removed("b"));
    EXPECT_EQ(rec.log[3].message, SessionMessage(UndoMessage{"b"}));
    EXPECT_EQ(ids(store.strokes()), (std::vector<std::string>{"far"}));
    EXPECT_EQ(ids(store.redoStack()), (std::vector<std::string>{"c"}));  // sweep leaves it
    EXPECT_EQ(store.undoHistory(), (std::vector<UndoRef>{{UndoRef::Kind::stroke, "far"}}));
    EXPECT_EQ(store.redo(), "c");
    EXPECT_EQ(store.undo(), "c");
    EXPECT_EQ(store.undo(), "far");
    EXPECT_FALSE(store.undo());  // a and b are gone for good
}

TEST(StrokeStoreRemoteTest, HitRadiusScalesWithHeightAndIsStrict) {
    StrokeStore store;
    remoteStroke(store, "a", {pt(0.5, 0.5), pt(0.5, 0.5)});
    // Exactly 24 points away on a 1080-point overlay: not hit.
    store.eraseLocal({0.5 + 24.0 / 1024, 0.5}, {1024, 1080});  // binary-exact coordinates
    EXPECT_EQ(store.strokes().size(), 1u);
    // 40 points away on a 2160-point overlay (radius 48): hit.
    store.eraseLocal({0.5 + 40.0 / 3840, 0.5}, {3840, 2160});
    EXPECT_TRUE(store.strokes().empty());

    // The sweep uses overlaySize.
    remoteStroke(store, "b", {pt(0.5, 0.5), pt(0.5, 0.5)});
    store.setOverlaySize({3840, 2160});
    store.apply(msg("e", StrokeOp::begin, {pt(0.5 + 40.0 / 3840, 0.5)}, "eraser"));
    store.apply(msg("e", StrokeOp::end, {}, "eraser"));
    EXPECT_TRUE(store.strokes().empty());
}

TEST(StrokeStoreRemoteTest, SweepRemovesExactlyTheStrokesAnyPointHits) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> coord(0, 1);
    std::uniform_real_distribution<double> near(-0.03, 0.03);
    std::size_t removedTotal = 0;
    for (int trial = 0; trial < 30; ++trial) {
        StrokeStore store;
        for (int k = 0; k < 20; ++k) {
            std::vector<StrokePoint> pts;
            const double x = coord(rng), y = coord(rng);
            for (std::size_t i = 0, n = 1 + rng() % 6; i < n; ++i)
                pts.push_back(pt(x + near(rng), y + near(rng)));
            pts.push_back(pts.back());
            remoteStroke(store, "s" + std::to_string(k), pts);
        }
        std::vector<StrokePoint> eraser;
        for (int i = 0; i < 15; ++i)
            eraser.push_back(pt(coord(rng), coord(rng)));
        eraser.push_back(eraser.back());  // repeated positions are harmless
        const SizeF size{1920, 1080};
        std::vector<std::string> expectedKept;
        for (const Stroke& s : store.strokes()) {
            bool hit = false;
            for (const StrokePoint& e : eraser) {
                hit |= StrokeGeometry::distance(StrokeGeometry::point(e, size), s, size) < 24;
            }
            if (!hit)
                expectedKept.push_back(s.id);
        }
        store.apply(msg("e", StrokeOp::begin, eraser, "eraser"));
        store.apply(msg("e", StrokeOp::end, {}, "eraser"));
        EXPECT_EQ(ids(store.strokes()), expectedKept) << trial;
        removedTotal += 20 - expectedKept.size();
    }
    EXPECT_GT(removedTotal, 10u);   // the sweeps did hit strokes
    EXPECT_LT(removedTotal, 300u);  // and missed others
}

TEST(StrokeStoreRemoteTest, ErasersNeverTouchStrokesInProgressOrTexts) {
    StrokeStore store;
    store.apply(msg("live", StrokeOp::begin, {pt(0.5, 0.5)}));
    store.apply(msg("L", StrokeOp::begin, {pt(0.5, 0.5)}, "laser"));
    store.addText("nota", {0.5, 0.5}, InkPalette::defaultColor());
    store.eraseLocal({0.5, 0.5}, {1920, 1080});
    store.apply(msg("e", StrokeOp::begin, {pt(0.5, 0.5)}, "eraser"));
    store.apply(msg("e", StrokeOp::end, {}, "eraser"));
    EXPECT_NE(store.activeStroke("live"), nullptr);
    EXPECT_TRUE(store.activeLaser());
    EXPECT_EQ(store.texts().size(), 1u);
    store.apply(msg("live", StrokeOp::end, {}));
    EXPECT_EQ(ids(store.strokes()), (std::vector<std::string>{"live"}));
}

TEST(StrokeStoreLocalTest, PenStrokeSendsBeginAppendsAndEndWithAllPoints) {
    StrokeStore store;
    Recorder rec;
    rec.attach(store);
    const InkColor blue = *InkColor::fromHex("#2F8CFF");
    Stroke s = store.beginLocalStroke(InkTool::pen, blue, StrokeThickness::thick, pt(0.1, 0.1));
    EXPECT_EQ(s.id, "m-0001");
    EXPECT_EQ(store.activeLocalStrokeID(), "m-0001");
    store.appendLocalStroke(s.id, std::vector<StrokePoint>{pt(0.2, 0.2)});
    store.appendLocalStroke(s.id, std::vector<StrokePoint>{});
    store.appendLocalStroke(s.id, std::vector<StrokePoint>{pt(0.3, 0.3)});
    store.endLocalStroke(s.id);
    auto messages = rec.messages();
    ASSERT_EQ(messages.size(), 4u);
    const std::vector<std::size_t> sizes = {1, 1, 1, 3};
    const std::vector<StrokeOp> ops = {StrokeOp::begin, StrokeOp::append, StrokeOp::append,
                                       StrokeOp::end};
    for (std::size_t i = 0; i < 4; ++i) {
        const auto* m = messages[i].get<StrokeMessage>();
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->op, ops[i]);
        EXPECT_EQ(m->pts.size(), sizes[i]);
        EXPECT_EQ(m->id, "m-0001");
        EXPECT_EQ(m->tool, "pen");
        EXPECT_EQ(m->color, "#2F8CFF");
        EXPECT_EQ(m->width, 8);
    }
    EXPECT_EQ(messages[2].get<StrokeMessage>()->pts[0], pt(0.3, 0.3));
    // Each event precedes its message.
    for (std::size_t i = 0; i < rec.log.size(); i += 2) {
        EXPECT_TRUE(rec.log[i].isEvent);
        EXPECT_FALSE(rec.log[i + 1].isEvent);
    }
    EXPECT_EQ(ids(store.strokes()), (std::vector<std::string>{"m-0001"}));
    EXPECT_FALSE(store.activeLocalStrokeID());
}

TEST(StrokeStoreLocalTest, LocalLaserIsNeverSent) {
    StrokeStore store;
    Recorder rec;
    rec.attach(store);
    Stroke s = store.beginLocalStroke(InkTool::laser, InkPalette::defaultColor(),
                                      StrokeThickness::thin, pt(0.1, 0.1));
    EXPECT_EQ(store.activeLocalStrokeID(), s.id);
    store.appendLocalStroke(s.id, std::vector<StrokePoint>{pt(0.2, 0.2)});
    store.endLocalStroke(s.id);
    EXPECT_EQ(rec.kinds(), (std::vector<K>{K::laserLive, K::laserLive, K::laserEnded}));
    EXPECT_TRUE(rec.messages().empty());
    EXPECT_TRUE(store.strokes().empty());
    store.endLocalStroke("m-9999");  // unknown: nothing
    EXPECT_EQ(rec.log.size(), 3u);
}

TEST(StrokeStoreLocalTest, OneCounterForStrokesAndTexts) {
    StrokeStore store;
    EXPECT_EQ(store
                  .beginLocalStroke(InkTool::pen, InkPalette::defaultColor(), StrokeThickness::thin,
                                    pt(0, 0))
                  .id,
              "m-0001");
    EXPECT_EQ(store.addText("x", {0, 0}, InkPalette::defaultColor()).id, "m-t0002");
    store.clear(true);
    EXPECT_EQ(store.addText("y", {0, 0}, InkPalette::defaultColor()).id, "m-t0003");  // not reset
}

TEST(StrokeStoreLocalTest, IdsGrowBeyondFourDigits) {
    StrokeStore store;
    std::string last;
    for (int i = 0; i < 10000; ++i)
        last = store.addText("t", {0, 0}, InkPalette::defaultColor()).id;
    EXPECT_EQ(last, "m-t10000");
}

TEST(StrokeStoreHistoryTest, TextAndStrokeUndoRedo) {
    StrokeStore store;
    Recorder rec;
    rec.attach(store);
    store.addText("olá", {0.2, 0.3}, InkPalette::defaultColor());
    remoteStroke(store, "s", {pt(0.1, 0.1), pt(0.2, 0.2)});
    rec.reset();
    EXPECT_EQ(store.undo(), "s");
    EXPECT_EQ(store.undo(), "m-t0001");
    EXPECT_EQ(store.redo(), "s");
    EXPECT_FALSE(store.redo());  // text undo cannot be redone
    EXPECT_EQ(rec.kinds(), (std::vector<K>{K::removed, K::textRemoved, K::began}));
    EXPECT_EQ(rec.messages(), (std::vector<SessionMessage>{UndoMessage{"s"}, RedoMessage{"s"}}));
    EXPECT_TRUE(store.texts().empty());
    EXPECT_EQ(ids(store.strokes()), (std::vector<std::string>{"s"}));
}

TEST(StrokeStoreHistoryTest, CommittingAfterUndoEmptiesRedo) {
    StrokeStore store;
    remoteStroke(store, "a", {pt(0.1, 0.1), pt(0.2, 0.2)});
    store.undo();
    EXPECT_TRUE(store.canRedo());
    remoteStroke(store, "b", {pt(0.1, 0.1), pt(0.2, 0.2)});
    EXPECT_FALSE(store.canRedo());
    store.undo();
    store.addText("t", {0, 0}, InkPalette::defaultColor());
    EXPECT_FALSE(store.canRedo());
}

TEST(StrokeStoreHistoryTest, PeerRequestsNameTheStroke) {
    StrokeStore store;
    Recorder rec;
    remoteStroke(store, "a", {pt(0.1, 0.1), pt(0.2, 0.2)});
    remoteStroke(store, "b", {pt(0.1, 0.1), pt(0.2, 0.2)});
    store.apply(msg("live", StrokeOp::begin, {pt(0.1, 0.1)}));
    rec.attach(store);
    store.handleUndoRequest("live");  // in progress: nothing
    store.handleUndoRequest("zzz");
    EXPECT_TRUE(rec.log.empty());
    store.handleUndoRequest("a");
    EXPECT_EQ(ids(store.strokes()), (std::vector<std::string>{"b"}));
    EXPECT_EQ(store.undoHistory(), (std::vector<UndoRef>{{UndoRef::Kind::stroke, "b"}}));
    store.handleRedoRequest("zzz");
    store.handleRedoRequest("a");
    EXPECT_EQ(ids(store.strokes()), (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(rec.messages(), (std::vector<SessionMessage>{UndoMessage{"a"}, RedoMessage{"a"}}));
    EXPECT_EQ(rec.kinds(), (std::vector<K>{K::removed, K::began}));
}

TEST(StrokeStoreHistoryTest, StaleHistoryEntriesAreConsumedSafely) {
    // The tablet reuses an id; undoing the newer removes the last stroke with that id, and a
    // history entry whose stroke is gone is consumed without effect.
    StrokeStore store;
    remoteStroke(store, "x", {pt(0.1, 0.1), pt(0.2, 0.2)});
    remoteStroke(store, "x", {pt(0.5, 0.5), pt(0.6, 0.6)});
    EXPECT_EQ(store.undo(), "x");
    ASSERT_EQ(store.strokes().size(), 1u);
    EXPECT_EQ(store.strokes()[0].points[0], pt(0.1, 0.1));
    store.handleUndoRequest("x");  // removes both history entries for x
    EXPECT_FALSE(store.canUndo());
    EXPECT_EQ(store.redoStack().size(), 2u);
}

TEST(StrokeStoreClearTest, ClearDropsEverythingWithOneEvent) {
    StrokeStore store;
    Recorder rec;
    remoteStroke(store, "a", {pt(0.1, 0.1), pt(0.2, 0.2)});
    store.apply(msg("live", StrokeOp::begin, {pt(0.1, 0.1)}));
    store.apply(msg("L", StrokeOp::begin, {pt(0.1, 0.1)}, "laser"));
    store.addText("t", {0, 0}, InkPalette::defaultColor());
    remoteStroke(store, "b", {pt(0.1, 0.1), pt(0.2, 0.2)});
    store.undo();
    rec.attach(store);
    store.clear(true);
    EXPECT_EQ(rec.kinds(), (std::vector<K>{K::cleared}));
    EXPECT_EQ(rec.messages(), (std::vector<SessionMessage>{ClearMessage{}}));
    EXPECT_TRUE(store.strokes().empty() && store.texts().empty() && store.activeStrokes().empty() &&
                store.redoStack().empty() && store.undoHistory().empty() && !store.activeLaser());
    rec.reset();
    store.clear(false);
    EXPECT_TRUE(rec.messages().empty());
    store.apply(msg("live", StrokeOp::end, {}));
    EXPECT_TRUE(store.strokes().empty());
}

TEST(StrokeStoreObserverTest, ObserversLearnWhatChangedAfterEventAndMessage) {
    StrokeStore store;
    Recorder rec;
    rec.attach(store);
    std::vector<std::pair<StrokeStore::Changes, std::size_t>> seen;
    auto id = store.addObserver([&](StrokeStore::Changes c) {
        seen.push_back({c, rec.log.size()});
    });
    remoteStroke(store, "a", {pt(0.1, 0.1), pt(0.2, 0.2)});
    store.undo();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(seen[0].first.contains(StrokeStore::Change::strokes));
    EXPECT_FALSE(seen[0].first.contains(StrokeStore::Change::texts));
    EXPECT_EQ(seen[1].second, rec.log.size());  // after removed + undo message
    EXPECT_TRUE(seen[1].first.contains(StrokeStore::Change::redoStack));
    store.apply(msg("b", StrokeOp::begin, {pt(0.1, 0.1)}));  // in progress: no observable change
    EXPECT_EQ(seen.size(), 2u);
    store.removeObserver(id);
    store.clear(true);
    EXPECT_EQ(seen.size(), 2u);
}

// --- Random sequences ------------------------------------------------------------------------

// A deliberately naive model of committed items, history and redo stack.
struct ReferenceModel {
    std::vector<std::string> strokes;
    std::vector<std::string> texts;
    std::vector<std::pair<bool, std::string>> history;  // (isText, id)
    std::vector<std::string> redo;

    void commit(const std::string& id) {
        strokes.push_back(id);
        history.push_back({false, id});
        redo.clear();
    }
    void addText(const std::string& id) {
        texts.push_back(id);
        history.push_back({true, id});
        redo.clear();
    }
    std::optional<std::string> undo() {
        if (history.empty())
            return std::nullopt;
        auto [isText, id] = history.back();
        history.pop_back();
        if (isText) {
            texts.erase(std::remove(texts.begin(), texts.end(), id), texts.end());
            return id;
        }
        auto it = std::find(strokes.rbegin(), strokes.rend(), id);
        if (it == strokes.rend())
            return std::nullopt;
        strokes.erase(std::next(it).base());
        redo.push_back(id);
        return id;
    }
    std::optional<std::string> redoOne() {
        if (redo.empty())
            return std::nullopt;
        std::string id = redo.back();
        redo.pop_back();
        strokes.push_back(id);
        history.push_back({false, id});
        return id;
    }
    void undoRequest(const std::string& id) {
        auto it = std::find(strokes.rbegin(), strokes.rend(), id);
        if (it == strokes.rend())
            return;
        strokes.erase(std::next(it).base());
        std::erase(history, std::pair<bool, std::string>{false, id});
        redo.push_back(id);
    }
    void redoRequest(const std::string& id) {
        auto it = std::find(redo.begin(), redo.end(), id);
        if (it == redo.end())
            return;
        redo.erase(it);
        strokes.push_back(id);
        history.push_back({false, id});
    }
};

TEST(StrokeStoreHistoryTest, RandomSequencesAgreeWithAReferenceModel) {
    for (std::uint64_t seed = 1; seed <= 40; ++seed) {
        std::mt19937_64 rng(seed);
        StrokeStore store;
        ReferenceModel model;
        int remoteCounter = 0;
        for (int step = 0; step < 300; ++step) {
            const auto op = rng() % 7;
            if (op == 0) {
                // Ids are sometimes reused, as a confused peer might.
                std::string id =
                    "r" + std::to_string(rng() % 4 == 0 ? remoteCounter / 2 : ++remoteCounter);
                remoteStroke(store, id, {pt(0.1, 0.1), pt(0.2, 0.2)});
                model.commit(id);
            } else if (op == 1) {
                Stroke s = store.beginLocalStroke(InkTool::marker, InkPalette::defaultColor(),
                                                  StrokeThickness::thin, pt(0.3, 0.3));
                store.endLocalStroke(s.id);
                model.commit(s.id);
            } else if (op == 2) {
                model.addText(store.addText("t", {0, 0}, InkPalette::defaultColor()).id);
            } else if (op == 3) {
                ASSERT_EQ(store.undo(), model.undo()) << seed << ":" << step;
            } else if (op == 4) {
                ASSERT_EQ(store.redo(), model.redoOne()) << seed << ":" << step;
            } else {
                std::string id =
                    "r" + std::to_string(rng() % static_cast<std::uint64_t>(remoteCounter + 1));
                if (op == 5) {
                    store.handleUndoRequest(id);
                    model.undoRequest(id);
                } else {
                    store.handleRedoRequest(id);
                    model.redoRequest(id);
                }
            }
            ASSERT_EQ(ids(store.strokes()), model.strokes) << seed << ":" << step;
            ASSERT_EQ(ids(store.redoStack()), model.redo) << seed << ":" << step;
            std::vector<std::string> texts;
            for (const auto& t : store.texts())
                texts.push_back(t.id);
            ASSERT_EQ(texts, model.texts);
            ASSERT_EQ(store.undoHistory().size(), model.history.size());
        }
    }
}

// Two sources interleaved: the tablet's messages and the local mouse, recorded once.
struct RecordedOp {
    enum Kind {
        remote,
        localBegin,
        localAppend,
        localEnd,
        erase,
        text,
        undo,
        redo,
        undoReq,
        redoReq,
        clear
    } kind;
    std::string wire;  // remote: the message as the tablet sent it (canonical JSON)
    std::string id;
    StrokePoint point;
};

std::string wire(const StrokeMessage& message) {
    return MessageCodec::encodeToString(message);
}

std::vector<RecordedOp> recordStream(std::size_t count, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> coord(0, 1);
    const char* tools[] = {"pen", "marker", "laser", "arrow", "rectangle", "eraser", "text"};
    std::vector<RecordedOp> ops;
    std::vector<std::string> open;  // remote ids begun
    int next = 0;
    bool localOpen = false;
    while (ops.size() < count) {
        const auto r = rng() % 100;
        auto randomPoint = [&] {
            return StrokePoint{coord(rng), coord(rng), coord(rng), 0,
                               static_cast<std::int64_t>(ops.size())};
        };
        if (r < 15) {
            std::string id = "ipad-" + std::to_string(++next);
            open.push_back(id);
            ops.push_back({RecordedOp::remote,
                           wire(msg(id, StrokeOp::begin, {randomPoint()}, tools[rng() % 7],
                                    rng() % 5 == 0 ? 3 : 4)),
                           {},
                           {}});
        } else if (r < 45 && !open.empty()) {
            const std::string id = open[rng() % open.size()];
            ops.push_back({RecordedOp::remote,
                           wire(msg(id, StrokeOp::append, {randomPoint(), randomPoint()})),
                           {},
                           {}});
        } else if (r < 58 && !open.empty()) {
            const std::size_t i = rng() % open.size();
            ops.push_back(
                {RecordedOp::remote, wire(msg(open[i], StrokeOp::end, {randomPoint()})), {}, {}});
            open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
        } else if (r < 64) {
            ops.push_back({localOpen ? RecordedOp::localAppend : RecordedOp::localBegin,
                           {},
                           {},
                           randomPoint()});
            localOpen = true;
        } else if (r < 70 && localOpen) {
            ops.push_back({RecordedOp::localEnd, {}, {}, {}});
            localOpen = false;
        } else if (r < 76) {
            ops.push_back({RecordedOp::erase, {}, {}, randomPoint()});
        } else if (r < 80) {
            ops.push_back({RecordedOp::text, {}, {}, randomPoint()});
        } else if (r < 87) {
            ops.push_back({RecordedOp::undo, {}, {}, {}});
        } else if (r < 93) {
            ops.push_back({RecordedOp::redo, {}, {}, {}});
        } else if (r < 96) {
            ops.push_back({RecordedOp::undoReq,
                           {},
                           "ipad-" + std::to_string(rng() % static_cast<std::uint64_t>(next + 1)),
                           {}});
        } else if (r < 99) {
            ops.push_back({RecordedOp::redoReq,
                           {},
                           "ipad-" + std::to_string(rng() % static_cast<std::uint64_t>(next + 1)),
                           {}});
        } else {
            ops.push_back({RecordedOp::clear, {}, {}, {}});
        }
    }
    return ops;
}

struct ReplayResult {
    std::vector<Stroke> strokes;
    std::vector<Recorder::Entry> log;
    bool operator==(const ReplayResult&) const = default;
};

ReplayResult replay(const std::vector<RecordedOp>& ops) {
    StrokeStore store;
    Recorder rec;
    rec.attach(store);
    for (const RecordedOp& op : ops) {
        switch (op.kind) {
            case RecordedOp::remote: {
                auto decoded = MessageCodec::decode(op.wire);
                EXPECT_TRUE(decoded.ok());
                if (decoded.ok())
                    store.apply(*decoded->get<StrokeMessage>());
                break;
            }
            case RecordedOp::localBegin:
                store.beginLocalStroke(InkTool::pen, InkPalette::colors()[3],
                                       StrokeThickness::medium, op.point);
                break;
            case RecordedOp::localAppend:
                if (auto id = store.activeLocalStrokeID())
                    store.appendLocalStroke(*id, std::vector<StrokePoint>{op.point});
                break;
            case RecordedOp::localEnd:
                if (auto id = store.activeLocalStrokeID())
                    store.endLocalStroke(*id);
                break;
            case RecordedOp::erase:
                store.eraseLocal({op.point.x, op.point.y}, {1920, 1080});
                break;
            case RecordedOp::text:
                store.addText("nota", {op.point.x, op.point.y}, InkPalette::defaultColor());
                break;
            case RecordedOp::undo:
                (void)store.undo();
                break;
            case RecordedOp::redo:
                (void)store.redo();
                break;
            case RecordedOp::undoReq:
                store.handleUndoRequest(op.id);
                break;
            case RecordedOp::redoReq:
                store.handleRedoRequest(op.id);
                break;
            case RecordedOp::clear:
                store.clear(true);
                break;
        }
        // Invariants after every step.
        for (const Stroke& s : store.strokes()) {
            EXPECT_NE(s.tool, InkTool::laser);
            EXPECT_NE(s.tool, InkTool::eraser);
        }
        for (const auto& [id, s] : store.activeStrokes())
            EXPECT_NE(s.tool, InkTool::laser);
    }
    return {store.strokes(), rec.log};
}

TEST(StrokeStoreReplayTest, ARecordedStreamOfTwoSourcesReplaysIdentically) {
    const auto ops = recordStream(1000, 2026);
    const ReplayResult first = replay(ops);
    const auto ended = std::count_if(first.log.begin(), first.log.end(), [](const auto& e) {
        return e.isEvent && e.event.kind == StrokeEvent::Kind::ended;
    });
    EXPECT_GT(ended, 20);
    EXPECT_GT(first.log.size(), 200u);
    for (int run = 0; run < 3; ++run)
        EXPECT_EQ(replay(ops), first);
    // The outgoing messages include both the mouse's strokes and the eraser's undo echoes.
    bool sawLocalStroke = false, sawUndo = false;
    for (const auto& e : first.log) {
        if (e.isEvent)
            continue;
        sawLocalStroke |= e.message.is<StrokeMessage>();
        sawUndo |= e.message.is<UndoMessage>();
    }
    EXPECT_TRUE(sawLocalStroke && sawUndo);
}

}  // namespace
}  // namespace velurio
