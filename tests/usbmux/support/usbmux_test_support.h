// Test helpers for the usbmuxd client: raw socket I/O, an in-process fake service on a Unix
// socket that runs one scripted session per connection, a loopback TCP listener standing in
// for the tablet, and the stand-in tool as a child process.
#pragma once

#include "usbmux/usbmux_protocol.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace velurio::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes toBytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

inline bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

// Reads until `count` bytes or the end of the stream.
inline Bytes readUpTo(int fd, std::size_t count) {
    Bytes bytes(count);
    std::size_t have = 0;
    while (have < count) {
        const ssize_t n = ::recv(fd, bytes.data() + have, count - have, 0);
        if (n <= 0)
            break;
        have += static_cast<std::size_t>(n);
    }
    bytes.resize(have);
    return bytes;
}

// One whole usbmuxd message (header and payload) as sent; empty when the stream ends first.
inline Bytes readMessageBytes(int fd) {
    Bytes head = readUpTo(fd, USBMux::kHeaderByteCount);
    if (head.size() < USBMux::kHeaderByteCount)
        return {};
    std::uint32_t length = 0;
    std::memcpy(&length, head.data(), 4);  // little-endian host
    if (length < USBMux::kHeaderByteCount)
        return head;
    Bytes payload = readUpTo(fd, length - USBMux::kHeaderByteCount);
    head.insert(head.end(), payload.begin(), payload.end());
    return head;
}

inline Bytes headerBytes(std::uint32_t length, std::uint32_t version, std::uint32_t type,
                         std::uint32_t tag) {
    const auto head = USBMux::encodeHeader({length, version, type, tag});
    return Bytes(head.begin(), head.end());
}

inline Bytes message(plist_t dictionary, std::uint32_t tag = 1) {
    return USBMux::packet(dictionary, tag).value();
}

inline Bytes resultMessage(std::uint64_t number, std::uint32_t tag = 1) {
    Plist reply = PlistValue::dictionary();
    PlistValue::set(reply.get(), "MessageType", PlistValue::string("Result"));
    PlistValue::set(reply.get(), "Number", PlistValue::unsignedInteger(number));
    return message(reply.get(), tag);
}

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/velurio-usbmux.XXXXXX";
        if (::mkdtemp(pattern) == nullptr)
            throw std::runtime_error("mkdtemp");
        m_path = pattern;
    }
    ~TempDir() { std::filesystem::remove_all(m_path); }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

// A Unix-socket service that accepts connections one after another and runs `session` on each
// on its own thread, until destroyed (then it stops accepting and joins).
class FakeMuxServer {
  public:
    explicit FakeMuxServer(std::function<void(int fd)> session) : m_session(std::move(session)) {
        m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const std::string path = m_dir.file("usbmuxd");
        std::memcpy(address.sun_path, path.c_str(), path.size());
        if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listenFd, 8) != 0) {
            throw std::runtime_error("fake usbmuxd: bind");
        }
        m_acceptor = std::thread([this] {
            for (;;) {
                const int fd = ::accept(m_listenFd, nullptr, nullptr);
                if (fd < 0)
                    return;
                m_sessions.emplace_back([this, fd] {
                    m_session(fd);
                    ::close(fd);
                });
            }
        });
    }
    ~FakeMuxServer() {
        ::shutdown(m_listenFd, SHUT_RDWR);
        m_acceptor.join();
        for (auto& session : m_sessions)
            session.join();
        ::close(m_listenFd);
    }
    std::string path() const { return m_dir.file("usbmuxd"); }

  private:
    TempDir m_dir;
    std::function<void(int fd)> m_session;
    int m_listenFd = -1;
    std::thread m_acceptor;
    std::vector<std::thread> m_sessions;
};

// A TCP listener on 127.0.0.1 (any port): the simulated tablet's side of a device port.
class LoopbackListener {
  public:
    LoopbackListener() {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
            ::listen(m_fd, 8) != 0 ||
            ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            throw std::runtime_error("loopback listener");
        }
        m_port = ntohs(address.sin_port);
    }
    ~LoopbackListener() { ::close(m_fd); }
    std::uint16_t port() const { return m_port; }
    int fd() const { return m_fd; }
    // The next connection, or -1 after `timeout`.
    int accept(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
        pollfd entry{m_fd, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(timeout.count())) != 1)
            return -1;
        return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
    }

  private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

// A child process with its standard input and output connected to pipes; killed (SIGTERM) and
// reaped when destroyed.
class ChildProcess {
  public:
    explicit ChildProcess(std::vector<std::string> argv) {
        int in[2];
        int out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::vector<char*> args;
        for (auto& arg : argv)
            args.push_back(arg.data());
        args.push_back(nullptr);
        const int spawned = ::posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        m_stdin = in[1];
        m_stdout = out[0];
        if (spawned != 0)
            throw std::runtime_error("posix_spawn " + argv[0]);
    }
    ~ChildProcess() {
        ::close(m_stdin);
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        ::close(m_stdout);
    }
    void send(const std::string& line) {
        const std::string text = line + "\n";
        std::size_t written = 0;
        while (written < text.size()) {
            const ssize_t n = ::write(m_stdin, text.data() + written, text.size() - written);
            if (n <= 0)
                return;
            written += static_cast<std::size_t>(n);
        }
    }
    // The next line on its standard output, or nullopt after `timeout` or at its end.
    std::optional<std::string> readLine(
        std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            if (const auto newline = m_buffer.find('\n'); newline != std::string::npos) {
                std::string line = m_buffer.substr(0, newline);
                m_buffer.erase(0, newline + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd entry{m_stdout, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) != 1) {
                return std::nullopt;
            }
            char chunk[4096];
            const ssize_t n = ::read(m_stdout, chunk, sizeof chunk);
            if (n <= 0)
                return std::nullopt;
            m_buffer.append(chunk, static_cast<std::size_t>(n));
        }
    }
    // Reads lines until one equals `expected`; false when it never comes.
    bool waitFor(const std::string& expected) {
        while (auto line = readLine()) {
            if (*line == expected)
                return true;
        }
        return false;
    }

  private:
    pid_t m_pid = -1;
    int m_stdin = -1;
    int m_stdout = -1;
    std::string m_buffer;
};

}  // namespace velurio::test
