// What the session tests share: a capture backend with made-up displays, a presence browser
// the test feeds, a tablet that speaks the control protocol over TLS, and a session rig with a
// real local platform (velurio-devplatform), a real session server on loopback and the
// coordinator on a hand-driven clock.
#pragma once

#include "app/capture/capture_engine.h"
#include "app/clock/scheduler.h"
#include "app/session/session_coordinator.h"
#include "core/ed25519_signing_key.h"
#include "core/es256_verifier.h"
#include "core/p256_keys.h"
#include "dev_platform_process.h"
#include "platform/keychain/file_secret_store.h"
#include "protocol/message_codec.h"
#include "protocol/video_datagram.h"
#include "protocol/wire_framing.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QScreen>
#include <QSettings>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velurio::test {

using namespace std::chrono_literals;

inline bool waitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    QDeadlineTimer deadline(limit);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Lets queued work run for a while, to show that something does NOT happen.
inline void settle(std::chrono::milliseconds span = 150ms) {
    QDeadlineTimer deadline(span);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

// Displays that always open; `permitted` false makes the screen unreadable.
class FakeCaptureBackend final : public CaptureBackend {
  public:
    struct State {
        std::vector<Display> displays;
        std::atomic<bool> permitted{true};
        std::atomic<int> streamsStarted{0};
    };
    explicit FakeCaptureBackend(std::shared_ptr<State> state) : m_state(std::move(state)) {}

    Result<std::vector<Display>, std::string> shareableDisplays() override {
        if (!m_state->permitted)
            return fail(std::string("no permission"));
        return m_state->displays;
    }
    Result<std::unique_ptr<Stream>, std::string> startStream(const Display&, CaptureDimensions, int,
                                                             StreamHandlers) override {
        ++m_state->streamsStarted;
        return std::unique_ptr<Stream>(std::make_unique<Still>());
    }
    Result<PixelBuffer, std::string> captureStill(const Display&, CaptureDimensions size) override {
        const int width = static_cast<int>(size.width);
        const int height = static_cast<int>(size.height);
        return makePixelBuffer(
            std::vector<std::uint8_t>(
                static_cast<std::size_t>(width) * 4 * static_cast<std::size_t>(height), 0x80),
            width, height, static_cast<std::size_t>(width) * 4);
    }

  private:
    struct Still final : Stream {
        bool excludesOwnWindows() const override { return true; }
    };
    std::shared_ptr<State> m_state;
};

class FakePresenceBrowser final : public PresenceBrowser {
  public:
    bool browse(const QByteArray& type) override {
        browsedType = type;
        return true;
    }
    QByteArray browsedType;
};

class SilentAdvertiser final : public ServiceAdvertiser {
  public:
    void publish(const QString&, const QByteArray&, quint16, const TxtRecord&) override {}
    void withdraw() override {}
    QString publishedName() const override { return {}; }
};

// The tablet's side of a control connection over TLS: everything received, decoded.
class TestTablet {
  public:
    explicit TestTablet(quint16 port) {
        m_socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        QObject::connect(&m_socket, &QSslSocket::readyRead, &m_context, [this] { read(); });
        QObject::connect(&m_socket, &QSslSocket::disconnected, &m_context,
                         [this] { disconnected = true; });
        m_socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        encrypted = waitUntil([this] { return m_socket.isEncrypted(); });
    }
    void send(const SessionMessage& message, WireChannel channel = WireChannel::control) {
        const Bytes frame = WireFraming::frame(MessageCodec::encode(message), channel).value();
        m_socket.write(reinterpret_cast<const char*>(frame.data()),
                       static_cast<qint64>(frame.size()));
    }
    void drop() { m_socket.abort(); }

    template <class M>
    std::vector<M> received(std::optional<WireChannel> channel = std::nullopt) const {
        std::vector<M> out;
        for (std::size_t i = 0; i < messages.size(); ++i) {
            if (channel && channels[i] != *channel)
                continue;
            if (const M* typed = messages[i].get<M>())
                out.push_back(*typed);
        }
        return out;
    }
    // The messages received, without pings (which arrive all the time).
    std::vector<SessionMessage> conversation() const {
        std::vector<SessionMessage> out;
        for (const SessionMessage& m : messages) {
            if (m.get<PingMessage>() == nullptr)
                out.push_back(m);
        }
        return out;
    }
    std::vector<SessionEndReason> ends() const {
        std::vector<SessionEndReason> out;
        for (const EndMessage& end : received<EndMessage>())
            out.push_back(end.reason.value_or(SessionEndReason::userEnded));
        return out;
    }
    std::optional<RemoteEndpoint> localEndpoint() const {
        return RemoteEndpoint{m_socket.localAddress(), m_socket.localPort()};
    }

    bool encrypted = false;
    bool answerPings = true;
    // The round trip the host measures: the host's clock stands still in the tests.
    std::int64_t answerAfterMs = 42;
    bool disconnected = false;
    // Told of every message received (after a ping was answered); set by the test.
    std::function<void(const SessionMessage&, WireChannel)> onMessage;
    bool keepMessages = true;  // false: long runs keep nothing in `messages`
    std::vector<SessionMessage> messages;
    std::vector<WireChannel> channels;

  private:
    void read() {
        const QByteArray data = m_socket.readAll();
        for (WireFrame& frame :
             m_parser.ingest(std::span(reinterpret_cast<const std::uint8_t*>(data.constData()),
                                       static_cast<std::size_t>(data.size())))) {
            auto decoded = MessageCodec::decode(std::span<const std::uint8_t>(frame.payload));
            if (!decoded.ok())
                continue;
            if (const PingMessage* ping = decoded.value().get<PingMessage>();
                ping != nullptr && answerPings) {
                PongMessage pong = PongMessage::echoing(*ping);
                pong.ts -= answerAfterMs;  // as if the answer came that much later
                send(pong);
            }
            if (onMessage)
                onMessage(decoded.value(), frame.channel);
            if (!keepMessages)
                continue;
            messages.push_back(decoded.value());
            channels.push_back(frame.channel);
        }
    }

    QObject m_context;
    QSslSocket m_socket;
    WireFrameParser m_parser;
};

// What a tablet of the test account presents: its attestation, and the pairing token and
// session id it got by redeeming the computer's code.
struct TabletCredentials {
    QString deviceId;
    QString attestation;
    QString pairingToken;
    QString sessionId;

    HelloMessage hello(const std::string& name = "iPad de Ana") const {
        HelloMessage h;
        h.v = 1;
        h.sessionId = sessionId.toStdString();
        h.role = PeerRole::ipad;
        h.deviceId = deviceId.toStdString();
        h.deviceName = name;
        h.token = pairingToken.toStdString();
        h.attestation = attestation.toStdString();
        return h;
    }
};

// A platform key of the test's own, trusted by the host through the development override; the
// local platform signs attestations with it.
class PlatformKeyFiles {
  public:
    explicit PlatformKeyFiles(const QTemporaryDir& dir)
        : privatePath(dir.filePath(QStringLiteral("platform-key.pem"))),
          publicPath(dir.filePath(QStringLiteral("platform-pubkey.pem"))) {
        auto generated = P256PrivateKey::generate();
        EXPECT_TRUE(generated.ok());
        write(privatePath, generated.value().pem());
        write(publicPath, generated.value().publicKey()->pem());
        key = std::move(generated).value();
        qputenv("VELURIO_PLATFORM_PUBKEY_FILE", publicPath.toUtf8());
    }
    ~PlatformKeyFiles() { qunsetenv("VELURIO_PLATFORM_PUBKEY_FILE"); }

    // An attestation like the platform's, with the given expiry, signed with `signer`.
    static QString attestation(const P256PrivateKey& signer, qint64 expiresAtSeconds) {
        const std::string payload = R"({"sub":"dev-x","device_type":"ipad","exp":)" +
                                    std::to_string(expiresAtSeconds) + "}";
        return QString::fromStdString(ES256Signer::sign(payload, signer).value());
    }

    QString privatePath;
    QString publicPath;
    std::optional<P256PrivateKey> key;

  private:
    static void write(const QString& path, const std::string& text) {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray::fromStdString(text));
    }
};

// The coordinator, signed in to a local platform, its server listening on loopback.
class SessionRig {
  public:
    explicit SessionRig(bool signIn = true)
        : keys(dir),
          platform({QStringLiteral("--key"), keys.privatePath}),
          backend(std::make_shared<FakeCaptureBackend::State>()) {
        backend->displays = {
            {1, QGuiApplication::primaryScreen()->name().toStdString(), 640, 360, true, 0, 0},
            {2, "segunda", 800, 600, false, 640, 0}};
        SessionCoordinator::Parts parts;
        parts.settings = std::make_unique<AppSettings>(std::make_unique<QSettings>(
            dir.filePath(QStringLiteral("velurio.conf")), QSettings::IniFormat));
        parts.scheduler = &scheduler;
        parts.secrets =
            std::make_unique<FileSecretStore>(dir.filePath(QStringLiteral("secrets.json")));
        parts.platformURL = platform.baseURL();
        H264Encoder::Options encoder;
        encoder.allowHardware = false;
        encoder.threads = 1;
        encoder.log = [](std::string_view) {};
        parts.capture = std::make_unique<CaptureEngine>(
            CaptureSettings{}, std::make_unique<FakeCaptureBackend>(backend), encoder);
        parts.advertiser = std::make_unique<SilentAdvertiser>();
        parts.presenceBrowser = [this] {
            auto browser = std::make_unique<FakePresenceBrowser>();
            presence = browser.get();
            return std::unique_ptr<PresenceBrowser>(std::move(browser));
        };
        parts.bindAddress = QHostAddress::LocalHost;
        parts.peerTiming.helloTimeout = 20s;  // no test waits for it
        parts.peerTiming.pingInterval = 30ms;
        // The clock stands still: the round trip is what the tablet says (answerAfterMs).
        parts.peerTiming.nowMs = [] { return std::int64_t{1'000'000}; };
        coordinator = std::make_unique<SessionCoordinator>(std::move(parts));
        coordinator->bootstrap(QGuiApplication::primaryScreen());
        booted = waitUntil([this] { return coordinator->booted(); });
        if (!signIn)
            return;
        signedIn = QCoro::waitFor(coordinator->login(kEmail, kPassword)).ok();
        listening = waitUntil([this] {
            return coordinator->server().isRunning() && coordinator->pairing().has_value();
        });
    }

    // Registers a tablet of the same account and redeems the computer's current code.
    TabletCredentials pairTablet(const QString& name = QStringLiteral("iPad de Ana")) {
        TabletCredentials credentials;
        const QString bearer = platform
                                   .callJSON("POST", QStringLiteral("/api/auth/native/login"),
                                             {{QStringLiteral("email"), kEmail},
                                              {QStringLiteral("password"), kPassword}})
                                   .value(QStringLiteral("accessToken"))
                                   .toString();
        const auto key = Ed25519SigningKey::generate();
        const auto raw = key->publicKeyRawRepresentation();
        const QJsonObject registered = platform.callJSON(
            "POST", QStringLiteral("/api/devices/register"),
            {{QStringLiteral("name"), name},
             {QStringLiteral("type"), QStringLiteral("ipad")},
             {QStringLiteral("pubkey"),
              QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(raw.data()),
                                             static_cast<qsizetype>(raw.size()))
                                      .toBase64())}},
            bearer);
        credentials.deviceId = registered.value(QStringLiteral("device"))
                                   .toObject()
                                   .value(QStringLiteral("id"))
                                   .toString();
        credentials.attestation = registered.value(QStringLiteral("attestation")).toString();
        // A code pairs once: the computer shows a new one for the next tablet.
        const QJsonObject redeemed =
            platform.callJSON("POST", QStringLiteral("/api/pairing/redeem"),
                              {{QStringLiteral("code"), coordinator->pairing()->code},
                               {QStringLiteral("deviceId"), credentials.deviceId}},
                              bearer);
        credentials.pairingToken = redeemed.value(QStringLiteral("token")).toString();
        credentials.sessionId = redeemed.value(QStringLiteral("sessionId")).toString();
        EXPECT_TRUE(QCoro::waitFor(coordinator->refreshPairingCode()));
        return credentials;
    }

    std::unique_ptr<TestTablet> connectTablet() {
        return std::make_unique<TestTablet>(coordinator->server().controlPort().value_or(0));
    }

    // A tablet that said hello and was accepted.
    std::unique_ptr<TestTablet> activeTablet(const HelloMessage& hello) {
        auto tablet = connectTablet();
        tablet->send(hello);
        EXPECT_TRUE(waitUntil([&] {
            return !tablet->received<CapabilitiesMessage>().empty() &&
                   coordinator->connectionState().has_value() && coordinator->peer() != nullptr;
        })) << "the tablet was not accepted";
        return tablet;
    }

    // The tablet's video socket, chosen by the host after the keep-alive.
    std::unique_ptr<QUdpSocket> openVideo() {
        auto socket = std::make_unique<QUdpSocket>();
        socket->bind(QHostAddress::LocalHost, 0);
        const auto& keepalive = VideoControlDatagram::keepalive;
        socket->writeDatagram(QByteArray(reinterpret_cast<const char*>(keepalive.data()),
                                         static_cast<qsizetype>(keepalive.size())),
                              QHostAddress::LocalHost,
                              coordinator->server().udpVideoPort().value_or(0));
        EXPECT_TRUE(waitUntil([&] { return coordinator->server().videoConnection().has_value(); }));
        return socket;
    }

    // "METHOD path" and the body of the platform requests to paths ending in `suffix`.
    std::vector<QJsonObject> requestsTo(const QString& method, const QString& suffix) {
        std::vector<QJsonObject> out;
        for (const QJsonValue& value : platform.requests()) {
            const QJsonObject o = value.toObject();
            if (o.value(QStringLiteral("method")).toString() == method &&
                o.value(QStringLiteral("path")).toString().endsWith(suffix)) {
                out.push_back(o);
            }
        }
        return out;
    }
    static QJsonObject bodyOf(const QJsonObject& request) {
        const QJsonValue body = request.value(QStringLiteral("body"));
        if (body.isObject())
            return body.toObject();
        return QJsonDocument::fromJson(body.toString().toUtf8()).object();
    }

    QTemporaryDir dir;
    PlatformKeyFiles keys;
    DevPlatformProcess platform;
    std::shared_ptr<FakeCaptureBackend::State> backend;
    ManualScheduler scheduler;
    FakePresenceBrowser* presence = nullptr;
    std::unique_ptr<SessionCoordinator> coordinator;
    bool booted = false;
    bool signedIn = false;
    bool listening = false;
};

// Collects the log lines written while it lives.
class LogCapture {
  public:
    LogCapture() {
        s_lines = &lines;
        m_previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&,
                                               const QString& text) { s_lines->append(text); });
    }
    ~LogCapture() {
        qInstallMessageHandler(m_previous);
        s_lines = nullptr;
    }
    QStringList lines;

  private:
    static inline QStringList* s_lines = nullptr;
    QtMessageHandler m_previous = nullptr;
};

}  // namespace velurio::test
