// Nothing drawn on the tablet is lost or doubled across cut connections: the coordinator replays
// its store after a resume, the tablet's ink journal sends again only what the replay lacks, and
// a stroke the host saw begin but never end does not stay on screen.
#include "ink_journal.h"
#include "session_test_support.h"

#include <algorithm>
#include <map>
#include <random>
#include <set>

namespace velurio::test {
namespace {

// A tablet whose ink goes through the journal, connecting and resuming on demand.
class JournaledTablet {
  public:
    JournaledTablet(SessionRig& rig, TabletCredentials credentials)
        : m_rig(rig), m_credentials(std::move(credentials)) {}

    // Connects, says hello and waits until accepted and, on a resume, reconciled.
    bool connect(bool resume) {
        m_tablet = m_rig.connectTablet();
        m_tablet->keepMessages = false;
        m_accepted = false;
        m_journal.connected(resume);
        m_tablet->onMessage = [this](const SessionMessage& message, WireChannel) {
            if (message.get<PingMessage>() != nullptr) {
                if (m_journal.awaitingReplay()) {
                    for (const StrokeMessage& missing : m_journal.replayFinished())
                        m_tablet->send(missing, WireChannel::ink);
                }
                return;
            }
            if (message.get<DisplaysMessage>() != nullptr) {
                m_accepted = true;
                return;
            }
            m_journal.received(message);
        };
        HelloMessage hello = m_credentials.hello();
        hello.resume = resume;
        m_tablet->send(hello);
        return waitUntil([this] { return m_accepted && !m_journal.awaitingReplay(); },
                         std::chrono::seconds(60));
    }
    void draw(const StrokeMessage& message) {
        m_journal.sent(message, true);
        m_tablet->send(message, WireChannel::ink);
    }
    void cut() { m_tablet->drop(); }

    peer::InkJournal& journal() { return m_journal; }

  private:
    SessionRig& m_rig;
    TabletCredentials m_credentials;
    std::unique_ptr<TestTablet> m_tablet;
    peer::InkJournal m_journal;
    bool m_accepted = false;
};

std::vector<StrokeMessage> numberedStroke(int n) {
    const std::string id = "s-" + std::to_string(n);
    const double x = (n % 997) / 997.0;
    const double y = (n % 991) / 991.0;
    auto point = [&](int i) { return StrokePoint{x, y + i * 0.001, 0.5, 0, n * 10 + i}; };
    return {StrokeMessage{id, StrokeOp::begin, "pen", "#2F8CFF", 4, {point(0)}},
            StrokeMessage{id, StrokeOp::append, "pen", "#2F8CFF", 4, {point(1)}},
            StrokeMessage{id, StrokeOp::end, "pen", "#2F8CFF", 4, {point(2)}}};
}

std::string canonicalText(const StrokeStore& store) {
    std::string text;
    for (const Stroke& stroke : store.strokes())
        text += SessionMessage(stroke.wireMessage(StrokeOp::end)).canonicalJSON() + '\n';
    return text;
}

TEST(InkReconciliation, TenThousandStrokesSurviveAHundredCutsExactlyOnceAndInOrder) {
    SessionRig rig;
    ASSERT_TRUE(rig.signedIn && rig.listening);
    JournaledTablet tablet(rig, rig.pairTablet());
    ASSERT_TRUE(tablet.connect(false));

    constexpr int kStrokes = 10'000;
    constexpr int kCuts = 100;
    std::mt19937 random(20261208);
    std::vector<StrokeMessage> messages;
    for (int n = 0; n < kStrokes; ++n) {
        for (StrokeMessage& m : numberedStroke(n))
            messages.push_back(std::move(m));
    }
    // Cuts fall anywhere, mid-stroke included.
    std::set<std::size_t> cuts;
    std::uniform_int_distribution<std::size_t> where(1, messages.size() - 1);
    while (cuts.size() < kCuts)
        cuts.insert(where(random));
    std::uniform_int_distribution<int> burst(1, 60);
    std::uniform_int_distribution<int> linger(0, 3);

    int untilFlush = burst(random);
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (cuts.count(i) != 0) {
            // Some of what was written may be on its way, some still in our buffers.
            settle(std::chrono::milliseconds(linger(random)));
            tablet.cut();
            ASSERT_TRUE(waitUntil([&] { return rig.coordinator->peer() == nullptr; }))
                << "the host did not notice cut " << i;
            // Whatever it saw begin and not end is gone from the screen.
            for (const auto& [id, stroke] : rig.coordinator->strokeStore().activeStrokes())
                ADD_FAILURE() << "stroke " << id << " stays in progress after the cut";
            ASSERT_TRUE(tablet.connect(true)) << "the resume after cut " << i << " failed";
        }
        tablet.draw(messages[i]);
        if (--untilFlush == 0) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
            untilFlush = burst(random);
        }
    }
    const StrokeStore& store = rig.coordinator->strokeStore();
    waitUntil([&] { return store.strokes().size() >= kStrokes; }, std::chrono::seconds(60));
    settle(300ms);  // anything doubled would arrive now

    std::map<std::string, int> seen;
    for (const Stroke& stroke : store.strokes())
        ++seen[stroke.id];
    int lost = 0;
    int doubled = 0;
    for (int n = 0; n < kStrokes; ++n) {
        const int count = seen["s-" + std::to_string(n)];
        lost += count == 0 ? 1 : 0;
        doubled += count > 1 ? count - 1 : 0;
    }
    std::printf("[ink] %d strokes, %d cuts: host holds %zu, lost %d, doubled %d, resent %llu\n",
                kStrokes, kCuts, store.strokes().size(), lost, doubled,
                static_cast<unsigned long long>(tablet.journal().resent()));
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(doubled, 0);
    ASSERT_EQ(store.strokes().size(), static_cast<std::size_t>(kStrokes));
    for (int n = 0; n < kStrokes; ++n) {
        ASSERT_EQ(store.strokes()[static_cast<std::size_t>(n)].id, "s-" + std::to_string(n))
            << "out of order";
    }
    EXPECT_EQ(canonicalText(store), tablet.journal().canonicalText());
    EXPECT_TRUE(store.activeStrokes().empty());
}

// A stroke drawn while the replay is awaited goes out after the missing ones; a stroke in
// flight on the new connection is not sent twice; the host's undo and clear are mirrored.
TEST(InkReconciliation, JournalKeepsDrawingOrderAndFollowsTheHostsUndoAndClear) {
    peer::InkJournal journal;
    journal.connected(false);
    for (int n = 0; n < 3; ++n) {
        for (const StrokeMessage& m : numberedStroke(n))
            journal.sent(m, true);
    }
    // The cut: s-1 and s-2 never reached the host; s-3 is drawn while away.
    for (const StrokeMessage& m : numberedStroke(3))
        journal.sent(m, false);
    journal.connected(true);
    ASSERT_TRUE(journal.awaitingReplay());
    journal.received(ClearMessage{});
    const auto replayed = numberedStroke(0);
    journal.received(StrokeMessage{replayed[0]});
    journal.received(StrokeMessage{"s-0", StrokeOp::end, "pen", "#2F8CFF", 4, {}});
    // s-4 drawn during the replay is held back (not written).
    for (const StrokeMessage& m : numberedStroke(4))
        journal.sent(m, false);
    const std::vector<StrokeMessage> again = journal.replayFinished();
    std::vector<std::string> order;
    for (const StrokeMessage& m : again) {
        if (m.op == StrokeOp::begin)
            order.push_back(m.id);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"s-1", "s-2", "s-3", "s-4"}));
    EXPECT_EQ(again.size(), 12u);
    EXPECT_FALSE(journal.awaitingReplay());

    // Written on this connection after the reconciliation: in flight, never sent again.
    for (const StrokeMessage& m : numberedStroke(5))
        journal.sent(m, true);
    journal.connected(true);
    journal.received(ClearMessage{});
    for (int n = 0; n < 5; ++n)
        journal.received(
            StrokeMessage{"s-" + std::to_string(n), StrokeOp::end, "pen", "#2F8CFF", 4, {}});
    journal.received(StrokeMessage{"s-5", StrokeOp::end, "pen", "#2F8CFF", 4, {}});
    EXPECT_TRUE(journal.replayFinished().empty());
    EXPECT_EQ(journal.strokeCount(), 6u);

    // The host undid s-5: not missing at the next resume, not in our picture.
    journal.received(UndoMessage{"s-5"});
    journal.connected(true);
    journal.received(ClearMessage{});
    EXPECT_EQ(journal.replayFinished().size(), 15u);  // s-0 … s-4 were not replayed this time
    EXPECT_EQ(journal.canonicalText().find("s-5"), std::string::npos);
    journal.received(ClearMessage{});
    EXPECT_EQ(journal.strokeCount(), 0u);
    EXPECT_TRUE(journal.canonicalText().empty());
}

// The tablet went away mid-stroke and never came back: the half stroke leaves the screen when
// the host sees the close; committed strokes stay.
TEST(InkReconciliation, AStrokeBegunAndNeverEndedDoesNotStayOnScreen) {
    SessionRig rig;
    ASSERT_TRUE(rig.signedIn && rig.listening);
    auto tablet = rig.activeTablet(rig.pairTablet().hello());
    std::vector<StrokeEvent> events;
    rig.coordinator->strokeStore().onEvent = [&](const StrokeEvent& e) { events.push_back(e); };
    for (const StrokeMessage& m : numberedStroke(1))
        tablet->send(m, WireChannel::ink);
    const auto half = numberedStroke(2);
    tablet->send(half[0], WireChannel::ink);
    tablet->send(half[1], WireChannel::ink);
    const StrokeStore& store = rig.coordinator->strokeStore();
    ASSERT_TRUE(waitUntil([&] { return store.activeStroke("s-2") != nullptr; }));
    tablet->drop();
    ASSERT_TRUE(waitUntil([&] { return !rig.coordinator->connectionState().has_value(); }));
    EXPECT_TRUE(store.activeStrokes().empty());
    ASSERT_EQ(store.strokes().size(), 1u);
    EXPECT_EQ(store.strokes()[0].id, "s-1");
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), StrokeEvent::removed("s-2"));
}

}  // namespace
}  // namespace velurio::test
