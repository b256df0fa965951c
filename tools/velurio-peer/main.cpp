// velurio-peer: a simulated tablet. It connects to a host over TLS/TCP, sends a hello, plays a
// stroke script, answers pings, keeps a UDP video connection alive, reassembles the video
// frames it receives and prints a JSON-lines log of everything. It can also misbehave on
// purpose (no hello, wrong version, garbage, floods of connections) to test the host.
//
// Log lines (one JSON object each, on stdout or --log):
//   {"event":"connected"} {"event":"message","channel":N,"message":{...}}
//   {"event":"ping","seq":N,"ts":N} {"event":"rtt","ms":X}
//   {"event":"frame","seq":N,"pts":N,"bytes":N,"key":B}
//   {"event":"closed"} {"event":"flood","opened":N,"encrypted":N,"closed":N}
#include "host_discovery.h"
#include "protocol/message_codec.h"
#include "protocol/video_datagram.h"
#include "protocol/wire_framing.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSslSocket>
#include <QTimer>
#include <QUdpSocket>

#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace velurio::peer {
namespace {

constexpr std::size_t kMaxFramesInAssembly = 64;

class Log {
  public:
    explicit Log(const QString& path) {
        if (path.isEmpty() || path == QStringLiteral("-")) {
            m_file.open(stdout, QIODevice::WriteOnly);
        } else {
            m_file.setFileName(path);
            m_file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        }
    }
    void write(const QJsonObject& object) {
        m_file.write(QJsonDocument(object).toJson(QJsonDocument::Compact));
        m_file.write("\n");
        m_file.flush();
    }
    void writeRaw(const QByteArray& line) {
        m_file.write(line);
        m_file.write("\n");
        m_file.flush();
    }

  private:
    QFile m_file;
};

std::int64_t nowMs() {
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

// Frames split over datagrams, put back together by sequence and fragment index.
class FrameAssembler {
  public:
    struct Frame {
        std::uint32_t sequence;
        std::uint64_t pts;
        bool isKeyframe;
        std::size_t bytes;
    };
    std::optional<Frame> add(std::span<const std::uint8_t> datagram) {
        auto header = VideoFrameHeader::parse(datagram);
        if (!header || datagram.size() - VideoFrameHeader::byteCount != header->payloadLength) {
            return std::nullopt;
        }
        Pending& pending = m_frames[header->sequence];
        if (pending.fragments.empty()) {
            pending.fragments.resize(header->fragmentCount);
            pending.header = *header;
        }
        if (pending.header.fragmentCount != header->fragmentCount ||
            pending.fragments[header->fragmentIndex]) {
            return std::nullopt;
        }
        pending.fragments[header->fragmentIndex] =
            Bytes(datagram.begin() + VideoFrameHeader::byteCount, datagram.end());
        if (++pending.received < header->fragmentCount) {
            while (m_frames.size() > kMaxFramesInAssembly) {
                m_frames.erase(m_frames.begin());  // the oldest incomplete frame is lost
            }
            return std::nullopt;
        }
        Frame frame{header->sequence, pending.header.pts, pending.header.isKeyframe, 0};
        for (const auto& fragment : pending.fragments) {
            frame.bytes += fragment->size();
        }
        m_frames.erase(header->sequence);
        return frame;
    }

  private:
    struct Pending {
        VideoFrameHeader header;
        std::vector<std::optional<Bytes>> fragments;
        std::size_t received = 0;
    };
    std::map<std::uint32_t, Pending> m_frames;
};

struct Options {
    QString host;
    quint16 port = 0;
    quint16 videoPort = 0;
    bool browse = false;  // find host and port through mDNS
    bool video = false;   // use the advertised UDP video port
    HelloMessage hello;
    bool sendHello = true;
    bool garbage = false;
    QString script;
    int pingIntervalMs = 0;
    int durationMs = 0;
    int flood = 0;
    int stall = 0;
};

class Tablet : public QObject {
  public:
    Tablet(Options options, Log& log) : m_options(std::move(options)), m_log(log) {}

    void start() {
        if (m_options.browse) {
            discoverHost(
                this,
                [this](const DiscoveredHost& found) {
                    m_log.write(
                        {{"event", "discovered"},
                         {"name", found.name},
                         {"address", found.address},
                         {"port", found.port},
                         {"vudp", QString::fromUtf8(found.txt.count("vudp") ? found.txt.at("vudp")
                                                                            : QByteArray())}});
                    m_options.browse = false;
                    m_options.host = found.address;
                    m_options.port = found.port;
                    if (m_options.video && found.txt.count("vudp") != 0) {
                        m_options.videoPort = found.txt.at("vudp").toUShort();
                    }
                    start();
                },
                [this](const QString& description) {
                    m_log.write({{"event", "error"}, {"description", description}});
                    QCoreApplication::exit(2);
                });
            return;
        }
        if (m_options.flood > 0 || m_options.stall > 0) {
            startFlood();
            return;
        }
        m_socket = new QSslSocket(this);
        m_socket->setPeerVerifyMode(
            QSslSocket::VerifyNone);  // the host's certificate is self-signed
        connect(m_socket, &QSslSocket::encrypted, this, &Tablet::onEncrypted);
        connect(m_socket, &QSslSocket::readyRead, this, &Tablet::onReadyRead);
        connect(m_socket, &QSslSocket::disconnected, this, [this] {
            m_log.write({{"event", "closed"}});
            QCoreApplication::exit(0);
        });
        connect(m_socket, &QSslSocket::errorOccurred, this,
                [this](QAbstractSocket::SocketError error) {
                    if (error != QAbstractSocket::RemoteHostClosedError) {
                        m_log.write({{"event", "error"}, {"description", m_socket->errorString()}});
                        QCoreApplication::exit(2);
                    }
                });
        m_socket->connectToHostEncrypted(m_options.host, m_options.port);
    }

  private:
    void send(const SessionMessage& message, WireChannel channel = WireChannel::control) {
        sendBytes(WireFraming::frame(MessageCodec::encode(message), channel).value());
    }
    void sendBytes(const Bytes& bytes) {
        m_socket->write(reinterpret_cast<const char*>(bytes.data()),
                        static_cast<qint64>(bytes.size()));
    }

    void onEncrypted() {
        m_log.write({{"event", "connected"}});
        if (m_options.sendHello) {
            send(m_options.hello);
        }
        if (m_options.garbage) {
            // A well-framed payload that is no JSON message: the host must drop it and carry on.
            constexpr std::string_view junk = "{\"t\":\"stroke\",,garbage";
            sendBytes(
                WireFraming::frame(
                    std::span(reinterpret_cast<const std::uint8_t*>(junk.data()), junk.size()),
                    WireChannel::control)
                    .value());
        }
        if (!m_options.script.isEmpty()) {
            playScript();
        }
        if (m_options.pingIntervalMs > 0) {
            auto* timer = new QTimer(this);
            connect(timer, &QTimer::timeout, this, [this] {
                send(PingMessage{++m_pingSeq, nowMs()});
            });
            timer->start(m_options.pingIntervalMs);
        }
        if (m_options.videoPort != 0) {
            startVideo();
        }
    }

    // Each line: {"delay_ms": N, "channel": C (optional), "message": {...}}; delays add up.
    void playScript() {
        QFile file(m_options.script);
        if (!file.open(QIODevice::ReadOnly)) {
            m_log.write({{"event", "error"}, {"description", "cannot read the script"}});
            return;
        }
        int at = 0;
        while (!file.atEnd()) {
            const QByteArray line = file.readLine().trimmed();
            if (line.isEmpty()) {
                continue;
            }
            const QJsonObject step = QJsonDocument::fromJson(line).object();
            at += step.value("delay_ms").toInt();
            const auto channel =
                wireChannelFromRaw(static_cast<std::uint8_t>(step.value("channel").toInt(0)));
            const QByteArray text =
                QJsonDocument(step.value("message").toObject()).toJson(QJsonDocument::Compact);
            auto decoded = MessageCodec::decode(
                std::string_view(text.constData(), static_cast<std::size_t>(text.size())));
            if (!decoded.ok()) {
                m_log.write({{"event", "error"},
                             {"description", "bad script line"},
                             {"line", QString::fromUtf8(line)}});
                continue;
            }
            QTimer::singleShot(at, this, [this, message = decoded.value(), channel] {
                send(message, channel.value_or(WireChannel::control));
            });
        }
    }

    void onReadyRead() {
        const QByteArray data = m_socket->readAll();
        for (const WireFrame& frame :
             m_parser.ingest(std::span(reinterpret_cast<const std::uint8_t*>(data.constData()),
                                       static_cast<std::size_t>(data.size())))) {
            if (frame.channel == WireChannel::video) {
                collectVideo(frame.payload);
                continue;
            }
            auto decoded = MessageCodec::decode(std::span<const std::uint8_t>(frame.payload));
            if (!decoded.ok()) {
                m_log.write({{"event", "undecodable"},
                             {"bytes", static_cast<qint64>(frame.payload.size())}});
                continue;
            }
            const SessionMessage& message = decoded.value();
            QByteArray line = "{\"event\":\"message\",\"channel\":" +
                              QByteArray::number(static_cast<int>(frame.channel)) +
                              ",\"message\":" + QByteArray::fromStdString(message.canonicalJSON()) +
                              "}";
            m_log.writeRaw(line);
            if (const PingMessage* ping = message.get<PingMessage>()) {
                send(PongMessage::echoing(*ping));
            } else if (const PongMessage* pong = message.get<PongMessage>()) {
                m_log.write({{"event", "rtt"},
                             {"seq", static_cast<qint64>(pong->seq)},
                             {"ms", static_cast<qint64>(nowMs() - pong->ts)}});
            }
        }
    }

    void startVideo() {
        m_video = new QUdpSocket(this);
        connect(m_video, &QUdpSocket::readyRead, this, [this] {
            while (m_video->hasPendingDatagrams()) {
                QByteArray datagram(
                    static_cast<qsizetype>(std::max<qint64>(m_video->pendingDatagramSize(), 0)),
                    '\0');
                const qint64 size = m_video->readDatagram(datagram.data(), datagram.size());
                if (size >= 0) {
                    collectVideo(Bytes(datagram.begin(), datagram.begin() + size));
                }
            }
        });
        auto sendKeepalive = [this] {
            m_video->writeDatagram(
                reinterpret_cast<const char*>(VideoControlDatagram::keepalive.data()),
                static_cast<qint64>(VideoControlDatagram::keepalive.size()),
                m_socket->peerAddress(), m_options.videoPort);
        };
        sendKeepalive();
        auto* timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, sendKeepalive);
        timer->start(1'000);
    }

    void collectVideo(const Bytes& datagram) {
        if (auto frame = m_assembler.add(datagram)) {
            m_log.write({{"event", "frame"},
                         {"seq", static_cast<qint64>(frame->sequence)},
                         {"pts", static_cast<qint64>(frame->pts)},
                         {"bytes", static_cast<qint64>(frame->bytes)},
                         {"key", frame->isKeyframe}});
        }
    }

    // Many connections as fast as possible: `flood` finish TLS and stay silent, `stall` never
    // start TLS. They stay open until the run ends or the host closes them.
    void startFlood() {
        for (int i = 0; i < m_options.flood; ++i) {
            auto* socket = new QSslSocket(this);
            socket->setPeerVerifyMode(QSslSocket::VerifyNone);
            connect(socket, &QSslSocket::encrypted, this, [this] { ++m_encrypted; });
            connect(socket, &QSslSocket::disconnected, this, [this] { ++m_closed; });
            socket->connectToHostEncrypted(m_options.host, m_options.port);
        }
        for (int i = 0; i < m_options.stall; ++i) {
            auto* socket = new QTcpSocket(this);
            connect(socket, &QTcpSocket::disconnected, this, [this] { ++m_closed; });
            socket->connectToHost(m_options.host, m_options.port);
        }
    }

  public:
    void report() {
        if (m_options.flood > 0 || m_options.stall > 0) {
            m_log.write({{"event", "flood"},
                         {"opened", m_options.flood + m_options.stall},
                         {"encrypted", m_encrypted},
                         {"closed", m_closed}});
        }
    }

  private:
    Options m_options;
    Log& m_log;
    QSslSocket* m_socket = nullptr;
    QUdpSocket* m_video = nullptr;
    WireFrameParser m_parser;
    FrameAssembler m_assembler;
    std::uint32_t m_pingSeq = 0;
    int m_encrypted = 0;
    int m_closed = 0;
};

}  // namespace
}  // namespace velurio::peer

int main(int argc, char** argv) {
    using namespace velurio;
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Simulated tablet for a Velurio host"));
    parser.addHelpOption();
    const QCommandLineOption host(QStringLiteral("host"), "Host address.", "address", "127.0.0.1");
    const QCommandLineOption port(QStringLiteral("port"), "Control port (TLS over TCP).", "port");
    const QCommandLineOption videoPort(
        QStringLiteral("video-port"),
        "UDP video port: send the keep-alive there and collect video.", "port");
    const QCommandLineOption token(QStringLiteral("token"), "Pairing token of the hello.", "text");
    const QCommandLineOption attestation(QStringLiteral("attestation"), "Attestation of the hello.",
                                         "text");
    const QCommandLineOption deviceId(QStringLiteral("device-id"), "Device id of the hello.",
                                      "text", "velurio-peer");
    const QCommandLineOption deviceName(QStringLiteral("device-name"), "Device name of the hello.",
                                        "text", "velurio-peer");
    const QCommandLineOption sessionId(QStringLiteral("session-id"), "Session id of the hello.",
                                       "text", "velurio-peer-session");
    const QCommandLineOption resume(QStringLiteral("resume"), "Ask to resume the last session.");
    const QCommandLineOption version(QStringLiteral("hello-version"),
                                     "Protocol version the hello claims.", "n", "1");
    const QCommandLineOption noHello(QStringLiteral("no-hello"), "Never send a hello.");
    const QCommandLineOption garbage(
        QStringLiteral("garbage"),
        "Send a framed payload that is no JSON message after the hello.");
    const QCommandLineOption script(QStringLiteral("script"),
                                    "JSON-lines script of messages with delays.", "file");
    const QCommandLineOption ping(QStringLiteral("ping-interval-ms"),
                                  "Ping the host this often and log round trips.", "ms", "0");
    const QCommandLineOption duration(QStringLiteral("duration-ms"),
                                      "Exit after this long (0: when the host closes).", "ms", "0");
    const QCommandLineOption flood(QStringLiteral("flood"),
                                   "Open this many TLS connections that never send a hello.", "n",
                                   "0");
    const QCommandLineOption stall(
        QStringLiteral("stall"), "Open this many TCP connections that never start TLS.", "n", "0");
    const QCommandLineOption browse(QStringLiteral("browse"),
                                    "Find the host through mDNS (\"_velurio._tcp\").");
    const QCommandLineOption video(QStringLiteral("video"),
                                   "With --browse: use the advertised UDP video port.");
    const QCommandLineOption log(QStringLiteral("log"),
                                 "Write the JSON-lines log here (default: stdout).", "file", "-");
    parser.addOptions({host,      port,   videoPort, token,   attestation, deviceId, deviceName,
                       sessionId, resume, version,   noHello, garbage,     script,   ping,
                       duration,  flood,  stall,     browse,  video,       log});
    parser.process(app);
    if (!parser.isSet(port) && !parser.isSet(browse)) {
        std::fprintf(stderr, "velurio-peer: --port or --browse is required\n");
        return 64;
    }

    peer::Options options;
    options.host = parser.value(host);
    options.port = parser.value(port).toUShort();
    options.videoPort = parser.value(videoPort).toUShort();
    options.browse = parser.isSet(browse);
    options.video = parser.isSet(video);
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

    peer::Log logFile(parser.value(log));
    peer::Tablet tablet(options, logFile);
    tablet.start();
    if (options.durationMs > 0) {
        QTimer::singleShot(options.durationMs, &app, [] { QCoreApplication::exit(0); });
    }
    const int status = QCoreApplication::exec();
    tablet.report();
    return status;
}
