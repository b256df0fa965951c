// SecretStore in one file readable by the user alone, for systems with no secret service at all.
//
// The file (mode 0600, in a 0700 directory) holds a JSON object of services, each an object of
// accounts with Base64 values. Every write builds the whole new file beside the old one and
// renames it over, so a crash or a full disk leaves either the old file or the new one, under
// an advisory lock ("<file>.lock") so that concurrent writers in several processes never lose
// each other's items. The
// secrets are only as safe as the user's account: the log says so when this store is chosen.
#pragma once

#include "platform/keychain/secret_store.h"

namespace velurio {

class FileSecretStore final : public SecretStore {
  public:
    // `path`: the file; its directory is created (0700) on the first write.
    explicit FileSecretStore(QString path);

    // $XDG_DATA_HOME/velurio/secrets.json (~/.local/share/velurio/secrets.json).
    static QString defaultPath();

    QCoro::Task<ReadResult> read(QString service, QString account) override;
    QCoro::Task<WriteResult> write(QString service, QString account, QByteArray data) override;
    QCoro::Task<WriteResult> remove(QString service, QString account) override;
    QString backendName() const override;

    const QString& path() const noexcept { return m_path; }

  private:
    QString m_path;
};

}  // namespace velurio
