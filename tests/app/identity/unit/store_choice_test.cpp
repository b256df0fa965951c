// Which store the app chooses. A process sees one session bus for its whole life, so the case
// without any bus runs as its own CTest test (identity.no_secret_service in suite.cmake) with
// the bus address pointing nowhere; elsewhere this test is skipped.
#include "identity_test_support.h"
#include "platform/keychain/file_secret_store.h"

#include <gtest/gtest.h>

#include <QFile>

namespace velurio::test {
namespace {

TEST(SecretStoreChoiceWithoutBus, FallsBackToTheFileStoreAndSaysSo) {
    if (qEnvironmentVariable("VELURIO_EXPECT_NO_SECRET_SERVICE") != QStringLiteral("1")) {
        GTEST_SKIP() << "runs as identity.no_secret_service";
    }
    ensureApplication();
    EXPECT_EQ(probeSecretService(), SecretServiceAvailability::absent);
    LogCapture log;
    const auto store = makeSecretStore();
    ASSERT_EQ(store->backendName(), QStringLiteral("file"));
    EXPECT_TRUE(log.contains(QStringLiteral("nenhum serviço de segredos encontrado")));
    const QString path = static_cast<const FileSecretStore&>(*store).path();
    EXPECT_TRUE(path.startsWith(qEnvironmentVariable("XDG_DATA_HOME"))) << path.toStdString();
}

}  // namespace
}  // namespace velurio::test
