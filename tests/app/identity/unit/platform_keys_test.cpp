// The platform's public key: no embedded key in test builds, so the tests see the fail-closed
// path and the development override.
#include "app/identity/platform_keys.h"

#include "identity_test_support.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

namespace velurio::test {
namespace {

class PlatformKeysTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ensureApplication();
        qunsetenv(PlatformKeys::kEnvironmentVariable);
    }
    void TearDown() override { qunsetenv(PlatformKeys::kEnvironmentVariable); }
    QString writeFile(const QByteArray& bytes) {
        const QString path = m_dir.path() + QStringLiteral("/key.pem");
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
        return path;
    }
    QTemporaryDir m_dir;
};

TEST_F(PlatformKeysTest, WithoutAKeyEveryLookupFailsClosed) {
    if (PlatformKeys::source() == PlatformKeys::Source::embedded) {
        GTEST_SKIP() << "this build embeds an operator key";
    }
    EXPECT_EQ(PlatformKeys::source(), PlatformKeys::Source::none);
    auto pem = PlatformKeys::publicKeyPEM();
    ASSERT_FALSE(pem.ok());
    EXPECT_EQ(pem.error().kind, ES256VerificationError::Kind::invalidKey);
    LogCapture log;
    PlatformKeys::logTrustAnchor();
    EXPECT_TRUE(log.contains(QStringLiteral("nenhuma chave pública da plataforma")));
}

TEST_F(PlatformKeysTest, DevelopmentOverrideIsUsedAndAnnounced) {
    auto key = P256PrivateKey::generate();
    const std::string expected = key->publicKey()->pem();
    qputenv(PlatformKeys::kEnvironmentVariable,
            QFile::encodeName(writeFile(QByteArray::fromStdString(expected))));
    EXPECT_EQ(PlatformKeys::source(), PlatformKeys::Source::environment);
    auto pem = PlatformKeys::publicKeyPEM();
    ASSERT_TRUE(pem.ok());
    auto parsed = ES256Verifier::p256PublicKey(pem->toStdString());
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(*parsed, *key->publicKey());
    LogCapture log;
    PlatformKeys::logTrustAnchor();
    EXPECT_TRUE(log.contains(QStringLiteral("ATENÇÃO")));
}

TEST_F(PlatformKeysTest, UnreadableOverrideDoesNotFallBack) {
    qputenv(PlatformKeys::kEnvironmentVariable,
            QFile::encodeName(m_dir.path() + QStringLiteral("/missing.pem")));
    EXPECT_EQ(PlatformKeys::publicKeyPEM().error().kind, ES256VerificationError::Kind::invalidKey);
    qputenv(PlatformKeys::kEnvironmentVariable,
            QFile::encodeName(writeFile(QByteArray("\xFF\xFE", 2))));
    EXPECT_EQ(PlatformKeys::publicKeyPEM().error().kind, ES256VerificationError::Kind::invalidKey);
}

}  // namespace
}  // namespace velurio::test
