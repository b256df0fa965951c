// The application's windows and tray on a real X server with a compositor, against the real
// session coordinator and the local platform (velurio-devplatform): typed into with xdotool,
// clicked with the real pointer, the tray icon in a real tray host (trayer), nearby tablets
// announced on the test Avahi daemon, a tablet connected with velurio-peer. With
// VELURIO_SCREENSHOT_DIR set, each window and the tray popup are saved there as PNG files.
#include "app/lifecycle/app_delegate.h"
#include "app/lifecycle/single_instance.h"
#include "app/shell/shortcut_recorder.h"
#include "app/ui/display_text.h"
#include "app/ui/widgets.h"
#include "core/ed25519_signing_key.h"
#include "dev_platform_process.h"
#include "gui_test_support.h"
#include "platform/keychain/file_secret_store.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoroTask>
#include <QCryptographicHash>
#include <QJsonObject>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTemporaryDir>

#include <memory>

namespace velurio {
namespace {

using namespace velurio::testing;

const QString kEmail = QStringLiteral("ana.souza@example.com");
const QString kPassword = QStringLiteral("senha-certa");

void saveScreenshot(const QRect& area, const char* name) {
    const QByteArray dir = qgetenv("VELURIO_SCREENSHOT_DIR");
    if (dir.isEmpty())
        return;
    settle(250);
    const QRect crop =
        area.adjusted(-16, -16, 16, 16).intersected(QGuiApplication::primaryScreen()->geometry());
    screenshot().copy(crop).save(QString::fromUtf8(dir) + QLatin1Char('/') +
                                 QString::fromUtf8(name));
}

QRect frameOf(const QWidget* window) {
    return QRect(window->mapToGlobal(QPoint(0, 0)), window->size());
}

class WindowsGuiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        const QString key = m_dir.filePath(QStringLiteral("platform-key.pem"));
        const QString pub = m_dir.filePath(QStringLiteral("platform-pubkey.pem"));
        m_platform = std::make_unique<test::DevPlatformProcess>(
            QStringList{QStringLiteral("--key"), key, QStringLiteral("--write-pubkey"), pub,
                        QStringLiteral("--account"),
                        kEmail + QLatin1Char(':') + kPassword + QStringLiteral(":Ana Souza")});
        ASSERT_FALSE(m_platform->baseURL().isEmpty());
        m_baseURL = m_platform->baseURL();
        qputenv("VELURIO_PLATFORM_PUBKEY_FILE", pub.toUtf8());
        // The presence browser and the advertiser talk to the test Avahi daemon.
        if (qEnvironmentVariableIsSet("VELURIO_AVAHI_BUS"))
            qputenv("DBUS_SYSTEM_BUS_ADDRESS", qgetenv("VELURIO_AVAHI_BUS"));

        ASSERT_NO_FATAL_FAILURE(startTrayHost(m_trayer));
        ASSERT_TRUE(waitFor([]() { return QSystemTrayIcon::isSystemTrayAvailable(); }, 5000))
            << "trayer is not a tray host";
        launch();
    }

    void launch() {
        SessionCoordinator::Parts parts;
        parts.settings = std::make_unique<AppSettings>(std::make_unique<QSettings>(
            m_dir.filePath(QStringLiteral("velurio.conf")), QSettings::IniFormat));
        parts.secrets =
            std::make_unique<FileSecretStore>(m_dir.filePath(QStringLiteral("secrets.json")));
        parts.platformURL = m_baseURL;
        parts.bindAddress = QHostAddress::LocalHost;
        m_delegate =
            std::make_unique<AppDelegate>(std::make_unique<SessionCoordinator>(std::move(parts)));
        m_delegate->applicationDidFinishLaunching();
        ASSERT_TRUE(waitFor([this]() { return coordinator().booted(); }, 10000));
    }

    void TearDown() override {
        m_delegate.reset();
        m_platform.reset();
        if (m_trayer.state() != QProcess::NotRunning) {
            m_trayer.terminate();
            m_trayer.waitForFinished(3000);
        }
        qunsetenv("VELURIO_PLATFORM_PUBKEY_FILE");
        settle(50);
    }

    SessionCoordinator& coordinator() { return *m_delegate->coordinator(); }
    AppWindows& windows() { return *m_delegate->windows(); }
    TrayController& tray() { return m_delegate->shell()->tray(); }

    // Types into a field of a shown window with the real keyboard.
    void typeInto(QLineEdit* field, const QString& text) {
        clickWidget(field);
        ASSERT_TRUE(waitFor([field]() { return field->hasFocus(); })) << "no keyboard focus";
        if (!text.isEmpty())
            xdo({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("8"), text}, 60);
        ASSERT_TRUE(waitFor([&]() { return field->text() == text; }))
            << field->text().toStdString();
    }

    // The message the platform answers a login with.
    QString platformAnswer(const QString& email, const QString& password) {
        return m_platform
            ->callJSON("POST", QStringLiteral("/api/auth/native/login"),
                       {{QStringLiteral("email"), email}, {QStringLiteral("password"), password}})
            .value(QStringLiteral("error"))
            .toObject()
            .value(QStringLiteral("message"))
            .toString();
    }

    // Signs in through the login window with the real keyboard; Return in the password field.
    void signInThroughTheWindow() {
        LoginView* view = windows().login().view();
        ASSERT_NE(view, nullptr);
        typeInto(view->emailField(), kEmail);
        typeInto(view->passwordField(), kPassword);
        key(QStringLiteral("Return"));
        ASSERT_TRUE(waitFor([this]() { return coordinator().authenticated(); }, 10000));
        // Signed in, the login window gives way to the pairing window.
        PairingWindowController& pairing = windows().pairing();
        ASSERT_TRUE(waitFor([&]() { return pairing.window() && pairing.window()->isVisible(); }));
    }

    // The codes the platform has issued to this computer.
    QStringList platformCodes() {
        return m_platform->callJSON("GET", QStringLiteral("/__dev/state"))
            .value(QStringLiteral("pairingCodes"))
            .toObject()
            .keys();
    }

    TrayPopup* openPopup() {
        QSystemTrayIcon* icon = tray().icon();
        EXPECT_NE(icon, nullptr);
        if (icon == nullptr)
            return nullptr;
        EXPECT_TRUE(waitFor(
            [icon]() { return icon->geometry().isValid() && !icon->geometry().isEmpty(); }, 5000));
        settle(300);  // a click right after the popup closed counts as the closing click
        click(icon->geometry().center());
        EXPECT_TRUE(waitFor([this]() { return tray().popup() && tray().popup()->isVisible(); }));
        return tray().popup();
    }

    QTemporaryDir m_dir;
    std::unique_ptr<test::DevPlatformProcess> m_platform;
    QUrl m_baseURL;
    QProcess m_trayer;
    std::unique_ptr<AppDelegate> m_delegate;
};

TEST_F(WindowsGuiTest, LoginShowsThePlatformsAnswersThenPairingShowsItsCode) {
    // Signed out: the login window is the main window.
    LoginWindowController& login = windows().login();
    ASSERT_TRUE(waitFor([&]() { return login.window() && login.window()->isVisible(); }));
    saveScreenshot(frameOf(login.window()), "login.png");

    // A wrong password: the platform's own message.
    LoginView* view = login.view();
    typeInto(view->emailField(), kEmail);
    typeInto(view->passwordField(), QStringLiteral("errada"));
    key(QStringLiteral("Return"));
    const QString refused = platformAnswer(kEmail, QStringLiteral("errada"));
    ASSERT_FALSE(refused.isEmpty());
    EXPECT_TRUE(waitFor([&]() { return view->errorMessage() == refused; }, 10000))
        << view->errorMessage().toStdString();
    saveScreenshot(frameOf(login.window()), "login-error.png");

    // Return with an empty password still submits; the platform's answer shows.
    login.show();
    view = login.view();
    typeInto(view->emailField(), kEmail);
    EXPECT_FALSE(view->submitButton()->isEnabled());
    const qsizetype before =
        m_platform->requestLines().count(QStringLiteral("POST /api/auth/native/login"));
    key(QStringLiteral("Return"));
    const QString emptyAnswer = platformAnswer(kEmail, QString());
    ASSERT_FALSE(emptyAnswer.isEmpty());
    EXPECT_TRUE(waitFor([&]() { return view->errorMessage() == emptyAnswer; }, 10000))
        << view->errorMessage().toStdString();
    EXPECT_GE(m_platform->requestLines().count(QStringLiteral("POST /api/auth/native/login")),
              before + 2);  // the window's and ours

    // The right password: the login window closes and the pairing window shows the code.
    login.show();
    signInThroughTheWindow();
    EXPECT_TRUE(waitFor([&]() { return !login.window()->isVisible(); }));
    PairingWindowController& pairing = windows().pairing();
    ASSERT_TRUE(waitFor([&]() { return pairing.window() && pairing.window()->isVisible(); }));
    PairingView* pairingView = pairing.view();
    ASSERT_TRUE(waitFor([&]() { return coordinator().pairing().has_value(); }, 10000));
    // The code on display is the platform's current one (a showing and the sign-in may each
    // have asked for one: the later answer wins).
    ASSERT_TRUE(waitFor(
        [&]() {
            const auto current = coordinator().pairing();
            return current && pairingView->codeText() == formatPairingCode(current->code) &&
                   platformCodes().contains(current->code);
        },
        10000))
        << pairingView->codeText().toStdString() << " / "
        << platformCodes().join(' ').toStdString();
    const QString shown = coordinator().pairing()->code;
    EXPECT_EQ(pairingView->codeText().size(), 7);  // "ABC 123"
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Expira em [45]:\\d\\d$"))
                    .match(pairingView->statusText())
                    .hasMatch())
        << pairingView->statusText().toStdString();
    saveScreenshot(frameOf(pairing.window()), "pairing.png");

    // "Gerar outro": a new code from the platform.
    clickWidget(pairingView->refreshButton());
    ASSERT_TRUE(waitFor([&]() { return coordinator().pairing()->code != shown; }, 10000));
    const QString renewed = coordinator().pairing()->code;
    EXPECT_TRUE(platformCodes().contains(renewed));
    EXPECT_TRUE(waitFor([&]() { return pairingView->codeText() == formatPairingCode(renewed); }));
}

TEST_F(WindowsGuiTest, WithThePlatformStoppedTheLoginSaysToCheckTheConnection) {
    LoginView* view = windows().login().view();
    ASSERT_NE(view, nullptr);
    m_platform.reset();  // nobody listens on its port any more
    typeInto(view->emailField(), kEmail);
    typeInto(view->passwordField(), kPassword);
    clickWidget(view->submitButton());
    EXPECT_TRUE(waitFor(
        [&]() {
            return view->errorMessage() == QStringLiteral("Falha ao entrar. Verifique a conexão.");
        },
        10000))
        << view->errorMessage().toStdString();
    EXPECT_FALSE(coordinator().authenticated());
}

TEST_F(WindowsGuiTest, ATabletOfTheSameAccountAnnouncedNearbyIsListed) {
    ASSERT_FALSE(qEnvironmentVariable("VELURIO_AVAHI_BUS").isEmpty())
        << "the test Avahi daemon is not running (scripts/services.d/40-avahi.sh)";
    signInThroughTheWindow();
    PairingWindowController& pairing = windows().pairing();
    ASSERT_TRUE(waitFor([&]() { return pairing.view() && pairing.window()->isVisible(); }));
    ASSERT_TRUE(
        waitFor([&]() { return coordinator().booted() && coordinator().pairing(); }, 10000));
    settle(300);  // the account's own list is in; Bonjour entries are added to it
    EXPECT_TRUE(pairing.view()->showsNoDevices());

    const QString userId =
        QSettings(m_dir.filePath(QStringLiteral("velurio.conf")), QSettings::IniFormat)
            .value(QStringLiteral("velurio.userId"))
            .toString();
    ASSERT_FALSE(userId.isEmpty());
    const QString digest = QString::fromLatin1(
        QCryptographicHash::hash(userId.toUtf8(), QCryptographicHash::Sha256).toHex().left(12));
    QProcess announce;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                       qEnvironmentVariable("VELURIO_AVAHI_BUS"));
    announce.setProcessEnvironment(environment);
    announce.start(QStringLiteral("avahi-publish"),
                   {QStringLiteral("-s"), QStringLiteral("iPad da Ana"),
                    QStringLiteral("_velurio-presence._tcp"), QStringLiteral("49300"),
                    QStringLiteral("acct=") + digest});
    ASSERT_TRUE(announce.waitForStarted(5000));
    const QString id = QStringLiteral("iPad da Ana");
    EXPECT_TRUE(waitFor([&]() { return pairing.view()->deviceRow(id) != nullptr; }, 15000));
    EXPECT_EQ(pairing.view()->deviceSubtitle(id), QStringLiteral("Mesma conta · Wi‑Fi"));
    ASSERT_NE(pairing.view()->deviceButton(id), nullptr);
    EXPECT_EQ(pairing.view()->deviceButton(id)->text(), QStringLiteral("Conectar"));
    saveScreenshot(frameOf(pairing.window()), "pairing-nearby.png");
    announce.terminate();
    announce.waitForFinished(3000);
}

TEST_F(WindowsGuiTest, TrayHeaderFollowsLocalModeSignInAndAConnectedTablet) {
    // Local mode.
    TrayPopup* popup = openPopup();
    ASSERT_NE(popup, nullptr);
    EXPECT_EQ(popup->header(), TrayPopup::Header::localMode);
    EXPECT_TRUE(popup->headerTexts().contains(QStringLiteral("Modo local")));
    EXPECT_EQ(popup->accountLine(), QStringLiteral("—"));
    saveScreenshot(popup->geometry(), "tray-local.png");
    // Clicking the icon while the popup is open closes it (and leaves it closed).
    click(tray().icon()->geometry().center());
    settle(300);
    EXPECT_TRUE(!tray().popup() || !tray().popup()->isVisible());
    popup = openPopup();
    ASSERT_NE(popup, nullptr);
    // "Entrar" opens the login window and closes the popup.
    windows().login().window()->hide();
    clickWidget(popup->button(QStringLiteral("Entrar")));
    EXPECT_TRUE(waitFor([&]() { return windows().login().window()->isVisible(); }));
    EXPECT_TRUE(waitFor([&]() { return !tray().popup() || !tray().popup()->isVisible(); }));

    // Signed in: "Conectar iPad…" with the code; the footer with the initials.
    signInThroughTheWindow();
    ASSERT_TRUE(waitFor([&]() { return coordinator().pairing().has_value(); }, 10000));
    windows().pairing().window()->hide();
    popup = openPopup();
    ASSERT_NE(popup, nullptr);
    EXPECT_EQ(popup->header(), TrayPopup::Header::pairing);
    ASSERT_TRUE(waitFor([&]() {
        return popup->headerTexts() ==
               QStringList{formatPairingCode(coordinator().pairing()->code)};
    }));
    EXPECT_EQ(popup->initials(), QStringLiteral("AS"));
    EXPECT_EQ(popup->accountLine(), kEmail);
    saveScreenshot(popup->geometry(), "tray-signed-in.png");

    // A tablet of the account connects: its name, the latency and "Desconectar".
    const QString bearer =
        m_platform
            ->callJSON("POST", QStringLiteral("/api/auth/native/login"),
                       {{QStringLiteral("email"), kEmail}, {QStringLiteral("password"), kPassword}})
            .value(QStringLiteral("accessToken"))
            .toString();
    const auto tabletKey = Ed25519SigningKey::generate();
    const auto raw = tabletKey->publicKeyRawRepresentation();
    const QJsonObject registered = m_platform->callJSON(
        "POST", QStringLiteral("/api/devices/register"),
        {{QStringLiteral("name"), QStringLiteral("iPad de Ana")},
         {QStringLiteral("type"), QStringLiteral("ipad")},
         {QStringLiteral("pubkey"),
          QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(raw.data()),
                                         static_cast<qsizetype>(raw.size()))
                                  .toBase64())}},
        bearer);
    const QString deviceId = registered.value(QStringLiteral("device"))
                                 .toObject()
                                 .value(QStringLiteral("id"))
                                 .toString();
    const QJsonObject redeemed =
        m_platform->callJSON("POST", QStringLiteral("/api/pairing/redeem"),
                             {{QStringLiteral("code"), coordinator().pairing()->code},
                              {QStringLiteral("deviceId"), deviceId}},
                             bearer);
    ASSERT_TRUE(waitFor([&]() { return coordinator().server().controlPort().has_value(); }, 5000));
    QProcess tablet;
    tablet.setProgram(QStringLiteral(VELURIO_PEER_PATH));
    tablet.setArguments(
        {QStringLiteral("--port"), QString::number(*coordinator().server().controlPort()),
         QStringLiteral("--token"), redeemed.value(QStringLiteral("token")).toString(),
         QStringLiteral("--session-id"), redeemed.value(QStringLiteral("sessionId")).toString(),
         QStringLiteral("--attestation"),
         registered.value(QStringLiteral("attestation")).toString(), QStringLiteral("--device-id"),
         deviceId, QStringLiteral("--device-name"), QStringLiteral("iPad de Ana"),
         QStringLiteral("--ping-interval-ms"), QStringLiteral("200"),
         QStringLiteral("--duration-ms"), QStringLiteral("30000")});
    tablet.start();
    ASSERT_TRUE(tablet.waitForStarted(5000));
    ASSERT_TRUE(waitFor([&]() { return coordinator().connectionState().has_value(); }, 15000))
        << tablet.readAllStandardError().toStdString();
    ASSERT_TRUE(waitFor([&]() { return popup->header() == TrayPopup::Header::connected; }));
    ASSERT_TRUE(waitFor(
        [&]() {
            const QStringList texts = popup->headerTexts();
            return texts.size() == 3 && texts[0] == QStringLiteral("iPad de Ana") &&
                   texts[1] == QStringLiteral("Conectado · Wi‑Fi · ") &&
                   texts[2] == coordinator().latencyText() && texts[2] != QStringLiteral("—");
        },
        10000))
        << popup->headerTexts().join(QLatin1Char('|')).toStdString();
    // Opened again now that the pin shows, the popup lies above it.
    tray().togglePopup(tray().icon()->geometry());
    ASSERT_TRUE(waitFor([&]() { return !tray().popup() || !tray().popup()->isVisible(); }));
    popup = openPopup();
    ASSERT_NE(popup, nullptr);
    EXPECT_EQ(popup->header(), TrayPopup::Header::connected);
    saveScreenshot(popup->geometry(), "tray-connected.png");
    clickWidget(popup->button(QStringLiteral("Desconectar")));
    EXPECT_TRUE(waitFor([&]() { return !coordinator().connectionState().has_value(); }, 5000));
    EXPECT_TRUE(waitFor([&]() { return popup->header() == TrayPopup::Header::pairing; }));
    tablet.kill();
    tablet.waitForFinished(3000);
}

TEST_F(WindowsGuiTest, ARecordedShortcutWorksAtOnceAndTheOldOneStops) {
    windows().login().window()->hide();
    PreferencesWindowController& preferences = windows().preferences();
    preferences.show();
    ASSERT_TRUE(waitFor([&]() { return preferences.window()->isVisible(); }));
    ShortcutRecorderButton* recorder =
        preferences.view()->recorder(PreferencesView::Shortcut::clear);
    EXPECT_EQ(recorder->text(), QStringLiteral("Ctrl+Shift+L"));
    clickWidget(recorder);
    ASSERT_TRUE(waitFor([&]() { return recorder->recording(); }));
    key(QStringLiteral("super+alt+k"));
    ASSERT_TRUE(waitFor([&]() { return !recorder->recording(); }));
    EXPECT_EQ(coordinator().settings().shortcutClear(), (HotKeyDescriptor{40, 0x900}));
    EXPECT_EQ(QSettings(m_dir.filePath(QStringLiteral("velurio.conf")), QSettings::IniFormat)
                  .value(QStringLiteral("shortcut.clear"))
                  .toStringList(),
              (QStringList{QStringLiteral("40"), QStringLiteral("2304")}));
    EXPECT_TRUE(waitFor([&]() { return recorder->text() == QStringLiteral("Alt+Super+K"); }));
    saveScreenshot(frameOf(preferences.window()), "preferences.png");

    // The new combination clears at once; the old one no longer does.
    preferences.window()->hide();
    StrokeStore& store = coordinator().strokeStore();
    coordinator().settings().setAnnotationActive(true);
    settle(200);
    drag({QPoint(100, 150), QPoint(250, 220), QPoint(400, 250)});
    ASSERT_TRUE(waitFor([&]() { return store.strokes().size() == 1; }));
    key(QStringLiteral("ctrl+shift+l"));
    settle(300);
    EXPECT_EQ(store.strokes().size(), 1U);
    key(QStringLiteral("super+alt+k"));
    EXPECT_TRUE(waitFor([&]() { return store.strokes().empty(); }));
}

TEST_F(WindowsGuiTest, TheDisplayPickerListsBothHalvesOfASplitScreen) {
    const QString output = QGuiApplication::primaryScreen()->name();
    auto xrandr = [](const QStringList& arguments) {
        return QProcess::execute(QStringLiteral("xrandr"), arguments);
    };
    ASSERT_EQ(xrandr({QStringLiteral("--setmonitor"), QStringLiteral("velurio-left"),
                      QStringLiteral("960/254x1080/286+0+0"), output}),
              0);
    ASSERT_EQ(xrandr({QStringLiteral("--setmonitor"), QStringLiteral("velurio-right"),
                      QStringLiteral("960/254x1080/286+960+0"), QStringLiteral("none")}),
              0);
    windows().login().window()->hide();
    PreferencesWindowController& preferences = windows().preferences();
    preferences.show();
    QComboBox* picker = preferences.view()->displayPicker();
    const bool listed = waitFor(
        [&]() {
            QStringList items;
            for (int i = 0; i < picker->count(); ++i)
                items << picker->itemText(i);
            return items.size() == 2 && items[0].startsWith(QStringLiteral("960×1080 · ")) &&
                   items[1].startsWith(QStringLiteral("960×1080 · "));
        },
        10000);
    QStringList items;
    for (int i = 0; i < picker->count(); ++i)
        items << picker->itemText(i);
    xrandr({QStringLiteral("--delmonitor"), QStringLiteral("velurio-left")});
    xrandr({QStringLiteral("--delmonitor"), QStringLiteral("velurio-right")});
    EXPECT_TRUE(listed) << items.join(QLatin1Char('|')).toStdString();
    EXPECT_GE(picker->currentIndex(), 0);
}

TEST_F(WindowsGuiTest, SairInThePreferencesSignsOut) {
    signInThroughTheWindow();
    // Ctrl+, in the pairing window opens the preferences.
    ASSERT_TRUE(waitFor([&]() { return windows().pairing().window()->isActiveWindow(); }));
    key(QStringLiteral("ctrl+comma"));
    PreferencesWindowController& preferences = windows().preferences();
    ASSERT_TRUE(
        waitFor([&]() { return preferences.window() && preferences.window()->isVisible(); }));
    windows().pairing().window()->hide();
    PreferencesView* view = preferences.view();
    ASSERT_TRUE(waitFor([&]() { return view->accountText() == kEmail; }));
    ASSERT_TRUE(waitFor([&]() { return view->signOutButton()->isVisible(); }));
    clickWidget(view->signOutButton());
    EXPECT_TRUE(waitFor([&]() { return !coordinator().authenticated(); }, 10000));
    EXPECT_TRUE(
        waitFor([&]() { return view->accountText() == QStringLiteral("Não autenticado"); }));
    EXPECT_FALSE(view->signOutButton()->isVisible());
    EXPECT_FALSE(QSettings(m_dir.filePath(QStringLiteral("velurio.conf")), QSettings::IniFormat)
                     .contains(QStringLiteral("velurio.userEmail")));
}

TEST_F(WindowsGuiTest, ASecondStartRaisesTheFirstWindowAndExitsWithZero) {
    SingleInstance instance;
    ASSERT_EQ(instance.claim(), SingleInstance::Role::primary);
    QObject::connect(&instance, &SingleInstance::activationRequested, m_delegate.get(),
                     &AppDelegate::applicationShouldHandleReopen);
    QWidget* login = windows().login().window();
    login->close();
    ASSERT_TRUE(waitFor([&]() { return !visibleWindow(QStringLiteral("^Velurio$")); }));

    QProcess second;
    second.start(QStringLiteral(VELURIO_APP_PATH), {});
    ASSERT_TRUE(second.waitForStarted(5000));
    // While it waits for the answer the first instance must run its event loop.
    ASSERT_TRUE(waitFor([&]() { return second.state() == QProcess::NotRunning; }, 10000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
    EXPECT_TRUE(waitFor([&]() { return login->isVisible(); }));
    EXPECT_TRUE(waitFor([&]() { return visibleWindow(QStringLiteral("^Velurio$")); }));
}

}  // namespace
}  // namespace velurio
