// The self-signed certificate: its exact layout, and acceptance by independent parsers
// (the openssl and certtool command-line tools).
#include "core/der_reader.h"
#include "core/der_writer.h"
#include "core/self_signed_certificate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace velurio {
namespace {

using namespace std::chrono;

struct CommandResult {
    int status = -1;
    std::string output;
};

CommandResult run(const std::string& command) {
    CommandResult result;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    std::array<char, 4096> buffer{};
    std::size_t count = 0;
    while ((count = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        result.output.append(buffer.data(), count);
    }
    result.status = ::pclose(pipe);
    return result;
}

class TempDir {
  public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "velurio-cert-XXXXXX").string();
        m_path = ::mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(m_path); }
    std::string write(const std::string& name, const std::string& text) const {
        const auto path = m_path / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }

  private:
    std::filesystem::path m_path;
};

Bytes body(DERReader& reader, std::uint8_t tag) {
    auto result = reader.expect(tag);
    EXPECT_TRUE(result.ok()) << "tag " << int(tag);
    return result.ok() ? std::move(result).value() : Bytes{};
}

const sys_seconds kNotBefore = sys_days(2026y / December / 6) + 18h + 25s;

struct Made {
    SelfSignedCertificate::KeyPair keys;
    Certificate certificate;
};

Made make(std::uint64_t serial, std::string_view commonName = "Velurio Mac") {
    auto keys = SelfSignedCertificate::generateKeyPair();
    EXPECT_TRUE(keys.ok());
    auto cert =
        SelfSignedCertificate::certificate(commonName, keys->publicKey, keys->privateKey, serial,
                                           kNotBefore, SelfSignedCertificate::kLifetime);
    EXPECT_TRUE(cert.ok());
    return {std::move(*keys), std::move(*cert)};
}

TEST(SelfSignedCertificate, LayoutFieldByField) {
    const Made made = make(1);
    DERReader top(made.certificate.der());
    DERReader certificate(body(top, 0x30));
    EXPECT_TRUE(top.isAtEnd());
    const Bytes tbsBytes = body(certificate, 0x30);
    DERReader tbs(tbsBytes);

    EXPECT_EQ(body(tbs, 0xA0), (Bytes{0x02, 0x01, 0x02}));  // version 3
    EXPECT_EQ(body(tbs, 0x02), Bytes{0x01});                // serial 02 01 01
    const Bytes ecdsaWithSHA256 = DERWriter::objectIdentifier("1.2.840.10045.4.3.2");
    EXPECT_EQ(body(tbs, 0x30), ecdsaWithSHA256);  // no parameters, not even NULL
    const Bytes cn[] = {DERWriter::objectIdentifier("2.5.4.3"),
                        DERWriter::utf8String("Velurio Mac")};
    const Bytes rdn[] = {DERWriter::sequence(cn)};
    const Bytes name = DERWriter::set(rdn);
    EXPECT_EQ(body(tbs, 0x30), name);  // issuer
    const Bytes validity[] = {DERWriter::utcTime(kNotBefore),
                              DERWriter::utcTime(kNotBefore + days(3650))};
    EXPECT_EQ(body(tbs, 0x30), DERWriter::concat(validity));
    EXPECT_EQ(body(tbs, 0x30), name);  // subject
    const Bytes algorithm[] = {DERWriter::objectIdentifier("1.2.840.10045.2.1"),
                               DERWriter::objectIdentifier("1.2.840.10045.3.1.7")};
    const Bytes spki[] = {DERWriter::sequence(algorithm),
                          DERWriter::bitString(made.keys.publicKey.x963Representation())};
    EXPECT_EQ(body(tbs, 0x30), DERWriter::concat(spki));
    // [3] { SEQUENCE { SEQUENCE { basicConstraints, OCTET STRING { 30 00 } } } }
    EXPECT_EQ(body(tbs, 0xA3), (Bytes{0x30, 0x0B, 0x30, 0x09, 0x06, 0x03, 0x55, 0x1D, 0x13, 0x04,
                                      0x02, 0x30, 0x00}));
    EXPECT_TRUE(tbs.isAtEnd());

    EXPECT_EQ(body(certificate, 0x30), ecdsaWithSHA256);
    const Bytes signatureBits = body(certificate, 0x03);
    EXPECT_TRUE(certificate.isAtEnd());
    ASSERT_FALSE(signatureBits.empty());
    EXPECT_EQ(signatureBits[0], 0x00);
    const Bytes signature(signatureBits.begin() + 1, signatureBits.end());
    EXPECT_EQ(signature[0], 0x30);  // DER SEQUENCE { r, s }
    const Bytes tbsFull = DERWriter::tlv(0x30, tbsBytes);
    EXPECT_TRUE(made.keys.publicKey.verifyDER(tbsFull, signature));
    EXPECT_TRUE(made.certificate.isSignedBy(made.keys.publicKey));
    EXPECT_EQ(made.certificate.publicKey(), made.keys.publicKey);
}

TEST(SelfSignedCertificate, SerialIsMinimalUnsigned) {
    for (const auto& [serial, encoded] :
         {std::pair<std::uint64_t, Bytes>{128, {0x02, 0x02, 0x00, 0x80}},
          {0xFFFF'FFFF'FFFF'FFFFULL, DERWriter::integer(0xFFFF'FFFF'FFFF'FFFFULL)}}) {
        const Made made = make(serial);
        const Bytes& der = made.certificate.der();
        // The serial follows the version [0] 03 02 01 02 inside two SEQUENCE headers.
        const Bytes version = {0xA0, 0x03, 0x02, 0x01, 0x02};
        const auto versionAt = std::search(der.begin(), der.end(), version.begin(), version.end());
        ASSERT_NE(versionAt, der.end());
        EXPECT_TRUE(std::equal(encoded.begin(), encoded.end(), versionAt + 5));
    }
}

TEST(SelfSignedCertificate, SignatureFromAnotherKeyDoesNotVerify) {
    const Made made = make(1);
    const Made other = make(1);
    EXPECT_FALSE(made.certificate.isSignedBy(other.keys.publicKey));
    auto forged =
        SelfSignedCertificate::der("Velurio Mac", made.keys.publicKey, other.keys.privateKey, 1,
                                   kNotBefore, kNotBefore + days(1));
    ASSERT_TRUE(forged.ok());
    EXPECT_FALSE(Certificate::fromDER(*forged)->isSignedBy(made.keys.publicKey));
}

TEST(SelfSignedCertificate, RejectsBytesThatAreNotOneCertificate) {
    const Made made = make(1);
    Bytes trailing = made.certificate.der();
    trailing.push_back(0);
    EXPECT_FALSE(Certificate::fromDER(trailing));
    EXPECT_FALSE(Certificate::fromDER(Bytes{0x30, 0x00}));
    EXPECT_TRUE(Certificate::fromPEM(made.certificate.pem()));
}

TEST(SelfSignedCertificate, UTCTimeRangeCheck) {
    EXPECT_TRUE(
        SelfSignedCertificate::fitsUTCTime(sys_days(2049y / December / 31) + 23h + 59min + 59s));
    EXPECT_FALSE(SelfSignedCertificate::fitsUTCTime(sys_days(2050y / January / 1)));
    EXPECT_FALSE(SelfSignedCertificate::fitsUTCTime(sys_days(1949y / December / 31)));
}

TEST(SelfSignedCertificateInterop, OpenSSLReadsAndVerifiesIt) {
    const Made made = make(4660);
    TempDir dir;
    const std::string path = dir.write("cert.pem", made.certificate.pem());

    const CommandResult text = run("openssl x509 -noout -text -in " + path);
    ASSERT_EQ(text.status, 0) << text.output;
    EXPECT_NE(text.output.find("Version: 3 (0x2)"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("Serial Number: 4660 (0x1234)"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("Issuer: CN = Velurio Mac"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("Subject: CN = Velurio Mac"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("Not Before: Dec  6 18:00:25 2026 GMT"), std::string::npos)
        << text.output;
    EXPECT_NE(text.output.find("Not After : Dec  3 18:00:25 2036 GMT"), std::string::npos)
        << text.output;
    EXPECT_NE(text.output.find("NIST CURVE: P-256"), std::string::npos) << text.output;
    EXPECT_NE(text.output.find("Signature Algorithm: ecdsa-with-SHA256"), std::string::npos)
        << text.output;
    EXPECT_NE(text.output.find("X509v3 Basic Constraints:"), std::string::npos) << text.output;
    EXPECT_EQ(text.output.find("CA:TRUE"), std::string::npos) << text.output;

    // The certificate as its own trust anchor, checking its self-signature at a time inside
    // the validity.
    const CommandResult verify =
        run("openssl verify -check_ss_sig -partial_chain -attime 1800000000 -CAfile " + path + " " +
            path);
    EXPECT_EQ(verify.status, 0) << verify.output;
    EXPECT_NE(verify.output.find(": OK"), std::string::npos) << verify.output;
}

TEST(SelfSignedCertificateInterop, ValidityFrom2050UsesGeneralizedTime) {
    // An identity made in 2045 ends in 2055: UTCTime would say 1955.
    auto keys = SelfSignedCertificate::generateKeyPair();
    const sys_seconds notBefore = sys_days(2045y / June / 1);
    auto cert = SelfSignedCertificate::certificate("Velurio Mac", keys->publicKey, keys->privateKey,
                                                   1, notBefore, SelfSignedCertificate::kLifetime);
    ASSERT_TRUE(cert.ok());
    const Bytes validity[] = {DERWriter::utcTime(notBefore),
                              DERWriter::generalizedTime(notBefore + days(3650))};
    const Bytes expected = DERWriter::sequence(validity);
    EXPECT_NE(std::search(cert->der().begin(), cert->der().end(), expected.begin(), expected.end()),
              cert->der().end());
    TempDir dir;
    const CommandResult text =
        run("openssl x509 -noout -dates -in " + dir.write("cert.pem", cert->pem()));
    EXPECT_NE(text.output.find("notAfter=May 30 00:00:00 2055 GMT"), std::string::npos)
        << text.output;
}

TEST(SelfSignedCertificateInterop, GnuTLSReadsIt) {
    const Made made = make(1);
    TempDir dir;
    const std::string path = dir.write("cert.pem", made.certificate.pem());
    const CommandResult info = run("certtool -i --infile " + path);
    ASSERT_EQ(info.status, 0) << info.output;
    EXPECT_NE(info.output.find("Version: 3"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("Issuer: CN=Velurio Mac"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("Subject: CN=Velurio Mac"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("ECDSA-SHA256"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("SECP256R1"), std::string::npos) << info.output;
    // GnuTLS also loads the key in the form the listeners store it.
    const std::string keyPath = dir.write("key.pem", made.keys.privateKey.pem());
    const CommandResult key = run("certtool -k --infile " + keyPath);
    EXPECT_EQ(key.status, 0) << key.output;
    EXPECT_NE(key.output.find("SECP256R1"), std::string::npos) << key.output;
}

}  // namespace
}  // namespace velurio
