// P-256 (secp256r1) keys for ECDSA with SHA-256, held in memory only.
//
// Both types are immutable values that share one underlying key when copied; they never
// touch storage. Encodings: the public key as the 65-byte uncompressed point 04 ‖ X ‖ Y or as a
// DER SubjectPublicKeyInfo, the private key as unencrypted PKCS#8 (DER, or PEM
// "BEGIN PRIVATE KEY", which Qt's QSslKey and GnuTLS both load).
#pragma once

#include "protocol/result.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct evp_pkey_st;

namespace velurio {

using Bytes = std::vector<std::uint8_t>;

class P256PublicKey {
  public:
    // A DER SubjectPublicKeyInfo of an EC key on P-256; anything else (another curve, trailing
    // bytes, a point not on the curve) gives nothing.
    static std::optional<P256PublicKey> fromSubjectPublicKeyInfo(std::span<const std::uint8_t> der);
    // The uncompressed point 04 ‖ X ‖ Y (65 bytes).
    static std::optional<P256PublicKey> fromX963(std::span<const std::uint8_t> point);

    Bytes x963Representation() const;
    Bytes subjectPublicKeyInfo() const;
    // "-----BEGIN PUBLIC KEY-----" PEM text of the SubjectPublicKeyInfo.
    std::string pem() const;

    // ECDSA P-256 over SHA-256 of `message`; `signature` is the raw r ‖ s form (64 bytes) or the
    // DER form. Out-of-range r or s, or a wrong length, simply does not verify.
    bool verifyRaw(std::span<const std::uint8_t> message,
                   std::span<const std::uint8_t> signature) const;
    bool verifyDER(std::span<const std::uint8_t> message,
                   std::span<const std::uint8_t> signature) const;

    friend bool operator==(const P256PublicKey& a, const P256PublicKey& b) {
        return a.x963Representation() == b.x963Representation();
    }

    evp_pkey_st* handle() const noexcept { return m_key.get(); }

  private:
    explicit P256PublicKey(std::shared_ptr<evp_pkey_st> key) : m_key(std::move(key)) {}
    std::shared_ptr<evp_pkey_st> m_key;
    friend class P256PrivateKey;
};

class P256PrivateKey {
  public:
    // A fresh random key; the failure carries the library's description of what went wrong.
    static Result<P256PrivateKey, std::string> generate();
    // Unencrypted PKCS#8 of an EC P-256 key, as DER or as PEM "BEGIN PRIVATE KEY".
    static std::optional<P256PrivateKey> fromPKCS8(std::span<const std::uint8_t> der);
    static std::optional<P256PrivateKey> fromPEM(std::string_view pem);

    Bytes pkcs8() const;
    std::string pem() const;
    std::optional<P256PublicKey> publicKey() const;

    // ECDSA P-256 signature over SHA-256 of `message`, in DER form (SEQUENCE { r, s }) or raw
    // r ‖ s (64 bytes). The failure carries the library's description.
    Result<Bytes, std::string> signDER(std::span<const std::uint8_t> message) const;
    Result<Bytes, std::string> signRaw(std::span<const std::uint8_t> message) const;

    evp_pkey_st* handle() const noexcept { return m_key.get(); }

  private:
    explicit P256PrivateKey(std::shared_ptr<evp_pkey_st> key) : m_key(std::move(key)) {}
    std::shared_ptr<evp_pkey_st> m_key;
};

// PEM armour: "-----BEGIN <label>-----", the Base64 of `der` in 64-character lines, the end line.
std::string pemEncode(std::string_view label, std::span<const std::uint8_t> der);
// The DER inside the first PEM block with this label; whitespace and "\r" in the body are
// allowed, anything else outside the Base64 alphabet is not.
std::optional<Bytes> pemDecode(std::string_view label, std::string_view pem);

// The description of the most recent libcrypto error on this thread, or "desconhecido" when
// there is none; clears the thread's error queue.
std::string takeCryptoErrorText();

}  // namespace velurio
