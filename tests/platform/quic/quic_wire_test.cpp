// The engines over real UDP sockets on the loopback interface, with the real clock: what the
// in-memory tests show also holds on the wire.
#include "quic_test_support.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velurio {
namespace {

using namespace quictest;
using namespace std::chrono_literals;

class UdpSocket {
  public:
    UdpSocket() : m_fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0)) {
        const QuicEndpoint any = endpoint(127, 0, 0, 1, 0);
        if (m_fd < 0 || ::bind(m_fd, any.sockaddrData(), any.sockaddrLength()) != 0) {
            throw std::runtime_error("cannot bind a loopback UDP socket");
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof(bound);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&bound), &length);
        m_address = *QuicEndpoint::fromSockaddr(reinterpret_cast<const sockaddr*>(&bound), length);
    }
    ~UdpSocket() { ::close(m_fd); }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    int fd() const { return m_fd; }
    const QuicEndpoint& address() const { return m_address; }

    void send(const QuicOutgoingDatagram& datagram) const {
        const ssize_t n =
            ::sendto(m_fd, datagram.bytes.data(), datagram.bytes.size(), 0,
                     datagram.destination.sockaddrData(), datagram.destination.sockaddrLength());
        EXPECT_EQ(n, static_cast<ssize_t>(datagram.bytes.size())) << std::strerror(errno);
    }

    // Hands every waiting datagram to `engine`.
    void drainInto(QuicEngine& engine) const {
        std::array<std::uint8_t, 65536> buffer{};
        while (true) {
            sockaddr_storage from{};
            socklen_t length = sizeof(from);
            const ssize_t n = ::recvfrom(m_fd, buffer.data(), buffer.size(), 0,
                                         reinterpret_cast<sockaddr*>(&from), &length);
            if (n < 0) {
                return;
            }
            const auto remote =
                QuicEndpoint::fromSockaddr(reinterpret_cast<const sockaddr*>(&from), length);
            engine.receive(std::span(buffer.data(), static_cast<std::size_t>(n)), m_address,
                           *remote, QuicClock::now());
        }
    }

  private:
    int m_fd;
    QuicEndpoint m_address;
};

// What a socket-and-timer driver does: send the output, keep the events, wait for datagrams
// or the next deadline.
class Driver {
  public:
    Driver(QuicEngine& engine, UdpSocket& socket) : m_engine(engine), m_socket(socket) {}
    std::vector<QuicEvent> events;

    void flush() {
        QuicOutput output = m_engine.takeOutput();
        for (const QuicOutgoingDatagram& datagram : output.datagrams) {
            m_socket.send(datagram);
        }
        for (QuicEvent& event : output.events) {
            events.push_back(std::move(event));
        }
    }
    void onReadable() { m_socket.drainInto(m_engine); }
    void onTimer() {
        if (const auto deadline = m_engine.nextDeadline();
            deadline && *deadline <= QuicClock::now()) {
            m_engine.handleTimeout(QuicClock::now());
        }
    }
    int pollTimeoutMs() const {
        const auto deadline = m_engine.nextDeadline();
        if (!deadline) {
            return 50;
        }
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - QuicClock::now());
        return static_cast<int>(std::clamp<std::int64_t>(wait.count() + 1, 0, 50));
    }
    int fd() const { return m_socket.fd(); }

  private:
    QuicEngine& m_engine;
    UdpSocket& m_socket;
};

bool runUntil(std::vector<Driver*> drivers, const std::function<bool()>& done,
              std::chrono::seconds within = 5s) {
    const auto limit = QuicClock::now() + within;
    while (QuicClock::now() < limit) {
        for (Driver* driver : drivers) {
            driver->onTimer();
            driver->flush();
        }
        if (done()) {
            return true;
        }
        std::vector<pollfd> fds;
        int timeout = 50;
        for (Driver* driver : drivers) {
            fds.push_back(pollfd{driver->fd(), POLLIN, 0});
            timeout = std::min(timeout, driver->pollTimeoutMs());
        }
        ::poll(fds.data(), fds.size(), timeout);
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if ((fds[i].revents & POLLIN) != 0) {
                drivers[i]->onReadable();
            }
        }
    }
    return done();
}

TEST(QuicWire, ControlStreamAndVideoDatagramsOverLoopbackUdp) {
    UdpSocket serverSocket;
    UdpSocket clientSocket;
    auto server = makeServer();
    auto client = makeClient();
    Driver serverDriver(*server, serverSocket);
    Driver clientDriver(*client, clientSocket);
    const std::vector<Driver*> both{&serverDriver, &clientDriver};

    QuicConnectOptions control;
    control.local = clientSocket.address();
    control.remote = serverSocket.address();
    control.alpn = "velurio";
    auto controlHandle = client->connect(control, QuicClock::now());
    ASSERT_TRUE(controlHandle.ok());
    QuicConnectOptions video = control;
    video.alpn = "velurio-video";
    video.maxDatagramFrameSize = 1450;
    auto videoHandle = client->connect(video, QuicClock::now());
    ASSERT_TRUE(videoHandle.ok());
    ASSERT_TRUE(runUntil(both, [&] {
        return eventsOf<QuicConnectionEstablished>(serverDriver.events).size() == 2;
    }));
    QuicConnectionHandle serverControl = 0;
    QuicConnectionHandle serverVideo = 0;
    for (const auto& established : eventsOf<QuicConnectionEstablished>(serverDriver.events)) {
        EXPECT_EQ(established.remote, clientSocket.address());
        (established.alpn == "velurio" ? serverControl : serverVideo) = established.connection;
    }
    ASSERT_NE(serverControl, 0U);
    ASSERT_NE(serverVideo, 0U);

    // A stream echo of 300 kB.
    auto stream = client->openBidiStream(*controlHandle);
    ASSERT_TRUE(stream.ok());
    const auto payload = pattern(300'000, 7);
    ASSERT_EQ(client->writeStream(*controlHandle, *stream, payload, true, QuicClock::now()).status,
              QuicStreamWriteStatus::accepted);
    std::size_t echoed = 0;
    ASSERT_TRUE(runUntil(both, [&] {
        const auto received = streamBytes(serverDriver.events, serverControl, *stream);
        if (echoed < received.size()) {
            const bool all = streamFinished(serverDriver.events, serverControl, *stream);
            const auto write = server->writeStream(
                serverControl, *stream, std::span(received).subspan(echoed), all, QuicClock::now());
            echoed += write.acceptedBytes;
        }
        return streamFinished(clientDriver.events, *controlHandle, *stream);
    }));
    EXPECT_EQ(streamBytes(clientDriver.events, *controlHandle, *stream), payload);

    // Datagrams: the keep-alive up, a frame's worth down once the path allows large packets.
    EXPECT_EQ(client->sendDatagram(*videoHandle, bytesOf("velurio-video-v1"), QuicClock::now()),
              QuicDatagramResult::sent);
    ASSERT_TRUE(runUntil(both, [&] { return has<QuicDatagramReceived>(serverDriver.events); }));
    EXPECT_EQ(eventsOf<QuicDatagramReceived>(serverDriver.events)[0].bytes,
              bytesOf("velurio-video-v1"));
    ASSERT_TRUE(runUntil(both, [&] { return server->maxDatagramPayload(serverVideo) >= 1400; }));
    int sent = 0;
    for (std::uint32_t i = 0; i < 8; ++i) {
        sent += server->sendDatagram(serverVideo, pattern(1400, i), QuicClock::now()) ==
                QuicDatagramResult::sent;
    }
    EXPECT_EQ(sent, 8);
    ASSERT_TRUE(runUntil(
        both, [&] { return eventsOf<QuicDatagramReceived>(clientDriver.events).size() == 8; }));
    EXPECT_EQ(eventsOf<QuicDatagramReceived>(clientDriver.events)[7].bytes, pattern(1400, 7));

    client->closeAll(0, "done", QuicClock::now());
    ASSERT_TRUE(runUntil(
        both, [&] { return eventsOf<QuicConnectionClosed>(serverDriver.events).size() == 2; }));
    for (const auto& closed : eventsOf<QuicConnectionClosed>(serverDriver.events)) {
        EXPECT_EQ(closed.reason, QuicCloseReason::closedByPeer);
        EXPECT_EQ(closed.description, "done");
    }
}

}  // namespace
}  // namespace velurio
