#include "app/shell/tray_controller.h"

#include "app/settings/app_settings.h"
#include "app/ui/panel.h"
#include "app/ui/symbol_icons.h"
#include "app/ui/theme.h"

#include <QGuiApplication>
#include <QLoggingCategory>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QSystemTrayIcon>
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

TrayPopup::TrayPopup(AppSettings& settings, QWidget* parent)
    : QWidget(parent, Qt::Popup | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint),
      m_settings(settings) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Velurio"));
    rebuild();
    connect(&m_settings, &AppSettings::annotationActiveChanged, this, &TrayPopup::refresh);
    connect(&m_settings, &AppSettings::showToolbarChanged, this, &TrayPopup::refresh);
    connect(&m_settings, &AppSettings::clearOnSlideChangeChanged, this, &TrayPopup::refresh);
    connect(&m_settings, &AppSettings::highlightCursorChanged, this, &TrayPopup::refresh);
    connect(&m_settings, &AppSettings::shortcutsChanged, this, &TrayPopup::rebuild);
}

void TrayPopup::rebuild() {
    qDeleteAll(findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly));
    delete layout();
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(8, 8, 8, 8);
    column->setSpacing(0);

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
    clear->onActivated = [this]() {
        if (onClear)
            onClear();
    };
    column->addWidget(clear);
    auto* save = new TrayRow(QStringLiteral("Salvar anotações como PNG"),
                             m_settings.shortcutSavePNG().displayText(), {}, this);
    save->onActivated = [this]() {
        // The save dialog takes over: the popup goes first.
        const auto action = onSavePNG;
        close();
        if (action)
            action();
    };
    column->addWidget(save);
    column->addWidget(new Hairline(Qt::Horizontal, 4, 0, this));

    auto* quit = new TrayRow(QStringLiteral("Sair do Velurio"), {}, {}, this);
    quit->onActivated = [this]() {
        const auto action = onQuit;
        close();
        if (action)
            action();
    };
    column->addWidget(quit);
    setFixedWidth(kWidth);
    setFixedHeight(column->sizeHint().height());
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

TrayController::TrayController(AppSettings& settings, QObject* parent)
    : QObject(parent), m_settings(settings) {}

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
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context)
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

void TrayController::togglePopup(const QRect& anchor) {
    if (m_popup && m_popup->isVisible()) {
        m_popup->close();
        return;
    }
    m_popup = new TrayPopup(m_settings);
    m_popup->onClear = [this]() {
        if (onClear)
            onClear();
    };
    m_popup->onSavePNG = [this]() {
        if (onSavePNG)
            onSavePNG();
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
}

}  // namespace velurio
