// The stand-in service: one thread, one poll() loop over the listening Unix socket, standard
// input (commands) and every client connection.
//
// A client first speaks the usbmuxd property-list protocol (ListDevices, Listen, Connect).
// After "Listen" it receives "Attached"/"Detached" messages as devices come and go. After a
// successful "Connect" its socket is the raw byte pipe to the device's port: here a TCP
// connection to 127.0.0.1:<forward port>, relayed in both directions with half-close and
// bounded buffers; detaching the device closes the pipe.
//
// Everything the server does is reported as one line on standard output (see --help).
#pragma once

#include "usbmux/plist.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velurio::usbmuxd {

struct SimulatedDevice {
    std::uint32_t id = 0;
    std::string serial;
    bool usb = true;      // otherwise listed with connection type "Network"
    bool refuse = false;  // every Connect is answered with "connection refused"
    std::uint16_t forwardPort = 0;
};

class MuxServer {
  public:
    static constexpr std::uint16_t kDevicePort = 49271;

    MuxServer(std::string socketPath, std::uint16_t defaultForwardPort);
    ~MuxServer();
    MuxServer(const MuxServer&) = delete;
    MuxServer& operator=(const MuxServer&) = delete;

    // Binds the socket (replacing a stale one); false, with a message on stderr, on failure.
    bool listen();
    // Runs until "quit", the end of standard input (when reading commands), SIGINT or SIGTERM.
    // Returns the process exit code.
    int run(bool readCommands);

    // One command line (see --help); its outcome goes to stdout.
    void command(std::string_view line);
    void attach(SimulatedDevice device);
    void detach(std::uint32_t id);

  private:
    struct Client;

    void accept();
    void readStandardInput();
    void serviceClient(Client& client, short clientEvents, short peerEvents);
    void handleMessages(Client& client);
    void handleRequest(Client& client, plist_t request, std::uint32_t tag);
    void connectClient(Client& client, plist_t request, std::uint32_t tag);
    void queueMessage(Client& client, plist_t dictionary, std::uint32_t tag);
    void queueResult(Client& client, std::int64_t number, std::uint32_t tag);
    Plist deviceProperties(const SimulatedDevice& device) const;
    void closeClient(Client& client);

    std::string m_socketPath;
    std::uint16_t m_defaultForwardPort;
    int m_listenFd = -1;
    bool m_quit = false;
    bool m_stdinOpen = true;
    std::string m_stdinBuffer;
    std::map<std::uint32_t, SimulatedDevice> m_devices;
    std::uint64_t m_nextClientKey = 1;
    std::map<std::uint64_t, std::unique_ptr<Client>> m_clients;
};

}  // namespace velurio::usbmuxd
