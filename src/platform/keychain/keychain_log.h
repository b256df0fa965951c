// The logging category of the secret store ("velurio.keychain"): which store was chosen, and
// why a keyring or wallet is treated as closed.
//
// Threads: any (QLoggingCategory is thread-safe). Lifetime: the category lives as long as the
// program.
#pragma once

#include <QLoggingCategory>

namespace velurio {

Q_DECLARE_LOGGING_CATEGORY(lcKeychain)

}  // namespace velurio
