#include "app/identity/device_tls_identity.h"

namespace velurio {

namespace {

QString service() {
    return QString::fromLatin1(DeviceTLSIdentity::kLabel);
}

std::span<const std::uint8_t> bytesOf(const QByteArray& data) {
    return {reinterpret_cast<const std::uint8_t*>(data.constData()),
            static_cast<std::size_t>(data.size())};
}

QByteArray toByteArray(const Bytes& bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()));
}

enum class Lookup { found, missing, failed };

struct Found {
    Lookup lookup = Lookup::missing;
    std::optional<TLSIdentity> identity;
};

// Both items present, both parse, and the key is the certificate's.
QCoro::Task<Found> lookUp(SecretStore& store) {
    const auto certificate =
        co_await store.read(service(), QString::fromLatin1(DeviceTLSIdentity::kCertificateAccount));
    const auto key =
        co_await store.read(service(), QString::fromLatin1(DeviceTLSIdentity::kKeyTag));
    if (certificate.status == SecretStore::ReadStatus::failed ||
        key.status == SecretStore::ReadStatus::failed) {
        co_return Found{Lookup::failed, std::nullopt};
    }
    if (certificate.status != SecretStore::ReadStatus::found ||
        key.status != SecretStore::ReadStatus::found) {
        co_return Found{};
    }
    auto parsedCertificate = Certificate::fromDER(
        Bytes(bytesOf(certificate.data).begin(), bytesOf(certificate.data).end()));
    auto parsedKey = P256PrivateKey::fromPKCS8(bytesOf(key.data));
    if (!parsedCertificate || !parsedKey ||
        parsedCertificate->publicKey() != parsedKey->publicKey()) {
        co_return Found{};
    }
    co_return Found{Lookup::found,
                    TLSIdentity{std::move(*parsedKey), std::move(*parsedCertificate)}};
}

}  // namespace

QSslKey DeviceTLSIdentity::Identity::sslKey() const {
    return QSslKey(toByteArray(tls.privateKey.pkcs8()), QSsl::Ec, QSsl::Der, QSsl::PrivateKey);
}

QSslCertificate DeviceTLSIdentity::Identity::sslCertificate() const {
    return QSslCertificate(toByteArray(tls.certificate.der()), QSsl::Der);
}

QByteArray DeviceTLSIdentity::Identity::privateKeyPEM() const {
    return QByteArray::fromStdString(tls.privateKey.pem());
}

QByteArray DeviceTLSIdentity::Identity::certificatePEM() const {
    return QByteArray::fromStdString(tls.certificate.pem());
}

QCoro::Task<Result<DeviceTLSIdentity::Identity, TLSIdentityError>> DeviceTLSIdentity::identity(
    SecretStore& store, std::chrono::system_clock::time_point now) {
    {
        Found existing = co_await lookUp(store);
        if (existing.lookup == Lookup::found) {
            co_return Identity{std::move(*existing.identity)};
        }
        if (existing.lookup == Lookup::failed) {
            co_return fail(TLSIdentityError{KeystoreStatus::interactionNotAllowed});
        }
    }

    auto keys = SelfSignedCertificate::generateKeyPair();
    if (!keys) {
        co_return fail(TLSIdentityError{keys.error()});
    }
    auto certificate = SelfSignedCertificate::certificate(
        kCommonName, keys->publicKey, keys->privateKey, 1, now, SelfSignedCertificate::kLifetime);
    if (!certificate) {
        co_return fail(TLSIdentityError{certificate.error()});
    }

    // Certificate first; its failure is reported. The key's write status is not examined: a
    // failed key write shows as the identity missing on the read-back below.
    const auto certificateWritten = co_await store.write(
        service(), QString::fromLatin1(kCertificateAccount), toByteArray(certificate->der()));
    if (!certificateWritten.ok) {
        co_return fail(TLSIdentityError{KeystoreStatus::notAvailable});
    }
    co_await store.write(service(), QString::fromLatin1(kKeyTag),
                         toByteArray(keys->privateKey.pkcs8()));

    Found stored = co_await lookUp(store);
    if (stored.lookup != Lookup::found) {
        co_return fail(TLSIdentityError{KeystoreStatus::itemNotFound});
    }
    co_return Identity{std::move(*stored.identity)};
}

QString DeviceTLSIdentity::describe(const TLSIdentityError& error) {
    if (const int* status = std::get_if<int>(&error.error)) {
        return QStringLiteral("keystore status %1").arg(*status);
    }
    const auto& certificateError = std::get<SelfSignedCertificateError>(error.error);
    switch (certificateError.kind) {
        case SelfSignedCertificateError::Kind::keyGenerationFailed:
            return QStringLiteral("key generation failed: ") +
                   QString::fromStdString(certificateError.text);
        case SelfSignedCertificateError::Kind::signingFailed:
            return QStringLiteral("signing failed: ") +
                   QString::fromStdString(certificateError.text);
        case SelfSignedCertificateError::Kind::publicKeyExportFailed:
            return QStringLiteral("public key export failed");
        case SelfSignedCertificateError::Kind::certificateImportFailed:
            return QStringLiteral("certificate import failed");
        case SelfSignedCertificateError::Kind::encodingFailed:
            return QStringLiteral("certificate encoding failed");
    }
    return {};
}

}  // namespace velurio
