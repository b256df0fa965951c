// The error of a secret-store operation the caller must know about.
#pragma once

#include <QString>

namespace velurio {

struct KeystoreError {
    int status = 0;   // a KeystoreStatus code
    QString message;  // the backend's description, for the log (never contains a secret)
};

}  // namespace velurio
