#include "app/transport/usb_connector.h"

#include "app/transport/transport_log.h"
#include "protocol/message_codec.h"
#include "usbmux/usbmux.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <QUuid>

namespace velurio {

USBConnector::USBConnector(Scheduler* scheduler, USBMuxAddress address, QObject* parent)
    : QObject(parent),
      m_ownScheduler(scheduler == nullptr ? std::make_unique<QtScheduler>() : nullptr),
      m_scheduler(scheduler == nullptr ? m_ownScheduler.get() : scheduler),
      m_address(std::move(address)),
      m_worker(std::make_unique<BlockingWorker>("usb-connector")) {}

USBConnector::~USBConnector() {
    stop();
    m_worker.reset();  // waits for a usbmuxd call in flight; its result is dropped
}

void USBConnector::start() {
    if (m_running) {
        return;
    }
    m_running = true;
    poll();
}

void USBConnector::stop() {
    if (!m_running && m_tunnels.empty() && m_peers.empty()) {
        return;
    }
    m_running = false;
    ++m_generation;
    m_scheduler->cancel(m_nextPoll);
    m_nextPoll = 0;
    m_pollInFlight = false;
    m_toConnect.clear();
    std::vector<std::uint32_t> ids;
    for (const auto& [id, tunnel] : m_tunnels) {
        ids.push_back(id);
    }
    for (const auto& [id, peer] : m_peers) {
        ids.push_back(id);
    }
    for (std::uint32_t id : ids) {
        remove(id);
    }
}

std::vector<std::uint32_t> USBConnector::trackedDevices() const {
    std::vector<std::uint32_t> ids;
    for (const auto& [id, tunnel] : m_tunnels) {
        ids.push_back(id);
    }
    return ids;
}

PeerConnection* USBConnector::peer(std::uint32_t deviceID) const {
    const auto it = m_peers.find(deviceID);
    return it == m_peers.end() ? nullptr : it->second.data();
}

void USBConnector::poll() {
    m_nextPoll = 0;
    if (!m_running || m_pollInFlight) {
        return;
    }
    m_pollInFlight = true;
    const std::uint64_t generation = m_generation;
    m_worker->post(
        [address = m_address]() -> std::optional<std::vector<std::uint32_t>> {
            auto devices = USBMux::usbDevices(address);
            if (!devices.ok()) {
                return std::nullopt;
            }
            return std::move(devices).value();
        },
        this,
        [this, generation](std::optional<std::vector<std::uint32_t>> devices) {
            listed(generation, std::move(devices));
        });
}

void USBConnector::listed(std::uint64_t generation,
                          std::optional<std::vector<std::uint32_t>> devices) {
    if (generation != m_generation) {
        return;
    }
    // An unreachable service counts as no device; said once per change, at debug level.
    if (devices.has_value() != m_usbmuxdReachable) {
        m_usbmuxdReachable = devices.has_value();
        qCDebug(lcTransportUSB) << (m_usbmuxdReachable ? "usbmuxd reachable at"
                                                       : "usbmuxd not reachable at")
                                << QString::fromStdString(m_address.toString());
    }
    const std::vector<std::uint32_t> listedIDs = devices.value_or(std::vector<std::uint32_t>{});
    for (std::uint32_t id : trackedDevices()) {
        if (std::find(listedIDs.begin(), listedIDs.end(), id) == listedIDs.end()) {
            qCInfo(lcTransportUSB) << "USB device" << id << "detached";
            remove(id);
        }
    }
    m_toConnect.clear();
    if (offer) {
        for (std::uint32_t id : listedIDs) {
            if (m_tunnels.count(id) == 0 &&
                std::find(m_toConnect.begin(), m_toConnect.end(), id) == m_toConnect.end()) {
                m_toConnect.push_back(id);
            }
        }
    }
    Q_EMIT polled(static_cast<int>(listedIDs.size()));
    connectNext(generation);
}

void USBConnector::connectNext(std::uint64_t generation) {
    if (generation != m_generation) {
        return;
    }
    if (m_toConnect.empty() || !offer) {
        finishRound(generation);
        return;
    }
    const std::uint32_t id = m_toConnect.front();
    m_toConnect.pop_front();
    m_worker->post(
        [address = m_address, id]() -> std::shared_ptr<USBMuxSocket> {
            auto socket = USBMux::connect(id, kDevicePort, address);
            if (!socket.ok()) {
                return nullptr;  // refused or unreachable: tried again at the next poll
            }
            return std::shared_ptr<USBMuxSocket>(std::move(socket).value());
        },
        this,
        [this, generation, id](std::shared_ptr<USBMuxSocket> socket) {
            if (generation != m_generation) {
                if (socket) {
                    socket->shutdown();  // opened after stop(): never used
                }
                return;
            }
            if (socket) {
                connected(id, std::move(socket));
            }
            connectNext(generation);
        });
}

void USBConnector::connected(std::uint32_t id, std::shared_ptr<USBMuxSocket> socket) {
    if (m_tunnels.count(id) != 0 || !offer) {
        socket->shutdown();
        return;
    }
    auto* tunnel = new USBMuxTunnel(std::move(socket), QString::number(id), this);
    m_tunnels[id] = tunnel;
    tunnel->onClosed = [this, id] { remove(id); };
    tunnel->onReady = [this, id](quint16 port) { openPeer(id, port); };
    tunnel->start();
}

void USBConnector::finishRound(std::uint64_t generation) {
    if (generation != m_generation) {
        return;
    }
    m_pollInFlight = false;
    if (m_running && m_nextPoll == 0) {
        m_nextPoll = m_scheduler->schedule(kPollInterval, [this] { poll(); });
    }
}

void USBConnector::openPeer(std::uint32_t id, quint16 localPort) {
    if (!offer) {
        remove(id);
        return;
    }
    HelloMessage hello = *offer;
    hello.sessionId = QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();

    auto* socket = new QSslSocket();
    // The tablet's certificate is its own self-signed one, and the cable is the trust here.
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    // Options apply once the socket exists, i.e. at the TCP connect (before the handshake).
    connect(socket, &QSslSocket::connected, socket, [socket] {
        socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption,
                                USBMuxTunnel::kLoopbackBufferBytes);
    });
    auto* peer = new PeerConnection(socket, true, peerTiming, this);
    connect(peer, &PeerConnection::finished, peer, &QObject::deleteLater);
    m_peers[id] = peer;
    QPointer<PeerConnection> guard(peer);
    if (onPeerAccepted) {
        onPeerAccepted(peer);
    }
    if (guard == nullptr || guard->state() == PeerConnection::State::closed) {
        remove(id);
        return;
    }
    auto ownerClosed = std::move(peer->onClosed);
    peer->onClosed = [this, id, ownerClosed = std::move(ownerClosed)](PeerConnection* closing) {
        if (ownerClosed) {
            ownerClosed(closing);
        }
        remove(id);
    };
    peer->onReady = [guard, hello] {
        if (guard != nullptr) {
            const Bytes payload = MessageCodec::encode(hello);
            guard->sendUSBDiscovery(payload);
        }
    };
    peer->start();
    socket->connectToHostEncrypted(QStringLiteral("127.0.0.1"), localPort);
}

void USBConnector::remove(std::uint32_t id) {
    if (const auto it = m_tunnels.find(id); it != m_tunnels.end()) {
        USBMuxTunnel* tunnel = it->second;
        m_tunnels.erase(it);
        tunnel->onClosed = nullptr;
        tunnel->onReady = nullptr;
        tunnel->close();
        tunnel->deleteLater();
    }
    if (const auto it = m_peers.find(id); it != m_peers.end()) {
        QPointer<PeerConnection> peer = it->second;
        m_peers.erase(it);
        if (peer != nullptr) {
            peer->close(true);
        }
    }
}

}  // namespace velurio
