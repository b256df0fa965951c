// Verification and creation of compact JSON Web Tokens signed with ES256 (ECDSA on P-256 with
// SHA-256, signature as raw r ‖ s).
//
// Verification order, which decides which error a bad token gets: three segments; each
// segment base64url-decodes; the header is a JSON object with a string "alg" equal to "ES256";
// the signature is 64 bytes and verifies over the first two segments exactly as transmitted;
// the payload is a JSON object; a numeric "exp" must be later than now. No other claim and no
// other header field is looked at.
#pragma once

#include "core/p256_keys.h"
#include "protocol/result.h"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velurio {

// A decoded JSON value. Numbers keep the form they were written in: an integer that fits 64
// bits stays an integer, anything else is a double.
struct JSONValue {
    using Array = std::vector<JSONValue>;
    using Object = std::map<std::string, JSONValue>;
    std::variant<std::nullptr_t, bool, std::int64_t, std::uint64_t, double, std::string,
                 std::shared_ptr<const Array>, std::shared_ptr<const Object>>
        value;

    bool isNumber() const noexcept;
    // Compact JSON text (keys in sorted order, strings escaped, numbers shortest round-trip).
    std::string serialized() const;
};
using JSONObject = JSONValue::Object;

struct ES256VerificationError {
    enum class Kind : std::uint8_t {
        unsupportedAlgorithm,  // "alg" is a string other than "ES256"; `algorithm` holds it
        malformed,  // segments, base64url, header without string "alg", payload not an object
        invalidSignature,        // the signature does not verify
        expired,                 // numeric "exp" not later than now
        invalidKey,              // the PEM text does not give a P-256 public key
        invalidJSON,             // a decoded header or payload is not JSON text at all
        invalidSignatureLength,  // the signature is not 64 bytes (a DER signature, say)
    };
    Kind kind = Kind::malformed;
    std::string algorithm;

    friend bool operator==(const ES256VerificationError&, const ES256VerificationError&) = default;
};

namespace ES256Verifier {

// PEM text of a SubjectPublicKeyInfo for a P-256 key. The armour lines are removed wherever
// they occur and every whitespace character is dropped (so Windows line endings or a body on
// one line give the same key); the rest must be strict standard Base64.
Result<P256PublicKey, ES256VerificationError> p256PublicKey(std::string_view pem);

// Verifies `token` at `nowUnixSeconds` (seconds since 1970, fractions compared exactly) and
// returns the payload's claims.
Result<JSONObject, ES256VerificationError> verify(std::string_view token,
                                                  const P256PublicKey& publicKey,
                                                  double nowUnixSeconds);

// base64url as tokens use it: "-" and "_" stand for "+" and "/", missing "=" padding is
// restored (a length of 1 modulo 4 cannot be), then strict standard Base64.
std::optional<Bytes> base64URLDecode(std::string_view text);

}  // namespace ES256Verifier

namespace ES256Signer {

// A compact token: base64url(headerJSON).base64url(payloadJSON).base64url(r ‖ s). The texts
// are signed as given; the default header is {"alg":"ES256","typ":"JWT"}.
Result<std::string, std::string> sign(
    std::string_view payloadJSON, const P256PrivateKey& privateKey,
    std::string_view headerJSON = R"({"alg":"ES256","typ":"JWT"})");

}  // namespace ES256Signer
}  // namespace velurio
