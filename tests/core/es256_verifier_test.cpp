// ES256 token verification: every failure mode and the order in which they are decided,
// Wycheproof vectors, and tokens from an independent implementation (python3-jwt).
#include "core/es256_verifier.h"

#include "core/base64.h"

#include <gtest/gtest.h>

#include <simdjson.h>

#include <array>
#include <cstdio>
#include <sstream>
#include <string>

namespace velurio {
namespace {

using Kind = ES256VerificationError::Kind;

constexpr double kNow = 1'800'000'000.0;

std::span<const std::uint8_t> bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::string b64url(std::string_view text) {
    return Base64::encodeURL(bytesOf(text));
}

Bytes fromHex(std::string_view hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(
            static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

class ES256Test : public ::testing::Test {
  protected:
    void SetUp() override {
        auto key = P256PrivateKey::generate();
        ASSERT_TRUE(key.ok());
        m_private = std::move(*key);
        m_public = *m_private->publicKey();
    }

    std::string sign(std::string_view payload,
                     std::string_view header = R"({"alg":"ES256"})") const {
        auto token = ES256Signer::sign(payload, *m_private, header);
        EXPECT_TRUE(token.ok());
        return *token;
    }

    // A token whose signature segment is `signature` over the given header and payload texts.
    static std::string withSignature(std::string_view header, std::string_view payload,
                                     const Bytes& signature) {
        return b64url(header) + "." + b64url(payload) + "." + Base64::encodeURL(signature);
    }

    Kind failure(const std::string& token, double now = kNow) const {
        auto result = ES256Verifier::verify(token, *m_public, now);
        EXPECT_FALSE(result.ok()) << token;
        return result.ok() ? Kind::malformed : result.error().kind;
    }

    std::optional<P256PrivateKey> m_private;
    std::optional<P256PublicKey> m_public;
};

TEST_F(ES256Test, ValidTokenGivesItsClaims) {
    auto claims = ES256Verifier::verify(
        sign(R"({"sub":"ipad-1","exp":1800000001,"n":[1,2.5,null,true]})"), *m_public, kNow);
    ASSERT_TRUE(claims.ok());
    EXPECT_EQ(std::get<std::string>(claims->at("sub").value), "ipad-1");
    EXPECT_EQ(JSONValue{std::make_shared<const JSONObject>(*claims)}.serialized(),
              R"({"exp":1800000001,"n":[1,2.5,null,true],"sub":"ipad-1"})");
}

TEST_F(ES256Test, SegmentCountAndEncoding) {
    const std::string good = sign("{}");
    EXPECT_EQ(failure(good + ".x"), Kind::malformed);
    EXPECT_EQ(failure(good.substr(0, good.rfind('.'))), Kind::malformed);
    EXPECT_EQ(failure(""), Kind::malformed);
    EXPECT_EQ(failure(".."), Kind::invalidJSON);  // three empty segments decode; "" is not JSON
    // A header segment of one character has remainder 1 after padding.
    EXPECT_EQ(failure("e" + good.substr(good.find('.'))), Kind::malformed);
    EXPECT_EQ(failure(good.substr(0, 3) + "*" + good.substr(4)), Kind::malformed);
    EXPECT_EQ(failure(good.substr(0, 3) + " " + good.substr(4)), Kind::malformed);
    EXPECT_EQ(failure(good + "\n"), Kind::malformed);
}

TEST_F(ES256Test, HeaderIsJudgedBeforeTheSignature) {
    const Bytes garbage(64, 0x11);
    EXPECT_EQ(ES256Verifier::verify(withSignature(R"({"alg":"none"})", "{}", {}), *m_public, kNow)
                  .error(),
              (ES256VerificationError{Kind::unsupportedAlgorithm, "none"}));
    EXPECT_EQ(
        ES256Verifier::verify(withSignature(R"({"alg":"HS256"})", "{}", garbage), *m_public, kNow)
            .error(),
        (ES256VerificationError{Kind::unsupportedAlgorithm, "HS256"}));
    EXPECT_EQ(ES256Verifier::verify(sign("{}", R"({"alg":"ES384"})"), *m_public, kNow).error(),
              (ES256VerificationError{Kind::unsupportedAlgorithm, "ES384"}));
    EXPECT_EQ(
        ES256Verifier::verify(sign("{}", R"({"alg":"es256"})"), *m_public, kNow).error().algorithm,
        "es256");
    EXPECT_EQ(failure(withSignature(R"({"typ":"JWT"})", "{}", garbage)), Kind::malformed);
    EXPECT_EQ(failure(withSignature(R"({"alg":256})", "{}", garbage)), Kind::malformed);
    EXPECT_EQ(failure(withSignature(R"(["alg","ES256"])", "{}", garbage)), Kind::malformed);
    EXPECT_EQ(failure(withSignature(R"("ES256")", "{}", garbage)), Kind::invalidJSON);
    EXPECT_EQ(failure(withSignature(R"({"alg":"ES256")", "{}", garbage)), Kind::invalidJSON);
}

TEST_F(ES256Test, PayloadIsJudgedAfterTheSignature) {
    const Bytes garbage(64, 0x11);
    EXPECT_EQ(failure(withSignature(R"({"alg":"ES256"})", "not json", garbage)),
              Kind::invalidSignature);
    EXPECT_EQ(failure(sign("not json")), Kind::invalidJSON);
    EXPECT_EQ(failure(sign("[1,2]")), Kind::malformed);
    EXPECT_EQ(failure(sign("{\"exp\":1}{")), Kind::invalidJSON);
}

TEST_F(ES256Test, SegmentsAreVerifiedAsTransmitted) {
    const std::string token = sign(R"({"a":1})");
    const std::string payload = b64url(R"({ "a":1})");  // same JSON, different bytes
    const std::size_t first = token.find('.');
    const std::size_t second = token.find('.', first + 1);
    EXPECT_EQ(failure(token.substr(0, first + 1) + payload + token.substr(second)),
              Kind::invalidSignature);
    const std::string header = b64url(R"({"alg":"ES256" })");
    EXPECT_EQ(failure(header + token.substr(first)), Kind::invalidSignature);
}

TEST_F(ES256Test, SignaturesOutsideTheValidRangeNeverVerify) {
    const std::string header = R"({"alg":"ES256"})";
    const Bytes order = fromHex("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");
    const std::string token = sign("{}");
    const auto real = ES256Verifier::base64URLDecode(token.substr(token.rfind('.') + 1));
    ASSERT_TRUE(real && real->size() == 64);
    const Bytes r(real->begin(), real->begin() + 32);
    const Bytes s(real->begin() + 32, real->end());
    const Bytes zero(32, 0);
    auto concat = [](const Bytes& a, const Bytes& b) {
        Bytes out = a;
        out.insert(out.end(), b.begin(), b.end());
        return out;
    };
    for (const Bytes& signature : {concat(zero, s), concat(r, zero), concat(zero, zero),
                                   concat(order, s), concat(r, order), Bytes(64, 0xFF)}) {
        EXPECT_EQ(failure(withSignature(header, "{}", signature)), Kind::invalidSignature);
    }
    // The same signature in DER form (SEQUENCE { r, s }) is not accepted.
    auto der = m_private->signDER(bytesOf(b64url(header) + "." + b64url("{}")));
    ASSERT_TRUE(der.ok());
    EXPECT_EQ(failure(withSignature(header, "{}", *der)), Kind::invalidSignatureLength);
    EXPECT_EQ(failure(withSignature(header, "{}", Bytes(63, 1))), Kind::invalidSignatureLength);
    EXPECT_EQ(failure(withSignature(header, "{}", {})), Kind::invalidSignatureLength);
    // A signature by another key.
    auto other = P256PrivateKey::generate();
    EXPECT_EQ(failure(*ES256Signer::sign("{}", *other, header)), Kind::invalidSignature);
}

TEST_F(ES256Test, ExpiryIsExactWithoutLeeway) {
    EXPECT_EQ(failure(sign(R"({"exp":1800000000})")), Kind::expired);
    EXPECT_TRUE(ES256Verifier::verify(sign(R"({"exp":1800000001})"), *m_public, kNow).ok());
    EXPECT_EQ(failure(sign(R"({"exp":1800000000.25})"), 1'800'000'000.25), Kind::expired);
    EXPECT_TRUE(
        ES256Verifier::verify(sign(R"({"exp":1800000000.25})"), *m_public, 1'800'000'000.125).ok());
    // Integer exp against a fractional now.
    EXPECT_TRUE(
        ES256Verifier::verify(sign(R"({"exp":1800000000})"), *m_public, 1'799'999'999.999).ok());
    EXPECT_EQ(failure(sign(R"({"exp":1800000000})"), 1'800'000'000.001), Kind::expired);
    EXPECT_EQ(failure(sign(R"({"exp":-1})")), Kind::expired);
    EXPECT_EQ(failure(sign(R"({"exp":1.8e9})")), Kind::expired);
    EXPECT_TRUE(
        ES256Verifier::verify(sign(R"({"exp":18446744073709551615})"), *m_public, kNow).ok());
    // Only a number is checked.
    EXPECT_TRUE(ES256Verifier::verify(sign(R"({"exp":"1"})"), *m_public, kNow).ok());
    EXPECT_TRUE(ES256Verifier::verify(sign(R"({"exp":null})"), *m_public, kNow).ok());
    EXPECT_TRUE(ES256Verifier::verify(sign(R"({"nbf":9999999999,"iat":0})"), *m_public, kNow).ok());
}

TEST(ES256Base64URL, PaddingRule) {
    EXPECT_EQ(ES256Verifier::base64URLDecode("QQ"), (Bytes{'A'}));              // remainder 2
    EXPECT_EQ(ES256Verifier::base64URLDecode("QUI"), (Bytes{'A', 'B'}));        // remainder 3
    EXPECT_EQ(ES256Verifier::base64URLDecode("QUJD"), (Bytes{'A', 'B', 'C'}));  // remainder 0
    EXPECT_FALSE(ES256Verifier::base64URLDecode("QUJDR"));                      // remainder 1
    EXPECT_EQ(ES256Verifier::base64URLDecode("-_8"), (Bytes{0xFB, 0xFF}));
    EXPECT_EQ(ES256Verifier::base64URLDecode(""), Bytes{});
    EXPECT_FALSE(ES256Verifier::base64URLDecode("QU J"));
    EXPECT_FALSE(ES256Verifier::base64URLDecode("Q=UJ"));
    EXPECT_FALSE(ES256Verifier::base64URLDecode("QR"));  // non-zero unused bits
}

TEST(ES256PublicKey, PEMSpellingsGiveTheSameKey) {
    auto key = P256PrivateKey::generate();
    const P256PublicKey expected = *key->publicKey();
    const std::string pem = expected.pem();
    std::string crlf;
    for (const char c : pem) {
        if (c == '\n') {
            crlf += "\r\n";
        } else {
            crlf.push_back(c);
        }
    }
    const std::string body = Base64::encode(expected.subjectPublicKeyInfo());
    for (const std::string& text :
         {pem, crlf, "-----BEGIN PUBLIC KEY-----" + body + "-----END PUBLIC KEY-----", body,
          "  \t" + pem + "\n\n"}) {
        auto parsed = ES256Verifier::p256PublicKey(text);
        ASSERT_TRUE(parsed.ok()) << text;
        EXPECT_EQ(*parsed, expected);
    }
}

TEST(ES256PublicKey, AnythingButAP256KeyIsInvalid) {
    auto key = P256PrivateKey::generate();
    const std::string pem = key->publicKey()->pem();
    const std::string body = Base64::encode(key->publicKey()->subjectPublicKeyInfo());
    // A P-384 key, fixed text.
    const std::string p384 =
        "-----BEGIN PUBLIC KEY-----\n"
        "MHYwEAYHKoZIzj0CAQYFK4EEACIDYgAEvz7+2eTnYEOMgqFAwW1dVmqErFbC5wZb\n"
        "Gs3ap2S0x9u/8x6HAukw9APt3uqvyjT66kGT6PEmS0ZWBzP4SohC+yr8UfnxA/ar\n"
        "R5JlxU5FEGuq2yjRR9wX/XNxeSdNtR0l\n"
        "-----END PUBLIC KEY-----\n";
    for (const std::string& text :
         {std::string(), std::string("-----BEGIN PUBLIC KEY----------END PUBLIC KEY-----"),
          body.substr(0, body.size() - 4), body + "AAAA", "!" + body, key->pem(), p384}) {
        auto parsed = ES256Verifier::p256PublicKey(text);
        ASSERT_FALSE(parsed.ok()) << text;
        EXPECT_EQ(parsed.error().kind, Kind::invalidKey);
    }
    // A point that is not on the curve.
    Bytes point = key->publicKey()->x963Representation();
    point[64] ^= 1;
    EXPECT_FALSE(P256PublicKey::fromX963(point));
}

// ---- Wycheproof ----

simdjson::dom::element loadVectors(simdjson::dom::parser& parser, const std::string& name) {
    const std::string path = std::string(VELURIO_SHARED_DIR) + "/testdata/wycheproof/" + name;
    simdjson::dom::element root;
    EXPECT_EQ(parser.load(path).get(root), simdjson::SUCCESS) << path;
    return root;
}

TEST(ES256Wycheproof, RawSignatureVectors) {
    simdjson::dom::parser parser;
    const auto root = loadVectors(parser, "ecdsa_secp256r1_sha256_p1363_test.json");
    int checked = 0;
    for (const auto group : root["testGroups"].get_array()) {
        const auto key =
            P256PublicKey::fromX963(fromHex(std::string_view(group["publicKey"]["uncompressed"])));
        ASSERT_TRUE(key);
        for (const auto test : group["tests"].get_array()) {
            const std::string_view result = test["result"];
            if (result == "acceptable") {
                continue;
            }
            const Bytes message = fromHex(std::string_view(test["msg"]));
            const Bytes signature = fromHex(std::string_view(test["sig"]));
            EXPECT_EQ(key->verifyRaw(message, signature), result == "valid")
                << "tcId " << int64_t(test["tcId"]);
            ++checked;
        }
    }
    EXPECT_GT(checked, 200);
}

TEST(ES256Wycheproof, CompactTokens) {
    simdjson::dom::parser parser;
    const auto root = loadVectors(parser, "json_web_signature_test.json");
    int checked = 0;
    for (const auto group : root["testGroups"].get_array()) {
        simdjson::dom::object jwk;
        if (group["public"].get(jwk) != simdjson::SUCCESS) {
            continue;
        }
        std::string_view kty, crv, use = "sig";
        if (jwk["kty"].get(kty) != simdjson::SUCCESS || kty != "EC" ||
            jwk["crv"].get(crv) != simdjson::SUCCESS || crv != "P-256" ||
            jwk["key_ops"].error() == simdjson::SUCCESS) {
            continue;
        }
        if (jwk["use"].get(use) != simdjson::SUCCESS) {
            use = "sig";
        }
        if (use != "sig") {
            continue;  // key-usage rules are the caller's, not the verifier's
        }
        Bytes point{0x04};
        for (const char* coordinate : {"x", "y"}) {
            const auto bytes = ES256Verifier::base64URLDecode(std::string_view(jwk[coordinate]));
            ASSERT_TRUE(bytes && bytes->size() == 32);
            point.insert(point.end(), bytes->begin(), bytes->end());
        }
        const auto key = P256PublicKey::fromX963(point);
        ASSERT_TRUE(key);
        for (const auto test : group["tests"].get_array()) {
            const std::string_view result = test["result"];
            const std::string_view jws = test["jws"];
            const auto verified = ES256Verifier::verify(jws, *key, kNow);
            // The payloads are not JSON ("foo"): a valid token gets past the signature and then
            // fails on its payload; an invalid one must fail before.
            const bool passedSignature = verified.ok() ||
                                         verified.error().kind == Kind::invalidJSON ||
                                         verified.error().kind == Kind::malformed;
            if (result == "valid") {
                EXPECT_TRUE(passedSignature) << "tcId " << int64_t(test["tcId"]);
            } else if (result == "invalid") {
                EXPECT_FALSE(verified.ok()) << "tcId " << int64_t(test["tcId"]);
            }
            ++checked;
        }
    }
    EXPECT_GT(checked, 10);
}

// ---- python3-jwt ----

std::string runPython(const std::string& script) {
    std::string output;
    // Debian's interpreter, where python3-jwt and python3-cryptography are installed.
    FILE* pipe = ::popen(("/usr/bin/python3 -c '" + script + "'").c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    std::array<char, 4096> buffer{};
    std::size_t count = 0;
    while ((count = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        output.append(buffer.data(), count);
    }
    EXPECT_EQ(::pclose(pipe), 0) << output;
    return output;
}

TEST(ES256Interop, TokensFromPythonJWTVerify) {
    const std::string output = runPython(R"PY(
import jwt
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives import serialization
key = ec.generate_private_key(ec.SECP256R1())
pem = key.public_key().public_bytes(serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo)
print(pem.decode().replace("\n", "|"))
for i in range(20):
    print(jwt.encode({"sub": "ipad-%d" % i, "exp": 1800000001 + i, "nome": "Ana Conceição"}, key, algorithm="ES256"))
print(jwt.encode({"exp": 1800000000}, key, algorithm="ES256"))
print(jwt.encode({"a": 1}, key, algorithm="ES256", headers={"kid": "k1"}))
)PY");
    std::istringstream lines(output);
    std::string pem;
    std::getline(lines, pem);
    for (char& c : pem) {
        if (c == '|') {
            c = '\n';
        }
    }
    auto key = ES256Verifier::p256PublicKey(pem);
    ASSERT_TRUE(key.ok()) << output;
    std::string token;
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(std::getline(lines, token));
        auto claims = ES256Verifier::verify(token, *key, kNow);
        ASSERT_TRUE(claims.ok()) << token;
        EXPECT_EQ(std::get<std::string>(claims->at("sub").value), "ipad-" + std::to_string(i));
        EXPECT_EQ(std::get<std::string>(claims->at("nome").value), "Ana Concei\xC3\xA7\xC3\xA3o");
    }
    ASSERT_TRUE(std::getline(lines, token));
    EXPECT_EQ(ES256Verifier::verify(token, *key, kNow).error().kind, Kind::expired);
    ASSERT_TRUE(std::getline(lines, token));
    EXPECT_TRUE(ES256Verifier::verify(token, *key, kNow).ok());
}

TEST(ES256Interop, PythonJWTVerifiesOurTokens) {
    auto key = P256PrivateKey::generate();
    auto token = ES256Signer::sign(R"({"sub":"mac","exp":4000000000})", *key);
    ASSERT_TRUE(token.ok());
    std::string pem = key->publicKey()->pem();
    const std::string output = runPython("import jwt; print(jwt.decode(\"" + *token + "\", \"\"\"" +
                                         pem + "\"\"\", algorithms=[\"ES256\"])[\"sub\"])");
    EXPECT_EQ(output, "mac\n");
}

}  // namespace
}  // namespace velurio
