// velurio-devplatform: the local development platform. See --help.
#include "dev_platform.h"
#include "dev_platform_server.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cstdio>

using namespace velurio;
using namespace velurio::devplatform;

namespace {

constexpr const char* kDescription = R"(Local development platform for Velurio.

Implements the platform's REST API on one machine, with state in memory (optionally saved to
a JSON file):
  POST /api/auth/native/login        {"email","password"} -> tokens and user
  POST /api/auth/native/refresh      {"refreshToken"} -> new tokens (the refresh token rotates)
  POST /api/devices/register         {"name","type":"mac"|"ipad","pubkey"} -> device, attestation
  GET  /api/devices                  -> {"devices":[{"id","name","type","online"}]}
  POST /api/pairing/codes            {"deviceId"} (a Mac) -> {"code","expiresAt","expiresInSeconds"}
  POST /api/pairing/redeem           {"code","deviceId"} (a tablet) -> {"token","sessionId","expiresAt"}
  POST /api/pairing/sessions/validate {"token"} -> {"sessionId","expiresAt",...}
  POST /api/sessions/start           {"ipadDeviceId","transport","pairingToken"?,"macDeviceId"?}
  POST /api/sessions/<id>/end        {"durationSeconds","framesDropped","strokeCount",...}
  GET  /api/sessions                 -> {"sessions":[{"id","macDeviceId","startedAt","endedAt"?}]}
Attestations are ES256 tokens signed with the platform key (--key); --write-pubkey writes its
public half as the platform-pubkey.pem a development build of the host can trust.

Without --account or --accounts there is one account: dev@velurio.local, password "velurio".
The accounts file is a JSON array of {"email","password","name"?,"id"?}.

Fault injection (PATH may start with a method, e.g. "POST /api/devices/register"; "*" matches
one path segment). Tests can add the same rules at run time:
  POST /__dev/faults   {"method"?,"path","status"?,"body"?,"contentType"?,"delayMs"?,"hang"?,"times"?}
  POST /__dev/reset    drop every rule and the request record
  GET  /__dev/requests the requests received (method, path, content type, body, whether a
                       bearer token was sent)
  POST /__dev/clock    {"advanceSeconds"} moves the platform's clock
  POST /__dev/expire-access-tokens  the next authorised call gets 401
  GET  /__dev/pairing-codes  the live pairing codes (what a host shows its user), so that a
                       simulated tablet can redeem one
  GET  /__dev/state    the whole state
These control endpoints are for local use only: bind to a loopback address.

The first line on standard output is "velurio-devplatform listening on <base URL>".
The log (standard error) names method, path and status only, never a token.)";

bool parseAccount(const QString& text, Account* account) {
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() < 2 || parts[0].isEmpty() || parts[1].isEmpty()) {
        return false;
    }
    account->email = parts[0];
    account->password = parts[1];
    account->name = parts.size() > 2 ? parts.mid(2).join(QLatin1Char(':')) : QString();
    return true;
}

int exitWithError(const QString& message) {
    std::fprintf(stderr, "velurio-devplatform: %s\n", qPrintable(message));
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velurio-devplatform"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kDescription));
    parser.addHelpOption();
    const QCommandLineOption hostOption(QStringLiteral("host"),
                                        QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                        QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(
        QStringLiteral("port"), QStringLiteral("TCP port; 0 picks a free one (default 8787)."),
        QStringLiteral("port"), QStringLiteral("8787"));
    const QCommandLineOption prefixOption(
        QStringLiteral("prefix"), QStringLiteral("Serve the API under this path, e.g. /v1."),
        QStringLiteral("path"));
    const QCommandLineOption accountOption(QStringLiteral("account"),
                                           QStringLiteral("An account (repeatable)."),
                                           QStringLiteral("email:password[:name]"));
    const QCommandLineOption accountsOption(QStringLiteral("accounts"),
                                            QStringLiteral("JSON file of accounts."),
                                            QStringLiteral("file"));
    const QCommandLineOption keyOption(
        QStringLiteral("key"),
        QStringLiteral(
            "PEM (PKCS#8) file of the platform's P-256 signing key; created when missing. "
            "Without it a fresh key lives in memory only."),
        QStringLiteral("file"));
    const QCommandLineOption pubkeyOption(
        QStringLiteral("write-pubkey"),
        QStringLiteral("Write the platform's public key (PEM) to this file and go on."),
        QStringLiteral("file"));
    const QCommandLineOption stateOption(
        QStringLiteral("state"),
        QStringLiteral("JSON file the state is loaded from and saved to after each change."),
        QStringLiteral("file"));
    const QCommandLineOption accessTtlOption(
        QStringLiteral("access-token-ttl"), QStringLiteral("Access token lifetime (default 3600)."),
        QStringLiteral("seconds"), QStringLiteral("3600"));
    const QCommandLineOption codeTtlOption(QStringLiteral("pairing-code-ttl"),
                                           QStringLiteral("Pairing code lifetime (default 300)."),
                                           QStringLiteral("seconds"), QStringLiteral("300"));
    const QCommandLineOption pairingTtlOption(
        QStringLiteral("pairing-token-ttl"),
        QStringLiteral("Pairing token lifetime (default 600)."), QStringLiteral("seconds"),
        QStringLiteral("600"));
    const QCommandLineOption attestationTtlOption(
        QStringLiteral("attestation-ttl"),
        QStringLiteral("Attestation lifetime (default 2592000, 30 days)."),
        QStringLiteral("seconds"), QStringLiteral("2592000"));
    const QCommandLineOption failOption(
        QStringLiteral("fail"),
        QStringLiteral("Answer PATH with STATUS and an error envelope (repeatable)."),
        QStringLiteral("[METHOD ]PATH=STATUS"));
    const QCommandLineOption delayOption(
        QStringLiteral("delay"), QStringLiteral("Answer PATH after MS milliseconds (repeatable)."),
        QStringLiteral("[METHOD ]PATH=MS"));
    const QCommandLineOption hangOption(
        QStringLiteral("hang"),
        QStringLiteral("Accept requests to PATH and never answer (repeatable)."),
        QStringLiteral("[METHOD ]PATH"));
    const QCommandLineOption unauthorizedOption(
        QStringLiteral("unauthorized-once"),
        QStringLiteral("Answer the next request to PATH with 401 (repeatable)."),
        QStringLiteral("[METHOD ]PATH"));
    parser.addOptions({hostOption, portOption, prefixOption, accountOption, accountsOption,
                       keyOption, pubkeyOption, stateOption, accessTtlOption, codeTtlOption,
                       pairingTtlOption, attestationTtlOption, failOption, delayOption, hangOption,
                       unauthorizedOption});
    parser.process(app);

    const auto seconds = [&](const QCommandLineOption& option, std::chrono::seconds* out) {
        bool ok = false;
        const qint64 value = parser.value(option).toLongLong(&ok);
        if (!ok || value <= 0) {
            return false;
        }
        *out = std::chrono::seconds(value);
        return true;
    };
    Options options;
    if (!seconds(accessTtlOption, &options.accessTokenLifetime) ||
        !seconds(codeTtlOption, &options.pairingCodeLifetime) ||
        !seconds(pairingTtlOption, &options.pairingTokenLifetime) ||
        !seconds(attestationTtlOption, &options.attestationLifetime)) {
        return exitWithError(QStringLiteral("lifetimes must be positive numbers of seconds"));
    }

    // The platform key: loaded, or created (and saved when a file is named).
    std::optional<P256PrivateKey> key;
    const QString keyPath = parser.value(keyOption);
    if (!keyPath.isEmpty() && QFileInfo::exists(keyPath)) {
        QFile file(keyPath);
        if (!file.open(QIODevice::ReadOnly)) {
            return exitWithError(QStringLiteral("cannot read the key file ") + keyPath);
        }
        key = P256PrivateKey::fromPEM(file.readAll().toStdString());
        if (!key) {
            return exitWithError(QStringLiteral("the key file holds no P-256 PKCS#8 key: ") +
                                 keyPath);
        }
    } else {
        auto generated = P256PrivateKey::generate();
        if (!generated) {
            return exitWithError(QStringLiteral("cannot create a key: ") +
                                 QString::fromStdString(generated.error()));
        }
        key = std::move(*generated);
        if (!keyPath.isEmpty()) {
            QSaveFile file(keyPath);
            if (!file.open(QIODevice::WriteOnly)) {
                return exitWithError(QStringLiteral("cannot write the key file ") + keyPath);
            }
            file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
            file.write(QByteArray::fromStdString(key->pem()));
            if (!file.commit()) {
                return exitWithError(QStringLiteral("cannot write the key file ") + keyPath);
            }
        }
    }
    const QString pubkeyPath = parser.value(pubkeyOption);
    if (!pubkeyPath.isEmpty()) {
        QSaveFile file(pubkeyPath);
        const auto publicKey = key->publicKey();
        if (!publicKey || !file.open(QIODevice::WriteOnly)) {
            return exitWithError(QStringLiteral("cannot write the public key to ") + pubkeyPath);
        }
        file.write(QByteArray::fromStdString(publicKey->pem()));
        if (!file.commit()) {
            return exitWithError(QStringLiteral("cannot write the public key to ") + pubkeyPath);
        }
    }

    DevPlatform platform(std::move(*key), options);
    for (const QString& text : parser.values(accountOption)) {
        Account account;
        if (!parseAccount(text, &account)) {
            return exitWithError(QStringLiteral("--account takes email:password[:name]"));
        }
        platform.addAccount(account);
    }
    if (parser.isSet(accountsOption)) {
        QFile file(parser.value(accountsOption));
        if (!file.open(QIODevice::ReadOnly)) {
            return exitWithError(QStringLiteral("cannot read the accounts file ") +
                                 file.fileName());
        }
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
        if (!document.isArray()) {
            return exitWithError(QStringLiteral("the accounts file must hold a JSON array"));
        }
        for (const QJsonValue& value : document.array()) {
            const QJsonObject o = value.toObject();
            Account account{o.value(QStringLiteral("id")).toString(),
                            o.value(QStringLiteral("email")).toString(),
                            o.value(QStringLiteral("password")).toString(),
                            o.value(QStringLiteral("name")).toString()};
            if (account.email.isEmpty() || account.password.isEmpty()) {
                return exitWithError(
                    QStringLiteral("every account needs \"email\" and \"password\""));
            }
            platform.addAccount(account);
        }
    }
    const QString statePath = parser.value(stateOption);
    if (!statePath.isEmpty() && QFileInfo::exists(statePath)) {
        QFile file(statePath);
        if (!file.open(QIODevice::ReadOnly) ||
            !platform.loadState(QJsonDocument::fromJson(file.readAll()).object())) {
            return exitWithError(QStringLiteral("the state file is not one of ours: ") + statePath);
        }
    }
    if (platform.accounts().empty()) {
        platform.addAccount(Account{{},
                                    QStringLiteral("dev@velurio.local"),
                                    QStringLiteral("velurio"),
                                    QStringLiteral("Dev")});
    }

    DevPlatformServer server(platform, parser.value(prefixOption), statePath);
    const std::pair<const QCommandLineOption*, FaultRule::OptionKind> faultOptions[] = {
        {&failOption, FaultRule::OptionKind::fail},
        {&delayOption, FaultRule::OptionKind::delay},
        {&hangOption, FaultRule::OptionKind::hang},
        {&unauthorizedOption, FaultRule::OptionKind::unauthorizedOnce}};
    for (const auto& [option, kind] : faultOptions) {
        for (const QString& text : parser.values(*option)) {
            QString error;
            auto rule = FaultRule::fromOption(kind, text, &error);
            if (!rule) {
                return exitWithError(error);
            }
            server.addFault(std::move(*rule));
        }
    }

    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    const QHostAddress host(parser.value(hostOption));
    if (!portOk || port > 65535 || host.isNull()) {
        return exitWithError(
            QStringLiteral("--host needs an IP address and --port a number 0 to 65535"));
    }
    const auto bound = server.listen(host, static_cast<quint16>(port));
    if (!bound) {
        return exitWithError(
            QStringLiteral("cannot listen on %1:%2").arg(host.toString()).arg(port));
    }
    const QString hostText = host.protocol() == QAbstractSocket::IPv6Protocol
                                 ? QLatin1Char('[') + host.toString() + QLatin1Char(']')
                                 : host.toString();
    std::printf("velurio-devplatform listening on http://%s:%u%s\n", qPrintable(hostText),
                static_cast<unsigned>(*bound), qPrintable(parser.value(prefixOption)));
    std::fflush(stdout);
    return QCoreApplication::exec();
}
