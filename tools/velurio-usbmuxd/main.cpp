// velurio-usbmuxd: a stand-in for the usbmuxd service, for tests and for trying the USB path
// without a tablet on a cable. See kUsage.
#include "mux_server.h"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char* kUsage =
    R"(usage: velurio-usbmuxd --socket PATH [--forward PORT] [--attach "ID SERIAL [OPTIONS]"]... [--no-stdin]

A stand-in for the usbmuxd service on the Unix socket PATH. It answers ListDevices, Listen
(then sends Attached/Detached messages) and Connect. A Connect to port 49271 of an attached
device succeeds when 127.0.0.1:PORT accepts a TCP connection (where a simulated tablet
listens); from then on the client's socket is a raw byte pipe to that connection, as with the
real service. Any other port, or a device attached with "refuse", is answered with result 3
(connection refused); an unknown device with result 2. Point a client at it with
USBMUXD_SOCKET_ADDRESS=UNIX:PATH.

  --socket PATH     where to listen (a stale socket there is replaced)
  --forward PORT    the local TCP port behind every device's port 49271 (default 49271)
  --attach "..."    a device attached from the start (same words as the attach command)
  --no-stdin        do not read commands (stop it with SIGTERM or SIGINT)

Commands on standard input, one per line (the end of standard input stops the server, so in
the background run it with --no-stdin):
  attach ID SERIAL [network] [refuse] [port=N]   attach a device: listed as "Network" instead
                                                 of "USB", refusing every Connect, or leading
                                                 to 127.0.0.1:N instead of the --forward port
  detach ID                                      detach it (its pipes are closed)
  list                                           print the devices, then "end"
  quit                                           stop

Standard output, one line per event:
  listening PATH | attached ID | detached ID | connect ID PORT ok|refused | connect ID no-device
  | bridge ID closed | device ... (list) | end | error TEXT
)";

}  // namespace

int main(int argc, char** argv) {
    std::string socketPath;
    std::uint16_t forwardPort = velurio::usbmuxd::MuxServer::kDevicePort;
    std::vector<std::string> attachments;
    bool readCommands = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--socket" && hasValue) {
            socketPath = argv[++i];
        } else if (arg == "--forward" && hasValue) {
            const std::string_view value = argv[++i];
            const auto [end, error] =
                std::from_chars(value.data(), value.data() + value.size(), forwardPort);
            if (error != std::errc() || end != value.data() + value.size() || forwardPort == 0) {
                std::fprintf(stderr, "velurio-usbmuxd: bad --forward port\n");
                return 2;
            }
        } else if (arg == "--attach" && hasValue) {
            attachments.emplace_back(argv[++i]);
        } else if (arg == "--no-stdin") {
            readCommands = false;
        } else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    if (socketPath.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    velurio::usbmuxd::MuxServer server(socketPath, forwardPort);
    if (!server.listen())
        return 1;
    for (const auto& attachment : attachments)
        server.command("attach " + attachment);
    return server.run(readCommands);
}
