// The stored device identity works for a real TLS handshake between QSslServer and QSslSocket
// over loopback, and a client that pins the certificate accepts it.
#include "app/identity/device_tls_identity.h"
#include "identity_test_support.h"
#include "platform/keychain/file_secret_store.h"

#include <gtest/gtest.h>

#include <QCoroSignal>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>

namespace velurio::test {
namespace {

using namespace std::chrono_literals;

TEST(DeviceTLSIdentityHandshake, QtServerPresentsTheStoredIdentity) {
    ensureApplication();
    if (!QSslSocket::supportsSsl()) {
        GTEST_SKIP() << "no TLS backend in this Qt";
    }
    QTemporaryDir dir;
    FileSecretStore store(dir.path() + QStringLiteral("/secrets.json"));
    auto made = await(DeviceTLSIdentity::identity(store));
    ASSERT_TRUE(made.ok());
    // What the listener gets at its next start: read back from the store.
    auto identity = await(DeviceTLSIdentity::identity(store));
    ASSERT_TRUE(identity.ok());

    QSslServer server;
    QSslConfiguration serverConfiguration = QSslConfiguration::defaultConfiguration();
    serverConfiguration.setLocalCertificate(identity->sslCertificate());
    serverConfiguration.setPrivateKey(identity->sslKey());
    serverConfiguration.setPeerVerifyMode(QSslSocket::VerifyNone);
    server.setSslConfiguration(serverConfiguration);
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));

    QSslSocket client;
    QSslConfiguration clientConfiguration = QSslConfiguration::defaultConfiguration();
    clientConfiguration.setCaCertificates(
        {identity->sslCertificate()});  // pinned: trusts only this
    clientConfiguration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    client.setSslConfiguration(clientConfiguration);
    QList<QSslError> errors;
    QObject::connect(&client, &QSslSocket::sslErrors, &client,
                     [&errors](const QList<QSslError>& list) { errors.append(list); });
    // The certificate names "Velurio Mac" and has no address, so the name checked is that one.
    client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.serverPort(),
                                  QStringLiteral("Velurio Mac"));
    const auto encrypted = QCoro::waitFor(qCoro(&client, &QSslSocket::encrypted, 10s));
    for (const QSslError& error : errors) {
        ADD_FAILURE() << error.errorString().toStdString();
    }
    ASSERT_TRUE(encrypted.has_value()) << client.errorString().toStdString();
    EXPECT_EQ(client.peerCertificate(), identity->sslCertificate());
    EXPECT_EQ(client.peerCertificate(), made->sslCertificate());
}

}  // namespace
}  // namespace velurio::test
