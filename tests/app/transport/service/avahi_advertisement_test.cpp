// The control listener's advertisement as a real Avahi daemon publishes it: avahi-browse sees
// the TXT values, a direct mDNS query sees them in their specified order, and a second host of
// the same name is renamed the way Avahi renames.
#include "app/transport/session_server.h"
#include "platform/keychain/file_secret_store.h"
#include "transport_host_harness.h"
#include "transport_test_support.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <map>

namespace velurio::test {
namespace {

using namespace std::chrono_literals;

// avahi-browse -p escapes bytes as \DDD (decimal).
QString unescape(const QString& text) {
    QByteArray out;
    const QByteArray raw = text.toUtf8();
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 3 < raw.size() + 0 && QByteArray(raw.mid(i + 1, 3)).toInt() > 0) {
            out.append(static_cast<char>(raw.mid(i + 1, 3).toInt()));
            i += 3;
        } else {
            out.append(raw[i]);
        }
    }
    return QString::fromUtf8(out);
}

struct Browsed {
    quint16 port = 0;
    std::map<QString, QString> txt;
};

// The resolved "_velurio._tcp" services by instance name.
std::map<QString, Browsed> browse() {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
               qEnvironmentVariable("VELURIO_AVAHI_BUS"));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral("avahi-browse"),
                  {QStringLiteral("-rpt"), QStringLiteral("_velurio._tcp")});
    process.waitForFinished(20'000);
    std::map<QString, Browsed> out;
    for (const QString& line : QString::fromUtf8(process.readAllStandardOutput()).split('\n')) {
        const QStringList fields = line.split(';');
        if (fields.size() < 10 || fields[0] != QStringLiteral("=")) {
            continue;
        }
        Browsed service;
        service.port = fields[8].toUShort();
        // "k=v" "k=v" ... (quoted, space separated)
        for (QString item : fields.mid(9).join(';').split(QStringLiteral("\" \""))) {
            item.remove('"');
            const qsizetype eq = item.indexOf('=');
            if (eq > 0) {
                service.txt[item.left(eq)] = item.mid(eq + 1);
            }
        }
        out[unescape(fields[3])] = service;
    }
    return out;
}

QStringList txtInWireOrder(const QString& instance) {
    QProcess process;
    process.start(
        QStringLiteral("nsenter"),
        {QStringLiteral("-t"), qEnvironmentVariable("VELURIO_AVAHI_PID"), QStringLiteral("-n"),
         QStringLiteral("python3"), QStringLiteral(VELURIO_MDNS_QUERY),
         instance + QStringLiteral("._velurio._tcp.local")});
    process.waitForFinished(20'000);
    return QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

class AvahiAdvertisementTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ensureApplication();
        ASSERT_FALSE(qEnvironmentVariable("VELURIO_AVAHI_BUS").isEmpty())
            << "no Avahi daemon for this test: scripts/services.d/40-avahi.sh did not start one "
               "(run the suite through scripts/with-services, as root)";
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", qgetenv("VELURIO_AVAHI_BUS"));
        store = std::make_unique<FileSecretStore>(dir.path() + QStringLiteral("/secrets.json"));
    }
    std::unique_ptr<SessionServer> startServer(std::optional<QString> deviceId) {
        auto server =
            std::make_unique<SessionServer>(SessionServer::deviceIdentityProvider(*store));
        server->deviceId = std::move(deviceId);
        server->bindAddress = QHostAddress::LocalHost;
        server->start();
        EXPECT_TRUE(waitUntil([&] { return !server->advertisedName().isEmpty(); }, 20s));
        return server;
    }

    QTemporaryDir dir;
    std::unique_ptr<FileSecretStore> store;
};

TEST_F(AvahiAdvertisementTest, RecordCarriesTheVideoPortsInOrderAndACollisionRenames) {
    auto first = startServer(QStringLiteral("mac-42"));
    const QString name = first->advertisedName();
    const QString udp = QString::number(*first->udpVideoPort());

    std::map<QString, Browsed> services = browse();
    ASSERT_EQ(services.count(name), 1U) << name.toStdString();
    EXPECT_EQ(services[name].port, first->controlPort());
    EXPECT_EQ(services[name].txt, (std::map<QString, QString>{{"v", "1"},
                                                              {"role", "mac"},
                                                              {"device_id", "mac-42"},
                                                              {"vport", udp},
                                                              {"vquic", "0"},
                                                              {"vudp", udp}}));
    EXPECT_EQ(txtInWireOrder(name), (QStringList{"v=1", "role=mac", "device_id=mac-42",
                                                 "vport=" + udp, "vquic=0", "vudp=" + udp}));

    // A second host of the same name, without a device id.
    auto second = startServer(std::nullopt);
    EXPECT_EQ(second->advertisedName(), name + QStringLiteral(" #2"));
    const QString udp2 = QString::number(*second->udpVideoPort());
    EXPECT_EQ(txtInWireOrder(second->advertisedName()),
              (QStringList{"v=1", "role=mac", "vport=" + udp2, "vquic=0", "vudp=" + udp2}));

    // Stopping withdraws the record; starting again publishes the new video port.
    first->stop();
    ASSERT_TRUE(waitUntil([&] { return browse().count(name) == 0; }, 20s));
    first->start();
    ASSERT_TRUE(waitUntil([&] { return first->advertisedName() == name; }, 20s));
    const QString udp3 = QString::number(*first->udpVideoPort());
    EXPECT_EQ(txtInWireOrder(name), (QStringList{"v=1", "role=mac", "device_id=mac-42",
                                                 "vport=" + udp3, "vquic=0", "vudp=" + udp3}));
}

#ifdef VELURIO_PEER_PATH
TEST_F(AvahiAdvertisementTest, SimulatedTabletFindsTheHostThroughMDNSAndOpensItsVideoConnection) {
    HostHarness host(dir.path());
    ASSERT_TRUE(waitUntil([&] { return !host.server->advertisedName().isEmpty(); }, 20s));
    QProcess tablet;
    tablet.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QString log = dir.filePath(QStringLiteral("browse.jsonl"));
    tablet.start(QStringLiteral(VELURIO_PEER_PATH),
                 {"--browse", "--video", "--log", log, "--duration-ms", "8000"});
    ASSERT_TRUE(tablet.waitForStarted(5'000));
    ASSERT_TRUE(waitUntil([&] { return host.active != nullptr && host.hasVideo; }, 20s));
    tablet.kill();
    tablet.waitForFinished();
    QFile file(log);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QJsonObject first = QJsonDocument::fromJson(file.readLine()).object();
    EXPECT_EQ(first.value("event"), "discovered");
    EXPECT_EQ(first.value("port").toInt(), *host.server->controlPort());
    EXPECT_EQ(first.value("vudp").toString().toInt(), *host.server->udpVideoPort());
}
#endif

}  // namespace
}  // namespace velurio::test
