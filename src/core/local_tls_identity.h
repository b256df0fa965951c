// A TLS identity (P-256 key and self-signed certificate) kept in a key store under a
// caller-chosen label, made on first use and found again afterwards.
//
// The core does no I/O: the store is reached through TLSKeyStore, which a platform layer
// implements. Compared with the application's own device identity this maker reuses a stored
// key when only the certificate is missing, back-dates the certificate by 300 seconds to
// tolerate clock skew between peers, and asks the store to keep both items on this device
// only, readable after the first unlock.
#pragma once

#include "core/p256_keys.h"
#include "core/self_signed_certificate.h"
#include "protocol/result.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace velurio {

// Status codes of a key store, with the values of the system the identity layout comes from.
namespace KeystoreStatus {
inline constexpr int success = 0;
inline constexpr int duplicateItem = -25299;  // counts as success on an add
inline constexpr int itemNotFound = -25300;
inline constexpr int notAvailable = -25291;  // the store refused or failed a write
inline constexpr int interactionNotAllowed =
    -25308;  // the store could not be read without a prompt
}  // namespace KeystoreStatus

struct TLSIdentity {
    P256PrivateKey privateKey;
    Certificate certificate;
};

// Either a certificate error or a key-store status (never success).
struct TLSIdentityError {
    std::variant<SelfSignedCertificateError, int> error;

    bool isKeystoreStatus(int status) const {
        const int* code = std::get_if<int>(&error);
        return code != nullptr && *code == status;
    }
};

// A store of keys and certificates. Implementations keep items "after first unlock, this device
// only" where the platform knows such a class, and must never prompt the user.
class TLSKeyStore {
  public:
    virtual ~TLSKeyStore() = default;
    // The certificate stored under `label` together with the private key that matches it.
    virtual std::optional<TLSIdentity> findIdentity(std::string_view label) = 0;
    virtual std::optional<P256PrivateKey> findPrivateKey(std::string_view applicationTag) = 0;
    // Return a KeystoreStatus code.
    virtual int addPrivateKey(const P256PrivateKey& key, std::string_view label,
                              std::string_view applicationTag) = 0;
    virtual void deleteCertificates(std::string_view label) = 0;
    virtual int addCertificate(const Certificate& certificate, std::string_view label) = 0;
};

namespace LocalTLSIdentity {

inline constexpr std::chrono::seconds kBackdate{300};

// The identity stored under `label`, making and storing it when absent. `now` is injectable so
// that tests can fix the certificate's dates.
Result<TLSIdentity, TLSIdentityError> identity(TLSKeyStore& store, std::string_view label,
                                               std::string_view commonName,
                                               std::chrono::system_clock::time_point now);

}  // namespace LocalTLSIdentity
}  // namespace velurio
