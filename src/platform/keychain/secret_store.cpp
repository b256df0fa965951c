#include "platform/keychain/secret_store.h"

#include "platform/keychain/file_secret_store.h"
#include "platform/keychain/keychain_log.h"
#include "platform/keychain/keychain_secret_store.h"

namespace velurio {

QCoro::Task<bool> secretStoreIsLocked() {
    const QString obstacle = co_await secretStoreObstacle();
    co_return !obstacle.isEmpty();
}

std::unique_ptr<SecretStore> makeSecretStore() {
    // A secret service that exists but is locked is still the one to use: falling back would
    // split the secrets between two stores and hide them from the next start.
    if (probeSecretService() == SecretServiceAvailability::available) {
        qCInfo(lcKeychain, "Velurio: segredos guardados no chaveiro do sistema");
        return std::make_unique<KeychainSecretStore>();
    }
    auto store = std::make_unique<FileSecretStore>(FileSecretStore::defaultPath());
    qCWarning(lcKeychain,
              "Velurio: nenhum serviço de segredos encontrado; segredos guardados no arquivo %s "
              "(legível apenas por este usuário)",
              qUtf8Printable(store->path()));
    return store;
}

}  // namespace velurio
