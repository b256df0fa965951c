#include "app/lifecycle/single_instance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QStandardPaths>

#include <unistd.h>

Q_LOGGING_CATEGORY(lcInstance, "velurio.instance")

namespace velurio {

namespace {

constexpr int kConnectTimeoutMs = 1000;
constexpr int kReplyTimeoutMs = 3000;
constexpr QByteArrayView kActivate = "activate\n";
constexpr QByteArrayView kAcknowledged = "ok\n";

}  // namespace

SingleInstance::SingleInstance(QObject* parent) : QObject(parent) {}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::serverName() {
    QString display = qEnvironmentVariable("DISPLAY");
    if (display.isEmpty())
        display = qEnvironmentVariable("WAYLAND_DISPLAY");
    display.replace(QLatin1Char('/'), QLatin1Char('_'));
    display.replace(QLatin1Char(':'), QLatin1Char('_'));
    // The runtime directory is private to the user; without one, the user id keeps users apart.
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (!runtime.isEmpty())
        return QDir(runtime).filePath(QStringLiteral("velurio-instance") + display);
    return QDir(QDir::tempPath())
        .filePath(QStringLiteral("velurio-instance-%1%2").arg(::getuid()).arg(display));
}

SingleInstance::Role SingleInstance::claim() {
    if (forwardToRunningInstance())
        return Role::forwarded;
    if (listen())
        return Role::primary;
    // Another start may have won the race between our attempt to connect and to listen.
    if (forwardToRunningInstance())
        return Role::forwarded;
    // Nobody answers on the socket: it is left over from an instance that died.
    QLocalServer::removeServer(serverName());
    if (listen())
        return Role::primary;
    qCWarning(lcInstance).noquote()
        << "Velurio: não foi possível garantir uma única instância:" << serverName();
    return Role::failed;
}

bool SingleInstance::forwardToRunningInstance() {
    QLocalSocket socket;
    socket.connectToServer(serverName());
    if (!socket.waitForConnected(kConnectTimeoutMs))
        return false;
    socket.write(kActivate.data(), kActivate.size());
    if (!socket.waitForBytesWritten(kReplyTimeoutMs))
        return false;
    // The reply says the running instance took the request; without it, it is not alive.
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(kReplyTimeoutMs))
            return false;
    }
    return socket.readLine() == kAcknowledged.toByteArray();
}

bool SingleInstance::listen() {
    auto* server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(serverName())) {
        delete server;
        return false;
    }
    m_server = server;
    connect(m_server, &QLocalServer::newConnection, this, [this]() {
        while (QLocalSocket* client = m_server->nextPendingConnection()) {
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            connect(client, &QLocalSocket::readyRead, this, [this, client]() {
                while (client->canReadLine()) {
                    if (client->readLine() == kActivate.toByteArray()) {
                        client->write(kAcknowledged.data(), kAcknowledged.size());
                        client->flush();
                        Q_EMIT activationRequested();
                    }
                }
                // A client that sends a line longer than a request is not one of ours.
                if (client->bytesAvailable() > 64)
                    client->abort();
            });
        }
    });
    return true;
}

}  // namespace velurio
