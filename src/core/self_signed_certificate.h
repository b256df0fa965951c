// Self-signed X.509 v3 certificates for a P-256 key, signed with ECDSA over SHA-256.
//
// The certificate is built byte by byte with DERWriter; OpenSSL only generates the key and
// signs. Layout: version 3, the given serial, ecdsa-with-SHA256 (no parameters), issuer and
// subject both CN=<commonName> as UTF8String, the validity as UTCTime (GeneralizedTime for a
// date from 2050 on, which UTCTime cannot express), the EC public key on P-256, and
// one extension: basic constraints with an empty value (not a certificate authority).
#pragma once

#include "core/p256_keys.h"
#include "protocol/result.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace velurio {

struct SelfSignedCertificateError {
    enum class Kind : std::uint8_t {
        keyGenerationFailed,  // text: the library's description, or "desconhecido"
        signingFailed,        // text as above
        publicKeyExportFailed,
        certificateImportFailed,  // the DER bytes are not accepted as a certificate
        encodingFailed,           // a value could not be DER-encoded (never with our layout)
    };
    Kind kind = Kind::keyGenerationFailed;
    std::string text;

    friend bool operator==(const SelfSignedCertificateError&,
                           const SelfSignedCertificateError&) = default;
};

// A parsed certificate: its DER bytes, known to be accepted by the X.509 parser.
class Certificate {
  public:
    // Nothing when the bytes are not one complete X.509 certificate.
    static std::optional<Certificate> fromDER(Bytes der);
    static std::optional<Certificate> fromPEM(std::string_view pem);

    const Bytes& der() const noexcept { return m_der; }
    std::string pem() const;
    // The certified key; nothing if it is not a P-256 key.
    std::optional<P256PublicKey> publicKey() const;
    // Whether the certificate's signature verifies under `key`.
    bool isSignedBy(const P256PublicKey& key) const;

    friend bool operator==(const Certificate&, const Certificate&) = default;

  private:
    explicit Certificate(Bytes der) : m_der(std::move(der)) {}
    Bytes m_der;
};

namespace SelfSignedCertificate {

struct KeyPair {
    P256PrivateKey privateKey;
    P256PublicKey publicKey;
};

// The validity every identity gets: 3,650 days.
inline constexpr std::chrono::seconds kLifetime{315'360'000};

Result<KeyPair, SelfSignedCertificateError> generateKeyPair();

Result<Bytes, SelfSignedCertificateError> der(std::string_view commonName,
                                              const P256PublicKey& publicKey,
                                              const P256PrivateKey& privateKey,
                                              std::uint64_t serial,
                                              std::chrono::system_clock::time_point notBefore,
                                              std::chrono::system_clock::time_point notAfter);

// notAfter = notBefore + lifetime.
Result<Certificate, SelfSignedCertificateError> certificate(
    std::string_view commonName, const P256PublicKey& publicKey, const P256PrivateKey& privateKey,
    std::uint64_t serial, std::chrono::system_clock::time_point notBefore,
    std::chrono::seconds lifetime);

// Whether UTCTime can express the date (1950 to 2049). Certificates switch to GeneralizedTime
// outside it; tools that promise UTCTime refuse such dates.
bool fitsUTCTime(std::chrono::system_clock::time_point time);

}  // namespace SelfSignedCertificate
}  // namespace velurio
