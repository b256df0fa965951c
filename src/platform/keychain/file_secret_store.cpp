#include "platform/keychain/file_secret_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

namespace velurio {

namespace {

struct Loaded {
    QJsonObject root;
    QString error;  // empty on success
};

QString systemError(const char* what) {
    return QString::fromUtf8(what) + QStringLiteral(": ") + QString::fromUtf8(std::strerror(errno));
}

// The whole file as a JSON object; a missing file is an empty object.
Loaded load(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        if (errno == ENOENT) {
            return {};
        }
        return {{}, systemError("open")};
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return {{}, QStringLiteral("not a regular file")};
    }
    if ((info.st_mode & 077) != 0) {
        // Someone widened the mode: close it again before reading anything.
        ::fchmod(fd, 0600);
    }
    QByteArray bytes;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            ::close(fd);
            return {{}, systemError("read")};
        }
        if (count == 0) {
            break;
        }
        bytes.append(buffer, static_cast<qsizetype>(count));
    }
    ::close(fd);
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        return {{}, QStringLiteral("the secrets file is damaged")};
    }
    return {document.object(), {}};
}

// Writes the object to a new file created 0600 and renames it over `path`.
QString store(const QString& path, const QJsonObject& root) {
    const QFileInfo info(path);
    const QString directory = info.absolutePath();
    if (!QDir().mkpath(directory)) {
        return QStringLiteral("cannot create ") + directory;
    }
    ::chmod(QFile::encodeName(directory).constData(), 0700);

    const QByteArray bytes = QJsonDocument(root).toJson(QJsonDocument::Compact);
    QByteArray temporary = QFile::encodeName(path) + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());  // mode 0600 whatever the umask
    if (fd < 0) {
        return systemError("mkstemp");
    }
    const char* cursor = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, cursor, static_cast<std::size_t>(left));
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            const QString error = systemError("write");
            ::close(fd);
            ::unlink(temporary.constData());
            return error;
        }
        cursor += written;
        left -= written;
    }
    if (::fchmod(fd, 0600) != 0 || ::fsync(fd) != 0) {
        const QString error = systemError("fsync");
        ::close(fd);
        ::unlink(temporary.constData());
        return error;
    }
    ::close(fd);
    if (::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0) {
        const QString error = systemError("rename");
        ::unlink(temporary.constData());
        return error;
    }
    return {};
}

// Holds an exclusive lock on "<path>.lock" while it lives, so that two processes (a second
// instance, a tool) changing different items never lose each other's update between read
// and rename. The lock file is empty and stays in place.
class WriteLock {
  public:
    explicit WriteLock(const QString& path) {
        const QFileInfo info(path);
        if (!QDir().mkpath(info.absolutePath())) {
            m_error = QStringLiteral("cannot create ") + info.absolutePath();
            return;
        }
        ::chmod(QFile::encodeName(info.absolutePath()).constData(), 0700);
        m_fd = ::open(QFile::encodeName(path + QStringLiteral(".lock")).constData(),
                      O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_fd < 0) {
            m_error = systemError("open lock");
            return;
        }
        while (::flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                m_error = systemError("flock");
                return;
            }
        }
    }
    ~WriteLock() {
        if (m_fd >= 0) {
            ::close(m_fd);  // releases the lock
        }
    }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

    const QString& error() const { return m_error; }

  private:
    int m_fd = -1;
    QString m_error;
};

}  // namespace

FileSecretStore::FileSecretStore(QString path) : m_path(std::move(path)) {}

QString FileSecretStore::defaultPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/velurio/secrets.json");
}

QCoro::Task<SecretStore::ReadResult> FileSecretStore::read(QString service, QString account) {
    const Loaded loaded = load(m_path);
    if (!loaded.error.isEmpty()) {
        co_return ReadResult{ReadStatus::failed, {}, loaded.error};
    }
    const QJsonValue value = loaded.root.value(service).toObject().value(account);
    if (!value.isString()) {
        co_return ReadResult{ReadStatus::notFound, {}, {}};
    }
    auto decoded = QByteArray::fromBase64Encoding(value.toString().toLatin1(),
                                                  QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded) {
        co_return ReadResult{ReadStatus::failed, {}, QStringLiteral("the secrets file is damaged")};
    }
    co_return ReadResult{ReadStatus::found, *decoded, {}};
}

QCoro::Task<SecretStore::WriteResult> FileSecretStore::write(QString service, QString account,
                                                             QByteArray data) {
    const WriteLock lock(m_path);
    if (!lock.error().isEmpty()) {
        co_return WriteResult{false, lock.error()};
    }
    Loaded loaded = load(m_path);
    if (!loaded.error.isEmpty()) {
        // Never overwrite a file we could not read: it may hold other secrets.
        co_return WriteResult{false, loaded.error};
    }
    QJsonObject accounts = loaded.root.value(service).toObject();
    accounts.insert(account, QString::fromLatin1(data.toBase64()));
    loaded.root.insert(service, accounts);
    const QString error = store(m_path, loaded.root);
    co_return WriteResult{error.isEmpty(), error};
}

QCoro::Task<SecretStore::WriteResult> FileSecretStore::remove(QString service, QString account) {
    const WriteLock lock(m_path);
    if (!lock.error().isEmpty()) {
        co_return WriteResult{false, lock.error()};
    }
    Loaded loaded = load(m_path);
    if (!loaded.error.isEmpty()) {
        co_return WriteResult{false, loaded.error};
    }
    QJsonObject accounts = loaded.root.value(service).toObject();
    if (!accounts.contains(account)) {
        co_return WriteResult{true, {}};
    }
    accounts.remove(account);
    if (accounts.isEmpty()) {
        loaded.root.remove(service);
    } else {
        loaded.root.insert(service, accounts);
    }
    const QString error = store(m_path, loaded.root);
    co_return WriteResult{error.isEmpty(), error};
}

QString FileSecretStore::backendName() const {
    return QStringLiteral("file");
}

}  // namespace velurio
