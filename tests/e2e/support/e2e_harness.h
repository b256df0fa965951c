// The whole system from outside, as a user and a tablet meet it: the local platform
// (velurio-devplatform), the real `velurio` executable signed in by velurio-signin, and
// simulated tablets (velurio-peer), each in its own process, on the test X server with its
// compositor, the session bus with the secret service and the private Avahi daemon of
// scripts/with-services.
//
// The host trusts the platform's key through the development override
// (VELURIO_PLATFORM_PUBKEY_FILE, written by the platform at start); it finds the platform
// through VELURIO_API_URL and advertises itself on the test Avahi daemon, where the tablets find
// it. Each test gets its own platform, home directory and settings.
#pragma once

#include "dev_platform_process.h"
#include "gui_test_support.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>

#include <csignal>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>

namespace velurio::e2e {

using velurio::test::DevPlatformProcess;
using velurio::test::kEmail;
using velurio::test::kPassword;

// The environment every process of a test shares: a private home, the test Avahi daemon's bus.
inline QProcessEnvironment environmentFor(const QString& home, const QUrl& api,
                                          const QString& pubkey) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    environment.insert(QStringLiteral("VELURIO_API_URL"), api.toString());
    environment.insert(QStringLiteral("VELURIO_PLATFORM_PUBKEY_FILE"), pubkey);
    const QString avahiBus = environment.value(QStringLiteral("VELURIO_AVAHI_BUS"));
    if (!avahiBus.isEmpty()) {
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), avahiBus);
    }
    return environment;
}

// One velurio-peer process and its JSON-lines log.
class Tablet {
  public:
    // `launcher`: a command that runs the tablet elsewhere (e.g. in another network namespace).
    Tablet(const QString& logPath, const QProcessEnvironment& environment, QStringList arguments,
           QStringList launcher = {})
        : m_logPath(logPath) {
        arguments << QStringLiteral("--log") << logPath;
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (launcher.isEmpty()) {
            m_process.start(QStringLiteral(VELURIO_PEER_PATH), arguments);
        } else {
            const QString program = launcher.takeFirst();
            m_process.start(program,
                            launcher + QStringList{QStringLiteral(VELURIO_PEER_PATH)} + arguments);
        }
        EXPECT_TRUE(m_process.waitForStarted(10'000));
    }
    ~Tablet() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5'000)) {
                m_process.kill();
                m_process.waitForFinished(5'000);
            }
        }
    }
    Tablet(const Tablet&) = delete;
    Tablet& operator=(const Tablet&) = delete;

    void command(const QByteArray& line) {
        m_process.write(line + '\n');
        m_process.waitForBytesWritten(2'000);
    }
    // Asks it to quit and waits; its log is complete afterwards.
    bool quit() {
        command("quit");
        return m_process.waitForFinished(10'000);
    }
    bool running() const { return m_process.state() != QProcess::NotRunning; }
    // Gone at once, as when the system ends the tablet app: nothing is sent or closed politely.
    void crash() {
        m_process.kill();
        m_process.waitForFinished(5'000);
    }

    QList<QJsonObject> events() const {
        QList<QJsonObject> out;
        QFile file(m_logPath);
        if (!file.open(QIODevice::ReadOnly)) {
            return out;
        }
        while (!file.atEnd()) {
            const QByteArray line = file.readLine().trimmed();
            if (!line.isEmpty()) {
                out << QJsonDocument::fromJson(line).object();
            }
        }
        return out;
    }
    // Messages from the host, in arrival order.
    QList<QJsonObject> messages() const {
        QList<QJsonObject> out;
        for (const QJsonObject& event : events()) {
            if (event.value(QStringLiteral("event")) == QStringLiteral("message")) {
                out << event;
            }
        }
        return out;
    }
    int count(const QString& name) const {
        int n = 0;
        for (const QJsonObject& event : events()) {
            n += event.value(QStringLiteral("event")).toString() == name ? 1 : 0;
        }
        return n;
    }
    // Waits until an event satisfies `condition`; returns it.
    std::optional<QJsonObject> waitFor(const std::function<bool(const QJsonObject&)>& condition,
                                       int timeoutMs = 20'000) const {
        std::optional<QJsonObject> found;
        velurio::testing::waitFor(
            [&] {
                for (const QJsonObject& event : events()) {
                    if (condition(event)) {
                        found = event;
                        return true;
                    }
                }
                return false;
            },
            timeoutMs, 50);
        return found;
    }
    std::optional<QJsonObject> waitForEvent(const QString& name, int timeoutMs = 20'000) const {
        return waitFor(
            [&](const QJsonObject& e) { return e.value(QStringLiteral("event")) == name; },
            timeoutMs);
    }
    // The `end` the host sent, once it arrives.
    std::optional<QString> waitForEndReason(int timeoutMs = 20'000) const {
        const auto end = waitFor(
            [](const QJsonObject& e) {
                return e.value(QStringLiteral("event")) == QStringLiteral("message") &&
                       e.value(QStringLiteral("message")).toObject().value(QStringLiteral("t")) ==
                           QStringLiteral("end");
            },
            timeoutMs);
        if (!end) {
            return std::nullopt;
        }
        return end->value(QStringLiteral("message"))
            .toObject()
            .value(QStringLiteral("reason"))
            .toString();
    }

  private:
    QString m_logPath;
    QProcess m_process;
};

class EndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_home.isValid());
        ASSERT_FALSE(qEnvironmentVariable("VELURIO_AVAHI_BUS").isEmpty())
            << "the end-to-end tests need the Avahi daemon of scripts/with-services";
        m_platform = std::make_unique<DevPlatformProcess>(
            QStringList{QStringLiteral("--key"), path(QStringLiteral("platform-key.pem")),
                        QStringLiteral("--write-pubkey"),
                        path(QStringLiteral("platform-pubkey.pem"))} +
            m_platformArguments);
        ASSERT_FALSE(m_platform->baseURL().isEmpty());
        m_environment = environmentFor(m_home.path(), m_platform->baseURL(),
                                       path(QStringLiteral("platform-pubkey.pem")));
    }
    void TearDown() override {
        if (!m_platform) {
            return;  // skipped before anything started
        }
        stopHost();
        // The keyring is shared with the rest of the suite: leave no signed-in account behind.
        QProcess signout;
        signout.setProcessEnvironment(m_environment);
        signout.start(QStringLiteral(VELURIO_SIGNIN_PATH), {QStringLiteral("--sign-out")});
        EXPECT_TRUE(signout.waitForFinished(30'000));
        EXPECT_EQ(signout.exitCode(), 0);
        if (HasFailure()) {
            std::cerr << "--- velurio output ---\n"
                      << hostOutput().toStdString() << "--- platform log ---\n"
                      << m_platform->log().toStdString();
            for (const QString& name :
                 QDir(m_home.path()).entryList({QStringLiteral("*.jsonl")}, QDir::Files)) {
                QFile file(path(name));
                file.open(QIODevice::ReadOnly);
                const QList<QByteArray> lines = file.readAll().split('\n');
                std::cerr << "--- tablet log " << name.toStdString() << " (last lines) ---\n";
                for (qsizetype i = std::max<qsizetype>(0, lines.size() - 12); i < lines.size();
                     ++i) {
                    std::cerr << lines[i].left(300).toStdString() << "\n";
                }
            }
        }
    }

    QString path(const QString& name) const { return m_home.filePath(name); }

    // Signs the host in through velurio-signin, starts `velurio` and waits until it shows a
    // pairing code (registered on the platform). Returns the host's device id.
    QString startHost() {
        QProcess signin;
        signin.setProcessEnvironment(m_environment);
        signin.setProcessChannelMode(QProcess::MergedChannels);
        signin.start(QStringLiteral(VELURIO_SIGNIN_PATH),
                     {QStringLiteral("--email"), kEmail, QStringLiteral("--password"), kPassword});
        EXPECT_TRUE(signin.waitForFinished(30'000));
        EXPECT_EQ(signin.exitCode(), 0) << signin.readAll().toStdString();

        m_host = std::make_unique<QProcess>();
        m_host->setProcessEnvironment(m_environment);
        m_host->setProcessChannelMode(QProcess::MergedChannels);
        m_host->start(QStringLiteral(VELURIO_BINARY_DIR "/src/app/velurio"),
                      {QStringLiteral("--background")});  // no window over the ink
        EXPECT_TRUE(m_host->waitForStarted(10'000));
        QString macDeviceId;
        velurio::testing::waitFor(
            [&] {
                const QJsonArray codes = liveCodes();
                if (!codes.isEmpty()) {
                    macDeviceId =
                        codes.first().toObject().value(QStringLiteral("macDeviceId")).toString();
                }
                return !macDeviceId.isEmpty();
            },
            30'000, 100);
        return macDeviceId;
    }
    void stopHost() {
        if (m_host && m_host->state() != QProcess::NotRunning) {
            m_host->terminate();
            if (!m_host->waitForFinished(15'000)) {
                m_host->kill();
                m_host->waitForFinished(5'000);
            }
        }
    }
    // The host's timing summary, which it writes on SIGUSR1 (empty when it wrote none).
    QJsonObject hostStats() {
        if (!m_host || m_host->state() == QProcess::NotRunning)
            return {};
        const qint64 pid = m_host->processId();
        QString dir = m_environment.value(QStringLiteral("XDG_RUNTIME_DIR"));
        if (dir.isEmpty())
            dir = QDir::tempPath();
        const QString file = dir + QStringLiteral("/velurio-stats-%1.json").arg(pid);
        QFile::remove(file);
        ::kill(static_cast<pid_t>(pid), SIGUSR1);
        QJsonObject stats;
        velurio::testing::waitFor(
            [&] {
                QFile f(file);
                if (!f.open(QIODevice::ReadOnly))
                    return false;
                stats = QJsonDocument::fromJson(f.readAll()).object();
                return !stats.isEmpty();
            },
            5'000, 50);
        return stats;
    }
    // Everything the host printed so far (its log lines).
    QString hostOutput() {
        if (m_host) {
            m_hostOutput += QString::fromUtf8(m_host->readAll());
        }
        return m_hostOutput;
    }
    // The host's settings file (device id and attestation after registration).
    QVariant hostSetting(const QString& key) const {
        QSettings settings(m_home.filePath(QStringLiteral(".config/Velurio/velurio.conf")),
                           QSettings::IniFormat);
        return settings.value(key);
    }

    QJsonArray liveCodes() {
        return m_platform->callJSON("GET", QStringLiteral("/__dev/pairing-codes"))
            .value(QStringLiteral("codes"))
            .toArray();
    }
    // The code the host shows now (the newest live one).
    QString shownCode() {
        QString code;
        QString newest;
        for (const QJsonValue& value : liveCodes()) {
            const QJsonObject row = value.toObject();
            if (row.value(QStringLiteral("createdAt")).toString() >= newest) {
                newest = row.value(QStringLiteral("createdAt")).toString();
                code = row.value(QStringLiteral("code")).toString();
            }
        }
        return code;
    }
    // A new pairing code for the host, as its pairing window would ask for one.
    QString newPairingCode(const QString& macDeviceId) {
        const QJsonObject login =
            m_platform->callJSON("POST", QStringLiteral("/api/auth/native/login"),
                                 QJsonObject{{QStringLiteral("email"), kEmail},
                                             {QStringLiteral("password"), kPassword}});
        const QString access = login.value(QStringLiteral("accessToken")).toString();
        return m_platform
            ->callJSON("POST", QStringLiteral("/api/pairing/codes"),
                       QJsonObject{{QStringLiteral("deviceId"), macDeviceId}}, access)
            .value(QStringLiteral("code"))
            .toString();
    }
    // How many requests of this kind ("POST /api/pairing/sessions/validate") the platform saw.
    int platformCalls(const QString& line) {
        return static_cast<int>(m_platform->requestLines().count(line));
    }
    int platformCallsMatching(const QString& pattern) {
        const QRegularExpression re(pattern);
        int n = 0;
        for (const QString& line : m_platform->requestLines()) {
            n += re.match(line).hasMatch() ? 1 : 0;
        }
        return n;
    }

    // A tablet that signs in, registers, redeems `code` and finds the host over mDNS.
    std::unique_ptr<Tablet> tablet(const QString& name, const QString& code,
                                   QStringList extra = {}) {
        QUrl platform = m_platform->baseURL();
        if (!m_tabletPlatformHost.isEmpty()) {
            platform.setHost(m_tabletPlatformHost);
        }
        QStringList arguments{QStringLiteral("--platform"),    platform.toString(),
                              QStringLiteral("--email"),       kEmail,
                              QStringLiteral("--password"),    kPassword,
                              QStringLiteral("--browse"),      QStringLiteral("--video"),
                              QStringLiteral("--device-name"), name,
                              QStringLiteral("--session-id"),  QStringLiteral("session-") + name};
        if (!code.isEmpty()) {
            arguments << QStringLiteral("--code") << code;
        }
        arguments += extra;
        return std::make_unique<Tablet>(path(name + QStringLiteral(".jsonl")), m_environment,
                                        arguments, m_tabletLauncher);
    }

    // Set by a fixture before SetUp: more arguments for the platform, a command that runs each
    // tablet and the platform's address as tablets reach it (all empty: everything local).
    QStringList m_platformArguments;
    QStringList m_tabletLauncher;
    QString m_tabletPlatformHost;
    QTemporaryDir m_home;
    std::unique_ptr<DevPlatformProcess> m_platform;
    QProcessEnvironment m_environment;
    std::unique_ptr<QProcess> m_host;
    QString m_hostOutput;
};

// A point of the 1920×1080 test screen from normalised coordinates.
inline QPoint onScreen(double x, double y) {
    return {static_cast<int>(x * 1920), static_cast<int>(y * 1080)};
}

// Saves a picture for the documentation when VELURIO_E2E_SCREENSHOTS names a folder.
inline void saveForDocs(const QImage& image, const QString& name) {
    const QString dir = qEnvironmentVariable("VELURIO_E2E_SCREENSHOTS");
    if (!dir.isEmpty()) {
        image.save(dir + QLatin1Char('/') + name);
    }
}

// The message type of a logged message event.
inline QString typeOf(const QJsonObject& event) {
    return event.value(QStringLiteral("message")).toObject().value(QStringLiteral("t")).toString();
}

}  // namespace velurio::e2e
