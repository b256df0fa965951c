#include "core/self_signed_certificate.h"

#include "core/der_writer.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

namespace velurio {

namespace {

struct X509Free {
    void operator()(X509* cert) const noexcept { X509_free(cert); }
};

std::unique_ptr<X509, X509Free> parse(const Bytes& der) {
    const unsigned char* cursor = der.data();
    std::unique_ptr<X509, X509Free> cert(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    ERR_clear_error();
    if (cert && cursor != der.data() + der.size()) {
        cert.reset();  // trailing bytes: not one certificate
    }
    return cert;
}

constexpr std::string_view kECDSAWithSHA256 = "1.2.840.10045.4.3.2";

// UTCTime for 1950 to 2049, as always; from 2050 on a two-digit year would read as a century
// earlier (an identity made after 2039 would seem to have expired in the 1950s), so X.509's rule
// applies: GeneralizedTime outside that range.
Bytes certificateTime(std::chrono::system_clock::time_point time) {
    return SelfSignedCertificate::fitsUTCTime(time) ? DERWriter::utcTime(time)
                                                    : DERWriter::generalizedTime(time);
}

}  // namespace

std::optional<Certificate> Certificate::fromDER(Bytes der) {
    if (!parse(der)) {
        return std::nullopt;
    }
    return Certificate(std::move(der));
}

std::optional<Certificate> Certificate::fromPEM(std::string_view pem) {
    auto der = pemDecode("CERTIFICATE", pem);
    if (!der) {
        return std::nullopt;
    }
    return fromDER(std::move(*der));
}

std::string Certificate::pem() const {
    return pemEncode("CERTIFICATE", m_der);
}

std::optional<P256PublicKey> Certificate::publicKey() const {
    const auto cert = parse(m_der);
    if (!cert) {
        return std::nullopt;
    }
    const X509_PUBKEY* key = X509_get_X509_PUBKEY(cert.get());
    unsigned char* spki = nullptr;
    const int length = i2d_X509_PUBKEY(key, &spki);
    if (length <= 0) {
        ERR_clear_error();
        return std::nullopt;
    }
    const Bytes der(spki, spki + length);
    OPENSSL_free(spki);
    return P256PublicKey::fromSubjectPublicKeyInfo(der);
}

bool Certificate::isSignedBy(const P256PublicKey& key) const {
    const auto cert = parse(m_der);
    const bool ok = cert && X509_verify(cert.get(), key.handle()) == 1;
    ERR_clear_error();
    return ok;
}

namespace SelfSignedCertificate {

Result<KeyPair, SelfSignedCertificateError> generateKeyPair() {
    auto privateKey = P256PrivateKey::generate();
    if (!privateKey) {
        return fail(SelfSignedCertificateError{
            SelfSignedCertificateError::Kind::keyGenerationFailed, privateKey.error()});
    }
    auto publicKey = privateKey->publicKey();
    if (!publicKey) {
        return fail(SelfSignedCertificateError{
            SelfSignedCertificateError::Kind::publicKeyExportFailed, {}});
    }
    return KeyPair{std::move(*privateKey), std::move(*publicKey)};
}

Result<Bytes, SelfSignedCertificateError> der(std::string_view commonName,
                                              const P256PublicKey& publicKey,
                                              const P256PrivateKey& privateKey,
                                              std::uint64_t serial,
                                              std::chrono::system_clock::time_point notBefore,
                                              std::chrono::system_clock::time_point notAfter) {
    using namespace DERWriter;
    const Bytes point = publicKey.x963Representation();
    if (point.size() != 65) {
        return fail(SelfSignedCertificateError{
            SelfSignedCertificateError::Kind::publicKeyExportFailed, {}});
    }

    const Bytes signatureAlgorithmItems[] = {objectIdentifier(kECDSAWithSHA256)};
    const Bytes signatureAlgorithm = sequence(signatureAlgorithmItems);

    const Bytes attribute[] = {objectIdentifier("2.5.4.3"), utf8String(commonName)};
    const Bytes attributeSet[] = {sequence(attribute)};
    const Bytes rdn[] = {set(attributeSet)};
    const Bytes name = sequence(rdn);

    const Bytes validityItems[] = {certificateTime(notBefore), certificateTime(notAfter)};
    const Bytes keyAlgorithm[] = {objectIdentifier("1.2.840.10045.2.1"),
                                  objectIdentifier("1.2.840.10045.3.1.7")};
    const Bytes spki[] = {sequence(keyAlgorithm), bitString(point)};

    const Bytes emptySequence = sequence({});
    const Bytes basicConstraints[] = {objectIdentifier("2.5.29.19"), octetString(emptySequence)};
    const Bytes extensionList[] = {sequence(basicConstraints)};
    const Bytes extensions[] = {sequence(extensionList)};

    const Bytes version[] = {integer(2)};
    auto explicitVersion = contextTag(0, version);
    auto explicitExtensions = contextTag(3, extensions);
    if (!explicitVersion || !explicitExtensions) {
        return fail(
            SelfSignedCertificateError{SelfSignedCertificateError::Kind::encodingFailed, {}});
    }
    const Bytes tbsItems[] = {
        std::move(explicitVersion).value(),
        integer(serial),
        signatureAlgorithm,
        name,
        sequence(validityItems),
        name,
        sequence(spki),
        std::move(explicitExtensions).value(),
    };
    const Bytes tbs = sequence(tbsItems);

    auto signature = privateKey.signDER(tbs);
    if (!signature) {
        return fail(SelfSignedCertificateError{SelfSignedCertificateError::Kind::signingFailed,
                                               signature.error()});
    }
    const Bytes certificateItems[] = {tbs, signatureAlgorithm, bitString(*signature)};
    return sequence(certificateItems);
}

Result<Certificate, SelfSignedCertificateError> certificate(
    std::string_view commonName, const P256PublicKey& publicKey, const P256PrivateKey& privateKey,
    std::uint64_t serial, std::chrono::system_clock::time_point notBefore,
    std::chrono::seconds lifetime) {
    auto bytes = der(commonName, publicKey, privateKey, serial, notBefore, notBefore + lifetime);
    if (!bytes) {
        return fail(bytes.error());
    }
    auto parsed = Certificate::fromDER(std::move(*bytes));
    if (!parsed) {
        return fail(SelfSignedCertificateError{
            SelfSignedCertificateError::Kind::certificateImportFailed, {}});
    }
    return std::move(*parsed);
}

bool fitsUTCTime(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const year_month_day date(floor<days>(time));
    return date.year() >= year(1950) && date.year() < year(2050);
}

}  // namespace SelfSignedCertificate
}  // namespace velurio
