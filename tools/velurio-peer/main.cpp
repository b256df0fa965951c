// velurio-peer: a simulated tablet for tests and interop debugging (see tablet.h and README.md).
#include "tablet.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace {

int g_signalFds[2] = {-1, -1};

void onSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(g_signalFds[0], &byte, 1);
}

// SIGTERM and SIGINT end the event loop, so that the last picture is still written.
void quitOnSignals(QCoreApplication& app) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalFds) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(g_signalFds[1], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char byte = 0;
        [[maybe_unused]] const auto got = ::read(g_signalFds[1], &byte, 1);
        QCoreApplication::exit(0);
    });
    struct sigaction action {};
    action.sa_handler = &onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool parsePoint(const QString& text, double* x, double* y) {
    const QStringList parts = text.split(QLatin1Char(','));
    bool okX = false;
    bool okY = false;
    if (parts.size() == 2) {
        *x = parts[0].toDouble(&okX);
        *y = parts[1].toDouble(&okY);
    }
    return okX && okY;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace velurio;
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Simulated tablet for a Velurio host.\n\n") +
                                     QString::fromUtf8(peer::kCommandHelp));
    parser.addHelpOption();
    auto option = [](const char* name, const char* description, const char* value = nullptr,
                     const char* fallback = nullptr) {
        return value == nullptr
                   ? QCommandLineOption(QString::fromLatin1(name), QString::fromUtf8(description))
                   : QCommandLineOption(QString::fromLatin1(name), QString::fromUtf8(description),
                                        QString::fromLatin1(value),
                                        fallback ? QString::fromUtf8(fallback) : QString());
    };
    // Connection.
    const auto host =
        option("host", "Host address (with --browse: connect here, take only the ports from mDNS).",
               "address", "127.0.0.1");
    const auto port = option("port", "Control port (TLS over TCP).", "port");
    const auto videoPort = option(
        "video-port", "UDP video port: send the keep-alive there and collect video.", "port");
    const auto browse = option("browse", "Find the host through mDNS (\"_velurio._tcp\").");
    const auto video = option("video", "With --browse: use the advertised UDP video port.");
    const auto quic = option(
        "quic",
        "Connect over QUIC (\"velurio\") and, with --video, take the QUIC video listener when the "
        "host advertises one; fall back to TLS over TCP on the same port when QUIC fails.");
    const auto quicVideoPort =
        option("quic-video-port", "QUIC video port (\"velurio-video\"), without --browse.", "port");
    const auto stay =
        option("stay", "Keep running after the host closes the connection (for reconnect).");
    const auto usb = option("usb",
                            "On a cable: listen on 127.0.0.1:port as the TLS server (where "
                            "usbmuxd forwards the tablet's port), answer the host's offer.",
                            "port");
    const auto readRate = option("read-bytes-per-second",
                                 "Read the host's stream this slowly (a slow cable).", "n", "0");
    // Platform.
    const auto platformUrl =
        option("platform",
               "Platform base URL: sign in, register as an ipad and redeem a pairing code.", "url");
    const auto email =
        option("email", "Account e-mail on the platform.", "email", "dev@velurio.local");
    const auto password = option("password", "Account password.", "password", "velurio");
    const auto state = option(
        "state",
        "Keep the pairing (device id, token, attestation, host) in this file, as the tablet app "
        "does: read it at start when it exists instead of asking the platform.",
        "file");
    const auto code = option(
        "code",
        "Pairing code to redeem (default: the newest live code of the development platform).",
        "code");
    const auto macDeviceId = option(
        "mac-device-id",
        "The host's device id: without --code, only redeem a code of this host; with --browse, "
        "only connect to it (default: the host of the redeemed code).",
        "id");
    // Hello.
    const auto token =
        option("token", "Pairing token of the hello (overrides the platform's).", "text");
    const auto attestation =
        option("attestation", "Attestation of the hello (overrides the platform's).", "text");
    const auto attestationKey = option(
        "sign-attestation",
        "Sign our own attestation with this P-256 PEM key (PKCS#8), e.g. a forged one.", "file");
    const auto attestationTtl = option(
        "attestation-ttl", "Lifetime of a self-signed attestation; negative: already expired.",
        "seconds", "3600");
    const auto deviceId = option("device-id", "Device id of the hello.", "text", "velurio-peer");
    const auto deviceName =
        option("device-name", "Device name of the hello.", "text", "velurio-peer");
    const auto sessionId =
        option("session-id", "Session id of the hello.", "text", "velurio-peer-session");
    const auto resume = option("resume", "Ask to resume the last session.");
    const auto version = option("hello-version", "Protocol version the hello claims.", "n", "1");
    const auto noHello = option("no-hello", "Never send a hello.");
    const auto capabilities =
        option("capabilities-codec", "After acceptance, send capabilities with this video codec.",
               "h264|hevc");
    const auto capabilitiesEarly = option(
        "capabilities-early", "Send those capabilities right behind the hello, before acceptance.");
    // Ink.
    const auto script = option("script", "JSON-lines script of messages with delays.", "file");
    const auto strokes =
        option("strokes", "After acceptance, send this many generated strokes.", "n", "0");
    const auto strokeTool = option("stroke-tool", "Tool of the generated strokes.", "tool", "pen");
    const auto strokeColor =
        option("stroke-color", "Colour of the generated strokes.", "#RRGGBB", "#FF4D2E");
    const auto strokeWidth = option("stroke-width", "Width: 2, 4 or 8.", "n", "8");
    const auto strokeAt =
        option("stroke-at", "Start of the first stroke, normalised.", "x,y", "0.3,0.3");
    const auto strokeLength =
        option("stroke-length", "Horizontal length of each stroke, normalised.", "l", "0.3");
    const auto strokeSpacing =
        option("stroke-spacing", "Vertical distance between strokes, normalised.", "d", "0.1");
    const auto strokePoints = option("stroke-points", "Points per stroke.", "n", "8");
    const auto strokeDelay =
        option("stroke-delay-ms", "Wait this long after acceptance before drawing.", "ms", "300");
    // Liveness, video output, misbehaviour, run.
    const auto ping =
        option("ping-interval-ms", "Ping the host this often and log round trips.", "ms", "0");
    const auto png = option("png", "Write the last decoded picture here at exit.", "file");
    const auto dump =
        option("dump-stream", "Write the received elementary stream (Annex B) here.", "file");
    const auto stats = option("stats", "Write the per-frame JSON lines here too.", "file");
    const auto readCode = option(
        "read-code", "Read bench/e2e/frame_code.py's frame counter from each decoded picture.");
    const auto garbage =
        option("garbage", "Send a framed payload that is no JSON message after the hello.");
    const auto flood =
        option("flood", "Open this many TLS connections that never send a hello.", "n", "0");
    const auto stall =
        option("stall", "Open this many TCP connections that never start TLS.", "n", "0");
    const auto duration =
        option("duration-ms", "Exit after this long (0: when the host closes).", "ms", "0");
    const auto log = option("log", "Write the JSON-lines log here (default: stdout).", "file", "-");
    parser.addOptions({host,         port,        videoPort,      browse,
                       video,        quic,        quicVideoPort,  stay,
                       usb,          readRate,    platformUrl,    email,
                       password,     state,       code,           macDeviceId,
                       token,        attestation, attestationKey, attestationTtl,
                       deviceId,     deviceName,  sessionId,      resume,
                       version,      noHello,     capabilities,   capabilitiesEarly,
                       script,       strokes,     strokeTool,     strokeColor,
                       strokeWidth,  strokeAt,    strokeLength,   strokeSpacing,
                       strokePoints, strokeDelay, ping,           png,
                       dump,         stats,       readCode,       garbage,
                       flood,        stall,       duration,       log});
    parser.process(app);
    if (!parser.isSet(port) && !parser.isSet(browse) && !parser.isSet(usb)) {
        std::fprintf(stderr, "velurio-peer: --port, --browse or --usb is required\n");
        return 64;
    }

    peer::Options options;
    options.host = parser.value(host);
    options.port = parser.value(port).toUShort();
    options.videoPort = parser.value(videoPort).toUShort();
    options.browse = parser.isSet(browse);
    options.keepHost = parser.isSet(browse) && parser.isSet(host);
    options.hostDeviceId = parser.value(macDeviceId);
    options.video = parser.isSet(video);
    options.quic = parser.isSet(quic);
    options.quicVideoPort = parser.value(quicVideoPort).toUShort();
    options.stay = parser.isSet(stay);
    options.usbPort = parser.value(usb).toUShort();
    options.readBytesPerSecond = parser.value(readRate).toLongLong();
    options.hello.v = parser.value(version).toLongLong();
    options.hello.role = PeerRole::ipad;
    options.hello.sessionId = parser.value(sessionId).toStdString();
    options.hello.deviceId = parser.value(deviceId).toStdString();
    options.hello.deviceName = parser.value(deviceName).toStdString();
    options.hello.token = parser.value(token).toStdString();
    options.hello.attestation = parser.value(attestation).toStdString();
    options.hello.resume = parser.isSet(resume);
    options.sendHello = !parser.isSet(noHello);
    options.garbage = parser.isSet(garbage);
    options.script = parser.value(script);
    options.pingIntervalMs = parser.value(ping).toInt();
    options.durationMs = parser.value(duration).toInt();
    options.flood = parser.value(flood).toInt();
    options.stall = parser.value(stall).toInt();
    if (parser.isSet(platformUrl)) {
        peer::PlatformAccountOptions platform;
        platform.baseURL = QUrl(parser.value(platformUrl));
        platform.email = parser.value(email);
        platform.password = parser.value(password);
        platform.deviceName = parser.value(deviceName);
        platform.code = parser.value(code);
        platform.macDeviceId = parser.value(macDeviceId);
        options.platform = platform;
    }
    options.statePath = parser.value(state);
    options.attestationKeyPath = parser.value(attestationKey);
    options.attestationTtlSeconds = parser.value(attestationTtl).toLongLong();
    if (parser.isSet(capabilities)) {
        options.capabilitiesCodec = parser.value(capabilities).toStdString();
    }
    options.capabilitiesEarly = parser.isSet(capabilitiesEarly);
    options.strokes.count = parser.value(strokes).toInt();
    options.strokes.tool = parser.value(strokeTool).toStdString();
    options.strokes.color = parser.value(strokeColor).toStdString();
    options.strokes.width = parser.value(strokeWidth).toLongLong();
    options.strokes.length = parser.value(strokeLength).toDouble();
    options.strokes.spacing = parser.value(strokeSpacing).toDouble();
    options.strokes.points = parser.value(strokePoints).toInt();
    options.strokeDelayMs = parser.value(strokeDelay).toInt();
    if (!parsePoint(parser.value(strokeAt), &options.strokes.x, &options.strokes.y)) {
        std::fprintf(stderr, "velurio-peer: --stroke-at takes x,y\n");
        return 64;
    }
    options.pngPath = parser.value(png);
    options.dumpStreamPath = parser.value(dump);
    options.statsPath = parser.value(stats);
    options.readCode = parser.isSet(readCode);

    quitOnSignals(app);
    peer::Log logFile(parser.value(log));
    peer::Tablet tablet(options, logFile);
    tablet.start();
    if (options.durationMs > 0) {
        QTimer::singleShot(options.durationMs, &app, [] { QCoreApplication::exit(0); });
    }
    const int status = QCoreApplication::exec();
    tablet.finish();
    return status;
}
