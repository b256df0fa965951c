#include "usbmux/usbmux_socket.h"

#include "usbmux/usbmux_protocol.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace velurio {

namespace {

constexpr std::size_t kReadChunk = 65536;

std::string systemText(const char* call, int error) {
    return std::string(call) + ": " + std::strerror(error);
}

// Receive and send timeouts; on Linux the send timeout also bounds connect().
int applyTimeouts(int fd, std::chrono::milliseconds timeout) {
    const auto ms = std::max<std::chrono::milliseconds::rep>(timeout.count(), 0);
    timeval value{};
    value.tv_sec = static_cast<time_t>(ms / 1000);
    value.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) != 0)
        return errno;
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &value, sizeof value) != 0)
        return errno;
    return 0;
}

Result<int, USBMuxError> openUnix(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return fail(USBMuxError::posix(EMFILE, systemText("socket", errno)));
    sockaddr_un address{};
    if (path.find('\0') != std::string::npos) {
        ::close(fd);
        return fail(USBMuxError::posix(EINVAL, "socket path holds a NUL byte"));
    }
    // The path and its terminating zero byte must fit.
    if (path.size() >= sizeof address.sun_path) {
        ::close(fd);
        return fail(USBMuxError::posix(ENAMETOOLONG,
                                       "socket path of " + std::to_string(path.size()) + " bytes"));
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    applyTimeouts(fd, USBMuxSocket::kDefaultTimeout);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        ::close(fd);
        return fail(
            USBMuxError::posix(ECONNREFUSED, systemText("connect", error) + " (" + path + ")"));
    }
    return fd;
}

Result<int, USBMuxError> openTCP(const std::string& host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int resolved = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (resolved != 0) {
        return fail(USBMuxError::posix(ECONNREFUSED,
                                       "getaddrinfo " + host + ": " + ::gai_strerror(resolved)));
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
    std::string lastFailure = "no address for " + host;
    for (const addrinfo* entry = list.get(); entry != nullptr; entry = entry->ai_next) {
        const int fd =
            ::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
        if (fd < 0)
            return fail(USBMuxError::posix(EMFILE, systemText("socket", errno)));
        applyTimeouts(fd, USBMuxSocket::kDefaultTimeout);
        if (::connect(fd, entry->ai_addr, entry->ai_addrlen) == 0) {
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return fd;
        }
        lastFailure = systemText("connect", errno) + " (" + host + ":" + service + ")";
        ::close(fd);
    }
    return fail(USBMuxError::posix(ECONNREFUSED, lastFailure));
}

}  // namespace

Result<std::unique_ptr<USBMuxSocket>, USBMuxError> USBMuxSocket::open(
    const USBMuxAddress& address) {
    auto fd = address.kind == USBMuxAddress::Kind::unixSocket ? openUnix(address.path)
                                                              : openTCP(address.host, address.port);
    if (!fd)
        return fail(std::move(fd).error());
    return std::unique_ptr<USBMuxSocket>(new USBMuxSocket(*fd));
}

USBMuxSocket::~USBMuxSocket() {
    ::close(m_fd);
}

Result<Plist, USBMuxError> USBMuxSocket::request(Plist dictionary) {
    USBMux::addClientKeys(dictionary.get());
    auto bytes = USBMux::packet(dictionary.get(), USBMux::kRequestTag);
    if (!bytes)
        return fail(std::move(bytes).error());
    if (auto written = write(*bytes); !written)
        return fail(written.error());
    return readMessage();
}

Result<Plist, USBMuxError> USBMuxSocket::readMessage() {
    auto head = readExactly(USBMux::kHeaderByteCount);
    if (!head)
        return fail(std::move(head).error());
    auto header = USBMux::decodeHeader(*head);
    if (!header)
        return fail(std::move(header).error());
    auto payload = readExactly(header->length - USBMux::kHeaderByteCount);
    if (!payload)
        return fail(std::move(payload).error());
    return USBMux::decodePayload(*payload);
}

Status<USBMuxError> USBMuxSocket::write(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0) {
            return fail(USBMuxError::posix(
                EPIPE, sent < 0 ? systemText("send", errno) : std::string("send wrote nothing")));
        }
        bytes = bytes.subspan(static_cast<std::size_t>(sent));
    }
    return {};
}

Result<std::size_t, USBMuxError> USBMuxSocket::readSome(std::span<std::uint8_t> buffer) {
    for (;;) {
        const ssize_t received = ::recv(m_fd, buffer.data(), buffer.size(), 0);
        if (received >= 0)
            return static_cast<std::size_t>(received);
        if (errno == EINTR)
            continue;
        return fail(USBMuxError::posix(EIO, systemText("recv", errno)));
    }
}

Result<std::optional<std::vector<std::uint8_t>>, USBMuxError> USBMuxSocket::read(
    std::size_t maximum) {
    std::vector<std::uint8_t> bytes(maximum);
    auto count = readSome(bytes);
    if (!count)
        return fail(std::move(count).error());
    if (*count == 0)
        return std::optional<std::vector<std::uint8_t>>();
    bytes.resize(*count);
    return std::optional<std::vector<std::uint8_t>>(std::move(bytes));
}

Result<std::vector<std::uint8_t>, USBMuxError> USBMuxSocket::readExactly(std::size_t count) {
    // Grows as bytes arrive, so a large count costs memory only once the bytes are there.
    std::vector<std::uint8_t> bytes;
    while (bytes.size() < count) {
        const std::size_t have = bytes.size();
        bytes.resize(have + std::min(count - have, kReadChunk));
        auto received = readSome(std::span(bytes).subspan(have));
        if (!received)
            return fail(std::move(received).error());
        if (*received == 0) {
            return fail(USBMuxError::posix(ECONNRESET, "stream ended after " +
                                                           std::to_string(have) + " of " +
                                                           std::to_string(count) + " bytes"));
        }
        bytes.resize(have + *received);
    }
    return bytes;
}

Status<USBMuxError> USBMuxSocket::setTimeouts(std::chrono::milliseconds timeout) {
    if (const int error = applyTimeouts(m_fd, timeout); error != 0) {
        return fail(USBMuxError::posix(error, systemText("setsockopt", error)));
    }
    return {};
}

void USBMuxSocket::shutdown() {
    const std::lock_guard lock(m_closeLock);
    if (m_stopped)
        return;
    m_stopped = true;
    ::shutdown(m_fd, SHUT_RDWR);
}

bool USBMuxSocket::isShutDown() const {
    const std::lock_guard lock(m_closeLock);
    return m_stopped;
}

}  // namespace velurio
