#include "tablet.h"

#include "app/transport/quic_udp_driver.h"
#include "core/es256_verifier.h"
#include "core/p256_keys.h"
#include "core/self_signed_certificate.h"
#include "host_discovery.h"
#include "platform/quic/quic_client_engine.h"
#include "protocol/video_datagram.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QSslKey>
#include <QTimer>

#include <time.h>
#include <unistd.h>

namespace velurio::peer {
namespace {

// A tablet on a network that drops UDP gives QUIC this long before it takes TLS over TCP.
constexpr std::chrono::milliseconds kQuicHandshakeTimeout{3'000};
// Between keep-alive datagrams on the video connection.
constexpr int kVideoKeepaliveMs = 1'000;

std::unique_ptr<QuicUdpDriver> makeQuicClient(const QHostAddress& host, QString* error) {
    QuicClientConfig config;
    config.handshakeTimeout = kQuicHandshakeTimeout;
    config.initialRtt = std::chrono::milliseconds(10);
    auto engine = QuicClientEngine::create(config);
    if (!engine.ok()) {
        *error = QString::fromStdString(engine.error());
        return nullptr;
    }
    auto driver = std::make_unique<QuicUdpDriver>(std::move(engine).value());
    bool isV4 = false;
    host.toIPv4Address(&isV4);
    if (!driver->bind(
            isV4 ? QHostAddress(QHostAddress::AnyIPv4) : QHostAddress(QHostAddress::AnyIPv6), 0,
            error)) {
        return nullptr;
    }
    return driver;
}

std::int64_t nowMs() {
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

// A JSON string literal holding `utf8`.
QByteArray jsonString(const QByteArray& utf8) {
    const QByteArray array =
        QJsonDocument(QJsonArray{QString::fromUtf8(utf8)}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2);  // strip the brackets
}

// CLOCK_MONOTONIC in microseconds: the same clock in every process of this machine.
qint64 monotonicUs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<qint64>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1'000;
}

// The counter bench/e2e/frame_code.py paints: a white marker, 16 bits (white = 1, most
// significant first), a black marker, squares of 40 px every 48 px from (100, 100). -1 when
// the markers are not there.
int readFrameCode(const QImage& image) {
    constexpr int kBits = 16, kStep = 48, kX0 = 100 + 20, kY0 = 100 + 20;
    if (image.width() < kX0 + kStep * (kBits + 1) + 3 || image.height() < kY0 + 3)
        return -1;
    auto level = [&](int slot) {
        int sum = 0;
        for (int dy = -2; dy <= 2; ++dy) {
            for (int dx = -2; dx <= 2; ++dx)
                sum += qGray(image.pixel(kX0 + kStep * slot + dx, kY0 + dy));
        }
        return sum / 25;
    };
    if (level(0) < 192 || level(kBits + 1) > 64)
        return -1;
    int code = 0;
    for (int bit = 0; bit < kBits; ++bit)
        code = (code << 1) | (level(bit + 1) >= 128 ? 1 : 0);
    return code;
}

}  // namespace

Log::Log(const QString& path) {
    if (path.isEmpty() || path == QStringLiteral("-")) {
        m_file.open(stdout, QIODevice::WriteOnly);
    } else {
        m_file.setFileName(path);
        m_file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    }
}

void Log::write(const QJsonObject& object) {
    writeRaw(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

void Log::writeRaw(const QByteArray& line) {
    m_file.write(line);
    m_file.write("\n");
    m_file.flush();
}

std::vector<StrokeMessage> StrokePlan::messages(std::int64_t startMs, int round) const {
    std::vector<StrokeMessage> out;
    const int pointCount = std::max(points, 2);
    for (int s = 0; s < count; ++s) {
        const std::string id = idPrefix + "-" + std::to_string(round) + "-" + std::to_string(s);
        const double rowY = y + spacing * s;
        std::vector<StrokePoint> all;
        for (int p = 0; p < pointCount; ++p) {
            const double t = static_cast<double>(p) / (pointCount - 1);
            all.push_back(StrokePoint{x + length * t, rowY, 1.0, 0.0, startMs + s * 100 + p * 8});
        }
        // begin with the first point, appends of two points, end with the last.
        out.push_back(StrokeMessage{id, StrokeOp::begin, tool, color, width, {all.front()}});
        std::ptrdiff_t at = 1;
        const auto last = static_cast<std::ptrdiff_t>(all.size()) - 1;
        while (at < last) {
            const std::ptrdiff_t n = std::min<std::ptrdiff_t>(2, last - at);
            out.push_back(
                StrokeMessage{id, StrokeOp::append, tool, color, width,
                              std::vector<StrokePoint>(all.begin() + at, all.begin() + at + n)});
            at += n;
        }
        out.push_back(StrokeMessage{id, StrokeOp::end, tool, color, width, {all.back()}});
    }
    return out;
}

Tablet::Tablet(Options options, Log& log) : m_options(std::move(options)), m_log(log) {
    if (!m_options.dumpStreamPath.isEmpty()) {
        m_dump = std::make_unique<QFile>(m_options.dumpStreamPath);
        m_dump->open(QIODevice::WriteOnly | QIODevice::Truncate);
    }
    if (!m_options.statsPath.isEmpty()) {
        m_stats = std::make_unique<QFile>(m_options.statsPath);
        m_stats->open(QIODevice::WriteOnly | QIODevice::Truncate);
    }
}

void Tablet::start() {
    if (!m_commands) {
        m_commands = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(m_commands, &QSocketNotifier::activated, this, &Tablet::readCommands);
    }
    if (m_options.platform && loadState()) {
        m_options.platform.reset();
    }
    if (m_options.platform) {
        PlatformAccountOptions platform = *std::exchange(m_options.platform, std::nullopt);
        m_account = std::make_unique<PlatformAccount>(platform);
        m_account->run([this](const PlatformAccountResult& result) {
            if (!result.ok) {
                m_log.write({{"event", "error"}, {"description", result.error}});
                QCoreApplication::exit(2);
                return;
            }
            m_log.write(
                {{"event", "platform"}, {"device_id", result.deviceId}, {"code", result.code}});
            m_options.hello.deviceId = result.deviceId.toStdString();
            if (m_options.hostDeviceId.isEmpty()) {
                m_options.hostDeviceId = result.macDeviceId;
            }
            if (m_options.hello.token.empty()) {
                m_options.hello.token = result.pairingToken.toStdString();
            }
            if (m_options.hello.attestation.empty()) {
                m_options.hello.attestation = result.attestation.toStdString();
            }
            saveState();
            start();
        });
        return;
    }
    if (!m_options.attestationKeyPath.isEmpty()) {
        const auto signedAttestation = signAttestation();
        if (!signedAttestation) {
            m_log.write({{"event", "error"}, {"description", "cannot sign the attestation"}});
            QCoreApplication::exit(2);
            return;
        }
        m_options.hello.attestation = *signedAttestation;
        m_options.attestationKeyPath.clear();
    }
    if (m_options.browse) {
        discoverHost(
            this,
            [this](const DiscoveredHost& found) {
                // A paired tablet looks for its own host; any host otherwise.
                const auto id = found.txt.find("device_id");
                return m_options.hostDeviceId.isEmpty() ||
                       (id != found.txt.end() &&
                        QString::fromUtf8(id->second) == m_options.hostDeviceId);
            },
            [this](const DiscoveredHost& found) {
                m_log.write(
                    {{"event", "discovered"},
                     {"name", found.name},
                     {"address", found.address},
                     {"port", found.port},
                     {"vudp", QString::fromUtf8(found.txt.count("vudp") ? found.txt.at("vudp")
                                                                        : QByteArray())}});
                m_options.browse = false;
                if (!m_options.keepHost)
                    m_options.host = found.address;
                m_options.port = found.port;
                if (m_options.video && m_options.quic && found.txt.count("vquic") != 0 &&
                    found.txt.at("vquic") == "1" && found.txt.count("vport") != 0) {
                    m_options.quicVideoPort = found.txt.at("vport").toUShort();
                } else if (m_options.video && found.txt.count("vudp") != 0) {
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
    connectControl();
}

bool Tablet::loadState() {
    if (m_options.statePath.isEmpty())
        return false;
    QFile file(m_options.statePath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject state = QJsonDocument::fromJson(file.readAll()).object();
    const QString deviceId = state.value(QStringLiteral("deviceId")).toString();
    const QString token = state.value(QStringLiteral("token")).toString();
    const QString attestation = state.value(QStringLiteral("attestation")).toString();
    if (deviceId.isEmpty() || token.isEmpty() || attestation.isEmpty()) {
        m_log.write({{"event", "error"}, {"description", "the saved pairing is incomplete"}});
        return false;
    }
    m_options.hello.deviceId = deviceId.toStdString();
    if (m_options.hello.token.empty())
        m_options.hello.token = token.toStdString();
    if (m_options.hello.attestation.empty())
        m_options.hello.attestation = attestation.toStdString();
    if (m_options.hostDeviceId.isEmpty())
        m_options.hostDeviceId = state.value(QStringLiteral("macDeviceId")).toString();
    m_log.write({{"event", "state_loaded"}, {"device_id", deviceId}});
    return true;
}

void Tablet::saveState() const {
    if (m_options.statePath.isEmpty())
        return;
    const QJsonObject state{
        {QStringLiteral("deviceId"), QString::fromStdString(m_options.hello.deviceId)},
        {QStringLiteral("token"), QString::fromStdString(m_options.hello.token)},
        {QStringLiteral("attestation"), QString::fromStdString(m_options.hello.attestation)},
        {QStringLiteral("macDeviceId"), m_options.hostDeviceId}};
    QSaveFile file(m_options.statePath);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QJsonDocument(state).toJson(QJsonDocument::Compact)) < 0 || !file.commit())
        m_log.write({{"event", "error"}, {"description", "cannot save the pairing"}});
}

std::optional<std::string> Tablet::signAttestation() const {
    QFile file(m_options.attestationKeyPath);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const auto key = P256PrivateKey::fromPEM(file.readAll().toStdString());
    if (!key) {
        return std::nullopt;
    }
    const qint64 issuedAt = QDateTime::currentSecsSinceEpoch();
    const QJsonObject claims{
        {QStringLiteral("iss"), QStringLiteral("velurio-peer")},
        {QStringLiteral("sub"), QString::fromStdString(m_options.hello.deviceId)},
        {QStringLiteral("device_type"), QStringLiteral("ipad")},
        {QStringLiteral("iat"), issuedAt - std::max<qint64>(0, -m_options.attestationTtlSeconds)},
        {QStringLiteral("exp"), issuedAt + m_options.attestationTtlSeconds}};
    auto token =
        ES256Signer::sign(QJsonDocument(claims).toJson(QJsonDocument::Compact).toStdString(), *key);
    if (!token.ok()) {
        return std::nullopt;
    }
    return token.value();
}

void Tablet::closeControl(bool abort) {
    if (m_socket != nullptr) {
        m_socket->disconnect(this);
        if (abort) {
            m_socket->abort();
        }
        m_socket->deleteLater();
        m_socket = nullptr;
    }
    if (m_quic != nullptr) {
        m_quic->onEvent = nullptr;
        if (m_control != nullptr) {
            m_control->disconnect(this);
            m_control->deleteLater();
        }
        m_quic->deleteLater();  // closes the connection
        m_quic = nullptr;
    }
    m_control = nullptr;
}

void Tablet::onControlConnected(QIODevice* control, const QHostAddress& host,
                                const char* transport) {
    m_control = control;
    m_hostAddress = host;
    // A slow reader takes its bytes from the socket on a timer instead (readThrottled).
    if (!(control == m_socket && m_options.readBytesPerSecond > 0)) {
        connect(control, &QIODevice::readyRead, this, &Tablet::onReadyRead);
    }
    m_log.write({{"event", "connected"}, {"transport", transport}});
    onEncrypted();
}

void Tablet::controlClosed(QIODevice* control) {
    if (control != m_control) {
        return;
    }
    m_log.write({{"event", "closed"}});
    if (m_options.usbPort != 0) {
        // The next connection over the cable is awaited.
        stopVideo();
        if (m_socket == control) {
            m_socket->disconnect(this);
            m_socket->deleteLater();
            m_socket = nullptr;
        }
        m_control = nullptr;
        return;
    }
    if (!m_options.stay) {
        QCoreApplication::exit(0);
    }
}

// QUIC first; when its handshake fails (UDP blocked, nothing listening), TLS over TCP on the
// same port number.
void Tablet::connectQuic() {
    closeControl(true);
    m_parser = WireFrameParser();
    m_accepted = false;
    m_dropping = false;
    const QHostAddress host(m_options.host);
    QString error;
    auto driver = makeQuicClient(host, &error);
    if (!driver) {
        m_log.write({{"event", "quic_failed"}, {"description", error}});
        m_quicFailed = true;
        connectControl();
        return;
    }
    m_quic = driver.release();
    m_quic->setParent(this);
    QuicUdpDriver* quic = m_quic;
    auto* engine = static_cast<QuicClientEngine*>(&quic->engine());
    QuicConnectOptions connect;
    connect.local = quic->localEndpointFor(host);
    connect.remote = QuicUdpDriver::toEndpoint(host, m_options.port);
    connect.alpn = "velurio";
    auto handle = engine->connect(connect, QuicUdpDriver::now());
    if (!handle.ok()) {
        m_log.write(
            {{"event", "quic_failed"}, {"description", QString::fromStdString(handle.error())}});
        m_quicFailed = true;
        connectControl();
        return;
    }
    quic->onEvent = [this, quic, engine, host](const QuicEvent& event) {
        if (quic != m_quic) {
            return;
        }
        if (const auto* established = std::get_if<QuicConnectionEstablished>(&event)) {
            auto stream = engine->openBidiStream(established->connection);
            if (!stream.ok()) {
                m_log.write({{"event", "error"}, {"description", "no QUIC stream"}});
                return;
            }
            QuicStreamDevice* device =
                quic->openDevice(established->connection, stream.value(),
                                 QuicUdpDriver::toRemote(established->remote));
            device->setParent(quic);
            QObject::connect(device, &QIODevice::readChannelFinished, this,
                             [this, device] { controlClosed(device); });
            onControlConnected(device, host, "quic");
        } else if (const auto* closed = std::get_if<QuicConnectionClosed>(&event)) {
            if (m_control == nullptr) {
                m_log.write({{"event", "quic_failed"},
                             {"description", QString::fromStdString(closed->description)},
                             {"code", static_cast<qint64>(closed->errorCode)}});
                m_quicFailed = true;
                QTimer::singleShot(0, this, [this] { connectControl(); });
            }
        }
    };
    quic->flush();
}

void Tablet::connectControl() {
    if (m_options.usbPort != 0) {
        listenUSB();
        return;
    }
    if (m_options.quic && !m_quicFailed) {
        connectQuic();
        return;
    }
    auto* socket = new QSslSocket(this);
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);  // the host's certificate is self-signed
    adoptSocket(socket);
    socket->connectToHostEncrypted(m_options.host, m_options.port);
}

// Takes `socket` as the control connection: one this tablet opened, or one the host opened
// over the cable.
void Tablet::adoptSocket(QSslSocket* socket) {
    closeControl(true);
    m_parser = WireFrameParser();
    m_accepted = false;
    m_dropping = false;
    m_socket = socket;
    const char* transport = m_options.usbPort != 0 ? "usb" : "tcp";
    connect(m_socket, &QSslSocket::encrypted, this, [this, socket, transport] {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);  // ink leaves at once
        onControlConnected(socket, socket->peerAddress(), transport);
    });
    if (m_options.readBytesPerSecond > 0) {
        // A slow reader: a small buffer, so that what is not read stays in the kernel and the
        // sender's window closes.
        m_socket->setReadBufferSize(16 * 1024);
        m_socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 16 * 1024);
        if (m_readTimer == nullptr) {
            m_readTimer = new QTimer(this);
            connect(m_readTimer, &QTimer::timeout, this, &Tablet::readThrottled);
            m_readTimer->start(10);
        }
    }
    connect(m_socket, &QSslSocket::disconnected, this, [this, socket] { controlClosed(socket); });
    connect(m_socket, &QSslSocket::errorOccurred, this,
            [this, socket](QAbstractSocket::SocketError error) {
                if (socket != m_socket || error == QAbstractSocket::RemoteHostClosedError) {
                    return;
                }
                m_log.write({{"event", "error"}, {"description", socket->errorString()}});
                if (!m_options.stay && m_options.usbPort == 0) {
                    QCoreApplication::exit(2);
                }
            });
    // A socket the cable's listener hands over has finished its handshake already.
    if (socket->isEncrypted()) {
        onControlConnected(socket, socket->peerAddress(), transport);
    }
}

void Tablet::listenUSB() {
    if (m_usbListener != nullptr) {
        return;
    }
    auto keys = SelfSignedCertificate::generateKeyPair();
    if (!keys.ok()) {
        m_log.write({{"event", "error"}, {"description", "cannot make a key"}});
        QCoreApplication::exit(2);
        return;
    }
    auto certificate = SelfSignedCertificate::certificate(
        "Velurio Peer", keys.value().publicKey, keys.value().privateKey, 1,
        std::chrono::system_clock::now() - std::chrono::hours(1), SelfSignedCertificate::kLifetime);
    if (!certificate.ok()) {
        m_log.write({{"event", "error"}, {"description", "cannot make a certificate"}});
        QCoreApplication::exit(2);
        return;
    }
    const Bytes& keyDER = keys.value().privateKey.pkcs8();
    const Bytes& certificateDER = certificate.value().der();
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setPrivateKey(QSslKey(QByteArray(reinterpret_cast<const char*>(keyDER.data()),
                                                   static_cast<qsizetype>(keyDER.size())),
                                        QSsl::Ec, QSsl::Der, QSsl::PrivateKey));
    configuration.setLocalCertificate(
        QSslCertificate(QByteArray(reinterpret_cast<const char*>(certificateDER.data()),
                                   static_cast<qsizetype>(certificateDER.size())),
                        QSsl::Der));
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_usbListener = new QSslServer(this);
    m_usbListener->setSslConfiguration(configuration);
    connect(m_usbListener, &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (m_usbListener->hasPendingConnections()) {
            if (auto* socket = qobject_cast<QSslSocket*>(m_usbListener->nextPendingConnection())) {
                adoptSocket(socket);
            }
        }
    });
    if (!m_usbListener->listen(QHostAddress::LocalHost, m_options.usbPort)) {
        m_log.write({{"event", "error"}, {"description", m_usbListener->errorString()}});
        QCoreApplication::exit(2);
        return;
    }
    m_log.write({{"event", "usb_listening"}, {"port", m_usbListener->serverPort()}});
}

void Tablet::readThrottled() {
    if (m_socket == nullptr || m_options.readBytesPerSecond <= 0) {
        return;
    }
    // Ten reads a second... a hundred: each takes its share of the rate.
    const qint64 share = std::max<qint64>(1, m_options.readBytesPerSecond / 100);
    const QByteArray data = m_socket->read(share);
    if (!data.isEmpty()) {
        ingest(data);
    }
}

void Tablet::send(const SessionMessage& message, WireChannel channel) {
    sendBytes(WireFraming::frame(MessageCodec::encode(message), channel).value());
}

void Tablet::sendBytes(const Bytes& bytes) {
    if (m_control == nullptr) {
        return;
    }
    m_control->write(reinterpret_cast<const char*>(bytes.data()),
                     static_cast<qint64>(bytes.size()));
}

void Tablet::onEncrypted() {
    // On a cable the host speaks first: our hello answers its offer.
    if (m_options.usbPort == 0) {
        sendOwnHello();
    }
    if (m_options.garbage) {
        // A well-framed payload that is no JSON message: the host must drop it and carry on.
        constexpr std::string_view junk = "{\"t\":\"stroke\",,garbage";
        sendBytes(WireFraming::frame(
                      std::span(reinterpret_cast<const std::uint8_t*>(junk.data()), junk.size()),
                      WireChannel::control)
                      .value());
    }
    if (!m_options.script.isEmpty()) {
        playScript();
    }
    if (m_options.pingIntervalMs > 0) {
        auto* timer = new QTimer(m_control);
        connect(timer, &QTimer::timeout, this, [this] { send(PingMessage{++m_pingSeq, nowMs()}); });
        timer->start(m_options.pingIntervalMs);
    }
    if ((m_options.videoPort != 0 || m_options.quicVideoPort != 0) && m_video == nullptr &&
        m_quicVideo == nullptr) {
        startVideo();
    }
}

void Tablet::sendOwnHello() {
    if (m_options.sendHello) {
        m_journal.connected(m_options.hello.resume);
        send(m_options.hello);
        if (m_options.capabilitiesCodec && m_options.capabilitiesEarly) {
            // Handled by the host after the hello is accepted, before it starts capturing.
            sendCapabilities();
        }
    }
}

// Each line: {"delay_ms": N, "channel": C (optional), "message": {...}}; delays add up.
void Tablet::playScript() {
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
        QTimer::singleShot(at, m_control, [this, message = decoded.value(), channel] {
            send(message, channel.value_or(WireChannel::control));
        });
    }
}

void Tablet::onReadyRead() {
    if (m_control == nullptr) {
        return;
    }
    ingest(m_control->readAll());
}

void Tablet::ingest(const QByteArray& data) {
    for (const WireFrame& frame :
         m_parser.ingest(std::span(reinterpret_cast<const std::uint8_t*>(data.constData()),
                                   static_cast<std::size_t>(data.size())))) {
        if (frame.channel == WireChannel::video) {
            collectVideo(frame.payload);
            continue;
        }
        auto decoded = MessageCodec::decode(std::span<const std::uint8_t>(frame.payload));
        if (!decoded.ok()) {
            m_log.write(
                {{"event", "undecodable"}, {"bytes", static_cast<qint64>(frame.payload.size())}});
            continue;
        }
        const SessionMessage& message = decoded.value();
        // The text as received beside its canonical form, so that tests can compare them.
        const QByteArray received(reinterpret_cast<const char*>(frame.payload.data()),
                                  static_cast<qsizetype>(frame.payload.size()));
        m_log.writeRaw("{\"event\":\"message\",\"channel\":" +
                       QByteArray::number(static_cast<int>(frame.channel)) +
                       ",\"message\":" + QByteArray::fromStdString(message.canonicalJSON()) +
                       ",\"text\":" + jsonString(received) + "}");
        if (const PingMessage* ping = message.get<PingMessage>()) {
            send(PongMessage::echoing(*ping));
            if (m_journal.awaitingReplay())
                finishReplay();  // the replay comes before the host's first ping
        } else if (const PongMessage* pong = message.get<PongMessage>()) {
            m_log.write({{"event", "rtt"},
                         {"seq", static_cast<qint64>(pong->seq)},
                         {"ms", static_cast<qint64>(nowMs() - pong->ts)}});
        } else if (message.type() == MessageType::displays && !m_accepted) {
            onAccepted();
        } else if (const HelloMessage* offer = message.get<HelloMessage>();
                   offer != nullptr && frame.channel == WireChannel::usbDiscovery &&
                   m_options.usbPort != 0 && !m_accepted) {
            m_log.write({{"event", "usb_offer"},
                         {"session_id", QString::fromStdString(offer->sessionId)},
                         {"device_name", QString::fromStdString(offer->deviceName)}});
            sendOwnHello();
        } else {
            m_journal.received(message);
        }
    }
}

void Tablet::onAccepted() {
    m_accepted = true;
    m_log.write({{"event", "accepted"}});
    if (m_options.capabilitiesCodec && !m_options.capabilitiesEarly) {
        sendCapabilities();
    }
    if (m_options.strokes.count > 0 && !m_options.hello.resume) {
        QTimer::singleShot(m_options.strokeDelayMs, m_control, [this] { sendStrokes(); });
    }
}

void Tablet::sendCapabilities() {
    send(CapabilitiesMessage{*m_options.capabilitiesCodec, 2732, 2048, 120, false, true, 8});
}

void Tablet::sendStrokes() {
    const auto messages = m_options.strokes.messages(nowMs(), m_strokeRound++);
    for (const StrokeMessage& message : messages) {
        sendInk(message);
        m_log.writeRaw("{\"event\":\"sent\",\"channel\":1,\"message\":" +
                       QByteArray::fromStdString(SessionMessage(message).canonicalJSON()) + "}");
    }
    m_log.write({{"event", "strokes_sent"}, {"count", m_options.strokes.count}});
}

void Tablet::startQuicVideo() {
    QString error;
    auto driver = makeQuicClient(m_hostAddress, &error);
    if (!driver) {
        m_log.write({{"event", "error"}, {"description", error}});
        return;
    }
    m_quicVideo = driver.release();
    m_quicVideo->setParent(this);
    QuicUdpDriver* quic = m_quicVideo;
    auto* engine = static_cast<QuicClientEngine*>(&quic->engine());
    QuicConnectOptions connect;
    connect.local = quic->localEndpointFor(m_hostAddress);
    connect.remote = QuicUdpDriver::toEndpoint(m_hostAddress, m_options.quicVideoPort);
    connect.alpn = "velurio-video";
    connect.maxDatagramFrameSize = 1450;
    auto handle = engine->connect(connect, QuicUdpDriver::now());
    if (!handle.ok()) {
        m_log.write({{"event", "error"}, {"description", QString::fromStdString(handle.error())}});
        return;
    }
    const QuicConnectionHandle connection = handle.value();
    auto sendKeepalive = [quic, connection] {
        quic->engine().sendDatagram(connection, VideoControlDatagram::keepalive,
                                    QuicUdpDriver::now());
        quic->flush();
    };
    quic->onEvent = [this, quic, sendKeepalive](const QuicEvent& event) {
        if (quic != m_quicVideo) {
            return;
        }
        if (std::holds_alternative<QuicConnectionEstablished>(event)) {
            m_log.write({{"event", "video_connected"}, {"transport", "quic"}});
            sendKeepalive();
            auto* timer = new QTimer(quic);
            QObject::connect(timer, &QTimer::timeout, quic, sendKeepalive);
            timer->start(kVideoKeepaliveMs);
        } else if (const auto* datagram = std::get_if<QuicDatagramReceived>(&event)) {
            collectVideo(datagram->bytes);
        } else if (const auto* closed = std::get_if<QuicConnectionClosed>(&event)) {
            m_log.write({{"event", "video_closed"},
                         {"description", QString::fromStdString(closed->description)}});
        }
    };
    quic->flush();
}

void Tablet::sendInk(const StrokeMessage& message, WireChannel channel) {
    const bool writable = m_control != nullptr && m_accepted && !m_journal.awaitingReplay();
    m_journal.sent(message, writable);
    if (writable)
        send(message, channel);
}

void Tablet::finishReplay() {
    const std::vector<StrokeMessage> missing = m_journal.replayFinished();
    for (const StrokeMessage& message : missing)
        send(message, WireChannel::ink);
    m_log.write({{"event", "reconciled"},
                 {"resent_messages", static_cast<qint64>(missing.size())},
                 {"strokes", static_cast<qint64>(m_journal.strokeCount())}});
}

void Tablet::startVideo() {
    stopVideo();
    if (m_options.quicVideoPort != 0) {
        startQuicVideo();
        return;
    }
    m_video = new QUdpSocket(this);
    QUdpSocket* video = m_video;
    connect(video, &QUdpSocket::readyRead, this, [this, video] {
        while (video->hasPendingDatagrams()) {
            QByteArray datagram(
                static_cast<qsizetype>(std::max<qint64>(video->pendingDatagramSize(), 0)), '\0');
            const qint64 size = video->readDatagram(datagram.data(), datagram.size());
            if (size >= 0 && video == m_video) {
                collectVideo(std::span(reinterpret_cast<const std::uint8_t*>(datagram.constData()),
                                       static_cast<std::size_t>(size)));
            }
        }
    });
    auto sendKeepalive = [this, video] {
        video->writeDatagram(reinterpret_cast<const char*>(VideoControlDatagram::keepalive.data()),
                             static_cast<qint64>(VideoControlDatagram::keepalive.size()),
                             m_hostAddress, m_options.videoPort);
    };
    sendKeepalive();
    auto* timer = new QTimer(video);
    connect(timer, &QTimer::timeout, video, sendKeepalive);
    timer->start(1'000);
}

void Tablet::stopVideo() {
    if (m_quicVideo != nullptr) {
        m_quicVideo->onEvent = nullptr;
        m_quicVideo->deleteLater();  // closes the connection
        m_quicVideo = nullptr;
    }
    if (m_video != nullptr) {
        m_video->disconnect(this);
        m_video->close();
        m_video->deleteLater();
        m_video = nullptr;
    }
}

void Tablet::collectVideo(std::span<const std::uint8_t> datagram) {
    const std::int64_t receivedMs = nowMs();
    const qint64 receivedUs = monotonicUs();
    auto frame = m_assembler.add(datagram);
    if (!frame) {
        return;
    }
    const VideoDecoder::Outcome outcome = m_decoder.decode(*frame);
    const qint64 decodedUs = monotonicUs();
    if (m_dump && outcome != VideoDecoder::Outcome::waitingForKey) {
        m_dump->write(reinterpret_cast<const char*>(frame->payload.data()),
                      static_cast<qint64>(frame->payload.size()));
        m_dump->flush();
    }
    const QImage& image = m_decoder.lastImage();
    QJsonObject line{{"event", "frame"},
                     {"seq", static_cast<qint64>(frame->sequence)},
                     {"pts", static_cast<qint64>(frame->pts)},
                     {"bytes", static_cast<qint64>(frame->payload.size())},
                     {"key", frame->isKeyframe},
                     {"fragments", frame->fragmentCount},
                     {"received_ms", static_cast<qint64>(receivedMs)},
                     {"decoded", outcome == VideoDecoder::Outcome::decoded},
                     {"width", image.width()},
                     {"height", image.height()},
                     {"received_us", receivedUs},
                     {"decoded_us", decodedUs}};
    if (m_options.readCode && outcome == VideoDecoder::Outcome::decoded)
        line.insert("code", readFrameCode(image));
    m_log.write(line);
    if (m_stats) {
        m_stats->write(QJsonDocument(line).toJson(QJsonDocument::Compact) + "\n");
        m_stats->flush();
    }
}

// Many connections as fast as possible: `flood` finish TLS and stay silent, `stall` never
// start TLS. They stay open until the run ends or the host closes them.
void Tablet::startFlood() {
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

void Tablet::readCommands() {
    char buffer[4096];
    const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (got <= 0) {
        m_commands->setEnabled(false);  // end of input: no more commands
        return;
    }
    m_commandBuffer.append(buffer, got);
    qsizetype newline = 0;
    while ((newline = m_commandBuffer.indexOf('\n')) >= 0) {
        const QByteArray line = m_commandBuffer.left(newline).trimmed();
        m_commandBuffer.remove(0, newline + 1);
        if (!line.isEmpty()) {
            runCommand(line);
        }
    }
}

void Tablet::drop() {
    m_dropping = true;
    stopVideo();
    closeControl(true);
    m_log.write({{"event", "dropped"}});
}

void Tablet::runCommand(const QByteArray& line) {
    const qsizetype space = line.indexOf(' ');
    const QByteArray verb = space < 0 ? line : line.left(space);
    const QByteArray argument = space < 0 ? QByteArray() : line.mid(space + 1).trimmed();
    m_log.write(
        {{"event", "command"}, {"command", QString::fromUtf8(verb)}, {"at_us", monotonicUs()}});
    if (verb == "drop") {
        drop();
    } else if (verb == "reconnect") {
        if (m_control != nullptr) {
            drop();
        }
        m_options.hello.resume = true;
        connectControl();
    } else if (verb == "end") {
        send(EndMessage{});
        if (m_socket != nullptr) {
            m_socket->flush();
            m_socket->disconnectFromHost();
        } else if (m_control != nullptr) {
            m_control->close();  // finishes the stream after the end, then the connection
        }
    } else if (verb == "strokes") {
        sendStrokes();
    } else if (verb == "video-reconnect") {
        startVideo();
    } else if (verb == "send" || verb == "ink") {
        auto decoded = MessageCodec::decode(
            std::string_view(argument.constData(), static_cast<std::size_t>(argument.size())));
        if (!decoded.ok()) {
            m_log.write({{"event", "error"}, {"description", "bad message in command"}});
            return;
        }
        const WireChannel channel = verb == "ink" ? WireChannel::ink : WireChannel::control;
        if (const StrokeMessage* stroke = decoded.value().get<StrokeMessage>();
            stroke != nullptr && m_accepted) {
            sendInk(*stroke, channel);
            return;
        }
        if (decoded.value().get<ClearMessage>() != nullptr)
            m_journal.clearedByUs();
        send(decoded.value(), channel);
    } else if (verb == "png") {
        m_log.write({{"event", "png"}, {"written", writePNG(QString::fromUtf8(argument))}});
    } else if (verb == "quit") {
        QCoreApplication::exit(0);
    } else {
        m_log.write({{"event", "error"}, {"description", "unknown command"}});
    }
}

bool Tablet::writePNG(const QString& path) {
    return !path.isEmpty() && !m_decoder.lastImage().isNull() &&
           m_decoder.lastImage().save(path, "PNG");
}

void Tablet::finish() {
    if (m_options.flood > 0 || m_options.stall > 0) {
        m_log.write({{"event", "flood"},
                     {"opened", m_options.flood + m_options.stall},
                     {"encrypted", m_encrypted},
                     {"closed", m_closed}});
    }
    if (!m_options.pngPath.isEmpty()) {
        m_log.write({{"event", "png"}, {"written", writePNG(m_options.pngPath)}});
    }
    const auto codec = m_decoder.codec();
    m_log.write({{"event", "video_summary"},
                 {"codec", !codec                                ? ""
                           : *codec == VideoDecoder::Codec::hevc ? "hevc"
                                                                 : "h264"},
                 {"decoded", m_decoder.decodedFrames()},
                 {"failed", m_decoder.failedFrames()}});
}

}  // namespace velurio::peer
