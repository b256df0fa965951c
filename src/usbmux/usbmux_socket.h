// A blocking stream socket to the usbmuxd service: first it carries request and reply
// messages; after a successful "Connect" it is the raw byte stream to the device's port.
//
// Threads: every call but shutdown() blocks, so run them on a worker thread, never on the
// Qt main thread. One reader and one writer may work at the same time on different threads
// (the two directions of a tunnel); shutdown() may be called from any thread, at any time and
// more than once: under the close guard it shuts the socket down in both directions exactly
// once, which wakes a blocked read (it then reports the end of the stream) and fails later
// writes with EPIPE.
//
// Lifetime: the descriptor is closed when the object is destroyed, never earlier, so a
// descriptor number cannot be reused under a read still in flight; destroy it only after every
// thread using it has returned (share it with std::shared_ptr when several do).
//
// Timeouts: a new socket has receive and send timeouts of 3 seconds (a read or write that
// waits longer fails with EIO or EPIPE); USBMux::connect clears both before it hands the
// stream over. Errors are listed in usbmux/usbmux_error.h.
#pragma once

#include "protocol/result.h"
#include "usbmux/plist.h"
#include "usbmux/usbmux_address.h"
#include "usbmux/usbmux_error.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace velurio {

class USBMuxSocket {
  public:
    static constexpr std::chrono::milliseconds kDefaultTimeout{3000};

    // Connects to the service: EMFILE when no socket can be created, ENAMETOOLONG when the
    // path does not fit a Unix socket address, ECONNREFUSED when the connection fails (a TCP
    // address is resolved, and each of its addresses tried for at most the default timeout).
    static Result<std::unique_ptr<USBMuxSocket>, USBMuxError> open(
        const USBMuxAddress& address = USBMuxAddress::fromEnvironment());

    ~USBMuxSocket();
    USBMuxSocket(const USBMuxSocket&) = delete;
    USBMuxSocket& operator=(const USBMuxSocket&) = delete;
    USBMuxSocket(USBMuxSocket&&) = delete;
    USBMuxSocket& operator=(USBMuxSocket&&) = delete;

    // Sends `dictionary` with the client keys added, as one message with tag 1, and returns the
    // reply's dictionary (its tag is not checked).
    Result<Plist, USBMuxError> request(Plist dictionary);
    // Reads one whole message (a reply, or a notification after "Listen") and returns its
    // dictionary.
    Result<Plist, USBMuxError> readMessage();

    // Writes all of `bytes` (interrupted calls are retried); EPIPE on failure.
    Status<USBMuxError> write(std::span<const std::uint8_t> bytes);
    // One read of at most `maximum` bytes: the bytes, or nullopt at the end of the stream;
    // EIO on failure (a timeout included).
    Result<std::optional<std::vector<std::uint8_t>>, USBMuxError> read(std::size_t maximum);
    // The same into the caller's buffer: the count read, 0 at the end of the stream.
    Result<std::size_t, USBMuxError> readSome(std::span<std::uint8_t> buffer);
    // Exactly `count` bytes; ECONNRESET when the stream ends first.
    Result<std::vector<std::uint8_t>, USBMuxError> readExactly(std::size_t count);

    // Receive and send timeouts; zero means none.
    Status<USBMuxError> setTimeouts(std::chrono::milliseconds timeout);

    // See above. Never blocks for longer than the close guard is held by another shutdown().
    void shutdown();
    bool isShutDown() const;

    // For poll() only; never read, write or close it behind the object's back.
    int nativeHandle() const noexcept { return m_fd; }

  private:
    explicit USBMuxSocket(int fd) : m_fd(fd) {}

    const int m_fd;
    mutable std::mutex m_closeLock;
    bool m_stopped = false;  // guarded by m_closeLock
};

}  // namespace velurio
