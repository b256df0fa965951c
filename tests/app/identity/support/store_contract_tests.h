// Tests every store backend must pass, and the identity layer on top of each backend.
// Included by one .cpp per test executable, which instantiates them with its own backend.
#pragma once

#include "app/identity/auth_store.h"
#include "app/identity/device_identity.h"
#include "app/identity/device_tls_identity.h"
#include "identity_test_support.h"

#include <gtest/gtest.h>

#include <QSslCertificate>
#include <QSslKey>

namespace velurio::test {

class StoreContract : public ::testing::TestWithParam<StoreParam> {
  protected:
    void SetUp() override {
        ensureApplication();
        m_store = GetParam().make();
        // A shared secret service keeps items between tests: start from nothing.
        for (const auto& [service, account] :
             {std::pair{AuthStore::kService, AuthStore::kAccessAccount},
              std::pair{AuthStore::kService, AuthStore::kRefreshAccount},
              std::pair{DeviceIdentity::kService, DeviceIdentity::kAccount},
              std::pair{DeviceTLSIdentity::kLabel, DeviceTLSIdentity::kCertificateAccount},
              std::pair{DeviceTLSIdentity::kLabel, DeviceTLSIdentity::kKeyTag},
              std::pair{"com.velurio.test", "item"}}) {
            ASSERT_TRUE(
                await(m_store->remove(QString::fromLatin1(service), QString::fromLatin1(account)))
                    .ok);
        }
    }

    SecretStore::ReadResult read(const char* service, const char* account) {
        return await(m_store->read(QString::fromLatin1(service), QString::fromLatin1(account)));
    }
    bool write(const char* service, const char* account, const QByteArray& data) {
        return await(
                   m_store->write(QString::fromLatin1(service), QString::fromLatin1(account), data))
            .ok;
    }

    std::unique_ptr<SecretStore> m_store;
};

TEST_P(StoreContract, ItemsRoundTripAndAreReplaced) {
    EXPECT_EQ(read("com.velurio.test", "item").status, SecretStore::ReadStatus::notFound);
    const QByteArray binary("\x00\x01\xFF\n\x00z", 6);
    ASSERT_TRUE(write("com.velurio.test", "item", binary));
    auto first = read("com.velurio.test", "item");
    EXPECT_EQ(first.status, SecretStore::ReadStatus::found);
    EXPECT_EQ(first.data, binary);
    ASSERT_TRUE(write("com.velurio.test", "item", "second"));
    EXPECT_EQ(read("com.velurio.test", "item").data, QByteArray("second"));
    EXPECT_TRUE(
        await(m_store->remove(QStringLiteral("com.velurio.test"), QStringLiteral("item"))).ok);
    EXPECT_EQ(read("com.velurio.test", "item").status, SecretStore::ReadStatus::notFound);
    EXPECT_TRUE(
        await(m_store->remove(QStringLiteral("com.velurio.test"), QStringLiteral("item"))).ok);
}

TEST_P(StoreContract, AuthStoreLoadsOnlyAPair) {
    EXPECT_FALSE(await(AuthStore::load(*m_store)));
    ASSERT_TRUE(write(AuthStore::kService, AuthStore::kAccessAccount, "only-access"));
    EXPECT_FALSE(await(AuthStore::load(*m_store)));  // signed out

    const AuthStore::Tokens first{QStringLiteral("a1"), QStringLiteral("r1")};
    const AuthStore::Tokens latest{QStringLiteral("acesso-çã-€-🙂"),
                                   QStringLiteral("renovação")};
    await(AuthStore::save(*m_store, first));
    await(AuthStore::save(*m_store, latest));
    const auto loaded = await(AuthStore::load(*m_store));
    ASSERT_TRUE(loaded);
    EXPECT_EQ(*loaded, latest);

    await(AuthStore::clear(*m_store));
    EXPECT_FALSE(await(AuthStore::load(*m_store)));
    await(AuthStore::clear(*m_store));
    EXPECT_EQ(read(AuthStore::kService, AuthStore::kRefreshAccount).status,
              SecretStore::ReadStatus::notFound);
}

TEST_P(StoreContract, AuthStoreRejectsBytesThatAreNotUTF8) {
    ASSERT_TRUE(write(AuthStore::kService, AuthStore::kAccessAccount, "ok"));
    ASSERT_TRUE(write(AuthStore::kService, AuthStore::kRefreshAccount, QByteArray("\xC3\x28", 2)));
    EXPECT_FALSE(await(AuthStore::load(*m_store)));
}

TEST_P(StoreContract, DeviceSigningKeyIsMadeOnceAndKept) {
    auto first = await(DeviceIdentity::signingKey(*m_store));
    ASSERT_TRUE(first.ok());
    auto second = await(DeviceIdentity::signingKey(*m_store));
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(first->rawRepresentation(), second->rawRepresentation());
    const auto stored = read(DeviceIdentity::kService, DeviceIdentity::kAccount);
    EXPECT_EQ(stored.data.size(), 32);
    const QString publicKey = DeviceIdentity::publicKeyBase64(*first);
    EXPECT_EQ(publicKey.size(), 44);
    EXPECT_TRUE(publicKey.endsWith(QLatin1Char('=')));
}

TEST_P(StoreContract, InvalidStoredSigningKeyIsReplaced) {
    ASSERT_TRUE(write(DeviceIdentity::kService, DeviceIdentity::kAccount, QByteArray(31, 'k')));
    auto key = await(DeviceIdentity::signingKey(*m_store));
    ASSERT_TRUE(key.ok());
    const auto stored = read(DeviceIdentity::kService, DeviceIdentity::kAccount);
    ASSERT_EQ(stored.data.size(), 32);
    const auto raw = key->rawRepresentation();
    EXPECT_EQ(stored.data, QByteArray(reinterpret_cast<const char*>(raw.data()), 32));
}

TEST_P(StoreContract, DeviceTLSIdentityIsMadeOnceAndFoundAgain) {
    using namespace std::chrono;
    const auto now = floor<seconds>(system_clock::now());
    auto first = await(DeviceTLSIdentity::identity(*m_store, now));
    ASSERT_TRUE(first.ok()) << DeviceTLSIdentity::describe(first.error()).toStdString();
    auto second = await(DeviceTLSIdentity::identity(*m_store, now + hours(24)));
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(second->tls.certificate, first->tls.certificate);  // nothing regenerated

    const QSslCertificate certificate = second->sslCertificate();
    ASSERT_FALSE(certificate.isNull());
    EXPECT_EQ(certificate.subjectInfo(QSslCertificate::CommonName),
              QStringList{QStringLiteral("Velurio Mac")});
    EXPECT_EQ(certificate.issuerInfo(QSslCertificate::CommonName),
              QStringList{QStringLiteral("Velurio Mac")});
    EXPECT_EQ(certificate.serialNumber(), QByteArray("01"));
    EXPECT_EQ(certificate.version(), QByteArray("3"));
    EXPECT_EQ(certificate.effectiveDate().toSecsSinceEpoch(),
              duration_cast<seconds>(now.time_since_epoch()).count());
    EXPECT_EQ(certificate.effectiveDate().daysTo(certificate.expiryDate()), 3650);
    EXPECT_TRUE(second->tls.certificate.isSignedBy(*second->tls.privateKey.publicKey()));

    const QSslKey key = second->sslKey();
    ASSERT_FALSE(key.isNull());
    EXPECT_EQ(key.algorithm(), QSsl::Ec);
    EXPECT_EQ(key.length(), 256);
    EXPECT_FALSE(QSslKey(second->privateKeyPEM(), QSsl::Ec, QSsl::Pem).isNull());
}

TEST_P(StoreContract, DeviceTLSIdentityWithAForeignKeyIsRemade) {
    auto first = await(DeviceTLSIdentity::identity(*m_store));
    ASSERT_TRUE(first.ok());
    auto other = P256PrivateKey::generate();
    const Bytes foreign = other->pkcs8();
    ASSERT_TRUE(write(DeviceTLSIdentity::kLabel, DeviceTLSIdentity::kKeyTag,
                      QByteArray(reinterpret_cast<const char*>(foreign.data()),
                                 static_cast<qsizetype>(foreign.size()))));
    auto remade = await(DeviceTLSIdentity::identity(*m_store));
    ASSERT_TRUE(remade.ok());
    EXPECT_NE(remade->tls.certificate, first->tls.certificate);
    EXPECT_EQ(remade->tls.certificate.publicKey(), remade->tls.privateKey.publicKey());
}

}  // namespace velurio::test
