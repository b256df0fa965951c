// The logging category of the app's identity and secrets ("velurio.identity"): the device
// signing key and the platform's public key.
//
// Threads: any (QLoggingCategory is thread-safe). Lifetime: the category lives as long as the
// program.
#pragma once

#include <QLoggingCategory>

namespace velurio {

Q_DECLARE_LOGGING_CATEGORY(lcIdentity)

}  // namespace velurio
