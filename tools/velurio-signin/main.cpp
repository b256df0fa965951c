// velurio-signin: signs the host in the way its login does, before it starts: logs in to the
// platform with the app's own client, which keeps the tokens in the app's secret store, and
// records the e-mail and user id in the app's settings. The next `velurio` start finds the
// account, registers the device and offers a pairing code.
//
// For development and end-to-end tests, until the login window exists; it runs with the
// environment the host will run with (HOME, XDG_*, the session bus of the secret service,
// VELURIO_API_URL).
#include "app/web/platform_client.h"
#include "platform/keychain/secret_store.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCoroTask>
#include <QSettings>

#include <cstdio>

namespace {

QCoro::Task<int> signIn(QUrl baseURL, QString email, QString password) {
    std::unique_ptr<velurio::SecretStore> store = velurio::makeSecretStore();
    velurio::PlatformClient client(baseURL, *store);
    const auto session = co_await client.login(email, password);
    if (!session.ok()) {
        std::fprintf(stderr, "velurio-signin: %s\n",
                     qPrintable(session.error().localizedDescription()));
        co_return 1;
    }
    // The same keys the app's login writes.
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Velurio"),
                       QStringLiteral("velurio"));
    settings.setValue(QStringLiteral("velurio.userEmail"), session.value().email);
    settings.setValue(QStringLiteral("velurio.userId"), session.value().userId);
    settings.sync();
    std::printf("signed in as %s\n", qPrintable(session.value().email));
    co_return 0;
}

// Forgets the tokens (the secret store's items) and the account keys of the settings.
QCoro::Task<int> signOut() {
    std::unique_ptr<velurio::SecretStore> store = velurio::makeSecretStore();
    velurio::PlatformClient client(velurio::PlatformClient::defaultBaseURL(), *store);
    co_await client.signOut();
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Velurio"),
                       QStringLiteral("velurio"));
    settings.remove(QStringLiteral("velurio.userEmail"));
    settings.remove(QStringLiteral("velurio.userId"));
    settings.sync();
    co_return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Velurio"));
    QCoreApplication::setApplicationName(QStringLiteral("velurio"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Sign the Velurio host in to the platform (tokens go to the secret store)."));
    parser.addHelpOption();
    const QCommandLineOption email(QStringLiteral("email"), QStringLiteral("Account e-mail."),
                                   QStringLiteral("email"));
    const QCommandLineOption password(QStringLiteral("password"),
                                      QStringLiteral("Password (default: read from stdin)."),
                                      QStringLiteral("password"));
    const QCommandLineOption out(QStringLiteral("sign-out"),
                                 QStringLiteral("Remove the stored tokens instead."));
    parser.addOptions({email, password, out});
    parser.process(app);
    if (parser.isSet(out)) {
        return QCoro::waitFor(signOut());
    }
    if (!parser.isSet(email)) {
        std::fprintf(stderr, "velurio-signin: --email is required\n");
        return 64;
    }
    QString secret = parser.value(password);
    if (!parser.isSet(password)) {
        char line[1024] = {};
        if (std::fgets(line, sizeof line, stdin) != nullptr) {
            secret = QString::fromUtf8(line).trimmed();
        }
    }
    const int status = QCoro::waitFor(
        signIn(velurio::PlatformClient::defaultBaseURL(), parser.value(email), secret));
    return status;
}
