// A tablet that tries QUIC where no QUIC listener answers (the host's QUIC backend failed, as
// when UDP is blocked) takes TLS over TCP on the same port number and its session works.
// The tablet is velurio-peer in another process.
#include "app/transport/session_server.h"
#include "transport_host_harness.h"
#include "transport_test_support.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#ifdef VELURIO_PEER_PATH
namespace velurio::test {
namespace {

using namespace std::chrono_literals;

// Every QUIC listener fails as it starts.
class FailingQUICBackend final : public QUICBackend {
  public:
    class Video final : public QUICVideoListener {
      public:
        void start() override {
            QTimer::singleShot(0, this, [this] { Q_EMIT failed(QStringLiteral("UDP blocked")); });
        }
        bool sendDatagram(const QHostAddress&, quint16, const QByteArray&) override {
            return false;
        }
        void closeConnection(const QHostAddress&, quint16) override {}
    };
    class Control final : public QUICControlListener {
      public:
        void start() override {
            QTimer::singleShot(0, this, [this] { Q_EMIT failed(QStringLiteral("UDP blocked")); });
        }
        quint16 port() const override { return 0; }
    };
    Result<std::unique_ptr<QUICVideoListener>, QString> makeVideoListener(
        const TLSCredentials&) override {
        return std::unique_ptr<QUICVideoListener>(std::make_unique<Video>());
    }
    Result<std::unique_ptr<QUICControlListener>, QString> makeControlListener(
        const TLSCredentials&) override {
        return std::unique_ptr<QUICControlListener>(std::make_unique<Control>());
    }
};

std::vector<QJsonObject> events(const QString& path) {
    std::vector<QJsonObject> out;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : file.readAll().split('\n')) {
            if (!line.isEmpty()) {
                out.push_back(QJsonDocument::fromJson(line).object());
            }
        }
    }
    return out;
}

TEST(QuicFallback, TabletTakesTlsOverTcpOnTheSamePortWhenQuicFails) {
    ensureApplication();
    QTemporaryDir dir;
    HostHarness host(dir.path(), {}, std::make_unique<FailingQUICBackend>());
    ASSERT_TRUE(host.server->isRunning());
    ASSERT_EQ(host.server->transport(), SessionServer::Transport::tcp);
    ASSERT_FALSE(host.server->quicVideoPort());

    const QString log = dir.filePath(QStringLiteral("tablet.jsonl"));
    QProcess tablet;
    tablet.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    tablet.start(QStringLiteral(VELURIO_PEER_PATH),
                 {"--log", log, "--quic", "--port", QString::number(*host.server->controlPort()),
                  "--token", "tok", "--duration-ms", "30000"});
    ASSERT_TRUE(tablet.waitForStarted(5'000));
    // Accepted, and it answers the host's pings.
    EXPECT_TRUE(waitUntil([&] { return host.active != nullptr && host.pongs >= 2; }, 20s));
    tablet.kill();
    tablet.waitForFinished();

    ASSERT_FALSE(host.transports.empty());
    EXPECT_EQ(host.transports.back(), SessionServer::Transport::tcp);
    const auto logged = events(log);
    const auto at = [&](const char* name) {
        return std::find_if(logged.begin(), logged.end(), [&](const QJsonObject& e) {
            return e.value(QStringLiteral("event")).toString() == QLatin1String(name);
        });
    };
    ASSERT_NE(at("quic_failed"), logged.end());
    ASSERT_NE(at("connected"), logged.end());
    EXPECT_LT(at("quic_failed"), at("connected"));
    EXPECT_EQ(at("connected")->value(QStringLiteral("transport")).toString(),
              QStringLiteral("tcp"));
}

}  // namespace
}  // namespace velurio::test
#endif
