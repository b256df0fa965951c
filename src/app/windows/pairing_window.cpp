#include "app/windows/pairing_window.h"

#include "app/identity/host_name.h"
#include "app/ui/display_text.h"
#include "app/ui/symbol_icons.h"
#include "app/ui/theme.h"
#include "app/ui/widgets.h"
#include "app/windows/spinner.h"
#include "app/windows/window_support.h"

#include <QCoroTask>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QVBoxLayout>
#include <QWindow>

namespace velurio {

namespace {

constexpr int kMinuteMs = 60'000;

// The tablet symbol, 22 points, in `color`.
class TabletSymbol : public QWidget {
  public:
    TabletSymbol(const QColor& color, QWidget* parent) : QWidget(parent), m_color(color) {
        setFixedSize(28, 28);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        drawSymbol(painter, Symbol::ipad, QRectF(rect()), m_color, 22);
    }

  private:
    QColor m_color;
};

// "<number>. <text>", 13 points, full width, left-aligned; `rich` texts carry markup.
QLabel* instructionRow(int number, const QString& text, QWidget* parent, bool rich = false) {
    const QString prefix = QString::number(number) + QStringLiteral(". ");
    auto* label = themeLabel(QString(), themeFont(13), Theme::textoPrimario(), parent, true);
    if (rich) {
        label->setTextFormat(Qt::RichText);
        label->setText(prefix + text);
    } else {
        label->setText(prefix + text);
    }
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return label;
}

QLabel* caption(const QString& text, QWidget* parent) {
    return themeLabel(text, themeFont(11, QFont::DemiBold, false, 1.2), Theme::textoSecundario(),
                      parent);
}

// A 3-point dot in the tertiary text colour.
class Dot : public QWidget {
  public:
    explicit Dot(QWidget* parent) : QWidget(parent) { setFixedSize(3, 12); }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::textoTerciario());
        painter.drawEllipse(QRectF(0, 4.5, 3, 3));
    }
};

}  // namespace

PairingView::PairingView(ShellModel& model, Clock clock, QWidget* parent)
    : QWidget(parent), m_model(model), m_clock(std::move(clock)) {
    auto* columns = new QHBoxLayout(this);
    columns->setContentsMargins(32, 28, 32, 24);
    columns->setSpacing(24);

    // Left: title, code card, steps.
    auto* left = new QVBoxLayout();
    left->setSpacing(18);
    auto* title =
        themeLabel(QStringLiteral("Conecte seu iPad"), themeFont(26, QFont::ExtraBold, false, -0.5),
                   Theme::textoPrimario(), this);
    left->addWidget(title);
    left->addWidget(themeLabel(QStringLiteral("Entrou com a mesma conta nos dois? O iPad aparece "
                                              "ao lado. Senão, digite o código no iPad."),
                               themeFont(14), Theme::textoSecundario(), this, true));

    auto* card = new Card(this, 14);
    auto* cardColumn = new QVBoxLayout(card);
    cardColumn->setContentsMargins(20, 18, 20, 18);
    cardColumn->setSpacing(8);
    cardColumn->addWidget(caption(QStringLiteral("CÓDIGO DESTE MAC"), card));
    m_code = themeLabel(QString(), themeFont(44, QFont::DemiBold, true, 6), Theme::textoPrimario(),
                        card);
    m_code->setObjectName(QStringLiteral("pairingCode"));
    cardColumn->addWidget(m_code);
    auto* status = new QHBoxLayout();
    status->setSpacing(10);
    m_generating = themeLabel(QStringLiteral("Gerando código…"), themeFont(12),
                              Theme::textoSecundario(), card);
    status->addWidget(m_generating);
    auto* expiry = new QHBoxLayout();
    expiry->setSpacing(0);
    m_expiresIn =
        themeLabel(QStringLiteral("Expira em "), themeFont(12), Theme::textoSecundario(), card);
    expiry->addWidget(m_expiresIn);
    m_countdown =
        themeLabel(QString(), themeFont(12, QFont::Medium, true), Theme::textoPrimario(), card);
    m_countdown->setObjectName(QStringLiteral("countdown"));
    expiry->addWidget(m_countdown);
    status->addLayout(expiry);
    status->addWidget(new Dot(card));
    m_refresh = new ThemeButton(QStringLiteral("Gerar outro"), ThemeButton::Style::link, card);
    status->addWidget(m_refresh);
    status->addStretch(1);
    cardColumn->addLayout(status);
    left->addWidget(card);

    auto* steps = new QVBoxLayout();
    steps->setSpacing(8);
    steps->addWidget(instructionRow(1, QStringLiteral("Abra o Velurio no iPad."), this));
    steps->addWidget(
        instructionRow(2,
                       QStringLiteral("Toque em <span style=\"font-weight:600\">%1</span>, ou em "
                                      "\"Tenho um código\".")
                           .arg(computerName().toHtmlEscaped()),
                       this, true));
    steps->addWidget(instructionRow(
        3, QStringLiteral("Mesma rede Wi‑Fi e acesso à Rede Local permitido."), this));
    left->addLayout(steps);
    left->addStretch(1);
    columns->addLayout(left, 1);

    // Right: nearby devices and the account line.
    auto* right = new QVBoxLayout();
    right->setSpacing(12);
    auto* header = new QHBoxLayout();
    header->setSpacing(6);
    header->addWidget(caption(QStringLiteral("DISPOSITIVOS POR PERTO"), this));
    header->addStretch(1);
    header->addWidget(new SpinnerLabel(Theme::tintaClara(), this));
    header->addWidget(
        themeLabel(QStringLiteral("Procurando"), themeFont(12), Theme::textoSecundario(), this));
    right->addLayout(header);
    m_devices = new QWidget(this);
    m_devicesLayout = new QVBoxLayout(m_devices);
    m_devicesLayout->setContentsMargins(0, 0, 0, 0);
    m_devicesLayout->setSpacing(10);
    right->addWidget(m_devices);
    right->addStretch(1);
    m_account = themeLabel(QString(), themeFont(12), Theme::textoSecundario(), this, true);
    m_account->setTextFormat(Qt::RichText);
    m_account->setObjectName(QStringLiteral("accountLine"));
    right->addWidget(m_account);
    m_help =
        new ThemeButton(QStringLiteral("Problemas para conectar?"), ThemeButton::Style::link, this);
    right->addWidget(m_help, 0, Qt::AlignLeft);
    columns->addLayout(right, 1);

    connect(m_refresh, &QPushButton::clicked, this, &PairingView::askForCode);
    connect(m_help, &QPushButton::clicked, this,
            []() { openPlatformPage(QStringLiteral("/app/ajuda")); });
    connect(&m_model, &ShellModel::pairingChanged, this, &PairingView::rebuildCode);
    connect(&m_model, &ShellModel::nearbyDevicesChanged, this, &PairingView::rebuildDevices);
    connect(&m_model, &ShellModel::accountChanged, this, &PairingView::rebuildAccount);
    rebuild();
}

QString PairingView::computerName() {
    // The same name the tablet sees in the advertisement and the hello.
    return HostName::localizedHostName();
}

void PairingView::rebuild() {
    rebuildCode();
    rebuildDevices();
    rebuildAccount();
}

void PairingView::rebuildCode() {
    const std::optional<PairingState> pairing = m_model.pairing();
    m_code->setText(pairing ? formatPairingCode(pairing->code) : QStringLiteral("••• •••"));
    m_generating->setVisible(!pairing);
    m_expiresIn->setVisible(pairing.has_value());
    m_countdown->setVisible(pairing.has_value());
    m_countdown->setText(pairing ? countdownText(pairing->expiresAt, m_clock()) : QString());
}

void PairingView::rebuildDevices() {
    while (QLayoutItem* item = m_devicesLayout->takeAt(0)) {
        if (QWidget* widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
    const std::vector<NearbyDevice> devices = m_model.nearbyDevices();
    if (devices.empty()) {
        auto* none = themeLabel(QStringLiteral("Nenhum iPad por perto ainda."), themeFont(13),
                                Theme::textoSecundario(), m_devices);
        none->setObjectName(QStringLiteral("noDevices"));
        none->setContentsMargins(4, 8, 4, 8);
        m_devicesLayout->addWidget(none);
        return;
    }
    for (const NearbyDevice& device : devices) {
        auto* row = new Card(m_devices, 14);
        row->setObjectName(QStringLiteral("device:") + device.id);
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(16, 14, 16, 14);
        layout->setSpacing(12);
        const QColor color = device.sameAccount ? Theme::textoPrimario() : Theme::textoSecundario();
        layout->addWidget(new TabletSymbol(color, row));
        auto* texts = new QVBoxLayout();
        texts->setSpacing(2);
        texts->addWidget(themeLabel(device.name, themeFont(14, QFont::DemiBold), color, row));
        auto* subtitle =
            themeLabel(device.sameAccount ? QStringLiteral("Mesma conta · Wi‑Fi")
                                          : QStringLiteral("Outra conta · pede o código"),
                       themeFont(12), Theme::textoSecundario(), row);
        subtitle->setObjectName(QStringLiteral("subtitle"));
        texts->addWidget(subtitle);
        layout->addLayout(texts, 1);
        ThemeButton* button = nullptr;
        if (device.sameAccount) {
            button = new ThemeButton(QStringLiteral("Conectar"), ThemeButton::Style::accent, row);
            connect(button, &QPushButton::clicked, this, [this, device]() {
                QCoro::connect(m_model.connectToNearby(device), this, []() {});
            });
        } else {
            button = new ThemeButton(QStringLiteral("Permitir"), ThemeButton::Style::outline, row);
            connect(button, &QPushButton::clicked, this, &PairingView::askForCode);
        }
        layout->addWidget(button);
        m_devicesLayout->addWidget(row);
    }
}

void PairingView::rebuildAccount() {
    const QString summary = m_model.accountSummary();
    m_account->setText(
        QStringLiteral("Dispositivos conectados à conta: <span style=\"font-weight:600; "
                       "color:%1\">%2</span>.")
            .arg(Theme::textoPrimario().name(),
                 summary.isEmpty() ? QStringLiteral("—") : summary.toHtmlEscaped()));
}

void PairingView::askForCode() {
    QCoro::connect(m_model.refreshPairingCode(), this, [](bool) {});
}

QString PairingView::codeText() const {
    return m_code->text();
}

QString PairingView::statusText() const {
    return m_generating->isVisibleTo(this) ? m_generating->text()
                                           : m_expiresIn->text() + m_countdown->text();
}

QWidget* PairingView::deviceRow(const QString& id) const {
    for (QWidget* row : m_devices->findChildren<QWidget*>(QStringLiteral("device:") + id,
                                                          Qt::FindDirectChildrenOnly)) {
        if (!row->isHidden() || !isVisible())
            return row;
    }
    return nullptr;
}

QString PairingView::deviceSubtitle(const QString& id) const {
    QWidget* row = deviceRow(id);
    if (row == nullptr)
        return {};
    auto* subtitle = row->findChild<QLabel*>(QStringLiteral("subtitle"));
    return subtitle != nullptr ? subtitle->text() : QString();
}

ThemeButton* PairingView::deviceButton(const QString& id) const {
    QWidget* row = deviceRow(id);
    return row != nullptr ? row->findChild<ThemeButton*>() : nullptr;
}

bool PairingView::showsNoDevices() const {
    for (QLabel* label : m_devices->findChildren<QLabel*>(QStringLiteral("noDevices"),
                                                          Qt::FindDirectChildrenOnly)) {
        if (!label->isHidden() || !isVisible())
            return true;
    }
    return false;
}

QString PairingView::accountLine() const {
    QString plain = m_account->text();
    plain.remove(QRegularExpression(QStringLiteral("<[^>]*>")));
    return plain;
}

void PairingView::mousePressEvent(QMouseEvent* event) {
    // The window moves when its background is dragged.
    if (event->button() == Qt::LeftButton && window()->windowHandle() != nullptr) {
        window()->windowHandle()->startSystemMove();
        return;
    }
    QWidget::mousePressEvent(event);
}

PairingWindowController::PairingWindowController(ShellModel& model, Scheduler* scheduler,
                                                 PairingView::Clock clock, QObject* parent)
    : QObject(parent),
      m_model(model),
      m_ownScheduler(scheduler == nullptr ? std::make_unique<QtScheduler>() : nullptr),
      m_scheduler(scheduler != nullptr ? scheduler : m_ownScheduler.get()),
      m_clock(clock ? std::move(clock)
                    : PairingView::Clock([]() { return QDateTime::currentDateTimeUtc(); })) {}

PairingWindowController::~PairingWindowController() {
    stopTicks();
    delete m_window.data();
}

void PairingWindowController::show() {
    if (!m_window) {
        m_window = createAccountWindow(QStringLiteral("Velurio · Conectar iPad"), kWidth, kHeight);
        auto* layout = new QVBoxLayout(m_window);
        layout->setContentsMargins(0, 0, 0, 0);
        m_view = new PairingView(m_model, m_clock, m_window);
        layout->addWidget(m_view);
        m_window->installEventFilter(this);
    }
    bringToFront(m_window);
    // Each showing asks for a fresh code; the result shows through the model's signal.
    QCoro::connect(m_model.refreshPairingCode(), this, [](bool) {});
}

bool PairingWindowController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_window) {
        if (event->type() == QEvent::Show) {
            if (m_view)
                m_view->rebuild();
            scheduleTick();
        } else if (event->type() == QEvent::Hide) {
            stopTicks();
        }
    }
    return QObject::eventFilter(watched, event);
}

void PairingWindowController::scheduleTick() {
    stopTicks();
    // At the start of the next minute of the wall clock.
    const qint64 msOfMinute = m_clock().toMSecsSinceEpoch() % kMinuteMs;
    m_tick = m_scheduler->schedule(std::chrono::milliseconds(kMinuteMs - msOfMinute),
                                   [this]() { tick(); });
}

void PairingWindowController::tick() {
    m_tick = 0;
    if (m_view)
        m_view->rebuild();
    const std::optional<PairingState> pairing = m_model.pairing();
    if (pairing && pairing->expiresAt <= m_clock())
        QCoro::connect(m_model.refreshPairingCode(), this, [](bool) {});
    scheduleTick();
}

void PairingWindowController::stopTicks() {
    if (m_tick != 0) {
        m_scheduler->cancel(m_tick);
        m_tick = 0;
    }
}

}  // namespace velurio
