// The TLS identity the listeners present: a P-256 key and a self-signed certificate for
// "Velurio Mac", made once and found again in the secret store at every start.
//
// Items (service "com.velurio.device.tls"): account "certificate" holds the certificate's DER,
// account "com.velurio.device.tls.key" the private key as unencrypted PKCS#8 DER. Nothing is
// cached: every call asks the store. The identity is never renewed, whatever its dates.
#pragma once

#include "core/local_tls_identity.h"
#include "platform/keychain/secret_store.h"
#include "protocol/result.h"

#include <QByteArray>
#include <QCoroTask>
#include <QSslCertificate>
#include <QSslKey>

#include <chrono>
#include <variant>

namespace velurio {

class DeviceTLSIdentity {
  public:
    static constexpr const char* kLabel = "com.velurio.device.tls";
    static constexpr const char* kCertificateAccount = "certificate";
    static constexpr const char* kKeyTag = "com.velurio.device.tls.key";
    static constexpr const char* kCommonName = "Velurio Mac";

    struct Identity {
        TLSIdentity tls;

        // For QSslServer / QSslSocket.
        QSslKey sslKey() const;
        QSslCertificate sslCertificate() const;
        // PEM texts ("PRIVATE KEY" PKCS#8 and "CERTIFICATE") that GnuTLS loads as they are.
        QByteArray privateKeyPEM() const;
        QByteArray certificatePEM() const;
    };

    // The stored identity, or a new one (notBefore = now, 3,650 days) stored and read back.
    // Errors: a certificate error, or a KeystoreStatus code: notAvailable when the certificate
    // cannot be saved, itemNotFound when the new identity cannot be read back (a failed key
    // save shows only this way), interactionNotAllowed when the store cannot be read at all
    // (a new identity then would replace a good one on a passing failure).
    static QCoro::Task<Result<Identity, TLSIdentityError>> identity(
        SecretStore& store,
        std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

    // A human-readable description of an error, for the log.
    static QString describe(const TLSIdentityError& error);
};

}  // namespace velurio
