// A locked keyring: reads fail at once instead of prompting, nothing is replaced, and the
// keyring is still the store chosen (falling back would split the secrets between two
// stores). Locking cannot be undone without a prompt, so this runs as its own CTest test
// (identity.locked_keychain) on a private bus and keyring; elsewhere it is skipped.
#include "app/identity/auth_store.h"
#include "app/identity/device_identity.h"
#include "app/identity/device_tls_identity.h"
#include "identity_test_support.h"
#include "platform/keychain/keychain_secret_store.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>

namespace velurio::test {
namespace {

TEST(LockedKeychain, ReadsFailWithoutPromptAndNothingIsReplaced) {
    if (qEnvironmentVariable("VELURIO_PRIVATE_KEYRING") != QStringLiteral("1")) {
        GTEST_SKIP() << "runs as identity.locked_keychain";
    }
    ensureApplication();
    KeychainSecretStore store;
    await(AuthStore::save(store, {QStringLiteral("access-1"), QStringLiteral("refresh-1")}));
    auto key = await(DeviceIdentity::signingKey(store));
    ASSERT_TRUE(key.ok());
    ASSERT_TRUE(await(DeviceTLSIdentity::identity(store)).ok());
    ASSERT_FALSE(await(secretStoreIsLocked()));

    QDBusMessage lock = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
        QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("Lock"));
    lock << QVariant::fromValue(QList<QDBusObjectPath>{
        QDBusObjectPath(QStringLiteral("/org/freedesktop/secrets/aliases/default"))});
    const QDBusMessage reply = QDBusConnection::sessionBus().call(lock);
    ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    ASSERT_TRUE(await(secretStoreIsLocked()));

    const auto read = await(store.read(QString::fromLatin1(AuthStore::kService),
                                       QString::fromLatin1(AuthStore::kAccessAccount)));
    EXPECT_EQ(read.status, SecretStore::ReadStatus::failed);
    EXPECT_FALSE(await(AuthStore::load(store)));
    auto lockedKey = await(DeviceIdentity::signingKey(store));
    ASSERT_FALSE(lockedKey.ok());
    EXPECT_EQ(lockedKey.error().status, KeystoreStatus::interactionNotAllowed);
    auto lockedIdentity = await(DeviceTLSIdentity::identity(store));
    ASSERT_FALSE(lockedIdentity.ok());
    EXPECT_TRUE(lockedIdentity.error().isKeystoreStatus(KeystoreStatus::interactionNotAllowed));

    EXPECT_EQ(probeSecretService(), SecretServiceAvailability::available);
    EXPECT_EQ(makeSecretStore()->backendName(), QStringLiteral("keychain"));
}

}  // namespace
}  // namespace velurio::test
