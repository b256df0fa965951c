// QUIC listeners of the server, behind an interface so that the server does not depend on a
// QUIC implementation. makePlatformQUICBackend() gives the build's backend: listeners on the
// ngtcp2 engine (quic_engine_backend.cpp) when the build has it, else one that reports
// "unavailable" for every listener, and the server falls back as it does when a QUIC listener
// fails.
//
// Threads: listeners live on the main thread and signal there. Lifetime: the server owns them.
#pragma once

#include "app/transport/remote_endpoint.h"
#include "protocol/result.h"

#include <QHostAddress>
#include <QIODevice>
#include <QObject>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

#include <memory>

namespace velurio {

// The identity every TLS and QUIC listener presents.
struct TLSCredentials {
    QSslCertificate certificate;
    QSslKey privateKey;
};

// A QUIC video listener ("velurio-video", datagrams of up to 1450 bytes). Connections are
// named by their remote address and port. A datagram that cannot go out is dropped, never
// queued; when one was dropped (too big for the path yet, or no room in the congestion window)
// keyframeNeeded() asks for a key frame, since the frame it belonged to is lost.
class QUICVideoListener : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;
    // Starts listening on any port; ends in ready() or failed().
    virtual void start() = 0;
    virtual bool sendDatagram(const QHostAddress& host, quint16 port,
                              const QByteArray& datagram) = 0;
    virtual void closeConnection(const QHostAddress& host, quint16 port) = 0;

  Q_SIGNALS:
    void ready(quint16 port);
    void failed(const QString& description);
    void datagramReceived(const QHostAddress& host, quint16 port, const QByteArray& datagram);
    void connectionClosed(const QHostAddress& host, quint16 port);
    void keyframeNeeded();
};

// A QUIC control listener ("velurio", idle timeout 35 s). Each new stream is handed over as an
// open QIODevice the receiver takes ownership of, with the connection's remote address and port.
class QUICControlListener : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;
    virtual void start() = 0;
    virtual quint16 port() const = 0;

  Q_SIGNALS:
    void ready(quint16 port);
    void failed(const QString& description);
    void newStream(QIODevice* stream, const velurio::RemoteEndpoint& remote);
};

class QUICBackend {
  public:
    virtual ~QUICBackend() = default;
    // Failures carry a description for the log.
    virtual Result<std::unique_ptr<QUICVideoListener>, QString> makeVideoListener(
        const TLSCredentials& identity) = 0;
    virtual Result<std::unique_ptr<QUICControlListener>, QString> makeControlListener(
        const TLSCredentials& identity) = 0;
};

// The backend of builds without QUIC: every listener is unavailable.
class UnavailableQUICBackend final : public QUICBackend {
  public:
    static constexpr const char* kDescription = "QUIC indisponível nesta versão";
    Result<std::unique_ptr<QUICVideoListener>, QString> makeVideoListener(
        const TLSCredentials&) override {
        return fail(QString::fromUtf8(kDescription));
    }
    Result<std::unique_ptr<QUICControlListener>, QString> makeControlListener(
        const TLSCredentials&) override {
        return fail(QString::fromUtf8(kDescription));
    }
};

// The build's QUIC backend; its listeners bind to `bindAddress`.
std::unique_ptr<QUICBackend> makePlatformQUICBackend(const QHostAddress& bindAddress);

}  // namespace velurio
