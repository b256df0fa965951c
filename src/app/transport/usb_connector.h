// Finds tablets on a USB cable and turns each into a PeerConnection that the owner handles like
// a network peer.
//
// Every kPollInterval the connector asks usbmuxd for the attached USB devices. A device that is
// no longer listed is removed (its tunnel closed, its peer closed with notification, so the
// session sees the tablet leave within one poll). For a listed device without a tunnel, and only
// while an offer is set, it asks usbmuxd for a stream to the tablet's port kDevicePort, bridges
// it to a loopback listener with a USBMuxTunnel, connects to that as a TLS client (any
// certificate accepted) and, once TLS is up, sends the offer on the USB discovery channel with a
// fresh session id for that connection. The tablet then answers with its own hello, handled by
// the peer as on any transport (the hello timer of a USB peer is the longer one).
//
// usbmuxd failures are silent: a device that cannot be listed or refuses the port is simply
// tried again at the next poll. A tunnel or peer that fails removes both.
//
// Threads: main thread. The blocking usbmuxd calls (list, connect) run one at a time on a named
// worker thread ("usb-connector"); their results come back to the main thread before anything
// changes. After stop() no result of an earlier call changes anything: a stream that usbmuxd
// opens after stop() is shut down.
//
// Lifetime: owned by the session server. Peers are children of the connector and are deleted
// after they close (keep them in a QPointer). Destroying the connector stops it and waits for a
// usbmuxd call in flight (bounded by the socket's 3-second timeouts).
#pragma once

#include "app/clock/scheduler.h"
#include "app/transport/blocking_worker.h"
#include "app/transport/peer_connection.h"
#include "app/transport/usbmux_tunnel.h"
#include "protocol/messages.h"
#include "usbmux/usbmux_address.h"

#include <QObject>
#include <QPointer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace velurio {

class USBConnector : public QObject {
    Q_OBJECT
  public:
    static constexpr quint16 kDevicePort = 49'271;
    static constexpr std::chrono::milliseconds kPollInterval{3'000};

    // `scheduler` (not owned, must outlive the connector) drives the polling; real time when
    // null. `address` is where usbmuxd listens.
    explicit USBConnector(Scheduler* scheduler = nullptr,
                          USBMuxAddress address = USBMuxAddress::fromEnvironment(),
                          QObject* parent = nullptr);
    ~USBConnector() override;

    // The host's hello offered to each tablet; unset: attached devices are not connected.
    std::optional<HelloMessage> offer;
    // Called for each new peer before it starts; the owner sets the peer's callbacks there.
    // The connector wraps the onClosed set there so that the device is removed after it.
    std::function<void(PeerConnection*)> onPeerAccepted;
    // Timings of the peers (tests shorten them).
    PeerTiming peerTiming;

    // Starts polling (the first poll at once) unless it runs already.
    void start();
    // Stops polling and removes every device.
    void stop();
    bool isRunning() const { return m_running; }

    // Devices with a tunnel, in id order.
    std::vector<std::uint32_t> trackedDevices() const;
    PeerConnection* peer(std::uint32_t deviceID) const;

  Q_SIGNALS:
    // A poll's device list has been applied (for tests and diagnostics).
    void polled(int deviceCount);

  private:
    void poll();
    void listed(std::uint64_t generation, std::optional<std::vector<std::uint32_t>> devices);
    void connectNext(std::uint64_t generation);
    void connected(std::uint32_t id, std::shared_ptr<USBMuxSocket> socket);
    void finishRound(std::uint64_t generation);
    void openPeer(std::uint32_t id, quint16 localPort);
    void remove(std::uint32_t id);

    std::unique_ptr<Scheduler> m_ownScheduler;
    Scheduler* m_scheduler;
    USBMuxAddress m_address;
    bool m_running = false;
    std::uint64_t m_generation = 0;  // bumped by stop(): late results change nothing
    Scheduler::Id m_nextPoll = 0;
    bool m_pollInFlight = false;
    std::deque<std::uint32_t> m_toConnect;
    bool m_usbmuxdReachable = true;  // for logging the change only

    std::map<std::uint32_t, USBMuxTunnel*> m_tunnels;
    std::map<std::uint32_t, QPointer<PeerConnection>> m_peers;
    // Last: joined first on destruction.
    std::unique_ptr<BlockingWorker> m_worker;
};

}  // namespace velurio
