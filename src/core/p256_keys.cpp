#include "core/p256_keys.h"

#include "core/base64.h"
#include "core/der_writer.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

namespace velurio {

namespace {

struct PkeyFree {
    void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
struct EcdsaSigFree {
    void operator()(ECDSA_SIG* sig) const noexcept { ECDSA_SIG_free(sig); }
};
struct BnFree {
    void operator()(BIGNUM* bn) const noexcept { BN_free(bn); }
};
struct Pkcs8Free {
    void operator()(PKCS8_PRIV_KEY_INFO* info) const noexcept { PKCS8_PRIV_KEY_INFO_free(info); }
};

std::shared_ptr<EVP_PKEY> share(EVP_PKEY* key) {
    return {key, PkeyFree{}};
}

bool isP256(const EVP_PKEY* key) {
    if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) {
        return false;
    }
    char name[64] = {};
    std::size_t length = 0;
    if (EVP_PKEY_get_group_name(key, name, sizeof name, &length) != 1) {
        return false;
    }
    return std::string_view(name, length) == "prime256v1";
}

const unsigned char* data(std::span<const std::uint8_t> bytes) {
    return bytes.data();
}

long lengthOf(std::span<const std::uint8_t> bytes) {
    return static_cast<long>(bytes.size());
}

// Raw r ‖ s to the DER form OpenSSL verifies; nothing for another length.
std::optional<Bytes> rawToDER(std::span<const std::uint8_t> raw) {
    if (raw.size() != 64) {
        return std::nullopt;
    }
    std::unique_ptr<ECDSA_SIG, EcdsaSigFree> sig(ECDSA_SIG_new());
    std::unique_ptr<BIGNUM, BnFree> r(BN_bin2bn(raw.data(), 32, nullptr));
    std::unique_ptr<BIGNUM, BnFree> s(BN_bin2bn(raw.data() + 32, 32, nullptr));
    if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) {
        return std::nullopt;
    }
    r.release();  // owned by sig now
    s.release();
    const int length = i2d_ECDSA_SIG(sig.get(), nullptr);
    if (length <= 0) {
        return std::nullopt;
    }
    Bytes der(static_cast<std::size_t>(length));
    unsigned char* out = der.data();
    if (i2d_ECDSA_SIG(sig.get(), &out) != length) {
        return std::nullopt;
    }
    return der;
}

}  // namespace

std::string takeCryptoErrorText() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return "desconhecido";
    }
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

std::string pemEncode(std::string_view label, std::span<const std::uint8_t> der) {
    const std::string body = Base64::encode(der);
    std::string out = "-----BEGIN " + std::string(label) + "-----\n";
    for (std::size_t i = 0; i < body.size(); i += 64) {
        out.append(body, i, 64);
        out.push_back('\n');
    }
    out += "-----END " + std::string(label) + "-----\n";
    return out;
}

std::optional<Bytes> pemDecode(std::string_view label, std::string_view pem) {
    const std::string begin = "-----BEGIN " + std::string(label) + "-----";
    const std::string end = "-----END " + std::string(label) + "-----";
    const std::size_t start = pem.find(begin);
    if (start == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t bodyStart = start + begin.size();
    const std::size_t stop = pem.find(end, bodyStart);
    if (stop == std::string_view::npos) {
        return std::nullopt;
    }
    std::string body;
    for (const char c : pem.substr(bodyStart, stop - bodyStart)) {
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') {
            body.push_back(c);
        }
    }
    return Base64::decode(body);
}

// ---- P256PublicKey ----

std::optional<P256PublicKey> P256PublicKey::fromSubjectPublicKeyInfo(
    std::span<const std::uint8_t> der) {
    const unsigned char* cursor = data(der);
    EVP_PKEY* raw = d2i_PUBKEY(nullptr, &cursor, lengthOf(der));
    auto key = share(raw);
    ERR_clear_error();
    if (!key || cursor != der.data() + der.size() || !isP256(key.get())) {
        return std::nullopt;
    }
    return P256PublicKey(std::move(key));
}

std::optional<P256PublicKey> P256PublicKey::fromX963(std::span<const std::uint8_t> point) {
    if (point.size() != 65 || point[0] != 0x04) {
        return std::nullopt;
    }
    using namespace DERWriter;
    const Bytes algorithm[] = {objectIdentifier("1.2.840.10045.2.1"),
                               objectIdentifier("1.2.840.10045.3.1.7")};
    const Bytes spki[] = {sequence(algorithm), bitString(point)};
    return fromSubjectPublicKeyInfo(sequence(spki));
}

Bytes P256PublicKey::x963Representation() const {
    unsigned char* encoded = nullptr;
    const std::size_t length = EVP_PKEY_get1_encoded_public_key(m_key.get(), &encoded);
    Bytes out(encoded, encoded + length);
    OPENSSL_free(encoded);
    return out;
}

Bytes P256PublicKey::subjectPublicKeyInfo() const {
    const int length = i2d_PUBKEY(m_key.get(), nullptr);
    if (length <= 0) {
        return {};
    }
    Bytes out(static_cast<std::size_t>(length));
    unsigned char* cursor = out.data();
    i2d_PUBKEY(m_key.get(), &cursor);
    return out;
}

std::string P256PublicKey::pem() const {
    return pemEncode("PUBLIC KEY", subjectPublicKeyInfo());
}

bool P256PublicKey::verifyDER(std::span<const std::uint8_t> message,
                              std::span<const std::uint8_t> signature) const {
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, m_key.get()) != 1) {
        ERR_clear_error();
        return false;
    }
    const int result = EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                                        message.data(), message.size());
    ERR_clear_error();
    return result == 1;
}

bool P256PublicKey::verifyRaw(std::span<const std::uint8_t> message,
                              std::span<const std::uint8_t> signature) const {
    const auto der = rawToDER(signature);
    return der && verifyDER(message, *der);
}

// ---- P256PrivateKey ----

Result<P256PrivateKey, std::string> P256PrivateKey::generate() {
    EVP_PKEY* raw = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    if (raw == nullptr) {
        return fail(takeCryptoErrorText());
    }
    return P256PrivateKey(share(raw));
}

std::optional<P256PrivateKey> P256PrivateKey::fromPKCS8(std::span<const std::uint8_t> der) {
    const unsigned char* cursor = data(der);
    std::unique_ptr<PKCS8_PRIV_KEY_INFO, Pkcs8Free> info(
        d2i_PKCS8_PRIV_KEY_INFO(nullptr, &cursor, lengthOf(der)));
    if (!info || cursor != der.data() + der.size()) {
        ERR_clear_error();
        return std::nullopt;
    }
    auto key = share(EVP_PKCS82PKEY(info.get()));
    ERR_clear_error();
    if (!key || !isP256(key.get())) {
        return std::nullopt;
    }
    return P256PrivateKey(std::move(key));
}

std::optional<P256PrivateKey> P256PrivateKey::fromPEM(std::string_view pem) {
    const auto der = pemDecode("PRIVATE KEY", pem);
    if (!der) {
        return std::nullopt;
    }
    return fromPKCS8(*der);
}

Bytes P256PrivateKey::pkcs8() const {
    std::unique_ptr<PKCS8_PRIV_KEY_INFO, Pkcs8Free> info(EVP_PKEY2PKCS8(m_key.get()));
    if (!info) {
        ERR_clear_error();
        return {};
    }
    const int length = i2d_PKCS8_PRIV_KEY_INFO(info.get(), nullptr);
    if (length <= 0) {
        return {};
    }
    Bytes out(static_cast<std::size_t>(length));
    unsigned char* cursor = out.data();
    i2d_PKCS8_PRIV_KEY_INFO(info.get(), &cursor);
    return out;
}

std::string P256PrivateKey::pem() const {
    return pemEncode("PRIVATE KEY", pkcs8());
}

std::optional<P256PublicKey> P256PrivateKey::publicKey() const {
    // Re-reading the exported SubjectPublicKeyInfo gives a key object with no private half.
    const int length = i2d_PUBKEY(m_key.get(), nullptr);
    if (length <= 0) {
        ERR_clear_error();
        return std::nullopt;
    }
    Bytes der(static_cast<std::size_t>(length));
    unsigned char* cursor = der.data();
    if (i2d_PUBKEY(m_key.get(), &cursor) != length) {
        ERR_clear_error();
        return std::nullopt;
    }
    return P256PublicKey::fromSubjectPublicKeyInfo(der);
}

Result<Bytes, std::string> P256PrivateKey::signDER(std::span<const std::uint8_t> message) const {
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    std::size_t length = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, m_key.get()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length, message.data(), message.size()) != 1) {
        return fail(takeCryptoErrorText());
    }
    Bytes signature(length);
    if (EVP_DigestSign(ctx.get(), signature.data(), &length, message.data(), message.size()) != 1) {
        return fail(takeCryptoErrorText());
    }
    signature.resize(length);
    return signature;
}

Result<Bytes, std::string> P256PrivateKey::signRaw(std::span<const std::uint8_t> message) const {
    auto der = signDER(message);
    if (!der) {
        return fail(der.error());
    }
    const unsigned char* cursor = der->data();
    std::unique_ptr<ECDSA_SIG, EcdsaSigFree> sig(d2i_ECDSA_SIG(nullptr, &cursor, lengthOf(*der)));
    if (!sig) {
        return fail(takeCryptoErrorText());
    }
    Bytes raw(64);
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), raw.data(), 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), raw.data() + 32, 32) != 32) {
        return fail(takeCryptoErrorText());
    }
    return raw;
}

}  // namespace velurio
