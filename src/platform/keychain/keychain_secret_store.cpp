#include "platform/keychain/keychain_secret_store.h"

#include <QCoroSignal>
#include <qt6keychain/keychain.h>

#include <memory>

namespace velurio {

namespace {

struct DeleteLater {
    void operator()(QObject* object) const { object->deleteLater(); }
};

template <class JobType>
std::unique_ptr<JobType, DeleteLater> makeJob(const QString& service, const QString& account) {
    std::unique_ptr<JobType, DeleteLater> job(new JobType(service));
    job->setAutoDelete(false);
    job->setInsecureFallback(false);
    job->setKey(account);
    return job;
}

// Starts the job and resumes when it has finished. The wait is armed before start(): a
// backend that fails at once still finishes through the event loop, never before we listen.
QCoro::Task<void> run(QKeychain::Job* job) {
    auto finished = qCoro(job, &QKeychain::Job::finished);
    job->start();
    co_await std::move(finished);
}

}  // namespace

QCoro::Task<SecretStore::ReadResult> KeychainSecretStore::read(QString service, QString account) {
    // Reading from a locked keyring or a closed wallet would make the backend ask the user.
    const QString obstacle = co_await secretStoreObstacle();
    if (!obstacle.isEmpty()) {
        co_return ReadResult{ReadStatus::failed, {}, obstacle};
    }
    auto job = makeJob<QKeychain::ReadPasswordJob>(service, account);
    co_await run(job.get());
    switch (job->error()) {
        case QKeychain::NoError:
            co_return ReadResult{ReadStatus::found, job->binaryData(), {}};
        case QKeychain::EntryNotFound:
            co_return ReadResult{ReadStatus::notFound, {}, {}};
        default:
            co_return ReadResult{ReadStatus::failed, {}, job->errorString()};
    }
}

QCoro::Task<SecretStore::WriteResult> KeychainSecretStore::write(QString service, QString account,
                                                                 QByteArray data) {
    // The secret service replaces an item with the same attributes in one call, so there is
    // no delete-then-add window in which the old value is gone and the new one not yet stored.
    auto job = makeJob<QKeychain::WritePasswordJob>(service, account);
    job->setBinaryData(data);
    co_await run(job.get());
    co_return WriteResult{job->error() == QKeychain::NoError, job->errorString()};
}

QCoro::Task<SecretStore::WriteResult> KeychainSecretStore::remove(QString service,
                                                                  QString account) {
    auto job = makeJob<QKeychain::DeletePasswordJob>(service, account);
    co_await run(job.get());
    const bool ok = job->error() == QKeychain::NoError || job->error() == QKeychain::EntryNotFound;
    co_return WriteResult{ok, ok ? QString() : job->errorString()};
}

QString KeychainSecretStore::backendName() const {
    return QStringLiteral("keychain");
}

}  // namespace velurio
