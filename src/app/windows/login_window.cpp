#include "app/windows/login_window.h"

#include "app/shell/shell_model.h"
#include "app/ui/app_icon.h"
#include "app/ui/theme.h"
#include "app/ui/widgets.h"
#include "app/windows/spinner.h"
#include "app/windows/window_support.h"

#include <QCoroTask>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace velurio {

namespace {

// The application icon at 48 × 48, clipped to a rounded square of radius 12.
QPixmap roundedAppIcon() {
    const QPixmap source = appIconPixmap();
    if (source.isNull())
        return {};
    const qreal ratio = qApp->devicePixelRatio();
    QPixmap clipped(QSize(48, 48) * ratio);
    clipped.setDevicePixelRatio(ratio);
    clipped.fill(Qt::transparent);
    QPainter painter(&clipped);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(0, 0, 48, 48), 12, 12);
    painter.setClipPath(shape);
    painter.drawPixmap(QRect(0, 0, 48, 48), source);
    return clipped;
}

// A field in a rounded card box, padded 10 on every side.
QWidget* fieldBox(QLineEdit* field, QWidget* parent) {
    auto* box = new Card(parent, 9);
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(10, 10, 10, 10);
    field->setParent(box);
    field->setFrame(false);
    field->setFont(themeFont(14));
    QPalette palette = field->palette();
    palette.setColor(QPalette::Base, Theme::cardFundo());
    palette.setColor(QPalette::Text, Theme::textoPrimario());
    palette.setColor(QPalette::PlaceholderText, Theme::textoTerciario());
    field->setPalette(palette);
    layout->addWidget(field);
    return box;
}

}  // namespace

LoginView::LoginView(ShellModel& model, QWidget* parent) : QWidget(parent), m_model(model) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(40, 36, 40, 32);
    column->setSpacing(22);
    column->addStretch(1);

    auto* header = new QVBoxLayout();
    header->setSpacing(10);
    const QPixmap icon = roundedAppIcon();
    if (!icon.isNull()) {
        auto* iconLabel = new QLabel(this);
        iconLabel->setPixmap(icon);
        iconLabel->setFixedSize(48, 48);
        iconLabel->setObjectName(QStringLiteral("appIcon"));
        header->addWidget(iconLabel, 0, Qt::AlignHCenter);
    }
    auto* title = themeLabel(QStringLiteral("Entrar no Velurio"), themeFont(22, QFont::ExtraBold),
                             Theme::textoPrimario(), this);
    title->setAlignment(Qt::AlignHCenter);
    header->addWidget(title);
    auto* subtitle = themeLabel(QStringLiteral("Use a mesma conta da plataforma web."),
                                themeFont(13), Theme::textoSecundario(), this);
    subtitle->setAlignment(Qt::AlignHCenter);
    header->addWidget(subtitle);
    column->addLayout(header);

    auto* fields = new QVBoxLayout();
    fields->setSpacing(10);
    m_email = new QLineEdit();
    m_email->setPlaceholderText(QStringLiteral("E-mail"));
    m_email->setAccessibleName(QStringLiteral("E-mail"));
    fields->addWidget(fieldBox(m_email, this));
    m_password = new QLineEdit();
    m_password->setPlaceholderText(QStringLiteral("Senha"));
    m_password->setAccessibleName(QStringLiteral("Senha"));
    m_password->setEchoMode(QLineEdit::Password);
    fields->addWidget(fieldBox(m_password, this));
    m_error = themeLabel(QString(), themeFont(12), QColor(255, 106, 61), this, true);
    m_error->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_error->hide();
    fields->addWidget(m_error);
    column->addLayout(fields);

    m_submit = new ThemeButton(QStringLiteral("Entrar"), ThemeButton::Style::accent, this);
    m_submit->setFont(themeFont(14, QFont::DemiBold));
    m_submit->setMinimumWidth(320);
    column->addWidget(m_submit, 0, Qt::AlignHCenter);
    auto* create =
        new ThemeButton(QStringLiteral("Criar conta na web"), ThemeButton::Style::link, this);
    column->addWidget(create, 0, Qt::AlignHCenter);
    column->addStretch(1);

    connect(m_email, &QLineEdit::textChanged, this, &LoginView::updateButton);
    connect(m_password, &QLineEdit::textChanged, this, &LoginView::updateButton);
    connect(m_email, &QLineEdit::returnPressed, this, &LoginView::submit);
    connect(m_password, &QLineEdit::returnPressed, this, &LoginView::submit);
    connect(m_submit, &QPushButton::clicked, this, &LoginView::submit);
    connect(create, &QPushButton::clicked, this,
            []() { openPlatformPage(QStringLiteral("/criar-conta")); });
    updateButton();
}

void LoginView::submit() {
    if (m_busy)
        return;
    setBusy(true);
    setErrorMessage(QString());
    // The texts exactly as typed: no trimming. The login outlives this view if the window is
    // shown again meanwhile (a fresh view replaces this one): its success still closes the
    // window and goes on, only the view's own state is left alone.
    const QPointer<LoginView> self(this);
    const std::function<void()> loggedIn = onLoggedIn;
    QCoro::connect(m_model.login(m_email->text(), m_password->text()), &m_model,
                   [self, loggedIn](PlatformStatus result) {
                       if (self)
                           self->setBusy(false);
                       if (result.ok()) {
                           if (loggedIn)
                               loggedIn();
                           return;
                       }
                       if (!self)
                           return;
                       const PlatformError& error = result.error();
                       self->setErrorMessage(error.kind == PlatformError::Kind::api
                                                 ? error.api.message
                                                 : QString::fromUtf8(kConnectionFailed));
                   });
}

void LoginView::setBusy(bool busy) {
    m_busy = busy;
    if (busy) {
        m_submit->setText(QStringLiteral("Entrando…"));
        startSpinner(m_submit);
    } else {
        stopSpinner(m_submit);
        m_submit->setText(QStringLiteral("Entrar"));
    }
    updateButton();
}

void LoginView::setErrorMessage(const QString& message) {
    m_errorMessage = message;
    m_error->setText(message);
    m_error->setVisible(!message.isEmpty());
}

void LoginView::updateButton() {
    m_submit->setEnabled(!m_busy && !m_email->text().isEmpty() && !m_password->text().isEmpty());
}

LoginWindowController::LoginWindowController(ShellModel& model, QObject* parent)
    : QObject(parent), m_model(model) {}

LoginWindowController::~LoginWindowController() {
    delete m_window.data();
}

void LoginWindowController::show() {
    if (!m_window) {
        m_window = createAccountWindow(QStringLiteral("Velurio"), kWidth, kHeight);
        new QVBoxLayout(m_window);
        m_window->layout()->setContentsMargins(0, 0, 0, 0);
    }
    if (m_view) {
        m_view->hide();
        m_view->deleteLater();
    }
    m_view = new LoginView(m_model, m_window);
    m_window->layout()->addWidget(m_view);
    QPointer<LoginWindowController> self(this);
    m_view->onLoggedIn = [self]() {
        if (!self)
            return;
        if (self->m_window)
            self->m_window->close();
        if (self->onLoggedIn)
            self->onLoggedIn();
    };
    bringToFront(m_window);
    m_view->emailField()->setFocus();
}

}  // namespace velurio
