// The simulated tablet: one control connection (TLS over TCP) to a host, the hello, ink, pings,
// a UDP video connection with reassembly and decoding, and the misbehaviours tests need.
//
// Session flow: optionally sign in to the platform and redeem a pairing code (PlatformAccount);
// optionally find the host over mDNS; connect; send hello; once the host's `displays` arrives
// (acceptance) send capabilities and the generated strokes. Commands on standard input drive a
// running tablet (see kCommandHelp).
//
// Log lines (one JSON object each, on stdout or --log):
//   {"event":"connected"} {"event":"message","channel":N,"message":{...}}
//   {"event":"rtt","seq":N,"ms":X} {"event":"accepted"} {"event":"strokes_sent","count":N}
//   {"event":"sent","channel":1,"message":{...}} (each generated stroke message)
//   {"event":"frame","seq":N,"pts":N,"bytes":N,"key":B,"fragments":N,"received_ms":N,
//    "decoded":B,"width":N,"height":N,"received_us":N,"decoded_us":N[,"code":N]}
//   (received_us and decoded_us on CLOCK_MONOTONIC, comparable with other processes')
//   {"event":"reconciled","resent_messages":N,"strokes":N} (after a resume's replay)
//   {"event":"platform","device_id":...,"code":...} {"event":"dropped"}
//   {"event":"closed"} {"event":"error","description":...}
//   {"event":"flood","opened":N,"encrypted":N,"closed":N}
//   {"event":"usb_listening","port":N} {"event":"usb_offer","session_id":...} (--usb)
//
// Thread: the main thread. Lifetime: lives as long as the event loop runs.
#pragma once

#include "ink_journal.h"
#include "platform_account.h"
#include "protocol/message_codec.h"
#include "protocol/wire_framing.h"
#include "video_receiver.h"

#include <QFile>
#include <QJsonObject>
#include <QObject>
#include <QSslServer>
#include <QSslSocket>
#include <QString>
#include <QUdpSocket>
#include <QUrl>

#include <memory>
#include <optional>
#include <vector>

class QSocketNotifier;

namespace velurio {
class QuicUdpDriver;
}

namespace velurio::peer {

inline constexpr const char* kCommandHelp =
    R"(Commands on standard input, one per line:
  drop              abort the control and video connections without an end message
  reconnect         connect again with the same session id, asking to resume
  end               send end and close
  strokes           send the generated strokes (again)
  video-reconnect   open a new video connection (new source port) with a keep-alive
  send JSON         send a message on the control channel
  ink JSON          send a message on the ink channel
  png PATH          write the last decoded picture now
  quit              exit)";

class Log {
  public:
    explicit Log(const QString& path);
    void write(const QJsonObject& object);
    void writeRaw(const QByteArray& line);

  private:
    QFile m_file;
};

// Strokes generated from options: `count` horizontal strokes of `points` points each, from
// (x, y) to (x + length, y), each one `spacing` below the previous.
struct StrokePlan {
    int count = 0;
    std::string tool = "pen";
    std::string color = "#FF4D2E";
    std::int64_t width = 8;
    double x = 0.3;
    double y = 0.3;
    double length = 0.3;
    double spacing = 0.1;
    int points = 8;
    std::string idPrefix = "peer-stroke";

    std::vector<StrokeMessage> messages(std::int64_t nowMs, int round) const;
};

struct Options {
    QString host;
    quint16 port = 0;
    quint16 videoPort = 0;
    bool browse = false;    // find host and port through mDNS
    bool keepHost = false;  // with browse: take only the ports, connect to `host` (a routed path)
    QString hostDeviceId;   // with browse: only this host (default: the paired one)
    bool video = false;     // use the advertised UDP video port (QUIC one with `quic`)
    bool quic = false;      // control (and video) over QUIC, TLS over TCP when QUIC fails
    quint16 quicVideoPort = 0;
    HelloMessage hello;
    bool sendHello = true;
    bool garbage = false;
    QString script;
    int pingIntervalMs = 0;
    int durationMs = 0;
    int flood = 0;
    int stall = 0;
    bool stay = false;  // keep running after the host closes (for drop/reconnect)
    // On a cable: listen on 127.0.0.1:usbPort as the TLS server (usbmuxd's Connect to the
    // tablet's port lands here), wait for the host's offer on the USB discovery channel, then
    // answer with our hello. Keeps listening after a connection ends, like the tablet app.
    quint16 usbPort = 0;
    // Read at most this many bytes per second from the host (0: as fast as they come), with a
    // small receive buffer, so that the host sees a slow cable.
    qint64 readBytesPerSecond = 0;

    // Platform: sign in, register and redeem when `platform.baseURL` is set.
    std::optional<PlatformAccountOptions> platform;
    // What the tablet keeps between runs (device id, pairing token, attestation, its host): read
    // at start when the file exists, in place of the platform; written after the platform.
    QString statePath;
    // Sign our own attestation with this key (a forged one with another key, or an expired one
    // with a negative lifetime).
    QString attestationKeyPath;
    qint64 attestationTtlSeconds = 3600;

    std::optional<std::string> capabilitiesCodec;  // send capabilities after acceptance
    bool capabilitiesEarly = false;                // ... or right behind the hello
    StrokePlan strokes;
    int strokeDelayMs = 300;

    QString pngPath;
    QString dumpStreamPath;
    QString statsPath;
    bool readCode = false;  // log the frame counter painted by bench/e2e/frame_code.py
};

class Tablet : public QObject {
  public:
    Tablet(Options options, Log& log);

    void start();
    // Writes the PNG (when asked) and the flood counts; called once the event loop is over.
    void finish();

  private:
    void connectControl();
    void connectQuic();
    // The control stream is connected (TLS handshake done, or QUIC stream open).
    void onControlConnected(QIODevice* control, const QHostAddress& host, const char* transport);
    void controlClosed(QIODevice* control);
    void closeControl(bool abort);
    void startQuicVideo();
    void listenUSB();
    void adoptSocket(QSslSocket* socket);
    void readThrottled();
    void sendOwnHello();
    void send(const SessionMessage& message, WireChannel channel = WireChannel::control);
    void sendBytes(const Bytes& bytes);
    void onEncrypted();
    void onReadyRead();
    void ingest(const QByteArray& data);
    void onAccepted();
    void sendCapabilities();
    void sendStrokes();
    // Ink of ours: journaled, and held back while a resume's replay is awaited.
    void sendInk(const StrokeMessage& message, WireChannel channel = WireChannel::ink);
    void finishReplay();
    void playScript();
    void startVideo();
    void stopVideo();
    void collectVideo(std::span<const std::uint8_t> datagram);
    void startFlood();
    void readCommands();
    void runCommand(const QByteArray& line);
    void drop();
    bool writePNG(const QString& path);
    std::optional<std::string> signAttestation() const;
    // The saved pairing (`statePath`): true when one was read into the hello.
    bool loadState();
    void saveState() const;

    Options m_options;
    Log& m_log;
    std::unique_ptr<PlatformAccount> m_account;
    QSslSocket* m_socket = nullptr;
    QIODevice* m_control = nullptr;  // the control stream: m_socket or a QUIC stream
    QuicUdpDriver* m_quic = nullptr;
    QuicUdpDriver* m_quicVideo = nullptr;
    bool m_quicFailed = false;
    QSslServer* m_usbListener = nullptr;
    QTimer* m_readTimer = nullptr;
    QUdpSocket* m_video = nullptr;
    QHostAddress m_hostAddress;
    WireFrameParser m_parser;
    FrameAssembler m_assembler;
    VideoDecoder m_decoder;
    InkJournal m_journal;
    std::unique_ptr<QFile> m_dump;
    std::unique_ptr<QFile> m_stats;
    QSocketNotifier* m_commands = nullptr;
    QByteArray m_commandBuffer;
    std::uint32_t m_pingSeq = 0;
    int m_strokeRound = 0;
    bool m_accepted = false;
    bool m_dropping = false;
    int m_encrypted = 0;
    int m_closed = 0;
};

}  // namespace velurio::peer
