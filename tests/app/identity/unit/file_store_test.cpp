// The file store: the shared store contract, plus what only a file can get wrong (its mode,
// damage, leaks into the settings file or the log).
#include "platform/keychain/file_secret_store.h"
#include "store_contract_tests.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QSettings>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

namespace velurio::test {
namespace {

QTemporaryDir& storeRoot() {
    static QTemporaryDir dir;
    return dir;
}

std::unique_ptr<SecretStore> makeFileStore() {
    static int counter = 0;
    return std::make_unique<FileSecretStore>(
        storeRoot().path() + QStringLiteral("/store%1/velurio/secrets.json").arg(++counter));
}

INSTANTIATE_TEST_SUITE_P(File, StoreContract, ::testing::Values(StoreParam{"file", makeFileStore}),
                         [](const auto&) { return std::string("file"); });

mode_t modeOf(const QString& path) {
    struct stat info {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0) << path.toStdString();
    return info.st_mode & 0777;
}

class FileStore : public ::testing::Test {
  protected:
    void SetUp() override {
        ensureApplication();
        ASSERT_TRUE(m_dir.isValid());
        m_path = m_dir.path() + QStringLiteral("/data/velurio/secrets.json");
    }
    QTemporaryDir m_dir;
    QString m_path;
};

TEST_F(FileStore, FileAndDirectoryAreTheUsersAlone) {
    const mode_t previous = ::umask(0);  // the most permissive umask must not matter
    FileSecretStore store(m_path);
    ASSERT_TRUE(await(store.write(QStringLiteral("s"), QStringLiteral("a"), "secret")).ok);
    ::umask(previous);
    EXPECT_EQ(modeOf(m_path), 0600U);
    EXPECT_EQ(modeOf(QFileInfo(m_path).absolutePath()), 0700U);
    EXPECT_EQ(QDir(QFileInfo(m_path).absolutePath())
                  .entryList({QStringLiteral("*.json*")}, QDir::Files | QDir::Hidden),
              (QStringList{QStringLiteral("secrets.json"), QStringLiteral("secrets.json.lock")}))
        << "no temporary file left behind";
    EXPECT_EQ(modeOf(m_path + QStringLiteral(".lock")), 0600U);

    // A mode widened behind our back is narrowed again on the next read.
    ASSERT_EQ(::chmod(QFile::encodeName(m_path).constData(), 0644), 0);
    EXPECT_EQ(await(store.read(QStringLiteral("s"), QStringLiteral("a"))).data,
              QByteArray("secret"));
    EXPECT_EQ(modeOf(m_path), 0600U);
}

TEST_F(FileStore, DamagedFileIsReportedAndNeverOverwritten) {
    FileSecretStore store(m_path);
    ASSERT_TRUE(await(store.write(QStringLiteral("s"), QStringLiteral("a"), "secret")).ok);
    QFile file(m_path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("{\"s\":{\"a\":");  // cut short, as by a full disk in another program
    file.close();

    EXPECT_EQ(await(store.read(QStringLiteral("s"), QStringLiteral("a"))).status,
              SecretStore::ReadStatus::failed);
    EXPECT_FALSE(await(store.write(QStringLiteral("s"), QStringLiteral("b"), "other")).ok);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("{\"s\":{\"a\":"));

    // The device key is not replaced on a store that cannot be read: that would change the
    // device's identity.
    auto key = await(DeviceIdentity::signingKey(store));
    ASSERT_FALSE(key.ok());
    EXPECT_EQ(key.error().status, KeystoreStatus::interactionNotAllowed);
    auto identity = await(DeviceTLSIdentity::identity(store));
    ASSERT_FALSE(identity.ok());
    EXPECT_TRUE(identity.error().isKeystoreStatus(KeystoreStatus::interactionNotAllowed));
    // Tokens read as absent.
    EXPECT_FALSE(await(AuthStore::load(store)));
}

TEST_F(FileStore, FailedWriteKeepsTheOldValue) {
    FileSecretStore store(m_path);
    ASSERT_TRUE(await(store.write(QStringLiteral("s"), QStringLiteral("a"), "old")).ok);
    // A file-size limit makes the write fail part-way, as a full disk would (and, unlike
    // permissions, it also stops root).
    struct rlimit previous {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = previous;
    small.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto result =
        await(store.write(QStringLiteral("s"), QStringLiteral("a"), QByteArray(4096, 'n')));
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(result.ok);
    EXPECT_EQ(await(store.read(QStringLiteral("s"), QStringLiteral("a"))).data, QByteArray("old"));
    EXPECT_EQ(QDir(QFileInfo(m_path).absolutePath())
                  .entryList({QStringLiteral("*.json*")}, QDir::Files | QDir::Hidden),
              (QStringList{QStringLiteral("secrets.json"), QStringLiteral("secrets.json.lock")}))
        << "the partial file is removed";
}

TEST_F(FileStore, ConcurrentWritersInTwoProcessesKeepEveryItem) {
    constexpr int kItems = 40;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    const QString account = child == 0 ? QStringLiteral("child-%1") : QStringLiteral("parent-%1");
    {
        FileSecretStore store(m_path);
        for (int i = 0; i < kItems; ++i) {
            // Without the lock both read the same old file and the later rename drops items.
            if (!await(store.write(QStringLiteral("s"), account.arg(i), QByteArray::number(i)))
                     .ok &&
                child == 0) {
                ::_exit(1);
            }
        }
    }
    if (child == 0) {
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    FileSecretStore store(m_path);
    for (int i = 0; i < kItems; ++i) {
        EXPECT_EQ(await(store.read(QStringLiteral("s"), QStringLiteral("child-%1").arg(i))).data,
                  QByteArray::number(i));
        EXPECT_EQ(await(store.read(QStringLiteral("s"), QStringLiteral("parent-%1").arg(i))).data,
                  QByteArray::number(i));
    }
}

TEST_F(FileStore, TokensNeverReachTheSettingsFileOrTheLog) {
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=true"));
    LogCapture log;
    QSettings::setDefaultFormat(QSettings::IniFormat);
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope,
                       m_dir.path() + QStringLiteral("/config"));
    {
        QSettings settings(QStringLiteral("Velurio"), QStringLiteral("Velurio"));
        settings.setValue(QStringLiteral("velurio.deviceId"), QStringLiteral("device-1"));
    }

    FileSecretStore store(m_path);
    const AuthStore::Tokens tokens{QStringLiteral("access-SECRET-4f1e"),
                                   QStringLiteral("refresh-SECRET-9a2b")};
    await(AuthStore::save(store, tokens));
    ASSERT_EQ(await(AuthStore::load(store)), tokens);
    // A store that fails must not print what it was given either.
    ASSERT_EQ(::chmod(QFile::encodeName(QFileInfo(m_path).absolutePath()).constData(), 0500), 0);
    await(AuthStore::save(store, tokens));
    ::chmod(QFile::encodeName(QFileInfo(m_path).absolutePath()).constData(), 0700);
    await(AuthStore::clear(store));

    QSettings settings(QStringLiteral("Velurio"), QStringLiteral("Velurio"));
    settings.sync();
    QFile settingsFile(settings.fileName());
    ASSERT_TRUE(settingsFile.open(QIODevice::ReadOnly)) << settings.fileName().toStdString();
    const QByteArray settingsText = settingsFile.readAll();
    EXPECT_TRUE(settingsText.contains("device-1"));
    EXPECT_FALSE(settingsText.contains("SECRET"));
    EXPECT_FALSE(log.contains(QStringLiteral("SECRET")));
    QLoggingCategory::setFilterRules(QString());
}

}  // namespace
}  // namespace velurio::test
