#include "core/ed25519_signing_key.h"

#include <openssl/err.h>
#include <openssl/evp.h>

namespace velurio {

namespace {
struct PkeyFree {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
}  // namespace

std::optional<Ed25519SigningKey> Ed25519SigningKey::generate() {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    ERR_clear_error();
    if (key == nullptr) {
        return std::nullopt;
    }
    return Ed25519SigningKey(std::shared_ptr<EVP_PKEY>(key, PkeyFree{}));
}

std::optional<Ed25519SigningKey> Ed25519SigningKey::fromRawRepresentation(
    std::span<const std::uint8_t> raw) {
    if (raw.size() != kRawSize) {
        return std::nullopt;
    }
    EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, raw.data(), raw.size());
    ERR_clear_error();
    if (key == nullptr) {
        return std::nullopt;
    }
    return Ed25519SigningKey(std::shared_ptr<EVP_PKEY>(key, PkeyFree{}));
}

std::array<std::uint8_t, 32> Ed25519SigningKey::rawRepresentation() const {
    std::array<std::uint8_t, 32> out{};
    std::size_t length = out.size();
    EVP_PKEY_get_raw_private_key(m_key.get(), out.data(), &length);
    return out;
}

std::array<std::uint8_t, 32> Ed25519SigningKey::publicKeyRawRepresentation() const {
    std::array<std::uint8_t, 32> out{};
    std::size_t length = out.size();
    EVP_PKEY_get_raw_public_key(m_key.get(), out.data(), &length);
    return out;
}

std::array<std::uint8_t, 64> Ed25519SigningKey::sign(std::span<const std::uint8_t> message) const {
    std::array<std::uint8_t, 64> signature{};
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    std::size_t length = signature.size();
    if (ctx && EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, m_key.get()) == 1) {
        EVP_DigestSign(ctx.get(), signature.data(), &length, message.data(), message.size());
    }
    ERR_clear_error();
    return signature;
}

bool Ed25519SigningKey::verify(std::span<const std::uint8_t> publicKey,
                               std::span<const std::uint8_t> message,
                               std::span<const std::uint8_t> signature) {
    if (publicKey.size() != kRawSize) {
        return false;
    }
    std::unique_ptr<EVP_PKEY, PkeyFree> key(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()));
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    const bool ok = key && ctx &&
                    EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
                    EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), message.data(),
                                     message.size()) == 1;
    ERR_clear_error();
    return ok;
}

}  // namespace velurio
