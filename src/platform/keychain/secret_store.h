// Where the app keeps its secrets: platform tokens, the device signing key and the TLS identity.
//
// Items are byte strings addressed by (service, account), like generic passwords. Every call is
// asynchronous and completes on the thread that made it (the main thread); none ever shows a
// prompt. Secrets never pass through the log or the settings file.
#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QString>

#include <memory>

namespace velurio {

class SecretStore {
  public:
    enum class ReadStatus { found, notFound, failed };
    struct ReadResult {
        ReadStatus status = ReadStatus::failed;
        QByteArray data;  // only with `found`
        QString error;    // only with `failed`: the backend's description (never the secret)
    };
    struct WriteResult {
        bool ok = false;
        QString error;
    };

    virtual ~SecretStore() = default;

    // `failed` (never a prompt) when the store is locked.
    virtual QCoro::Task<ReadResult> read(QString service, QString account) = 0;
    // Stores `data`, replacing any previous item in one step: a failed write leaves the previous
    // value in place, never an empty slot.
    virtual QCoro::Task<WriteResult> write(QString service, QString account, QByteArray data) = 0;
    // Removes the item; removing a missing item succeeds.
    virtual QCoro::Task<WriteResult> remove(QString service, QString account) = 0;

    // For the start-up log line: which backend this is.
    virtual QString backendName() const = 0;
};

// What exists on this system to keep secrets in.
enum class SecretServiceAvailability {
    available,  // a keychain or secret service exists (possibly locked: still the one to use)
    absent,     // nothing at all: the file store is the only option
};
SecretServiceAvailability probeSecretService();

// Why the system keychain would have to ask the user something before giving out a secret or
// keeping a new one, or empty when it would not: the keyring is locked, it has no default
// collection (keeping an item would ask to create one), or the wallet is closed (reading would
// ask to open it). Asking shows nothing. Reads check this first and fail instead, so that
// nothing prompts during launch; a store whose state cannot be learnt counts as one that would
// ask. Empty when there is no session bus (nothing there could ask either).
QCoro::Task<QString> secretStoreObstacle();
// Whether secretStoreObstacle() names anything.
QCoro::Task<bool> secretStoreIsLocked();

// The store the app uses: the system keychain whenever one exists, the file store under the
// XDG data directory otherwise. Logs which one was chosen.
std::unique_ptr<SecretStore> makeSecretStore();

}  // namespace velurio
