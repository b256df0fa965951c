// The login window against a stand-in shell model: what Return and the button submit, what a
// refused or failed login shows, and that each showing starts afresh in the same window.
#include "app/windows/login_window.h"

#include "app/ui/widgets.h"
#include "stand_in_shell_model.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>

namespace velurio {
namespace {

using testing::StandInShellModel;

void pressReturn(QLineEdit* field) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"));
    QApplication::sendEvent(field, &press);
}

void runEvents() {
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

PlatformStatus apiError(const char* message) {
    return fail(PlatformError::fromAPI(
        APIError{401, QStringLiteral("invalid_credentials"), QString::fromUtf8(message)}));
}

TEST(LoginWindowTest, ReturnSubmitsEvenWithAnEmptyPasswordAndABusyLoginBlocksMore) {
    StandInShellModel model;
    LoginWindowController controller(model);
    controller.show();
    LoginView* view = controller.view();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(controller.window()->size(), QSize(400, 440));
    EXPECT_EQ(controller.window()->windowTitle(), QStringLiteral("Velurio"));

    view->emailField()->setText(QStringLiteral(" ana@example.com "));
    EXPECT_FALSE(view->submitButton()->isEnabled());  // the password is empty
    pressReturn(view->passwordField());
    ASSERT_EQ(model.logins.size(), 1U);
    // As typed: not trimmed.
    EXPECT_EQ(model.logins[0].first, QStringLiteral(" ana@example.com "));
    EXPECT_EQ(model.logins[0].second, QString());
    EXPECT_TRUE(view->busy());
    EXPECT_EQ(view->submitButton()->text(), QStringLiteral("Entrando…"));
    EXPECT_FALSE(view->submitButton()->isEnabled());

    // While busy neither Return nor the button starts another login.
    view->passwordField()->setText(QStringLiteral("x"));
    pressReturn(view->emailField());
    view->submit();
    EXPECT_EQ(model.logins.size(), 1U);

    model.resolveLogin(apiError("E-mail ou senha incorretos."));
    runEvents();
    EXPECT_FALSE(view->busy());
    EXPECT_EQ(view->submitButton()->text(), QStringLiteral("Entrar"));
    EXPECT_TRUE(view->submitButton()->isEnabled());
    EXPECT_EQ(view->errorMessage(), QStringLiteral("E-mail ou senha incorretos."));
}

TEST(LoginWindowTest, AFailureWithoutAnAnswerShowsTheConnectionMessage) {
    StandInShellModel model;
    model.immediateLogin =
        fail(PlatformError::other(PlatformError::Kind::timeout, QStringLiteral("timed out")));
    LoginWindowController controller(model);
    controller.show();
    controller.view()->emailField()->setText(QStringLiteral("ana@example.com"));
    controller.view()->passwordField()->setText(QStringLiteral("senha"));
    controller.view()->submitButton()->click();
    runEvents();
    EXPECT_EQ(controller.view()->errorMessage(),
              QStringLiteral("Falha ao entrar. Verifique a conexão."));
}

TEST(LoginWindowTest, SuccessClosesTheWindowAndEachShowingStartsEmpty) {
    StandInShellModel model;
    model.immediateLogin = apiError("Resposta de login sem tokens.");
    LoginWindowController controller(model);
    int loggedIn = 0;
    controller.onLoggedIn = [&]() { ++loggedIn; };
    controller.show();
    QWidget* window = controller.window();
    controller.view()->emailField()->setText(QStringLiteral("ana@example.com"));
    controller.view()->passwordField()->setText(QStringLiteral("senha"));
    controller.view()->submit();
    runEvents();
    EXPECT_EQ(controller.view()->errorMessage(), QStringLiteral("Resposta de login sem tokens."));

    // Shown again: the same window, empty fields, no old error.
    controller.show();
    EXPECT_EQ(controller.window(), window);
    EXPECT_TRUE(controller.view()->emailField()->text().isEmpty());
    EXPECT_TRUE(controller.view()->errorMessage().isEmpty());

    model.immediateLogin = PlatformStatus{};
    controller.view()->emailField()->setText(QStringLiteral("ana@example.com"));
    controller.view()->passwordField()->setText(QStringLiteral("senha"));
    pressReturn(controller.view()->passwordField());
    runEvents();
    EXPECT_EQ(loggedIn, 1);
    EXPECT_FALSE(window->isVisible());
}

TEST(LoginWindowTest, ALoginStillRunningWhenTheWindowIsShownAgainCompletesTheSignIn) {
    StandInShellModel model;
    LoginWindowController controller(model);
    int loggedIn = 0;
    controller.onLoggedIn = [&]() { ++loggedIn; };
    controller.show();
    controller.view()->emailField()->setText(QStringLiteral("ana@example.com"));
    controller.view()->passwordField()->setText(QStringLiteral("senha"));
    controller.view()->submit();
    controller.show();  // a fresh view while the first login waits
    runEvents();
    EXPECT_FALSE(controller.view()->busy());
    model.resolveLogin(PlatformStatus{});
    runEvents();
    EXPECT_EQ(loggedIn, 1);
    EXPECT_FALSE(controller.window()->isVisible());
}

}  // namespace
}  // namespace velurio
