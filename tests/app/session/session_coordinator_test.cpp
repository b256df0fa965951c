#include "app/session/session_coordinator.h"

#include "platform/keychain/file_secret_store.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QSettings>
#include <QTemporaryDir>

#include <vector>

namespace velurio {
namespace {

using namespace std::chrono_literals;

class CoordinatorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto store = std::make_unique<QSettings>(m_dir.filePath(QStringLiteral("velurio.conf")),
                                                 QSettings::IniFormat);
        SessionCoordinator::Parts parts;
        parts.settings = std::make_unique<AppSettings>(std::move(store));
        parts.scheduler = &m_scheduler;
        parts.secrets =
            std::make_unique<FileSecretStore>(m_dir.filePath(QStringLiteral("secrets.json")));
        m_coordinator = std::make_unique<SessionCoordinator>(std::move(parts));
        m_coordinator->onToolbarVisibility = [this](bool visible, QScreen*) {
            m_toolbar.push_back(visible);
        };
    }
    AnnotationOverlayController& overlay() { return *m_coordinator->overlay(); }

    QTemporaryDir m_dir;
    ManualScheduler m_scheduler;
    std::unique_ptr<SessionCoordinator> m_coordinator;
    std::vector<bool> m_toolbar;
};

TEST_F(CoordinatorTest, InteractionModeFollowsTheSettings) {
    m_coordinator->bootstrap(QGuiApplication::primaryScreen());
    ASSERT_NE(m_coordinator->overlay(), nullptr);
    EXPECT_TRUE(overlay().ignoresMouseEvents());
    EXPECT_FALSE(overlay().canvas()->mouseEnabled());
    EXPECT_EQ(m_coordinator->strokeStore().overlaySize(),
              (SizeF{static_cast<double>(overlay().canvas()->width()),
                     static_cast<double>(overlay().canvas()->height())}));

    m_coordinator->toggleAnnotation();
    EXPECT_TRUE(m_coordinator->settings().annotationActive());
    EXPECT_FALSE(overlay().ignoresMouseEvents());
    EXPECT_TRUE(overlay().canvas()->mouseEnabled());

    // The toolbar shows only with annotation on and the toolbar wanted.
    m_toolbar.clear();
    m_coordinator->settings().setShowToolbar(true);
    m_coordinator->toggleAnnotation();
    ASSERT_EQ(m_toolbar.size(), 2u);
    EXPECT_TRUE(m_toolbar[0]);
    EXPECT_FALSE(m_toolbar[1]);
    EXPECT_TRUE(overlay().ignoresMouseEvents());
    EXPECT_FALSE(overlay().canvas()->mouseEnabled());

    m_coordinator->settings().setHighlightCursor(true);
    EXPECT_TRUE(overlay().highlightCursor);
    m_coordinator->settings().setHighlightCursor(false);
    EXPECT_FALSE(overlay().highlightCursor);
    EXPECT_FALSE(overlay().canvas()->cursorRing().has_value());
}

TEST_F(CoordinatorTest, StartsWithTheSavedModeAndShowsTheHintOnceForSixSeconds) {
    m_coordinator->settings().setShortcutClear({40, HotKeyDescriptor::kCommand});
    m_coordinator->settings().setAnnotationActive(true);
    m_coordinator->bootstrap(QGuiApplication::primaryScreen());
    EXPECT_TRUE(overlay().canvas()->mouseEnabled());
    EXPECT_EQ(m_coordinator->mouseHintText(),
              QStringLiteral("Ctrl+Shift+A pausa · Super+K limpa · Ctrl+Shift+S salva PNG"));
    ASSERT_NE(overlay().hintPanel(), nullptr);
    EXPECT_TRUE(m_coordinator->settings().annotationHintShown());
    m_scheduler.advance(5999ms);
    EXPECT_NE(overlay().hintPanel(), nullptr);
    m_scheduler.advance(1ms);
    EXPECT_EQ(overlay().hintPanel(), nullptr);
    m_coordinator->toggleAnnotation();
    m_coordinator->toggleAnnotation();
    EXPECT_EQ(overlay().hintPanel(), nullptr);
}

TEST_F(CoordinatorTest, ClearActionEmptiesTheStoreAndTellsThePeer) {
    m_coordinator->bootstrap(QGuiApplication::primaryScreen());
    int clears = 0;
    m_coordinator->strokeStore().onSend = [&clears](const SessionMessage& message) {
        if (message.is<ClearMessage>())
            ++clears;
    };
    StrokePoint p;
    p.x = 0.5;
    p.y = 0.5;
    const Stroke stroke = m_coordinator->strokeStore().beginLocalStroke(
        InkTool::pen, InkPalette::defaultColor(), StrokeThickness::thin, p);
    m_coordinator->strokeStore().endLocalStroke(stroke.id);
    m_coordinator->clearStrokes();
    EXPECT_TRUE(m_coordinator->strokeStore().strokes().empty());
    EXPECT_EQ(clears, 1);
}

}  // namespace
}  // namespace velurio
