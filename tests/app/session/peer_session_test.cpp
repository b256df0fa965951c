// One tablet's session: what it is told on arrival, replacement, its ink and tool changes,
// display selection, latency, video, the grace after a drop, resuming, and the platform
// session's start and end.
#include "session_test_support.h"

#include <QNetworkDatagram>

namespace velurio::test {
namespace {

StrokeMessage stroke(const std::string& id, StrokeOp op, std::vector<StrokePoint> points = {}) {
    StrokeMessage m;
    m.id = id;
    m.op = op;
    m.tool = "pen";
    m.color = "#FF4D2E";
    m.width = 4;
    m.pts = std::move(points);
    return m;
}

// Draws one committed stroke from the tablet.
void drawStroke(TestTablet& tablet, const std::string& id) {
    tablet.send(stroke(id, StrokeOp::begin, {{0.1, 0.1, 0.5, 0, 0}, {0.2, 0.3, 0.5, 0, 8}}),
                WireChannel::ink);
    tablet.send(stroke(id, StrokeOp::end, {{0.1, 0.1, 0.5, 0, 0}, {0.2, 0.3, 0.5, 0, 8}}),
                WireChannel::ink);
}

TEST(PeerSession, AnAcceptedTabletIsGreetedAndAnotherOneReplacesIt) {
    SessionRig rig;
    ASSERT_TRUE(rig.signedIn && rig.listening);
    rig.coordinator->settings().setAnnotationActive(true);
    ASSERT_TRUE(rig.coordinator->overlay()->canvas()->mouseEnabled());
    ASSERT_TRUE(rig.coordinator->mouseDrawing());
    std::vector<bool> mouseDrawing;
    QObject::connect(rig.coordinator.get(), &SessionCoordinator::mouseDrawingChanged,
                     rig.coordinator.get(), [&](bool on) { mouseDrawing.push_back(on); });
    const TabletCredentials first = rig.pairTablet();

    auto a = rig.activeTablet(first.hello("iPad de Ana"));
    // hello, capabilities, displays, in this order.
    ASSERT_TRUE(waitUntil([&] { return a->received<DisplaysMessage>().size() >= 1; }));
    const auto said = a->conversation();
    ASSERT_GE(said.size(), 3u);
    const HelloMessage* hello = said[0].get<HelloMessage>();
    ASSERT_NE(hello, nullptr);
    EXPECT_EQ(hello->v, 1);
    EXPECT_EQ(hello->role, PeerRole::mac);
    EXPECT_EQ(hello->sessionId, first.sessionId.toStdString());
    EXPECT_EQ(hello->token, first.pairingToken.toStdString());
    EXPECT_EQ(hello->deviceId,
              rig.coordinator->account().deviceId().value_or(QString()).toStdString());
    EXPECT_FALSE(hello->attestation.empty());
    EXPECT_FALSE(hello->resume);
    const CapabilitiesMessage* capabilities = said[1].get<CapabilitiesMessage>();
    ASSERT_NE(capabilities, nullptr);
    EXPECT_EQ(*capabilities, (CapabilitiesMessage{"h264", 1920, 1080, 60, false, false, 8}));
    ASSERT_TRUE(said[2].is<DisplaysMessage>());
    EXPECT_EQ(said[2].get<DisplaysMessage>()->displays.size(), 2u);

    EXPECT_EQ(rig.coordinator->connectionState(),
              (SessionCoordinator::ConnectedPeer{QStringLiteral("iPad de Ana"),
                                                 SessionServer::Transport::tcp}));
    // With a tablet the mouse does not draw, even with annotation on.
    EXPECT_FALSE(rig.coordinator->overlay()->canvas()->mouseEnabled());
    EXPECT_TRUE(rig.coordinator->overlay()->ignoresMouseEvents());
    EXPECT_FALSE(rig.coordinator->mouseDrawing());
    EXPECT_EQ(mouseDrawing, std::vector{false});

    // A second tablet is accepted: the first is told it was replaced, and its going changes
    // nothing.
    const TabletCredentials second = rig.pairTablet(QStringLiteral("iPad de Bia"));
    std::vector<SessionCoordinator::ConnectionState> states;
    QObject::connect(rig.coordinator.get(), &SessionCoordinator::connectionStateChanged,
                     rig.coordinator.get(),
                     [&](const SessionCoordinator::ConnectionState& s) { states.push_back(s); });
    auto b = rig.activeTablet(second.hello("iPad de Bia"));
    ASSERT_TRUE(waitUntil([&] { return a->disconnected; }));
    EXPECT_EQ(a->ends(), std::vector{SessionEndReason::replaced});
    settle();
    EXPECT_EQ(rig.coordinator->connectionState()->deviceName, QStringLiteral("iPad de Bia"));
    ASSERT_EQ(states.size(), 1u);
    rig.scheduler.advance(31s);  // no grace was started for the replaced tablet
    settle();
    EXPECT_EQ(rig.coordinator->connectionState()->deviceName, QStringLiteral("iPad de Bia"));
    EXPECT_TRUE(rig.coordinator->capture().isCapturing());

    // The tablet's ink is drawn; this computer's tool changes go to the tablet with the widths
    // 2, 4 and 8.
    drawStroke(*b, "i-1");
    ASSERT_TRUE(waitUntil([&] { return rig.coordinator->strokeStore().strokes().size() == 1; }));
    // ... and timed from its message to the overlay's paint.
    EXPECT_TRUE(waitUntil([&] { return rig.coordinator->inkLatency().count() >= 1; }));
    ToolbarState& tools = rig.coordinator->toolbarState();
    for (StrokeThickness thickness :
         {StrokeThickness::thin, StrokeThickness::medium, StrokeThickness::thick}) {
        tools.setTool(InkTool::marker);
        tools.setThickness(thickness);
        tools.onChanged(tools);
    }
    ASSERT_TRUE(waitUntil([&] { return b->received<ToolStateMessage>().size() == 3; }));
    const auto toolStates = b->received<ToolStateMessage>();
    EXPECT_EQ(toolStates[0], (ToolStateMessage{"marker", tools.color().hex, 2}));
    EXPECT_EQ(toolStates[1].width, 4);
    EXPECT_EQ(toolStates[2].width, 8);

    // A new slide clears the strokes (as set) and is announced with its hash.
    rig.coordinator->settings().setClearOnSlideChange(true);
    rig.coordinator->capture().onSlideChanged(0xC0FFEE);
    EXPECT_TRUE(rig.coordinator->strokeStore().strokes().empty());
    ASSERT_TRUE(waitUntil([&] { return b->received<SlideChangedMessage>().size() == 1; }));
    EXPECT_EQ(b->received<SlideChangedMessage>()[0].hash, 0xC0FFEEu);
    EXPECT_EQ(b->received<ClearMessage>(WireChannel::ink).size(), 1u);

    // When the session ends the mouse draws again.
    rig.coordinator->disconnectPeer();
    ASSERT_TRUE(waitUntil([&] { return b->disconnected; }));
    EXPECT_EQ(b->ends(), std::vector{SessionEndReason::userEnded});
    EXPECT_TRUE(rig.coordinator->overlay()->canvas()->mouseEnabled());
    EXPECT_TRUE(rig.coordinator->mouseDrawing());
    // Replacing the first tablet by the second never let the mouse draw in between.
    EXPECT_EQ(mouseDrawing, (std::vector{false, true}));
}

TEST(PeerSession, DisplaySelectionFromTheTabletAppliesKnownDisplaysInOrder) {
    SessionRig rig;
    ASSERT_TRUE(rig.signedIn && rig.listening);
    auto tablet = rig.activeTablet(rig.pairTablet().hello());
    ASSERT_TRUE(waitUntil([&] { return rig.coordinator->capture().isCapturing(); }));
    drawStroke(*tablet, "i-1");
    ASSERT_TRUE(waitUntil([&] { return rig.coordinator->strokeStore().strokes().size() == 1; }));

    // An id that is not one of the displays changes nothing.
    tablet->send(SelectDisplayMessage{77});
    settle();
    EXPECT_EQ(rig.coordinator->settings().selectedDisplayID(), std::nullopt);
    EXPECT_EQ(rig.coordinator->selectedDisplayID(), 1u);
    EXPECT_EQ(rig.coordinator->strokeStore().strokes().size(), 1u);

    const std::size_t before = tablet->received<DisplaysMessage>().size();
    tablet->send(SelectDisplayMessage{2});
    ASSERT_TRUE(waitUntil([&] { return rig.coordinator->capture().capturingDisplayID() == 2u; }));
    EXPECT_EQ(rig.coordinator->settings().selectedDisplayID(), 2u);
    // The switch cleared the strokes and told the tablet: starting, then streaming on display 2.
    EXPECT_TRUE(rig.coordinator->strokeStore().strokes().empty());
    ASSERT_TRUE(
        waitUntil([&] { return tablet->received<ClearMessage>(WireChannel::ink).size() == 1; }));
    ASSERT_TRUE(waitUntil([&] {
        const auto displays = tablet->received<DisplaysMessage>();
        return displays.size() >= before + 2 && displays.back().status == CaptureStatus::streaming;
    }));
    const auto displays = tablet->received<DisplaysMessage>();
    EXPECT_EQ(displays[before].status, CaptureStatus::starting);
    EXPECT_EQ(displays.back().selectedDisplayID, 2u);

    // Quick changes from the settings run one after another; the last one wins.
    rig.coordinator->settings().setSelectedDisplayID(1);
    rig.coordinator->settings().setSelectedDisplayID(2);
    rig.coordinator->settings().setSelectedDisplayID(1);
    ASSERT_TRUE(waitUntil([&] { return rig.coordinator->capture().capturingDisplayID() == 1u; }));
    settle();
    EXPECT_EQ(rig.coordinator->capture().capturingDisplayID(), 1u);
    EXPECT_EQ(tablet->received<DisplaysMessage>().back().selectedDisplayID, 1u);
}

TEST(PeerSession, LatencyVideoAndTheGraceAfterADropEndThePlatformSessionOnce) {
    SessionRig rig;
    ASSERT_TRUE(rig.signedIn && rig.listening);
    const TabletCredentials credentials = rig.pairTablet();
    auto tablet = rig.activeTablet(credentials.hello());
    auto video = rig.openVideo();

    // With capture running and a video path, the platform session starts over Wi-Fi.
    ASSERT_TRUE(waitUntil([&] { return rig.coordinator->platformSessionId().has_value(); }));
    const QString platformId = *rig.coordinator->platformSessionId();
    const auto starts = rig.requestsTo("POST", "/api/sessions/start");
    ASSERT_EQ(starts.size(), 1u);
    const QJsonObject start = SessionRig::bodyOf(starts[0]);
    EXPECT_EQ(start.value(QStringLiteral("transport")).toString(), QStringLiteral("wifi"));
    EXPECT_EQ(start.value(QStringLiteral("ipadDeviceId")).toString(), credentials.deviceId);
    EXPECT_EQ(start.value(QStringLiteral("pairingToken")).toString(), credentials.pairingToken);

    // Every pong: the latency text, and the bitrate from the 95th percentile (42 ms is a good
    // link: after 10 s of them the ladder steps up).
    ASSERT_TRUE(
        waitUntil([&] { return rig.coordinator->latencyText() == QStringLiteral("42 ms"); }));
    const std::int64_t bitrateBefore = rig.coordinator->capture().bitrateController().bitrate();
    rig.scheduler.advance(11s);
    ASSERT_TRUE(waitUntil(
        [&] { return rig.coordinator->capture().bitrateController().bitrate() > bitrateBefore; }));

    // Encoded video leaves one datagram per message on the video connection (after the
    // encoder's own frames, already on their way).
    rig.coordinator->capture().onDatagrams({Bytes{1, 2, 3}, Bytes{4, 5}});
    std::vector<QByteArray> got;
    ASSERT_TRUE(waitUntil([&] {
        while (video->hasPendingDatagrams())
            got.push_back(video->receiveDatagram().data());
        return got.size() >= 2 && got.back() == QByteArray("\x04\x05", 2);
    }));
    EXPECT_EQ(got[got.size() - 2], QByteArray("\x01\x02\x03", 3));

    drawStroke(*tablet, "i-1");
    drawStroke(*tablet, "i-2");
    ASSERT_TRUE(waitUntil([&] { return rig.coordinator->strokeStore().strokes().size() == 2; }));

    // The tablet drops: no peer, capture goes on for 30 s, then the session ends once.
    tablet->drop();
    ASSERT_TRUE(waitUntil([&] { return !rig.coordinator->connectionState().has_value(); }));
    EXPECT_EQ(rig.coordinator->latencyText(), SessionCoordinator::kNoLatencyText);
    rig.scheduler.advance(29'999ms);
    settle();
    EXPECT_TRUE(rig.coordinator->capture().isCapturing());
    EXPECT_TRUE(rig.requestsTo("POST", "/end").empty());
    rig.scheduler.advance(1ms);
    ASSERT_TRUE(waitUntil([&] { return !rig.coordinator->capture().isCapturing(); }));
    const auto ends = rig.requestsTo("POST", "/end");
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].value(QStringLiteral("path")).toString(),
              QStringLiteral("/api/sessions/") + platformId + QStringLiteral("/end"));
    const QJsonObject summary = SessionRig::bodyOf(ends[0]);
    EXPECT_EQ(summary.value(QStringLiteral("strokeCount")).toInt(), 2);
    EXPECT_EQ(summary.value(QStringLiteral("framesDropped")).toInt(), 0);
    // 11 s of session before the drop and 30 s of grace, on the test's clock.
    EXPECT_EQ(summary.value(QStringLiteral("durationSeconds")).toInt(), 41);
    EXPECT_EQ(summary.value(QStringLiteral("latencyP50Ms")).toInt(), 42);
    EXPECT_EQ(summary.value(QStringLiteral("latencyP95Ms")).toInt(), 42);
    EXPECT_FALSE(rig.coordinator->platformSessionId().has_value());

    rig.scheduler.advance(60s);
    settle();
    EXPECT_EQ(rig.requestsTo("POST", "/end").size(), 1u);
}

TEST(PeerSession, AResumeWithin30SecondsSkipsThePairingCheckAndGetsTheStrokesAgain) {
    SessionRig rig;
    ASSERT_TRUE(rig.signedIn && rig.listening);
    const TabletCredentials credentials = rig.pairTablet();
    auto tablet = rig.activeTablet(credentials.hello());
    drawStroke(*tablet, "i-1");
    drawStroke(*tablet, "i-2");
    ASSERT_TRUE(waitUntil([&] { return rig.coordinator->strokeStore().strokes().size() == 2; }));
    tablet->drop();
    ASSERT_TRUE(waitUntil([&] { return !rig.coordinator->connectionState().has_value(); }));
    rig.scheduler.advance(20s);

    const std::size_t validations = rig.requestsTo("POST", "/validate").size();
    rig.coordinator->capture().keyframeFlag().take();
    HelloMessage resume = credentials.hello();
    resume.resume = true;
    resume.token = "pt_no_longer_checked";
    auto back = rig.activeTablet(resume);
    EXPECT_EQ(rig.requestsTo("POST", "/validate").size(), validations);
    EXPECT_TRUE(rig.coordinator->capture().keyframeFlag().pending());
    // clear, then begin and end of each stroke with all its points, on the ink channel.
    ASSERT_TRUE(
        waitUntil([&] { return back->received<StrokeMessage>(WireChannel::ink).size() == 4; }));
    std::vector<SessionMessage> ink;
    for (std::size_t i = 0; i < back->messages.size(); ++i) {
        if (back->channels[i] == WireChannel::ink)
            ink.push_back(back->messages[i]);
    }
    ASSERT_EQ(ink.size(), 5u);
    EXPECT_TRUE(ink[0].is<ClearMessage>());
    const Stroke& first = rig.coordinator->strokeStore().strokes()[0];
    EXPECT_EQ(*ink[1].get<StrokeMessage>(), first.wireMessage(StrokeOp::begin));
    EXPECT_EQ(*ink[2].get<StrokeMessage>(), first.wireMessage(StrokeOp::end));
    EXPECT_EQ(ink[3].get<StrokeMessage>()->id, "i-2");
    EXPECT_EQ(ink[4].get<StrokeMessage>()->op, StrokeOp::end);
    rig.scheduler.advance(31s);  // the grace was cancelled
    settle();
    EXPECT_TRUE(rig.coordinator->connectionState().has_value());
    EXPECT_TRUE(rig.coordinator->capture().isCapturing());

    // Later than 30 s after the end, the same resume needs the platform, which refuses it.
    back->drop();
    ASSERT_TRUE(waitUntil([&] { return !rig.coordinator->connectionState().has_value(); }));
    rig.scheduler.advance(31s);
    auto late = rig.connectTablet();
    late->send(resume);
    ASSERT_TRUE(waitUntil([&] { return late->disconnected; }));
    EXPECT_EQ(late->ends(), std::vector{SessionEndReason::error});
}

TEST(PeerSession, AFailedPlatformEndIsLoggedAndSentAgainBeforeTheNextPairingCode) {
    SessionRig rig;
    ASSERT_TRUE(rig.signedIn && rig.listening);
    const TabletCredentials credentials = rig.pairTablet();
    auto tablet = rig.activeTablet(credentials.hello());
    auto video = rig.openVideo();
    ASSERT_TRUE(waitUntil([&] { return rig.coordinator->platformSessionId().has_value(); }));
    const QString id = *rig.coordinator->platformSessionId();

    rig.platform.respond(QStringLiteral("POST"), QStringLiteral("/api/sessions/*/end"), 503,
                         QJsonObject{{QStringLiteral("error"),
                                      QJsonObject{{QStringLiteral("code"), QStringLiteral("busy")},
                                                  {QStringLiteral("message"),
                                                   QStringLiteral("Tente mais tarde.")}}}});
    {
        LogCapture log;
        rig.coordinator->disconnectPeer();
        ASSERT_TRUE(
            waitUntil([&] { return log.lines.contains(SessionCoordinator::kEndRetryLine); }));
    }
    EXPECT_EQ(rig.coordinator->platformSessionId(), id);

    // The next end sends it again, with the same id: here the new pairing code, which first
    // ends a platform session still held without a tablet. This time the platform answers.
    EXPECT_TRUE(QCoro::waitFor(rig.coordinator->refreshPairingCode()));
    const auto ends = rig.requestsTo("POST", "/end");
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(ends[0].value(QStringLiteral("path")), ends[1].value(QStringLiteral("path")));
    EXPECT_TRUE(ends[1].value(QStringLiteral("path")).toString().contains(id));
    EXPECT_FALSE(rig.coordinator->platformSessionId().has_value());
    QStringList order;
    for (const QString& line : rig.platform.requestLines()) {
        if (line.endsWith(QStringLiteral("/end")) || line.endsWith(QStringLiteral("/codes")))
            order << line.section(QLatin1Char('/'), -1);
    }
    EXPECT_EQ(order.mid(order.size() - 2), (QStringList{"end", "codes"}));

    // Nothing is left to end at shutdown.
    bool shutDown = false;
    QCoro::connect(rig.coordinator->shutdown(), rig.coordinator.get(), [&] { shutDown = true; });
    ASSERT_TRUE(waitUntil([&] { return shutDown; }));
    EXPECT_EQ(rig.requestsTo("POST", "/end").size(), 2u);
}

TEST(PeerSession, SessionAlreadyEndedClearsThePlatformSession) {
    SessionRig rig;
    ASSERT_TRUE(rig.signedIn && rig.listening);
    auto tablet = rig.activeTablet(rig.pairTablet().hello());
    auto video = rig.openVideo();
    ASSERT_TRUE(waitUntil([&] { return rig.coordinator->platformSessionId().has_value(); }));
    rig.platform.respond(
        QStringLiteral("POST"), QStringLiteral("/api/sessions/*/end"), 409,
        QJsonObject{{QStringLiteral("error"),
                     QJsonObject{{QStringLiteral("code"), QStringLiteral("session_already_ended")},
                                 {QStringLiteral("message"), QStringLiteral("Já encerrada.")}}}});
    LogCapture log;
    rig.coordinator->disconnectPeer();
    ASSERT_TRUE(waitUntil([&] { return !rig.coordinator->platformSessionId().has_value(); }));
    EXPECT_FALSE(log.lines.contains(SessionCoordinator::kEndRetryLine));
    ASSERT_TRUE(waitUntil([&] { return !rig.coordinator->capture().isCapturing(); }));
}

TEST(PeerSession, ShutdownTellsTheTabletAndEndsThePlatformSessionOnce) {
    SessionRig rig;
    ASSERT_TRUE(rig.signedIn && rig.listening);
    auto tablet = rig.activeTablet(rig.pairTablet().hello());
    auto video = rig.openVideo();
    ASSERT_TRUE(waitUntil([&] { return rig.coordinator->platformSessionId().has_value(); }));
    int finished = 0;
    QCoro::connect(rig.coordinator->shutdown(), rig.coordinator.get(), [&] { ++finished; });
    QCoro::connect(rig.coordinator->shutdown(), rig.coordinator.get(), [&] { ++finished; });
    ASSERT_TRUE(waitUntil([&] { return finished == 2 && tablet->disconnected; }));
    EXPECT_EQ(tablet->ends(), std::vector{SessionEndReason::userEnded});
    EXPECT_FALSE(rig.coordinator->server().isRunning());
    EXPECT_FALSE(rig.coordinator->capture().isCapturing());
    settle();
    EXPECT_EQ(rig.requestsTo("POST", "/end").size(), 1u);
}

}  // namespace
}  // namespace velurio::test
