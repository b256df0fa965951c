#include "platform_account.h"

#include "core/base64.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QTimer>

#include <array>

namespace velurio::peer {

PlatformAccount::PlatformAccount(PlatformAccountOptions options, QObject* parent)
    : QObject(parent), m_options(std::move(options)) {}

void PlatformAccount::run(std::function<void(PlatformAccountResult)> done) {
    m_done = std::move(done);
    post(QStringLiteral("/api/auth/native/login"),
         QJsonObject{{QStringLiteral("email"), m_options.email},
                     {QStringLiteral("password"), m_options.password}},
         [this](int status, const QJsonObject& answer) {
             m_accessToken = answer.value(QStringLiteral("accessToken")).toString();
             if (m_accessToken.isEmpty()) {
                 m_accessToken = answer.value(QStringLiteral("access_token")).toString();
             }
             if (status != 200 || m_accessToken.isEmpty()) {
                 fail(QStringLiteral("login failed (%1)").arg(status));
                 return;
             }
             registerDevice();
         });
}

void PlatformAccount::registerDevice() {
    // A fresh device key per run: the platform only records it. (A tablet keeps its key; a
    // simulated one is a new tablet each time.)
    std::array<std::uint8_t, 32> key{};
    for (auto& byte : key) {
        byte = static_cast<std::uint8_t>(QRandomGenerator::system()->bounded(256));
    }
    post(QStringLiteral("/api/devices/register"),
         QJsonObject{{QStringLiteral("name"), m_options.deviceName},
                     {QStringLiteral("type"), QStringLiteral("ipad")},
                     {QStringLiteral("pubkey"), QString::fromStdString(Base64::encode(key))}},
         [this](int status, const QJsonObject& answer) {
             m_result.deviceId = answer.value(QStringLiteral("device"))
                                     .toObject()
                                     .value(QStringLiteral("id"))
                                     .toString();
             if (m_result.deviceId.isEmpty()) {
                 m_result.deviceId = answer.value(QStringLiteral("deviceId")).toString();
             }
             m_result.attestation = answer.value(QStringLiteral("attestation")).toString();
             if (status != 200 || m_result.deviceId.isEmpty() || m_result.attestation.isEmpty()) {
                 fail(QStringLiteral("device registration failed (%1)").arg(status));
                 return;
             }
             if (!m_options.code.isEmpty()) {
                 m_result.code = m_options.code;
                 redeem();
             } else {
                 findCode(QDateTime::currentMSecsSinceEpoch());
             }
         });
}

void PlatformAccount::findCode(qint64 startedMs) {
    get(QStringLiteral("/__dev/pairing-codes"),
        [this, startedMs](int status, const QJsonObject& answer) {
            QDateTime newest;
            for (const QJsonValue& value : answer.value(QStringLiteral("codes")).toArray()) {
                const QJsonObject row = value.toObject();
                if (!m_options.macDeviceId.isEmpty() &&
                    row.value(QStringLiteral("macDeviceId")).toString() != m_options.macDeviceId) {
                    continue;
                }
                const QDateTime created = QDateTime::fromString(
                    row.value(QStringLiteral("createdAt")).toString(), Qt::ISODateWithMs);
                if (m_result.code.isEmpty() || created > newest) {
                    m_result.code = row.value(QStringLiteral("code")).toString();
                    newest = created;
                }
            }
            if (!m_result.code.isEmpty()) {
                redeem();
                return;
            }
            if (status != 200 && status != 0) {
                fail(QStringLiteral("the platform lists no pairing codes (%1)").arg(status));
                return;
            }
            if (QDateTime::currentMSecsSinceEpoch() - startedMs > m_options.codeWaitMs) {
                fail(QStringLiteral("no pairing code appeared on the platform"));
                return;
            }
            QTimer::singleShot(200, this, [this, startedMs] { findCode(startedMs); });
        });
}

void PlatformAccount::redeem() {
    post(QStringLiteral("/api/pairing/redeem"),
         QJsonObject{{QStringLiteral("code"), m_result.code},
                     {QStringLiteral("deviceId"), m_result.deviceId}},
         [this](int status, const QJsonObject& answer) {
             m_result.pairingToken = answer.value(QStringLiteral("token")).toString();
             m_result.macDeviceId = answer.value(QStringLiteral("macDeviceId")).toString();
             if (status != 200 || m_result.pairingToken.isEmpty()) {
                 fail(QStringLiteral("redeeming the pairing code failed (%1)").arg(status));
                 return;
             }
             m_result.ok = true;
             if (m_done) {
                 std::exchange(m_done, nullptr)(m_result);
             }
         });
}

void PlatformAccount::fail(const QString& error) {
    m_result.ok = false;
    m_result.error = error;
    if (m_done) {
        std::exchange(m_done, nullptr)(m_result);
    }
}

namespace {

QUrl join(const QUrl& base, const QString& path, bool root) {
    QUrl url = base;
    QString prefix = root ? QString() : base.path();
    while (prefix.endsWith(QLatin1Char('/'))) {
        prefix.chop(1);
    }
    url.setPath(prefix + path);
    return url;
}

}  // namespace

void PlatformAccount::post(const QString& path, const QJsonObject& body,
                           std::function<void(int, const QJsonObject&)> next) {
    QNetworkRequest request(join(m_options.baseURL, path, false));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    if (!m_accessToken.isEmpty()) {
        request.setRawHeader("Authorization", "Bearer " + m_accessToken.toUtf8());
    }
    finish(m_network.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact)),
           std::move(next));
}

void PlatformAccount::get(const QString& path, std::function<void(int, const QJsonObject&)> next) {
    QNetworkRequest request(join(m_options.baseURL, path, path.startsWith(u"/__dev/")));
    finish(m_network.get(request), std::move(next));
}

void PlatformAccount::finish(QNetworkReply* reply,
                             std::function<void(int, const QJsonObject&)> next) {
    connect(reply, &QNetworkReply::finished, this, [reply, next = std::move(next)] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        next(status, QJsonDocument::fromJson(reply->readAll()).object());
    });
}

}  // namespace velurio::peer
