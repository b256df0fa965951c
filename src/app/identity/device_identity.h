// The device's long-lived Ed25519 signing key, which identifies this computer to the platform.
//
// Kept in the secret store (service "com.velurio.device.ed25519", account "signing-key") as the
// 32-byte raw private key; created on first use and never rotated.
#pragma once

#include "app/identity/keystore_error.h"
#include "core/ed25519_signing_key.h"
#include "platform/keychain/secret_store.h"
#include "protocol/result.h"

#include <QCoroTask>

namespace velurio {

class DeviceIdentity {
  public:
    static constexpr const char* kService = "com.velurio.device.ed25519";
    static constexpr const char* kAccount = "signing-key";

    // The stored key; a new random key when none is stored or the stored bytes are not a key
    // (the new key replaces them). Fails, returning no key, when the new key cannot be saved,
    // and when the store cannot be read at all: replacing the key then would silently change
    // the device's identity on a passing store failure.
    static QCoro::Task<Result<Ed25519SigningKey, KeystoreError>> signingKey(SecretStore& store);

    // The public half as standard Base64 (44 characters), as the platform registers it.
    static QString publicKeyBase64(const Ed25519SigningKey& key);
};

}  // namespace velurio
