// The simulated tablet's side of the web platform: sign in as a tablet user, register as an
// "ipad" device (its attestation goes into the hello), and redeem the host's pairing code for
// the pairing token of the hello.
//
// The pairing code is the one the user would type: given on the command line, or, against the
// local development platform, read from its control endpoint "/__dev/pairing-codes" (the
// newest live code, optionally of one host device), waiting for the host to create one.
//
// Thread: the thread that owns it. Lifetime: owned by the tablet; `finished` is called once.
#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

class QNetworkReply;

namespace velurio::peer {

struct PlatformAccountOptions {
    QUrl baseURL;  // the API base; control endpoints live at its root
    QString email;
    QString password;
    QString deviceName;
    QString code;         // empty: read from the development platform
    QString macDeviceId;  // with an empty code: only a code of this host
    int codeWaitMs = 30'000;
};

struct PlatformAccountResult {
    bool ok = false;
    QString error;  // when not ok
    QString deviceId;
    QString attestation;
    QString pairingToken;
    QString code;
    QString macDeviceId;  // the host the code belongs to, when the platform says
};

class PlatformAccount : public QObject {
  public:
    PlatformAccount(PlatformAccountOptions options, QObject* parent = nullptr);

    // Runs login, registration and redemption; `done` gets the outcome (once).
    void run(std::function<void(PlatformAccountResult)> done);

  private:
    void post(const QString& path, const QJsonObject& body,
              std::function<void(int status, const QJsonObject& answer)> next);
    void get(const QString& path, std::function<void(int status, const QJsonObject& answer)> next);
    void finish(QNetworkReply* reply,
                std::function<void(int status, const QJsonObject& answer)> next);
    void registerDevice();
    void findCode(qint64 startedMs);
    void redeem();
    void fail(const QString& error);

    PlatformAccountOptions m_options;
    QNetworkAccessManager m_network;
    std::function<void(PlatformAccountResult)> m_done;
    PlatformAccountResult m_result;
    QString m_accessToken;
};

}  // namespace velurio::peer
