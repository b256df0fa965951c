#include "mux_server.h"

#include "usbmux/usbmux_protocol.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace velurio::usbmuxd {

namespace {

// Bytes buffered per direction of a pipe before its source is no longer read.
constexpr std::size_t kPipeBufferBytes = 256 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;

volatile sig_atomic_t g_stopSignal = 0;
extern "C" void onStopSignal(int) {
    g_stopSignal = 1;
}

void say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

template <class T>
bool parseNumber(std::string_view text, T& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

// Sends what the socket takes now; false when the connection failed.
bool flush(int fd, std::vector<std::uint8_t>& pending) {
    std::size_t sent = 0;
    while (sent < pending.size()) {
        const ssize_t n =
            ::send(fd, pending.data() + sent, pending.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            return false;
        }
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(sent));
    return true;
}

enum class ReadOutcome { data, ended, wouldBlock, failed };

ReadOutcome readInto(int fd, std::vector<std::uint8_t>& buffer, std::size_t maximum) {
    const std::size_t have = buffer.size();
    buffer.resize(have + maximum);
    ssize_t n;
    do {
        n = ::recv(fd, buffer.data() + have, maximum, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    buffer.resize(have + (n > 0 ? static_cast<std::size_t>(n) : 0));
    if (n > 0)
        return ReadOutcome::data;
    if (n == 0)
        return ReadOutcome::ended;
    return errno == EAGAIN || errno == EWOULDBLOCK ? ReadOutcome::wouldBlock : ReadOutcome::failed;
}

int connectLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // A cable holds little in flight: without a fixed size the kernel would let megabytes
    // queue towards a slow tablet, which no USB link does.
    const int sendBuffer = 64 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Bounds how long a listener that never accepts (a full backlog) stalls the other clients.
    const timeval timeout{3, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

}  // namespace

struct MuxServer::Client {
    enum class Mode { protocol, bridged };

    std::uint64_t key = 0;
    int fd = -1;
    Mode mode = Mode::protocol;
    bool listening = false;
    bool closed = false;
    std::vector<std::uint8_t> in;   // protocol: bytes not yet parsed
    std::vector<std::uint8_t> out;  // to the client (replies, then the device's bytes)
    // Bridged: the device's side of the pipe.
    std::uint32_t deviceID = 0;
    int peerFd = -1;
    std::vector<std::uint8_t> toPeer;
    bool clientEnded = false;  // the client will send nothing more
    bool peerEnded = false;    // the device will send nothing more
    bool clientWriteShut = false;
    bool peerWriteShut = false;
};

MuxServer::MuxServer(std::string socketPath, std::uint16_t defaultForwardPort)
    : m_socketPath(std::move(socketPath)), m_defaultForwardPort(defaultForwardPort) {}

MuxServer::~MuxServer() {
    for (auto& [key, client] : m_clients)
        closeClient(*client);
    if (m_listenFd >= 0) {
        ::close(m_listenFd);
        ::unlink(m_socketPath.c_str());
    }
}

bool MuxServer::listen() {
    sockaddr_un address{};
    if (m_socketPath.empty() || m_socketPath.size() >= sizeof address.sun_path) {
        std::fprintf(stderr, "velurio-usbmuxd: socket path too long or empty\n");
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, m_socketPath.data(), m_socketPath.size());
    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0) {
        std::perror("velurio-usbmuxd: socket");
        return false;
    }
    // A socket left behind by an earlier run is replaced; any other file is not.
    struct stat existing {};
    if (::lstat(m_socketPath.c_str(), &existing) == 0 && S_ISSOCK(existing.st_mode)) {
        ::unlink(m_socketPath.c_str());
    }
    if (::bind(m_listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listenFd, 64) != 0) {
        std::perror("velurio-usbmuxd: bind");
        ::close(m_listenFd);
        m_listenFd = -1;
        return false;
    }
    say("listening " + m_socketPath);
    return true;
}

int MuxServer::run(bool readCommands) {
    m_stdinOpen = readCommands;
    ::signal(SIGPIPE, SIG_IGN);
    // The stop signals are only delivered inside ppoll(), so none is lost between checks.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigset_t waitMask;
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    enum : std::uint64_t { kListener = 0, kStandardInput = 1 };
    while (!m_quit && g_stopSignal == 0) {
        std::vector<pollfd> fds;
        // Who each entry belongs to: a client key and its side (0 client, 1 device), or one of
        // the two fixed entries.
        std::vector<std::pair<std::uint64_t, int>> owners;
        fds.push_back({m_listenFd, POLLIN, 0});
        owners.emplace_back(kListener, -1);
        if (m_stdinOpen) {
            fds.push_back({STDIN_FILENO, POLLIN, 0});
            owners.emplace_back(kStandardInput, -1);
        }
        for (auto& [key, client] : m_clients) {
            short clientEvents = 0;
            short peerEvents = 0;
            if (client->mode == Client::Mode::protocol) {
                clientEvents = POLLIN;
            } else {
                if (!client->clientEnded && client->toPeer.size() < kPipeBufferBytes) {
                    clientEvents |= POLLIN;
                }
                if (!client->peerEnded && client->out.size() < kPipeBufferBytes) {
                    peerEvents |= POLLIN;
                }
                if (!client->toPeer.empty())
                    peerEvents |= POLLOUT;
            }
            if (!client->out.empty())
                clientEvents |= POLLOUT;
            // An entry with nothing to wait for is left out, so that a hang-up we cannot act on
            // yet does not wake the loop again and again.
            fds.push_back({clientEvents != 0 ? client->fd : -1, clientEvents, 0});
            owners.emplace_back(key, 0);
            if (client->mode == Client::Mode::bridged) {
                fds.push_back({peerEvents != 0 ? client->peerFd : -1, peerEvents, 0});
                owners.emplace_back(key, 1);
            }
        }
        if (::ppoll(fds.data(), fds.size(), nullptr, &waitMask) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("velurio-usbmuxd: poll");
            return 1;
        }
        std::map<std::uint64_t, std::pair<short, short>> clientEvents;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            const auto [key, side] = owners[i];
            if (side < 0) {
                if (key == kListener)
                    accept();
                if (key == kStandardInput)
                    readStandardInput();
            } else {
                auto& events = clientEvents[key];
                (side == 0 ? events.first : events.second) |= fds[i].revents;
            }
        }
        for (const auto& [key, events] : clientEvents) {
            const auto found = m_clients.find(key);
            if (found != m_clients.end() && !found->second->closed) {
                serviceClient(*found->second, events.first, events.second);
            }
        }
        std::erase_if(m_clients, [](const auto& entry) { return entry.second->closed; });
    }
    return 0;
}

void MuxServer::accept() {
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        auto client = std::make_unique<Client>();
        client->key = m_nextClientKey++;
        client->fd = fd;
        m_clients.emplace(client->key, std::move(client));
    }
}

void MuxServer::readStandardInput() {
    char buffer[4096];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
        if (n < 0 && errno == EINTR)
            return;
        // Whoever drives the server has gone: stop rather than linger (--no-stdin for a server
        // that runs on its own).
        m_stdinOpen = false;
        m_quit = true;
        return;
    }
    m_stdinBuffer.append(buffer, static_cast<std::size_t>(n));
    std::size_t newline;
    while ((newline = m_stdinBuffer.find('\n')) != std::string::npos) {
        const std::string line = m_stdinBuffer.substr(0, newline);
        m_stdinBuffer.erase(0, newline + 1);
        command(line);
    }
}

void MuxServer::command(std::string_view line) {
    std::istringstream words{std::string(line)};
    std::string verb;
    if (!(words >> verb) || verb.front() == '#')
        return;
    if (verb == "quit") {
        m_quit = true;
    } else if (verb == "list") {
        for (const auto& [id, device] : m_devices) {
            say("device " + std::to_string(id) + " " + device.serial + " " +
                (device.usb ? "usb" : "network") + (device.refuse ? " refuse" : "") +
                " port=" + std::to_string(device.forwardPort));
        }
        say("end");
    } else if (verb == "attach") {
        std::string idText;
        SimulatedDevice device;
        device.forwardPort = m_defaultForwardPort;
        if (!(words >> idText >> device.serial) || !parseNumber(idText, device.id)) {
            say("error usage: attach <id> <serial> [network] [refuse] [port=<n>]");
            return;
        }
        std::string option;
        while (words >> option) {
            if (option == "network") {
                device.usb = false;
            } else if (option == "usb") {
                device.usb = true;
            } else if (option == "refuse") {
                device.refuse = true;
            } else if (option.starts_with("port=") &&
                       parseNumber(std::string_view(option).substr(5), device.forwardPort)) {
            } else {
                say("error unknown attach option: " + option);
                return;
            }
        }
        attach(std::move(device));
    } else if (verb == "detach") {
        std::string idText;
        std::uint32_t id = 0;
        if (!(words >> idText) || !parseNumber(idText, id)) {
            say("error usage: detach <id>");
            return;
        }
        detach(id);
    } else {
        say("error unknown command: " + verb);
    }
}

void MuxServer::attach(SimulatedDevice device) {
    if (m_devices.contains(device.id)) {
        say("error device " + std::to_string(device.id) + " is attached already");
        return;
    }
    const std::uint32_t id = device.id;
    m_devices.emplace(id, std::move(device));
    const auto& attached = m_devices.at(id);
    for (auto& [key, client] : m_clients) {
        if (!client->listening)
            continue;
        Plist message = PlistValue::dictionary();
        PlistValue::set(message.get(), "MessageType", PlistValue::string("Attached"));
        PlistValue::set(message.get(), "DeviceID", PlistValue::unsignedInteger(id));
        PlistValue::set(message.get(), "Properties", deviceProperties(attached));
        queueMessage(*client, message.get(), 0);
        flush(client->fd, client->out);
    }
    say("attached " + std::to_string(id));
}

void MuxServer::detach(std::uint32_t id) {
    if (m_devices.erase(id) == 0) {
        say("error device " + std::to_string(id) + " is not attached");
        return;
    }
    for (auto& [key, client] : m_clients) {
        if (client->closed)
            continue;
        if (client->mode == Client::Mode::bridged && client->deviceID == id) {
            closeClient(*client);
        } else if (client->listening) {
            Plist message = PlistValue::dictionary();
            PlistValue::set(message.get(), "MessageType", PlistValue::string("Detached"));
            PlistValue::set(message.get(), "DeviceID", PlistValue::unsignedInteger(id));
            queueMessage(*client, message.get(), 0);
            flush(client->fd, client->out);
        }
    }
    say("detached " + std::to_string(id));
}

void MuxServer::serviceClient(Client& client, short clientEvents, short peerEvents) {
    constexpr short kReadable = POLLIN | POLLHUP | POLLERR;
    if (client.mode == Client::Mode::protocol) {
        if (clientEvents & kReadable) {
            const ReadOutcome outcome = readInto(client.fd, client.in, kReadChunk);
            if (outcome == ReadOutcome::ended || outcome == ReadOutcome::failed) {
                closeClient(client);
                return;
            }
            handleMessages(client);
            if (client.closed)
                return;
        }
        if (!flush(client.fd, client.out))
            closeClient(client);
        return;
    }

    if ((clientEvents & kReadable) && !client.clientEnded) {
        const ReadOutcome outcome = readInto(client.fd, client.toPeer, kReadChunk);
        if (outcome == ReadOutcome::ended)
            client.clientEnded = true;
        if (outcome == ReadOutcome::failed)
            return closeClient(client);
    }
    if ((peerEvents & kReadable) && !client.peerEnded) {
        const ReadOutcome outcome = readInto(client.peerFd, client.out, kReadChunk);
        if (outcome == ReadOutcome::ended)
            client.peerEnded = true;
        if (outcome == ReadOutcome::failed)
            return closeClient(client);
    }
    if (!flush(client.peerFd, client.toPeer) || !flush(client.fd, client.out)) {
        return closeClient(client);
    }
    // An end of stream travels on once everything before it has been delivered.
    if (client.clientEnded && client.toPeer.empty() && !client.peerWriteShut) {
        ::shutdown(client.peerFd, SHUT_WR);
        client.peerWriteShut = true;
    }
    if (client.peerEnded && client.out.empty() && !client.clientWriteShut) {
        ::shutdown(client.fd, SHUT_WR);
        client.clientWriteShut = true;
    }
    if (client.peerWriteShut && client.clientWriteShut)
        closeClient(client);
}

void MuxServer::handleMessages(Client& client) {
    while (client.mode == Client::Mode::protocol && !client.closed) {
        if (client.in.size() < USBMux::kHeaderByteCount)
            return;
        auto header = USBMux::decodeHeader(client.in);
        if (!header) {
            say("error client sent a bad header: " + header.error().message());
            return closeClient(client);
        }
        if (client.in.size() < header->length)
            return;
        auto dictionary = USBMux::decodePayload(std::span(client.in).subspan(
            USBMux::kHeaderByteCount, header->length - USBMux::kHeaderByteCount));
        client.in.erase(client.in.begin(), client.in.begin() + header->length);
        if (!dictionary) {
            say("error client sent a bad message: " + dictionary.error().message());
            return closeClient(client);
        }
        handleRequest(client, dictionary->get(), header->tag);
    }
}

void MuxServer::handleRequest(Client& client, plist_t request, std::uint32_t tag) {
    const auto type = PlistValue::stringForKey(request, "MessageType");
    if (type == std::string_view("ListDevices")) {
        Plist list = PlistValue::array();
        for (const auto& [id, device] : m_devices) {
            Plist entry = PlistValue::dictionary();
            PlistValue::set(entry.get(), "DeviceID", PlistValue::unsignedInteger(id));
            PlistValue::set(entry.get(), "MessageType", PlistValue::string("Attached"));
            PlistValue::set(entry.get(), "Properties", deviceProperties(device));
            PlistValue::append(list.get(), std::move(entry));
        }
        Plist reply = PlistValue::dictionary();
        PlistValue::set(reply.get(), "DeviceList", std::move(list));
        queueMessage(client, reply.get(), tag);
    } else if (type == std::string_view("Listen")) {
        queueResult(client, USBMux::kResultOK, tag);
        client.listening = true;
        for (const auto& [id, device] : m_devices) {
            Plist message = PlistValue::dictionary();
            PlistValue::set(message.get(), "MessageType", PlistValue::string("Attached"));
            PlistValue::set(message.get(), "DeviceID", PlistValue::unsignedInteger(id));
            PlistValue::set(message.get(), "Properties", deviceProperties(device));
            queueMessage(client, message.get(), 0);
        }
    } else if (type == std::string_view("Connect")) {
        connectClient(client, request, tag);
    } else {
        queueResult(client, USBMux::kResultBadCommand, tag);
    }
}

void MuxServer::connectClient(Client& client, plist_t request, std::uint32_t tag) {
    const auto deviceID = PlistValue::integerForKey(request, "DeviceID");
    const auto portNumber = PlistValue::integerForKey(request, "PortNumber");
    const auto device =
        deviceID ? m_devices.find(static_cast<std::uint32_t>(*deviceID)) : m_devices.end();
    if (!deviceID || !portNumber || *portNumber > 0xFFFF || *deviceID > 0xFFFFFFFF ||
        device == m_devices.end()) {
        say("connect " + (deviceID ? std::to_string(*deviceID) : std::string("?")) + " no-device");
        return queueResult(client, USBMux::kResultBadDevice, tag);
    }
    // "PortNumber" is the port in network byte order read as a little-endian integer.
    const std::uint16_t port = USBMux::swappedPort(static_cast<std::uint16_t>(*portNumber));
    const std::string what =
        "connect " + std::to_string(device->first) + " " + std::to_string(port);
    const int peer = device->second.refuse || port != kDevicePort
                         ? -1
                         : connectLoopback(device->second.forwardPort);
    if (peer < 0) {
        say(what + " refused");
        return queueResult(client, USBMux::kResultConnectionRefused, tag);
    }
    queueResult(client, USBMux::kResultOK, tag);
    client.mode = Client::Mode::bridged;
    client.deviceID = device->first;
    client.peerFd = peer;
    // Bytes the client sent right behind its request already belong to the device.
    client.toPeer = std::move(client.in);
    client.in.clear();
    say(what + " ok");
}

void MuxServer::queueMessage(Client& client, plist_t dictionary, std::uint32_t tag) {
    auto bytes = USBMux::packet(dictionary, tag);
    if (bytes)
        client.out.insert(client.out.end(), bytes->begin(), bytes->end());
}

void MuxServer::queueResult(Client& client, std::int64_t number, std::uint32_t tag) {
    Plist message = PlistValue::dictionary();
    PlistValue::set(message.get(), "MessageType", PlistValue::string("Result"));
    PlistValue::set(message.get(), "Number",
                    PlistValue::unsignedInteger(static_cast<std::uint64_t>(number)));
    queueMessage(client, message.get(), tag);
}

Plist MuxServer::deviceProperties(const SimulatedDevice& device) const {
    Plist properties = PlistValue::dictionary();
    PlistValue::set(properties.get(), "ConnectionSpeed", PlistValue::unsignedInteger(480000000));
    PlistValue::set(properties.get(), "ConnectionType",
                    PlistValue::string(device.usb ? "USB" : "Network"));
    PlistValue::set(properties.get(), "DeviceID", PlistValue::unsignedInteger(device.id));
    PlistValue::set(properties.get(), "LocationID", PlistValue::unsignedInteger(0));
    PlistValue::set(properties.get(), "ProductID", PlistValue::unsignedInteger(0x12AB));
    PlistValue::set(properties.get(), "SerialNumber", PlistValue::string(device.serial));
    return properties;
}

void MuxServer::closeClient(Client& client) {
    if (client.closed)
        return;
    client.closed = true;
    ::close(client.fd);
    if (client.peerFd >= 0) {
        ::close(client.peerFd);
        say("bridge " + std::to_string(client.deviceID) + " closed");
    }
}

}  // namespace velurio::usbmuxd
