// The QUIC backend on the ngtcp2 engine: one QuicServerEngine with one ALPN profile, one UDP
// socket and one timer per listener (QuicUdpDriver), all on the main thread.
#include "app/transport/quic_listeners.h"
#include "app/transport/quic_udp_driver.h"
#include "app/transport/transport_log.h"
#include "platform/quic/quic_server_engine.h"

#include <QTcpServer>
#include <QTimer>

#include <array>
#include <map>
#include <optional>
#include <span>
#include <utility>

namespace velurio {

namespace {

// Ports the control listener tries before it settles for one whose TCP twin is taken.
constexpr int kControlPortAttempts = 8;

// Drops closer together than this ask for one key frame (and one more once it has passed,
// for the drops in between).
constexpr std::chrono::milliseconds kKeyframeRequestInterval{100};

Result<std::unique_ptr<QuicUdpDriver>, QString> makeDriver(const TLSCredentials& identity,
                                                           QuicAlpnProfile profile) {
    QuicServerConfig config;
    config.certificatePem = identity.certificate.toPem().toStdString();
    config.privateKeyPem = identity.privateKey.toPem().toStdString();
    config.profiles = {std::move(profile)};
    auto engine = QuicServerEngine::create(std::move(config));
    if (!engine.ok()) {
        return fail(QString::fromStdString(engine.error()));
    }
    return std::make_unique<QuicUdpDriver>(std::move(engine).value());
}

// Binds and reports ready(port) or failed(description) from the event loop.
template <typename Listener>
void bindAndReport(Listener* listener, QuicUdpDriver& driver, const QHostAddress& address) {
    QString error;
    if (!driver.bind(address, 0, &error)) {
        QTimer::singleShot(0, listener, [listener, error] { Q_EMIT listener->failed(error); });
        return;
    }
    const quint16 port = driver.localPort();
    QTimer::singleShot(0, listener, [listener, port] { Q_EMIT listener->ready(port); });
}

class EngineControlListener final : public QUICControlListener {
  public:
    EngineControlListener(std::unique_ptr<QuicUdpDriver> driver, QHostAddress bindAddress)
        : m_driver(driver.release()), m_bindAddress(std::move(bindAddress)) {
        m_driver->setParent(this);
        m_driver->onEvent = [this](const QuicEvent& event) { handle(event); };
    }

    // The TLS-over-TCP fallback takes the same port number: a UDP port whose TCP twin is in use
    // (a busy machine hands out the same numbers to both) is traded for another one.
    void start() override {
        for (int attempt = 1; attempt < kControlPortAttempts; ++attempt) {
            if (!m_driver->bind(m_bindAddress, 0, nullptr)) {
                break;
            }
            QTcpServer probe;
            if (probe.listen(m_bindAddress, m_driver->localPort())) {
                probe.close();
                const quint16 port = m_driver->localPort();
                QTimer::singleShot(0, this, [this, port] { Q_EMIT ready(port); });
                return;
            }
            qCDebug(lcTransportServer)
                << "TCP port" << m_driver->localPort() << "is taken; another one for QUIC";
        }
        bindAndReport(this, *m_driver, m_bindAddress);
    }
    quint16 port() const override { return m_driver->localPort(); }

  private:
    void handle(const QuicEvent& event) {
        if (const auto* established = std::get_if<QuicConnectionEstablished>(&event)) {
            m_remotes[established->connection] = QuicUdpDriver::toRemote(established->remote);
        } else if (const auto* opened = std::get_if<QuicStreamOpened>(&event)) {
            const auto it = m_remotes.find(opened->connection);
            if (it == m_remotes.end()) {
                return;
            }
            const RemoteEndpoint remote = it->second;
            QIODevice* device = m_driver->openDevice(opened->connection, opened->streamId, remote);
            qCDebug(lcTransportServer) << "QUIC control stream from" << remote.host << remote.port;
            Q_EMIT newStream(device, remote);
        } else if (const auto* closed = std::get_if<QuicConnectionClosed>(&event)) {
            m_remotes.erase(closed->connection);
        }
    }

    QuicUdpDriver* m_driver;  // child
    QHostAddress m_bindAddress;
    std::map<QuicConnectionHandle, RemoteEndpoint> m_remotes;
};

class EngineVideoListener final : public QUICVideoListener {
  public:
    EngineVideoListener(std::unique_ptr<QuicUdpDriver> driver, QHostAddress bindAddress)
        : m_driver(driver.release()), m_bindAddress(std::move(bindAddress)) {
        m_driver->setParent(this);
        m_driver->onEvent = [this](const QuicEvent& event) { handle(event); };
        m_trailingRequest.setSingleShot(true);
        connect(&m_trailingRequest, &QTimer::timeout, this, [this] {
            m_lastRequest = QuicClock::now();
            Q_EMIT keyframeNeeded();
        });
    }

    void start() override { bindAndReport(this, *m_driver, m_bindAddress); }

    bool sendDatagram(const QHostAddress& host, quint16 port, const QByteArray& datagram) override {
        const auto it = m_handles.find(key(host, port));
        if (it == m_handles.end()) {
            return false;
        }
        const QuicDatagramResult result = m_driver->engine().sendDatagram(
            it->second,
            std::span(reinterpret_cast<const std::uint8_t*>(datagram.constData()),
                      static_cast<std::size_t>(datagram.size())),
            QuicUdpDriver::now());
        m_driver->flush();
        switch (result) {
            case QuicDatagramResult::sent:
                return true;
            case QuicDatagramResult::tooBig:
            case QuicDatagramResult::dropped:
                requestKeyframe();
                return false;
            case QuicDatagramResult::notNegotiated:
            case QuicDatagramResult::noConnection:
                return false;
        }
        return false;
    }

    void closeConnection(const QHostAddress& host, quint16 port) override {
        const auto it = m_handles.find(key(host, port));
        if (it != m_handles.end()) {
            m_driver->engine().close(it->second, 0, "", QuicUdpDriver::now());
            m_driver->flush();
        }
    }

  private:
    using Key = std::pair<std::array<std::uint8_t, 16>, quint16>;
    static Key key(const QHostAddress& host, quint16 port) {
        return {QuicUdpDriver::toEndpoint(host, port).hostKey(), port};
    }

    void requestKeyframe() {
        const QuicTime now = QuicClock::now();
        if (!m_lastRequest || now - *m_lastRequest >= kKeyframeRequestInterval) {
            m_lastRequest = now;
            Q_EMIT keyframeNeeded();
        } else if (!m_trailingRequest.isActive()) {
            m_trailingRequest.start(std::chrono::ceil<std::chrono::milliseconds>(
                kKeyframeRequestInterval - (now - *m_lastRequest)));
        }
    }

    void handle(const QuicEvent& event) {
        if (const auto* established = std::get_if<QuicConnectionEstablished>(&event)) {
            const RemoteEndpoint remote = QuicUdpDriver::toRemote(established->remote);
            m_remotes[established->connection] = remote;
            m_handles[key(remote.host, remote.port)] = established->connection;
        } else if (const auto* datagram = std::get_if<QuicDatagramReceived>(&event)) {
            const auto it = m_remotes.find(datagram->connection);
            if (it != m_remotes.end()) {
                const RemoteEndpoint remote = it->second;
                Q_EMIT datagramReceived(
                    remote.host, remote.port,
                    QByteArray(reinterpret_cast<const char*>(datagram->bytes.data()),
                               static_cast<qsizetype>(datagram->bytes.size())));
            }
        } else if (const auto* closed = std::get_if<QuicConnectionClosed>(&event)) {
            const auto it = m_remotes.find(closed->connection);
            if (it != m_remotes.end()) {
                const RemoteEndpoint remote = it->second;
                m_remotes.erase(it);
                m_handles.erase(key(remote.host, remote.port));
                Q_EMIT connectionClosed(remote.host, remote.port);
            }
        }
    }

    QuicUdpDriver* m_driver;  // child
    QHostAddress m_bindAddress;
    std::map<QuicConnectionHandle, RemoteEndpoint> m_remotes;
    std::map<Key, QuicConnectionHandle> m_handles;
    std::optional<QuicTime> m_lastRequest;
    QTimer m_trailingRequest;
};

class EngineQUICBackend final : public QUICBackend {
  public:
    explicit EngineQUICBackend(QHostAddress bindAddress) : m_bindAddress(std::move(bindAddress)) {}

    Result<std::unique_ptr<QUICVideoListener>, QString> makeVideoListener(
        const TLSCredentials& identity) override {
        auto driver = makeDriver(identity, QuicAlpnProfile::video());
        if (!driver.ok()) {
            return fail(driver.error());
        }
        return std::unique_ptr<QUICVideoListener>(
            std::make_unique<EngineVideoListener>(std::move(driver).value(), m_bindAddress));
    }

    Result<std::unique_ptr<QUICControlListener>, QString> makeControlListener(
        const TLSCredentials& identity) override {
        auto driver = makeDriver(identity, QuicAlpnProfile::control());
        if (!driver.ok()) {
            return fail(driver.error());
        }
        return std::unique_ptr<QUICControlListener>(
            std::make_unique<EngineControlListener>(std::move(driver).value(), m_bindAddress));
    }

  private:
    QHostAddress m_bindAddress;
};

}  // namespace

std::unique_ptr<QUICBackend> makePlatformQUICBackend(const QHostAddress& bindAddress) {
    return std::make_unique<EngineQUICBackend>(bindAddress);
}

}  // namespace velurio
