#include "platform/keychain/secret_store.h"

namespace velurio {

// Every Mac has a login keychain.
SecretServiceAvailability probeSecretService() {
    return SecretServiceAvailability::available;
}

// The Keychain is asked with authentication UI disallowed instead.
QCoro::Task<QString> secretStoreObstacle() {
    co_return QString();
}

}  // namespace velurio
