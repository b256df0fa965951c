#include "platform/keychain/keychain_log.h"

namespace velurio {

Q_LOGGING_CATEGORY(lcKeychain, "velurio.keychain")

}  // namespace velurio
