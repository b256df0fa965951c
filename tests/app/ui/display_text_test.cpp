// The pairing code, its countdown and the account initials as the tray and the windows show
// them, and the application icon resource.
#include "app/ui/display_text.h"

#include "app/ui/app_icon.h"

#include <gtest/gtest.h>

namespace velurio {
namespace {

TEST(DisplayTextTest, SixCharacterCodesAreSplitOthersShownAsTheyAre) {
    EXPECT_EQ(formatPairingCode(QStringLiteral("ABC123")), QStringLiteral("ABC 123"));
    EXPECT_EQ(formatPairingCode(QStringLiteral("123456")), QStringLiteral("123 456"));
    EXPECT_EQ(formatPairingCode(QStringLiteral("ABCDE")), QStringLiteral("ABCDE"));
    EXPECT_EQ(formatPairingCode(QStringLiteral("ABCDEFG")), QStringLiteral("ABCDEFG"));
    EXPECT_EQ(formatPairingCode(QString()), QString());
}

TEST(DisplayTextTest, CountdownTruncatesToWholeSecondsAndStopsAtZero) {
    const QDateTime now = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000, Qt::UTC);
    EXPECT_EQ(countdownText(now.addMSecs(299'700), now), QStringLiteral("4:59"));
    EXPECT_EQ(countdownText(now.addSecs(61), now), QStringLiteral("1:01"));
    EXPECT_EQ(countdownText(now.addSecs(3600), now), QStringLiteral("60:00"));
    EXPECT_EQ(countdownText(now.addMSecs(999), now), QStringLiteral("0:00"));
    EXPECT_EQ(countdownText(now, now), QStringLiteral("0:00"));
    EXPECT_EQ(countdownText(now.addSecs(-90), now), QStringLiteral("0:00"));
}

TEST(DisplayTextTest, InitialsFromTheNamePartOfTheAddress) {
    EXPECT_EQ(accountInitials(QStringLiteral("ana.souza@example.com")), QStringLiteral("AS"));
    EXPECT_EQ(accountInitials(QStringLiteral("ana.maria.souza@example.com")), QStringLiteral("AM"));
    EXPECT_EQ(accountInitials(QStringLiteral("ana@example.com")), QStringLiteral("AN"));
    EXPECT_EQ(accountInitials(QStringLiteral("a@example.com")), QStringLiteral("A"));
    // Only the part before the first "@" counts, dots of the domain never do.
    EXPECT_EQ(accountInitials(QStringLiteral("bob@mail.example.com")), QStringLiteral("BO"));
    EXPECT_EQ(accountInitials(QString()), QString());
}

TEST(DisplayTextTest, TheApplicationIconIsAResourceOf48Pixels) {
    const QPixmap icon = appIconPixmap();
    ASSERT_FALSE(icon.isNull());
    EXPECT_EQ(icon.size(), QSize(48, 48));
}

}  // namespace
}  // namespace velurio
