#include "platform/keychain/secret_store.h"

namespace velurio {

// Every Mac has a login keychain.
SecretServiceAvailability probeSecretService() { return SecretServiceAvailability::available; }

}  // namespace velurio
