#include "app/identity/device_identity.h"

#include "app/identity/identity_log.h"
#include "core/local_tls_identity.h"

#include <QByteArray>

namespace velurio {

QCoro::Task<Result<Ed25519SigningKey, KeystoreError>> DeviceIdentity::signingKey(
    SecretStore& store) {
    const QString service = QString::fromLatin1(kService);
    const QString account = QString::fromLatin1(kAccount);
    const auto stored = co_await store.read(service, account);
    if (stored.status == SecretStore::ReadStatus::failed) {
        co_return fail(KeystoreError{KeystoreStatus::interactionNotAllowed, stored.error});
    }
    if (stored.status == SecretStore::ReadStatus::found) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(stored.data.constData());
        if (auto key = Ed25519SigningKey::fromRawRepresentation(
                {bytes, static_cast<std::size_t>(stored.data.size())})) {
            co_return std::move(*key);
        }
        qCWarning(lcIdentity,
                  "Velurio: chave de assinatura do dispositivo inválida; uma nova será criada");
    }
    auto key = Ed25519SigningKey::generate();
    if (!key) {
        co_return fail(
            KeystoreError{KeystoreStatus::notAvailable, QStringLiteral("random generator failed")});
    }
    const auto raw = key->rawRepresentation();
    const auto written = co_await store.write(
        service, account,
        QByteArray(reinterpret_cast<const char*>(raw.data()), static_cast<qsizetype>(raw.size())));
    if (!written.ok) {
        co_return fail(KeystoreError{KeystoreStatus::notAvailable, written.error});
    }
    co_return std::move(*key);
}

QString DeviceIdentity::publicKeyBase64(const Ed25519SigningKey& key) {
    const auto raw = key.publicKeyRawRepresentation();
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(raw.data()), static_cast<qsizetype>(raw.size()))
            .toBase64());
}

}  // namespace velurio
