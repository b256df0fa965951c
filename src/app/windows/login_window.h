#pragma once
// The login window: asks for the e-mail and password of the platform account and signs this
// computer in through the shell model. Shown at start-up when signed out and from the tray's
// "Entrar".
//
// The window is created on the first show() and kept (closing only hides it). Every show()
// puts a fresh LoginView in it, so the fields start empty and an earlier error is gone. A login
// that is running when the window closes or is shown again goes on; when it succeeds the window
// closes and onLoggedIn runs all the same.
// Main thread only; the model outlives the controller.

#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>

class QLabel;
class QLineEdit;

namespace velurio {

class ShellModel;
class ThemeButton;

// The window's content for one showing: the fields, the error line and the buttons.
class LoginView : public QWidget {
    Q_OBJECT
  public:
    explicit LoginView(ShellModel& model, QWidget* parent = nullptr);

    // Runs when the button is pressed or Return is pressed in either field. Return submits even
    // with an empty field (only a running login blocks it); the texts go to the model as typed.
    void submit();

    bool busy() const { return m_busy; }
    QString errorMessage() const { return m_errorMessage; }
    QLineEdit* emailField() const { return m_email; }
    QLineEdit* passwordField() const { return m_password; }
    ThemeButton* submitButton() const { return m_submit; }

    // The text shown when the platform could not be reached.
    static constexpr const char* kConnectionFailed = "Falha ao entrar. Verifique a conexão.";

    // Set by the controller: a login succeeded.
    std::function<void()> onLoggedIn;

  private:
    void setBusy(bool busy);
    void setErrorMessage(const QString& message);
    void updateButton();

    ShellModel& m_model;
    QLineEdit* m_email = nullptr;
    QLineEdit* m_password = nullptr;
    QLabel* m_error = nullptr;
    ThemeButton* m_submit = nullptr;
    bool m_busy = false;
    QString m_errorMessage;
};

class LoginWindowController : public QObject {
    Q_OBJECT
  public:
    static constexpr int kWidth = 400;
    static constexpr int kHeight = 440;

    explicit LoginWindowController(ShellModel& model, QObject* parent = nullptr);
    ~LoginWindowController() override;

    // Creates the window on first use, puts a fresh view in it, and brings it to the front.
    void show();

    QWidget* window() const { return m_window.data(); }
    LoginView* view() const { return m_view.data(); }

    // Set by the owner: called after a successful login, once the window has closed.
    std::function<void()> onLoggedIn;

  private:
    ShellModel& m_model;
    QPointer<QWidget> m_window;
    QPointer<LoginView> m_view;
};

}  // namespace velurio
