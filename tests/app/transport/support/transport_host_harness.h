// A SessionServer with the smallest coordinator: it accepts every hello (replacing the earlier
// peer), answers with its own hello, and takes the video connection from the active peer's host.
#pragma once

#include "app/transport/session_server.h"
#include "platform/keychain/file_secret_store.h"
#include "transport_test_support.h"

#include <QPointer>

#include <functional>

namespace velurio::test {

using namespace std::chrono_literals;

class HostHarness {
  public:
    explicit HostHarness(const QString& dir,
                         const std::function<void(SessionServer&)>& configure = {},
                         std::unique_ptr<QUICBackend> quic = nullptr)
        : store(dir + QStringLiteral("/secrets.json")) {
        server = std::make_unique<SessionServer>(SessionServer::deviceIdentityProvider(store),
                                                 std::move(quic));
        server->bindAddress = QHostAddress::LocalHost;
        server->peerTiming.helloTimeout = 300ms;
        server->peerTiming.pingInterval = 50ms;
        server->onPeerAccepted = [this](PeerConnection* peer, SessionServer::Transport t) {
            transports.push_back(t);
            peer->onHello = [this](PeerConnection* p, const HelloMessage&,
                                   PeerConnection::HelloDecision decide) {
                if (active != nullptr && active != p) {
                    active->sendEnd(SessionEndReason::replaced);
                    active->close(true);
                }
                active = p;
                decide(true);
                HelloMessage mine;
                mine.role = PeerRole::mac;
                mine.deviceName = "Velurio";
                p->sendControl(mine);
            };
            peer->onStroke = [this](PeerConnection*, const StrokeMessage& m) {
                strokes.push_back(m.id);
            };
            peer->onPong = [this](PeerConnection*, double rttMs) {
                ++pongs;
                maxRttMs = std::max(maxRttMs, rttMs);
            };
            peer->onClosed = [this](PeerConnection* p) {
                if (p == active) {
                    activeClosed = true;
                }
            };
        };
        server->isVideoPeerAllowed = [this](const VideoConnection& c) {
            return active != nullptr &&
                   SessionServer::hasSameRemoteHost(RemoteEndpoint{c.host, c.port},
                                                    active->remoteEndpoint());
        };
        server->onVideoConnectionChanged = [this](const std::optional<VideoConnection>& c) {
            hasVideo = c.has_value();
        };
        if (configure) {
            configure(*server);
        }
        server->start();
        waitUntil([this] { return server->isRunning(); });
    }

    FileSecretStore store;
    std::unique_ptr<SessionServer> server;
    QPointer<PeerConnection> active;
    bool activeClosed = false;
    bool hasVideo = false;
    std::vector<SessionServer::Transport> transports;
    std::vector<std::string> strokes;
    int pongs = 0;
    double maxRttMs = 0;  // the longest round trip measured
};

}  // namespace velurio::test
