#include "app/shell/tray_controller.h"

#include "app/settings/app_settings.h"
#include "app/shell/shell_model.h"
#include "app/ui/display_text.h"
#include "app/ui/panel.h"
#include "app/ui/symbol_icons.h"
#include "app/ui/theme.h"
#include "app/ui/widgets.h"
#include "app/web/platform_client.h"

#include <QDesktopServices>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLoggingCategory>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QUrl>
#include <QVBoxLayout>

Q_LOGGING_CATEGORY(lcTray, "velurio.tray")

namespace velurio {

namespace {

constexpr int kRowHeight = 30;

}  // namespace

TrayRow::TrayRow(const QString& label, const QString& shortcut, std::optional<bool> toggled,
                 QWidget* parent)
    : QWidget(parent), m_label(label), m_shortcut(shortcut), m_toggled(toggled) {
    setFixedHeight(kRowHeight);
    setMouseTracking(true);
    setAccessibleName(label);
}

void TrayRow::setToggled(bool on) {
    if (!m_toggled)
        return;
    m_toggled = on;
    update();
}

void TrayRow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (m_hover) {
        QPainterPath hover;
        hover.addRoundedRect(QRectF(rect()), 6, 6);
        painter.fillPath(hover, Theme::grafite());
    }
    QFont text = font();
    text.setPixelSize(13);
    painter.setFont(text);
    painter.setPen(Theme::textoPrimario());
    const QRectF inner = QRectF(rect()).adjusted(10, 0, -10, 0);
    painter.drawText(inner, Qt::AlignVCenter | Qt::AlignLeft, m_label);
    double right = inner.right();
    if (m_toggled) {
        // A small switch: a capsule with a knob on the side of its state.
        const QRectF track(right - 28, inner.center().y() - 8, 28, 16);
        QPainterPath capsule;
        capsule.addRoundedRect(track, 8, 8);
        painter.fillPath(capsule, *m_toggled ? Theme::tinta() : Theme::bordaCard());
        const double knobX = *m_toggled ? track.right() - 8 : track.left() + 8;
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::textoPrimario());
        painter.drawEllipse(QPointF(knobX, track.center().y()), 6, 6);
        right = track.left() - 10;
    }
    if (!m_shortcut.isEmpty()) {
        QFont mono = text;
        mono.setFamily(QStringLiteral("monospace"));
        mono.setPixelSize(12);
        painter.setFont(mono);
        painter.setPen(Theme::textoSecundario());
        painter.drawText(QRectF(inner.left(), 0, right - inner.left(), height()),
                         Qt::AlignVCenter | Qt::AlignRight, m_shortcut);
    }
}

void TrayRow::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
        onActivated) {
        onActivated();
    }
}

void TrayRow::enterEvent(QEnterEvent*) {
    m_hover = true;
    update();
}

void TrayRow::leaveEvent(QEvent*) {
    m_hover = false;
    update();
}

TrayPopup::TrayPopup(ShellModel& model, QWidget* parent)
    : QWidget(parent, Qt::Popup | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint),
      m_model(model),
      m_settings(model.settings()) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Velurio"));
    rebuild();
    connect(&m_settings, &AppSettings::annotationActiveChanged, this, &TrayPopup::refresh);
    connect(&m_settings, &AppSettings::showToolbarChanged, this, &TrayPopup::refresh);
    connect(&m_settings, &AppSettings::clearOnSlideChangeChanged, this, &TrayPopup::refresh);
    connect(&m_settings, &AppSettings::highlightCursorChanged, this, &TrayPopup::refresh);
    // The shortcut texts live in rows that may be running a handler: rebuild after it returns.
    connect(&m_settings, &AppSettings::shortcutsChanged, this, &TrayPopup::rebuild,
            Qt::QueuedConnection);
    connect(&m_model, &ShellModel::connectionChanged, this, &TrayPopup::rebuildHeader);
    connect(&m_model, &ShellModel::accountChanged, this, &TrayPopup::rebuildHeader);
    connect(&m_model, &ShellModel::pairingChanged, this, &TrayPopup::rebuildHeader);
    connect(&m_model, &ShellModel::accountChanged, this, &TrayPopup::refreshFooter);
}

void TrayPopup::closeThen(const std::function<void()>& action) {
    // Copied first: closing deletes the popup and its members.
    const auto run = action;
    close();
    if (run)
        run();
}

void TrayPopup::rebuild() {
    // The old rows may be running a handler: they leave the popup now and go later.
    for (QWidget* child : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        child->hide();
        child->setParent(nullptr);
        child->deleteLater();
    }
    delete layout();
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(8, 8, 8, 8);
    column->setSpacing(0);

    m_headerBox = new QWidget(this);
    m_headerContent = nullptr;
    m_headerLayout = new QVBoxLayout(m_headerBox);
    m_headerLayout->setContentsMargins(10, 6, 10, 8);
    m_headerLayout->setSpacing(2);
    column->addWidget(m_headerBox);
    rebuildHeader();
    column->addWidget(new Hairline(Qt::Horizontal, 4, 0, this));

    struct Toggle {
        const char* label;
        QString shortcut;
        bool (AppSettings::*get)() const;
        void (AppSettings::*set)(bool);
    };
    const Toggle toggles[] = {
        {"Anotação ativa", m_settings.shortcutToggleAnnotation().displayText(),
         &AppSettings::annotationActive, &AppSettings::setAnnotationActive},
        {"Mostrar barra de ferramentas na tela",
         {},
         &AppSettings::showToolbar,
         &AppSettings::setShowToolbar},
        {"Apagar traços ao trocar de slide",
         {},
         &AppSettings::clearOnSlideChange,
         &AppSettings::setClearOnSlideChange},
        {"Destacar o cursor", {}, &AppSettings::highlightCursor, &AppSettings::setHighlightCursor},
    };
    for (const Toggle& toggle : toggles) {
        auto* row = new TrayRow(QString::fromUtf8(toggle.label), toggle.shortcut,
                                (m_settings.*toggle.get)(), this);
        row->onActivated = [settings = &m_settings, get = toggle.get, set = toggle.set]() {
            (settings->*set)(!(settings->*get)());
        };
        column->addWidget(row);
    }
    column->addWidget(new Hairline(Qt::Horizontal, 4, 0, this));

    auto* clear = new TrayRow(QStringLiteral("Limpar traços"),
                              m_settings.shortcutClear().displayText(), {}, this);
    clear->onActivated = [this]() { m_model.clearStrokes(); };
    column->addWidget(clear);
    auto* save = new TrayRow(QStringLiteral("Salvar anotações como PNG"),
                             m_settings.shortcutSavePNG().displayText(), {}, this);
    save->onActivated = [this]() {
        // The save dialog takes over: the popup goes first.
        ShellModel* model = &m_model;
        close();
        model->saveAnnotationsAsPNG();
    };
    column->addWidget(save);
    auto* another = new TrayRow(QStringLiteral("Conectar outro iPad…"), {}, {}, this);
    another->onActivated = [this]() { closeThen(onOpenPairing); };
    column->addWidget(another);
    column->addWidget(new Hairline(Qt::Horizontal, 4, 0, this));

    auto* preferences = new TrayRow(QStringLiteral("Preferências…"), {}, {}, this);
    preferences->onActivated = [this]() { closeThen(onOpenPreferences); };
    column->addWidget(preferences);
    auto* quit = new TrayRow(QStringLiteral("Sair do Velurio"), {}, {}, this);
    quit->onActivated = [this]() { closeThen(onQuit); };
    column->addWidget(quit);
    column->addWidget(new Hairline(Qt::Horizontal, 4, 0, this));

    // Footer: initials in a circle, the account line, "Conta".
    auto* footer = new QWidget(this);
    auto* footerRow = new QHBoxLayout(footer);
    footerRow->setContentsMargins(10, 6, 6, 2);
    footerRow->setSpacing(8);
    m_initials = themeLabel(QString(), themeFont(9, QFont::Bold), Theme::textoPrimario(), footer);
    m_initials->setFixedSize(22, 22);
    m_initials->setAlignment(Qt::AlignCenter);
    m_initials->setObjectName(QStringLiteral("initials"));
    m_initials->setStyleSheet(
        QStringLiteral("QLabel#initials { background: %1; border-radius: 11px; }")
            .arg(Theme::tinta().name()));
    footerRow->addWidget(m_initials);
    m_accountLine = themeLabel(QString(), themeFont(12), Theme::textoSecundario(), footer);
    footerRow->addWidget(m_accountLine, 1);
    auto* account = new ThemeButton(QStringLiteral("Conta"), ThemeButton::Style::link, footer);
    connect(account, &QPushButton::clicked, this, []() {
        QUrl url = PlatformClient::defaultBaseURL();
        QString base = url.path();
        while (base.endsWith(QLatin1Char('/')))
            base.chop(1);
        url.setPath(base + QStringLiteral("/app"));
        QDesktopServices::openUrl(url);
    });
    footerRow->addWidget(account);
    column->addWidget(footer);
    refreshFooter();

    setFixedWidth(kWidth);
    fitHeight();
}

void TrayPopup::fitHeight() {
    layout()->activate();
    setFixedHeight(layout()->sizeHint().height());
}

void TrayPopup::rebuildHeader() {
    if (m_headerBox == nullptr)
        return;
    // Each state is built in a fresh container; the old one goes once control returns to the
    // event loop (a button of it may be running its handler).
    if (m_headerContent != nullptr) {
        m_headerContent->hide();
        m_headerContent->setParent(nullptr);
        m_headerContent->deleteLater();
    }
    m_headerContent = new QWidget(m_headerBox);
    m_headerLayout->addWidget(m_headerContent);
    QWidget* const box = m_headerContent;
    auto* content = new QVBoxLayout(box);
    content->setContentsMargins(0, 0, 0, 0);
    const std::optional<QString> device = m_model.connectedDeviceName();
    if (device) {
        m_header = Header::connected;
        auto* row = new QHBoxLayout();
        row->setSpacing(8);
        auto* texts = new QVBoxLayout();
        texts->setSpacing(2);
        texts->addWidget(
            themeLabel(*device, themeFont(13, QFont::DemiBold), Theme::textoPrimario(), box));
        auto* status = new QHBoxLayout();
        status->setSpacing(0);
        status->addWidget(themeLabel(QStringLiteral("Conectado · Wi‑Fi · "), themeFont(12),
                                     Theme::textoSecundario(), box));
        status->addWidget(themeLabel(m_model.latencyText(), themeFont(12, QFont::Medium, true),
                                     Theme::textoSecundario(), box));
        status->addStretch(1);
        texts->addLayout(status);
        row->addLayout(texts, 1);
        auto* disconnect =
            new ThemeButton(QStringLiteral("Desconectar"), ThemeButton::Style::outline, box);
        connect(disconnect, &QPushButton::clicked, this, [this]() { m_model.disconnectPeer(); });
        row->addWidget(disconnect);
        content->addLayout(row);
    } else if (!m_model.authenticated()) {
        m_header = Header::localMode;
        auto* row = new QHBoxLayout();
        auto* texts = new QVBoxLayout();
        texts->setSpacing(2);
        texts->addWidget(themeLabel(QStringLiteral("Modo local"), themeFont(13, QFont::DemiBold),
                                    Theme::textoPrimario(), box));
        texts->addWidget(themeLabel(QStringLiteral("Entre para conectar o iPad"), themeFont(12),
                                    Theme::textoSecundario(), box));
        row->addLayout(texts, 1);
        auto* signIn = new ThemeButton(QStringLiteral("Entrar"), ThemeButton::Style::accent, box);
        connect(signIn, &QPushButton::clicked, this, [this]() { closeThen(onOpenLogin); });
        row->addWidget(signIn);
        content->addLayout(row);
    } else {
        m_header = Header::pairing;
        auto* row = new QHBoxLayout();
        row->setSpacing(12);
        auto* connectButton =
            new ThemeButton(QStringLiteral("Conectar iPad…"), ThemeButton::Style::accent, box);
        connect(connectButton, &QPushButton::clicked, this, [this]() { closeThen(onOpenPairing); });
        row->addWidget(connectButton);
        if (const auto pairing = m_model.pairing()) {
            row->addWidget(themeLabel(formatPairingCode(pairing->code),
                                      themeFont(15, QFont::DemiBold, true, 1.5),
                                      Theme::textoPrimario(), box));
        }
        row->addStretch(1);
        content->addLayout(row);
    }
    if (layout() != nullptr)
        fitHeight();
}

QStringList TrayPopup::headerTexts() const {
    QStringList texts;
    if (m_headerContent == nullptr)
        return texts;
    for (const QLabel* label : m_headerContent->findChildren<QLabel*>()) {
        if (!label->text().isEmpty())
            texts.push_back(label->text());
    }
    return texts;
}

ThemeButton* TrayPopup::button(const QString& text) const {
    for (ThemeButton* candidate : findChildren<ThemeButton*>()) {
        if (candidate->text() == text)
            return candidate;
    }
    return nullptr;
}

void TrayPopup::refreshFooter() {
    if (m_initials == nullptr)
        return;
    const QString email = m_model.userEmail();
    m_initials->setText(accountInitials(email));
    m_initials->setVisible(!email.isEmpty());
    m_accountLine->setText(email.isEmpty() ? QStringLiteral("—") : email);
}

QString TrayPopup::initials() const {
    return m_initials != nullptr ? m_initials->text() : QString();
}

QString TrayPopup::accountLine() const {
    return m_accountLine != nullptr ? m_accountLine->text() : QString();
}

TrayRow* TrayPopup::row(const QString& label) const {
    for (TrayRow* candidate : findChildren<TrayRow*>()) {
        if (candidate->label() == label)
            return candidate;
    }
    return nullptr;
}

void TrayPopup::refresh() {
    if (auto* r = row(QStringLiteral("Anotação ativa")))
        r->setToggled(m_settings.annotationActive());
    if (auto* r = row(QStringLiteral("Mostrar barra de ferramentas na tela")))
        r->setToggled(m_settings.showToolbar());
    if (auto* r = row(QStringLiteral("Apagar traços ao trocar de slide"))) {
        r->setToggled(m_settings.clearOnSlideChange());
    }
    if (auto* r = row(QStringLiteral("Destacar o cursor")))
        r->setToggled(m_settings.highlightCursor());
}

void TrayPopup::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(rect(), Qt::transparent);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    QPainterPath card;
    card.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 12, 12);
    painter.fillPath(card, Theme::cardFundo());
    painter.setPen(QPen(Theme::bordaCard(), 1));
    painter.drawPath(card);
}

TrayController::TrayController(ShellModel& model, QObject* parent)
    : QObject(parent), m_model(model) {}

TrayController::~TrayController() {
    if (m_popup)
        m_popup->close();
}

bool TrayController::start() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        qCWarning(lcTray).noquote() << "Velurio: nenhuma área de notificação disponível; o ícone "
                                       "da bandeja não será mostrado";
        return false;
    }
    m_icon = std::make_unique<QSystemTrayIcon>(applicationIcon());
    m_icon->setToolTip(QStringLiteral("Velurio"));
    connect(m_icon.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::Context)
                    return;
                // A click on the icon while the popup is open first closes the popup (a click
                // outside it); the same click must not open it again.
                if (m_popupHidden.isValid() && m_popupHidden.elapsed() < kReopenGuardMs)
                    return;
                togglePopup(m_icon->geometry());
            });
    m_icon->show();
    return true;
}

QPoint TrayController::popupPosition(const QRect& anchor, QSize size, const QRect& available) {
    QPoint at(anchor.left(), anchor.bottom() + 1 + 4);
    if (anchor.center().y() > available.center().y())
        at.setY(anchor.top() - 4 - size.height());
    at.setX(std::clamp(at.x(), available.left(),
                       std::max(available.left(), available.right() + 1 - size.width())));
    at.setY(std::clamp(at.y(), available.top(),
                       std::max(available.top(), available.bottom() + 1 - size.height())));
    return at;
}

bool TrayController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_popup && event->type() == QEvent::Hide)
        m_popupHidden.start();
    return QObject::eventFilter(watched, event);
}

void TrayController::togglePopup(const QRect& anchor) {
    if (m_popup && m_popup->isVisible()) {
        m_popup->close();
        return;
    }
    m_popup = new TrayPopup(m_model);
    m_popup->installEventFilter(this);
    m_popup->onOpenPairing = [this]() {
        if (onOpenPairing)
            onOpenPairing();
    };
    m_popup->onOpenPreferences = [this]() {
        if (onOpenPreferences)
            onOpenPreferences();
    };
    m_popup->onOpenLogin = [this]() {
        if (onOpenLogin)
            onOpenLogin();
    };
    m_popup->onQuit = [this]() {
        if (onQuit)
            onQuit();
    };
    QScreen* screen = QGuiApplication::screenAt(anchor.center());
    if (screen == nullptr)
        screen = fallbackScreen();
    const QRect available =
        screen != nullptr ? screen->availableGeometry() : QRect(0, 0, 1920, 1080);
    m_popup->move(popupPosition(anchor, m_popup->size(), available));
    m_popup->show();
    m_popup->raise();
}

}  // namespace velurio
