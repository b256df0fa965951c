// velurio-wire verify-token: checks an ES256 attestation token as the host checks a hello's.
#include "core/es256_verifier.h"
#include "wire_command.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace velurio::wire {
namespace {

constexpr std::size_t kMaxKeyFileBytes = 64 * 1024;

double parseNow(const std::string& text) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    if (text.empty() || ec != std::errc() || ptr != end || !std::isfinite(value)) {
        throw UsageError{"--now must be seconds since 1970, a decimal number"};
    }
    return value;
}

std::string errorName(const ES256VerificationError& error) {
    using Kind = ES256VerificationError::Kind;
    switch (error.kind) {
        case Kind::unsupportedAlgorithm:
            return "unsupported-algorithm " + error.algorithm;
        case Kind::malformed:
        case Kind::invalidJSON:
            return "malformed";
        case Kind::invalidSignature:
        case Kind::invalidSignatureLength:
            return "invalid-signature";
        case Kind::expired:
            return "expired";
        case Kind::invalidKey:
            return "invalid-key";
    }
    return "malformed";
}

int failWith(const ES256VerificationError& error) {
    std::fprintf(stderr, "error: %s\n", errorName(error).c_str());
    return kExitFailure;
}

int runVerifyToken(const std::vector<std::string>& args) {
    const Arguments arguments(args, {"public-key", "now"}, {});
    if (arguments.positional().size() != 1) {
        throw UsageError{"verify-token takes exactly one TOKEN"};
    }
    const std::string* keyPath = arguments.value("public-key");
    if (keyPath == nullptr) {
        throw UsageError{"--public-key FILE.pem is required"};
    }
    double now = 0;
    if (const std::string* nowText = arguments.value("now")) {
        now = parseNow(*nowText);
    } else {
        now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                  .count();
    }

    std::ifstream file(*keyPath, std::ios::binary);
    std::string pem;
    if (file) {
        pem.resize(kMaxKeyFileBytes + 1);
        file.read(pem.data(), static_cast<std::streamsize>(pem.size()));
        pem.resize(static_cast<std::size_t>(file.gcount()));
    }
    if (!file.is_open() || pem.size() > kMaxKeyFileBytes) {
        return failWith({ES256VerificationError::Kind::invalidKey, {}});
    }
    auto key = ES256Verifier::p256PublicKey(pem);
    if (!key) {
        return failWith(key.error());
    }
    auto claims = ES256Verifier::verify(arguments.positional().front(), *key, now);
    if (!claims) {
        return failWith(claims.error());
    }
    std::string out =
        JSONValue{std::make_shared<const JSONObject>(std::move(*claims))}.serialized();
    out.push_back('\n');
    writeStandardOutput(out);
    return kExitOk;
}

const WireCommandRegistration verifyTokenRegistration(WireCommand{
    "verify-token",
    "verify an ES256 attestation token and print its claims",
    "usage: velurio-wire verify-token --public-key FILE.pem [--now UNIX_SECONDS] TOKEN\n\n"
    "Verifies a compact ES256 token against a P-256 public key (PEM SubjectPublicKeyInfo)\n"
    "as the host verifies a hello's attestation, at --now (seconds since 1970, fractions\n"
    "allowed; default: the current time). On success prints the claims as one JSON object.\n"
    "On failure exits 1 and prints on standard error 'error: ' and one of: malformed,\n"
    "unsupported-algorithm ALG, invalid-signature, expired, invalid-key.\n",
    runVerifyToken,
});

}  // namespace
}  // namespace velurio::wire
