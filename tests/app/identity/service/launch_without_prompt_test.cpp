// Launch never shows a keyring or wallet prompt: with a keyring that has no default collection
// (storing would ask to create one) and with a closed KDE wallet (reading would ask to open
// it), the reads of launch fail at once, nothing is created, and nothing asks the user.
//
// Each case needs a session bus of its own (identity.launch_no_default_collection and
// identity.launch_closed_wallet in suite.cmake, through private_keyring.sh); elsewhere they are
// skipped. The prompter and the wallet daemon are stand-ins on that bus that record every call.
#include "app/identity/auth_store.h"
#include "app/identity/device_identity.h"
#include "app/identity/device_tls_identity.h"
#include "identity_test_support.h"
#include "platform/keychain/keychain_secret_store.h"

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QMutex>
#include <QThread>

#include <functional>
#include <optional>

namespace velurio::test {
namespace {

// A D-Bus service that records every call and answers through `answer` (an error when it
// gives nothing). It runs on a thread of its own, so that a blocking call from the main thread
// (the keychain library makes some) is answered all the same.
class RecordingService {
  public:
    using Answer = std::function<std::optional<QVariantList>(const QDBusMessage&)>;

    RecordingService(const QStringList& names, const QString& path, Answer answer)
        : m_object(this, std::move(answer)),
          m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                              QStringLiteral("recording-%1").arg(names.first()))) {
        m_object.path = path;
        m_thread.setObjectName(QStringLiteral("recording-service"));
        m_thread.start();
        m_object.moveToThread(&m_thread);
        m_bus.registerVirtualObject(path, &m_object, QDBusConnection::SubPath);
        for (const QString& name : names) {
            m_registered = m_bus.registerService(name) && m_registered;
        }
    }
    ~RecordingService() {
        m_bus.unregisterObject(m_object.path, QDBusConnection::UnregisterTree);
        QDBusConnection::disconnectFromBus(m_bus.name());
        m_thread.quit();
        m_thread.wait();
    }
    RecordingService(const RecordingService&) = delete;
    RecordingService& operator=(const RecordingService&) = delete;

    bool registered() const { return m_registered; }
    QStringList calls() const {
        QMutexLocker lock(&m_mutex);
        return m_calls;
    }

  private:
    class Object final : public QDBusVirtualObject {
      public:
        Object(RecordingService* owner, Answer answer)
            : m_owner(owner), m_answer(std::move(answer)) {}
        QString introspect(const QString&) const override { return {}; }
        bool handleMessage(const QDBusMessage& message,
                           const QDBusConnection& connection) override {
            {
                QMutexLocker lock(&m_owner->m_mutex);
                m_owner->m_calls.append(message.member());
            }
            const std::optional<QVariantList> reply = m_answer(message);
            QDBusConnection bus(connection);
            bus.send(reply ? message.createReply(*reply)
                           : message.createErrorReply(QDBusError::AccessDenied,
                                                      QStringLiteral("refused by the test")));
            return true;
        }
        QString path;

      private:
        RecordingService* m_owner;
        Answer m_answer;
    };

    mutable QMutex m_mutex;
    QStringList m_calls;
    Object m_object;
    QThread m_thread;
    QDBusConnection m_bus;
    bool m_registered = true;
};

bool runsAs(const char* mode) {
    return qEnvironmentVariable("VELURIO_PRIVATE_KEYRING") == QStringLiteral("1") &&
           qEnvironmentVariable("VELURIO_KEYRING_MODE") == QLatin1String(mode);
}

// What the identity layer does at launch: the TLS identity, the device key, the tokens.
void expectLaunchReadsFail(SecretStore& store) {
    auto identity = await(DeviceTLSIdentity::identity(store));
    ASSERT_FALSE(identity.ok());
    EXPECT_TRUE(identity.error().isKeystoreStatus(KeystoreStatus::interactionNotAllowed));
    auto key = await(DeviceIdentity::signingKey(store));
    ASSERT_FALSE(key.ok());
    EXPECT_EQ(key.error().status, KeystoreStatus::interactionNotAllowed);
    EXPECT_FALSE(await(AuthStore::load(store)).has_value());
}

TEST(LaunchWithoutPrompt, AKeyringWithoutDefaultCollectionIsNeitherReadNorGivenOne) {
    if (!runsAs("no-default-collection")) {
        GTEST_SKIP() << "runs as identity.launch_no_default_collection";
    }
    ensureApplication();
    // The keyring daemon shows its prompts through this name; here nothing may come to it.
    RecordingService prompter({QStringLiteral("org.gnome.keyring.SystemPrompter"),
                               QStringLiteral("org.gnome.keyring.PrivatePrompter")},
                              QStringLiteral("/"),
                              [](const QDBusMessage&) { return std::nullopt; });
    ASSERT_TRUE(prompter.registered());

    EXPECT_EQ(await(secretStoreObstacle()).toStdString(), "the keyring has no default collection");
    EXPECT_EQ(probeSecretService(), SecretServiceAvailability::available);
    KeychainSecretStore store;
    expectLaunchReadsFail(store);

    EXPECT_TRUE(prompter.calls().isEmpty()) << prompter.calls().join(' ').toStdString();
    const QDBusMessage alias = QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
            QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("ReadAlias"))
        << QStringLiteral("default"));
    ASSERT_EQ(alias.type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(alias.arguments().constFirst().value<QDBusObjectPath>().path(), QStringLiteral("/"));
}

TEST(LaunchWithoutPrompt, AClosedWalletIsNotOpenedAndAnOpenOneIsRead) {
    if (!runsAs("bus-only")) {
        GTEST_SKIP() << "runs as identity.launch_closed_wallet";
    }
    // A Plasma 5 session: the keychain library reads from the wallet daemon there.
    qputenv("XDG_CURRENT_DESKTOP", "KDE");
    qputenv("KDE_SESSION_VERSION", "5");
    ensureApplication();
    std::atomic<bool> walletOpen = false;
    RecordingService wallet({QStringLiteral("org.kde.kwalletd5")},
                            QStringLiteral("/modules/kwalletd5"),
                            [&walletOpen](const QDBusMessage& call) -> std::optional<QVariantList> {
                                const QString member = call.member();
                                if (member == QStringLiteral("networkWallet")) {
                                    return QVariantList{QStringLiteral("kdewallet")};
                                }
                                if (member == QStringLiteral("isOpen")) {
                                    return QVariantList{walletOpen.load()};
                                }
                                if (member == QStringLiteral("open")) {
                                    return QVariantList{7};  // a handle: the wallet is open
                                }
                                if (member == QStringLiteral("entryType")) {
                                    return QVariantList{0};  // no such entry
                                }
                                return std::nullopt;
                            });
    ASSERT_TRUE(wallet.registered());
    EXPECT_EQ(probeSecretService(), SecretServiceAvailability::available);

    // Closed: asked whether it is open, never asked to open.
    EXPECT_EQ(await(secretStoreObstacle()).toStdString(), "the wallet is closed");
    KeychainSecretStore store;
    expectLaunchReadsFail(store);
    EXPECT_TRUE(wallet.calls().contains(QStringLiteral("isOpen")));
    EXPECT_FALSE(wallet.calls().contains(QStringLiteral("open")))
        << wallet.calls().join(' ').toStdString();

    // Open (the user unlocked it in the session): reads go to it.
    walletOpen = true;
    EXPECT_FALSE(await(secretStoreIsLocked()));
    const auto read = await(store.read(QString::fromLatin1(AuthStore::kService),
                                       QString::fromLatin1(AuthStore::kAccessAccount)));
    EXPECT_EQ(read.status, SecretStore::ReadStatus::notFound) << read.error.toStdString();
    EXPECT_TRUE(wallet.calls().contains(QStringLiteral("entryType")));
}

}  // namespace
}  // namespace velurio::test
