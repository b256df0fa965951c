#include "app/identity/identity_log.h"

namespace velurio {

Q_LOGGING_CATEGORY(lcIdentity, "velurio.identity")

}  // namespace velurio
