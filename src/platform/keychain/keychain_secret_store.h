// SecretStore on the system keychain through QtKeychain: the Secret Service on Linux, the
// Keychain on a Mac. QtKeychain's own plaintext fallback is never enabled.
#pragma once

#include "platform/keychain/secret_store.h"

namespace velurio {

class KeychainSecretStore final : public SecretStore {
  public:
    QCoro::Task<ReadResult> read(QString service, QString account) override;
    QCoro::Task<WriteResult> write(QString service, QString account, QByteArray data) override;
    QCoro::Task<WriteResult> remove(QString service, QString account) override;
    QString backendName() const override;
};

}  // namespace velurio
