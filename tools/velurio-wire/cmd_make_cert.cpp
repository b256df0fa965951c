// velurio-wire make-cert: a fresh self-signed certificate, made by the same code the listeners
// use for their TLS identity, for checking it with other tools.
#include "core/self_signed_certificate.h"
#include "wire_command.h"

#include <chrono>
#include <cstdio>

namespace velurio::wire {
namespace {

constexpr std::size_t kMaxCommonNameBytes = 64;  // the X.520 upper bound for a common name

int runMakeCert(const std::vector<std::string>& args) {
    const Arguments arguments(args, {"common-name", "serial", "days"}, {});
    if (!arguments.positional().empty()) {
        throw UsageError{"make-cert takes no positional arguments"};
    }
    const std::string* commonNameOption = arguments.value("common-name");
    const std::string commonName = commonNameOption ? *commonNameOption : "Velurio Mac";
    if (commonName.empty() || commonName.size() > kMaxCommonNameBytes) {
        throw UsageError{"--common-name must be 1 to 64 bytes"};
    }
    const std::uint64_t serial = arguments.unsignedValue("serial", 0, UINT64_MAX, 1);
    const std::uint64_t days = arguments.unsignedValue("days", 1, 36'500, 3650);

    using namespace std::chrono;
    const auto notBefore = floor<seconds>(system_clock::now());
    const seconds lifetime = hours(24) * static_cast<long>(days);
    if (!SelfSignedCertificate::fitsUTCTime(notBefore + lifetime)) {
        throw UsageError{"the validity would reach 2050, which a UTCTime cannot express"};
    }

    auto keys = SelfSignedCertificate::generateKeyPair();
    if (!keys) {
        std::fprintf(stderr, "error: key generation failed: %s\n", keys.error().text.c_str());
        return kExitFailure;
    }
    auto certificate = SelfSignedCertificate::certificate(
        commonName, keys->publicKey, keys->privateKey, serial, notBefore, lifetime);
    if (!certificate) {
        std::fprintf(stderr, "error: certificate creation failed %s\n",
                     certificate.error().text.c_str());
        return kExitFailure;
    }
    writeStandardOutput(certificate->pem());  // the key is discarded with `keys`
    return kExitOk;
}

const WireCommandRegistration makeCertRegistration(WireCommand{
    "make-cert",
    "print a fresh self-signed TLS certificate as PEM",
    "usage: velurio-wire make-cert [--common-name CN] [--serial N] [--days D]\n\n"
    "Makes a new P-256 key and a self-signed X.509 v3 certificate (ECDSA with SHA-256, empty\n"
    "basic constraints) exactly as the listeners do, prints the certificate as PEM on standard\n"
    "output and discards the key. The validity starts now (not back-dated).\n"
    "  --common-name CN  issuer and subject common name, 1 to 64 bytes (default \"Velurio Mac\")\n"
    "  --serial N        serial number, unsigned 64-bit (default 1)\n"
    "  --days D          validity in days, 1 to 36500 (default 3650)\n"
    "A validity reaching 2050 (where UTCTime loses its century) is refused with exit status 2.\n",
    runMakeCert,
});

}  // namespace
}  // namespace velurio::wire
