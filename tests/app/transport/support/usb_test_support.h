// Helpers for the USB transport tests: a TLS server standing in for the tablet app on loopback
// (with a fresh self-signed identity), and the usbmuxd stand-in (velurio-usbmuxd) run as a
// process whose event lines the test waits for.
#pragma once

#include "core/self_signed_certificate.h"
#include "transport_test_support.h"

#include <QProcess>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTemporaryDir>

#include <memory>
#include <vector>

namespace velurio::test {

inline QSslConfiguration selfSignedServerConfiguration() {
    auto keys = SelfSignedCertificate::generateKeyPair();
    auto certificate = SelfSignedCertificate::certificate(
        "Velurio Test Tablet", keys.value().publicKey, keys.value().privateKey, 7,
        std::chrono::system_clock::now() - std::chrono::hours(1), SelfSignedCertificate::kLifetime);
    const Bytes key = keys.value().privateKey.pkcs8();
    const Bytes& der = certificate.value().der();
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setPrivateKey(QSslKey(
        QByteArray(reinterpret_cast<const char*>(key.data()), static_cast<qsizetype>(key.size())),
        QSsl::Ec, QSsl::Der, QSsl::PrivateKey));
    configuration.setLocalCertificate(QSslCertificate(
        QByteArray(reinterpret_cast<const char*>(der.data()), static_cast<qsizetype>(der.size())),
        QSsl::Der));
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    return configuration;
}

// The tablet app's listener: TLS server on 127.0.0.1; every encrypted connection is kept with a
// decoder of what it receives (unless `autoRead` is off: then nothing is read).
class TabletTLSServer {
  public:
    TabletTLSServer() {
        m_server.setSslConfiguration(selfSignedServerConfiguration());
        QObject::connect(&m_server, &QTcpServer::pendingConnectionAvailable, &m_server, [this] {
            while (m_server.hasPendingConnections()) {
                auto* socket = qobject_cast<QSslSocket*>(m_server.nextPendingConnection());
                if (socket == nullptr) {
                    continue;
                }
                sockets.push_back(socket);
                if (autoRead) {
                    ends.push_back(std::make_unique<TabletEnd>(socket));
                } else {
                    // What is not read stays in the kernel, and the sender's window closes.
                    socket->setReadBufferSize(16 * 1024);
                }
            }
        });
        m_server.listen(QHostAddress::LocalHost, 0);
    }
    quint16 port() const { return m_server.serverPort(); }

    bool autoRead = true;
    std::vector<QSslSocket*> sockets;
    std::vector<std::unique_ptr<TabletEnd>> ends;

  private:
    QSslServer m_server;
};

#ifdef VELURIO_USBMUXD_TOOL
// velurio-usbmuxd on a private socket, its devices leading to 127.0.0.1:forwardPort.
class USBMuxStandIn {
  public:
    explicit USBMuxStandIn(quint16 forwardPort, const QStringList& attach = {}) {
        socketPath = m_dir.filePath(QStringLiteral("mux"));
        QStringList arguments{QStringLiteral("--socket"), socketPath, QStringLiteral("--forward"),
                              QString::number(forwardPort)};
        for (const QString& device : attach) {
            arguments << QStringLiteral("--attach") << device;
        }
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process, [this] {
            m_buffer += m_process.readAllStandardOutput();
            qsizetype newline = 0;
            while ((newline = m_buffer.indexOf('\n')) >= 0) {
                lines.push_back(QString::fromUtf8(m_buffer.left(newline)).trimmed());
                m_buffer.remove(0, newline + 1);
            }
        });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(VELURIO_USBMUXD_TOOL), arguments);
        waitUntil([this] { return count(QStringLiteral("listening")) > 0; });
    }
    ~USBMuxStandIn() {
        m_process.write("quit\n");
        if (!m_process.waitForFinished(2000)) {
            m_process.kill();
            m_process.waitForFinished(2000);
        }
    }
    void command(const QByteArray& line) { m_process.write(line + "\n"); }
    USBMuxAddress address() const { return USBMuxAddress::unixSocket(socketPath.toStdString()); }
    // Lines that start with `prefix`.
    int count(const QString& prefix) const {
        int n = 0;
        for (const QString& line : lines) {
            n += line.startsWith(prefix) ? 1 : 0;
        }
        return n;
    }

    QString socketPath;
    std::vector<QString> lines;

  private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_buffer;
};
#endif

}  // namespace velurio::test
