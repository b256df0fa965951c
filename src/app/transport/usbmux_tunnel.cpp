#include "app/transport/usbmux_tunnel.h"

#include "app/transport/transport_log.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace velurio {

namespace {
// What a device read hands back: the bytes, nullopt at the end of the stream, or an error
// (also the end of the tunnel).
using DeviceRead = std::optional<std::vector<std::uint8_t>>;
}  // namespace

USBMuxTunnel::USBMuxTunnel(std::shared_ptr<USBMuxSocket> socket, const QString& name,
                           QObject* parent)
    : QObject(parent),
      m_socket(std::move(socket)),
      m_reader(std::make_unique<BlockingWorker>(("usb-rd-" + name).toStdString())),
      m_writer(std::make_unique<BlockingWorker>(("usb-wr-" + name).toStdString())) {}

USBMuxTunnel::~USBMuxTunnel() {
    finish(false);
    // The workers join here (their calls return: the socket is shut down).
    m_reader.reset();
    m_writer.reset();
}

void USBMuxTunnel::start() {
    if (m_closed || m_listener != nullptr) {
        return;
    }
    m_listener = new QTcpServer(this);
    m_listener->setMaxPendingConnections(1);
    connect(m_listener, &QTcpServer::newConnection, this, &USBMuxTunnel::accept);
    if (!m_listener->listen(QHostAddress::LocalHost, 0)) {
        qCDebug(lcTransportServer) << "USB tunnel listener failed:" << m_listener->errorString();
        QTimer::singleShot(0, this, [this] { close(); });
        return;
    }
    m_port = m_listener->serverPort();
    QTimer::singleShot(0, this, [this] {
        if (!m_closed && onReady) {
            onReady(*m_port);
        }
    });
}

void USBMuxTunnel::accept() {
    while (m_listener != nullptr && m_listener->hasPendingConnections()) {
        QTcpSocket* socket = m_listener->nextPendingConnection();
        if (socket == nullptr) {
            continue;
        }
        if (m_closed || m_connection != nullptr) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        m_connection = socket;
        // Bounds what waits in user space: the local sender is held back by the kernel.
        socket->setReadBufferSize(static_cast<qint64>(kChunkBytes));
        socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption,
                                kLoopbackBufferBytes);
        connect(socket, &QTcpSocket::readyRead, this, &USBMuxTunnel::pumpToDevice);
        connect(socket, &QTcpSocket::bytesWritten, this, &USBMuxTunnel::localWritten);
        connect(socket, &QTcpSocket::disconnected, this, [this] {
            m_localEnded = true;
            pumpToDevice();
        });
        connect(socket, &QTcpSocket::errorOccurred, this,
                [this](QAbstractSocket::SocketError error) {
                    if (error == QAbstractSocket::RemoteHostClosedError) {
                        m_localEnded = true;
                        pumpToDevice();
                    } else {
                        close();
                    }
                });
        readDevice();
        pumpToDevice();  // bytes that arrived with the connection
    }
}

void USBMuxTunnel::readDevice() {
    if (m_closed || m_deviceReadInFlight) {
        return;
    }
    m_deviceReadInFlight = true;
    std::shared_ptr<USBMuxSocket> socket = m_socket;
    m_reader->post(
        [socket]() -> DeviceRead {
            auto read = socket->read(kChunkBytes);
            if (!read.ok()) {
                return std::nullopt;
            }
            return read.value();
        },
        this, [this](DeviceRead bytes) { deviceRead(std::move(bytes)); });
}

void USBMuxTunnel::deviceRead(DeviceRead bytes) {
    m_deviceReadInFlight = false;
    if (m_closed) {
        return;
    }
    if (!bytes || bytes->empty() || m_connection == nullptr) {
        close();  // end of the device's stream, or a read error
        return;
    }
    const qint64 size = static_cast<qint64>(bytes->size());
    if (m_connection->write(reinterpret_cast<const char*>(bytes->data()), size) != size) {
        close();
        return;
    }
    m_waitingForLocalWrite = true;
    localWritten();
}

void USBMuxTunnel::localWritten() {
    if (m_closed || !m_waitingForLocalWrite || m_connection == nullptr) {
        return;
    }
    if (m_connection->bytesToWrite() > 0) {
        return;  // the next device read waits until the local side has taken these
    }
    m_waitingForLocalWrite = false;
    readDevice();
}

void USBMuxTunnel::pumpToDevice() {
    if (m_closed || m_deviceWriteInFlight || m_connection == nullptr) {
        return;
    }
    const QByteArray chunk = m_connection->read(static_cast<qint64>(kChunkBytes));
    if (chunk.isEmpty()) {
        if (m_localEnded) {
            close();
        }
        return;
    }
    m_deviceWriteInFlight = true;
    std::shared_ptr<USBMuxSocket> socket = m_socket;
    m_writer->post(
        [socket, chunk]() -> bool {
            return socket
                ->write(std::span(reinterpret_cast<const std::uint8_t*>(chunk.constData()),
                                  static_cast<std::size_t>(chunk.size())))
                .ok();
        },
        this,
        [this](bool written) {
            m_deviceWriteInFlight = false;
            if (m_closed) {
                return;
            }
            if (!written) {
                close();
                return;
            }
            pumpToDevice();
        });
}

void USBMuxTunnel::close() {
    finish(true);
}

void USBMuxTunnel::finish(bool notify) {
    if (m_closed) {
        return;
    }
    m_closed = true;
    m_socket->shutdown();  // wakes a read or write blocked on the workers
    if (m_listener != nullptr) {
        m_listener->disconnect(this);
        m_listener->close();
        m_listener->deleteLater();
        m_listener = nullptr;
    }
    if (QTcpSocket* connection = m_connection.data()) {
        connection->disconnect(this);
        connection->abort();
        connection->deleteLater();
        m_connection = nullptr;
    }
    if (notify && onClosed) {
        // A copy: the handler may clear onClosed or schedule the tunnel's deletion.
        const auto handler = onClosed;
        handler();
    }
}

}  // namespace velurio
