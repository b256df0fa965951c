#include "core/local_tls_identity.h"

namespace velurio::LocalTLSIdentity {

namespace {
bool added(int status) {
    return status == KeystoreStatus::success || status == KeystoreStatus::duplicateItem;
}
}  // namespace

Result<TLSIdentity, TLSIdentityError> identity(TLSKeyStore& store, std::string_view label,
                                               std::string_view commonName,
                                               std::chrono::system_clock::time_point now) {
    if (auto existing = store.findIdentity(label)) {
        return std::move(*existing);
    }

    // The label doubles as the key's application tag.
    std::optional<P256PrivateKey> key = store.findPrivateKey(label);
    if (!key) {
        auto generated = SelfSignedCertificate::generateKeyPair();
        if (!generated) {
            return fail(TLSIdentityError{generated.error()});
        }
        const int status = store.addPrivateKey(generated->privateKey, label, label);
        if (!added(status)) {
            return fail(TLSIdentityError{status});
        }
        key = store.findPrivateKey(label);
        if (!key) {
            return fail(TLSIdentityError{
                status == KeystoreStatus::success ? KeystoreStatus::itemNotFound : status});
        }
    }

    const auto publicKey = key->publicKey();
    if (!publicKey) {
        return fail(TLSIdentityError{SelfSignedCertificateError{
            SelfSignedCertificateError::Kind::publicKeyExportFailed, {}}});
    }
    const auto notBefore = now - kBackdate;
    auto certificate = SelfSignedCertificate::certificate(
        commonName, *publicKey, *key, 1, notBefore, SelfSignedCertificate::kLifetime);
    if (!certificate) {
        return fail(TLSIdentityError{certificate.error()});
    }

    store.deleteCertificates(label);
    const int status = store.addCertificate(*certificate, label);
    if (!added(status)) {
        return fail(TLSIdentityError{status});
    }
    if (auto stored = store.findIdentity(label)) {
        return std::move(*stored);
    }
    return fail(TLSIdentityError{KeystoreStatus::itemNotFound});
}

}  // namespace velurio::LocalTLSIdentity
