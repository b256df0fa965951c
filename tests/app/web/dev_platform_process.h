// The local platform as the tests use it: a velurio-devplatform process on a free loopback
// port, its control endpoints, and what it logged.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QStringList>
#include <QUrl>

namespace velurio::test {

inline const QString kEmail = QStringLiteral("ana@example.com");
inline const QString kPassword = QStringLiteral("s3nh@-forte");

class DevPlatformProcess {
  public:
    explicit DevPlatformProcess(QStringList extraArguments = {}) {
        QStringList arguments{QStringLiteral("--port"), QStringLiteral("0"),
                              QStringLiteral("--account"),
                              kEmail + QLatin1Char(':') + kPassword + QStringLiteral(":Ana Souza")};
        arguments += extraArguments;
        m_process.setProgram(QStringLiteral(VELURIO_DEVPLATFORM_PATH));
        m_process.setArguments(arguments);
        m_process.start();
        if (!m_process.waitForStarted(10'000)) {
            ADD_FAILURE() << "velurio-devplatform did not start";
            return;
        }
        QByteArray out;
        while (!out.contains('\n') && m_process.waitForReadyRead(10'000)) {
            out += m_process.readAllStandardOutput();
        }
        const QByteArray marker = "listening on ";
        const qsizetype at = out.indexOf(marker);
        if (at < 0) {
            ADD_FAILURE() << "velurio-devplatform printed no address: " << out.toStdString()
                          << m_process.readAllStandardError().toStdString();
            return;
        }
        m_baseURL = QUrl(QString::fromUtf8(out.mid(at + marker.size()).trimmed()));
        QUrl root = m_baseURL;
        root.setPath(QString());
        m_root = root;
    }
    ~DevPlatformProcess() {
        m_process.kill();
        m_process.waitForFinished(5'000);
    }
    DevPlatformProcess(const DevPlatformProcess&) = delete;
    DevPlatformProcess& operator=(const DevPlatformProcess&) = delete;

    // The API base URL it printed (with its path prefix, if any).
    const QUrl& baseURL() const { return m_baseURL; }
    quint16 port() const { return static_cast<quint16>(m_baseURL.port()); }

    // A control or API call, waited for; returns the status and the body.
    std::pair<int, QByteArray> call(const QByteArray& method, const QString& path,
                                    const QByteArray& body = {}, const QString& bearer = {}) {
        QUrl url = m_root;
        url.setPath(path, QUrl::TolerantMode);
        QNetworkRequest request(url);
        request.setHeader(QNetworkRequest::ContentTypeHeader,
                          QByteArrayLiteral("application/json"));
        if (!bearer.isEmpty()) {
            request.setRawHeader("Authorization", "Bearer " + bearer.toUtf8());
        }
        QNetworkReply* reply = m_network.sendCustomRequest(request, method, body);
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        if (!reply->isFinished()) {
            loop.exec();
        }
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QByteArray data = reply->readAll();
        reply->deleteLater();
        return {status, data};
    }
    QJsonObject callJSON(const QByteArray& method, const QString& path,
                         const QJsonObject& body = {}, const QString& bearer = {}) {
        const auto [status, data] =
            call(method, path, QJsonDocument(body).toJson(QJsonDocument::Compact), bearer);
        return QJsonDocument::fromJson(data).object();
    }

    void addFault(const QJsonObject& rule) {
        const auto [status, data] =
            call("POST", QStringLiteral("/__dev/faults"), QJsonDocument(rule).toJson());
        EXPECT_EQ(status, 200) << data.toStdString();
    }
    // A canned answer for the next `times` requests to `path`.
    void respond(const QString& method, const QString& path, int status, const QJsonValue& body,
                 int times = 1) {
        QJsonObject rule{{QStringLiteral("method"), method},
                         {QStringLiteral("path"), path},
                         {QStringLiteral("status"), status},
                         {QStringLiteral("times"), times}};
        if (!body.isUndefined()) {
            rule.insert(QStringLiteral("body"), body);
        }
        addFault(rule);
    }
    QJsonArray requests() {
        return callJSON("GET", QStringLiteral("/__dev/requests"))
            .value(QStringLiteral("requests"))
            .toArray();
    }
    // "METHOD path" of every API request received, in order.
    QStringList requestLines() {
        QStringList lines;
        for (const QJsonValue& value : requests()) {
            const QJsonObject o = value.toObject();
            lines << o.value(QStringLiteral("method")).toString() + QLatin1Char(' ') +
                         o.value(QStringLiteral("path")).toString();
        }
        return lines;
    }
    void reset() { call("POST", QStringLiteral("/__dev/reset")); }
    void expireAccessTokens() { call("POST", QStringLiteral("/__dev/expire-access-tokens")); }
    void advanceClock(qint64 seconds) {
        callJSON("POST", QStringLiteral("/__dev/clock"),
                 QJsonObject{{QStringLiteral("advanceSeconds"), seconds}});
    }

    // Everything it wrote to standard error so far.
    QString log() {
        m_log += QString::fromUtf8(m_process.readAllStandardError());
        return m_log;
    }

  private:
    QProcess m_process;
    QNetworkAccessManager m_network;
    QUrl m_baseURL;
    QUrl m_root;
    QString m_log;
};

}  // namespace velurio::test
