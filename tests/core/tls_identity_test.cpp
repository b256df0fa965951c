// LocalTLSIdentity against an in-memory key store that records what was asked of it.
#include "core/der_reader.h"
#include "core/local_tls_identity.h"

#include <gtest/gtest.h>

#include <map>

namespace velurio {
namespace {

using namespace std::chrono;

class MemoryKeyStore final : public TLSKeyStore {
  public:
    std::optional<TLSIdentity> findIdentity(std::string_view label) override {
        const auto cert = m_certificates.find(std::string(label));
        if (cert == m_certificates.end()) {
            return std::nullopt;
        }
        for (const auto& [tag, key] : m_keys) {
            if (key.publicKey() == cert->second.publicKey()) {
                return TLSIdentity{key, cert->second};
            }
        }
        return std::nullopt;
    }
    std::optional<P256PrivateKey> findPrivateKey(std::string_view tag) override {
        const auto key = m_keys.find(std::string(tag));
        if (key == m_keys.end()) {
            return std::nullopt;
        }
        return key->second;
    }
    int addPrivateKey(const P256PrivateKey& key, std::string_view, std::string_view tag) override {
        ++keyAdds;
        if (keyAddStatus == KeystoreStatus::success) {
            m_keys.insert_or_assign(std::string(tag), key);
        }
        return keyAddStatus;
    }
    void deleteCertificates(std::string_view label) override {
        m_certificates.erase(std::string(label));
    }
    int addCertificate(const Certificate& certificate, std::string_view label) override {
        ++certificateAdds;
        if (certificateAddStatus == KeystoreStatus::success) {
            m_certificates.insert_or_assign(std::string(label), certificate);
        }
        return certificateAddStatus;
    }

    int keyAdds = 0;
    int certificateAdds = 0;
    int keyAddStatus = KeystoreStatus::success;
    int certificateAddStatus = KeystoreStatus::success;

  private:
    std::map<std::string, P256PrivateKey> m_keys;
    std::map<std::string, Certificate> m_certificates;
};

const system_clock::time_point kNow = sys_days(2026y / December / 7) + 12h;

TEST(LocalTLSIdentity, MadeOnceThenFoundAgain) {
    MemoryKeyStore store;
    auto first = LocalTLSIdentity::identity(store, "com.velurio.test", "Test Host", kNow);
    ASSERT_TRUE(first.ok());
    EXPECT_EQ(store.keyAdds, 1);
    EXPECT_EQ(store.certificateAdds, 1);
    EXPECT_TRUE(first->certificate.isSignedBy(*first->privateKey.publicKey()));

    auto second =
        LocalTLSIdentity::identity(store, "com.velurio.test", "Test Host", kNow + hours(1));
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(second->certificate, first->certificate);
    EXPECT_EQ(store.keyAdds, 1);
    EXPECT_EQ(store.certificateAdds, 1);
}

TEST(LocalTLSIdentity, ReusesAStoredKeyWhenOnlyTheCertificateIsMissing) {
    MemoryKeyStore store;
    auto first = LocalTLSIdentity::identity(store, "label", "CN", kNow);
    ASSERT_TRUE(first.ok());
    store.deleteCertificates("label");
    auto second = LocalTLSIdentity::identity(store, "label", "CN", kNow);
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(store.keyAdds, 1);
    EXPECT_EQ(store.certificateAdds, 2);
    EXPECT_EQ(second->privateKey.publicKey(), first->privateKey.publicKey());
}

TEST(LocalTLSIdentity, CertificateIsBackdatedByFiveMinutes) {
    MemoryKeyStore store;
    auto identity = LocalTLSIdentity::identity(store, "label", "CN", kNow);
    ASSERT_TRUE(identity.ok());
    const auto publicKey = *identity->privateKey.publicKey();
    auto expected =
        SelfSignedCertificate::der("CN", publicKey, identity->privateKey, 1, kNow - 300s,
                                   kNow - 300s + SelfSignedCertificate::kLifetime);
    ASSERT_TRUE(expected.ok());
    // ECDSA signatures are randomised: compare everything before the signature algorithm.
    auto tbsOf = [](const Bytes& certificate) {
        DERReader outer(certificate);
        DERReader inner(outer.expect(0x30).value());
        return inner.expect(0x30).value();
    };
    EXPECT_EQ(tbsOf(identity->certificate.der()), tbsOf(*expected));
}

TEST(LocalTLSIdentity, StoreFailuresAreReportedWithTheirStatus) {
    MemoryKeyStore failingKey;
    failingKey.keyAddStatus = -34;
    auto noKey = LocalTLSIdentity::identity(failingKey, "label", "CN", kNow);
    ASSERT_FALSE(noKey.ok());
    EXPECT_TRUE(noKey.error().isKeystoreStatus(-34));
    EXPECT_EQ(failingKey.certificateAdds, 0);

    MemoryKeyStore failingCertificate;
    failingCertificate.certificateAddStatus = -61;
    auto noCertificate = LocalTLSIdentity::identity(failingCertificate, "label", "CN", kNow);
    ASSERT_FALSE(noCertificate.ok());
    EXPECT_TRUE(noCertificate.error().isKeystoreStatus(-61));

    // A duplicate counts as added; the identity is then looked up and, still missing, reported
    // as not found.
    MemoryKeyStore duplicate;
    duplicate.certificateAddStatus = KeystoreStatus::duplicateItem;
    auto missing = LocalTLSIdentity::identity(duplicate, "label", "CN", kNow);
    ASSERT_FALSE(missing.ok());
    EXPECT_TRUE(missing.error().isKeystoreStatus(KeystoreStatus::itemNotFound));
}

}  // namespace
}  // namespace velurio
