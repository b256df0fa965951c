#include "app/windows/preferences_window.h"

#include "app/settings/app_settings.h"
#include "app/shell/shell_model.h"
#include "app/shell/shortcut_recorder.h"
#include "app/ui/theme.h"
#include "app/ui/widgets.h"
#include "app/windows/window_support.h"

#include <QComboBox>
#include <QCoroTask>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

namespace velurio {

namespace {

// A section: its name in upper case over a card holding `rows`.
QWidget* section(const QString& name, QWidget* parent, QVBoxLayout** rows) {
    auto* box = new QWidget(parent);
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);
    column->addWidget(themeLabel(name.toUpper(), themeFont(11, QFont::DemiBold, false, 1.2),
                                 Theme::textoSecundario(), box));
    auto* card = new Card(box, 14);
    *rows = new QVBoxLayout(card);
    (*rows)->setContentsMargins(14, 14, 14, 14);
    (*rows)->setSpacing(8);
    column->addWidget(card);
    return box;
}

QLabel* rowLabel(const QString& text, QWidget* parent) {
    return themeLabel(text, themeFont(13), Theme::textoPrimario(), parent);
}

void styleCombo(QComboBox* combo) {
    combo->setFont(themeFont(13));
    QPalette palette = combo->palette();
    palette.setColor(QPalette::Button, Theme::grafite());
    palette.setColor(QPalette::ButtonText, Theme::textoPrimario());
    palette.setColor(QPalette::Base, Theme::grafite());
    palette.setColor(QPalette::Text, Theme::textoPrimario());
    palette.setColor(QPalette::Window, Theme::grafite());
    palette.setColor(QPalette::WindowText, Theme::textoPrimario());
    palette.setColor(QPalette::Highlight, Theme::tinta());
    combo->setPalette(palette);
}

}  // namespace

SwitchToggle::SwitchToggle(const QString& text, QWidget* parent) : QAbstractButton(parent) {
    setText(text);
    setCheckable(true);
    setFont(themeFont(13));
    setCursor(Qt::PointingHandCursor);
    setAccessibleName(text);
}

QSize SwitchToggle::sizeHint() const {
    return {QFontMetrics(font()).horizontalAdvance(text()) + 60, 24};
}

void SwitchToggle::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setFont(font());
    painter.setPen(Theme::textoPrimario());
    painter.drawText(rect().adjusted(0, 0, -48, 0), Qt::AlignVCenter | Qt::AlignLeft, text());
    const QRectF track(width() - 38, (height() - 22) / 2.0, 38, 22);
    QPainterPath capsule;
    capsule.addRoundedRect(track, 11, 11);
    painter.fillPath(capsule, isChecked() ? Theme::tinta() : Theme::bordaCard());
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    const double knobX = isChecked() ? track.right() - 11 : track.left() + 11;
    painter.drawEllipse(QPointF(knobX, track.center().y()), 9, 9);
}

PreferencesView::PreferencesView(ShellModel& model, QWidget* parent)
    : QWidget(parent), m_model(model), m_settings(model.settings()) {
    setFixedWidth(PreferencesWindowController::kWidth);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(20);
    column->addWidget(themeLabel(QStringLiteral("Preferências"), themeFont(20, QFont::ExtraBold),
                                 Theme::textoPrimario(), this));

    // Shortcuts.
    QVBoxLayout* rows = nullptr;
    column->addWidget(section(QStringLiteral("Atalhos"), this, &rows));
    const char* labels[] = {"Alternar anotação", "Limpar traços", "Salvar anotações como PNG"};
    for (int i = 0; i < 3; ++i) {
        auto* row = new QHBoxLayout();
        row->addWidget(rowLabel(QString::fromUtf8(labels[i]), this), 1);
        m_recorders[i] = new ShortcutRecorderButton(this);
        m_recorders[i]->setAccessibleName(QString::fromUtf8(labels[i]));
        m_recorders[i]->setMinimumWidth(150);
        row->addWidget(m_recorders[i]);
        rows->addLayout(row);
    }

    // Capture.
    column->addWidget(section(QStringLiteral("Captura"), this, &rows));
    auto* monitorRow = new QHBoxLayout();
    monitorRow->addWidget(rowLabel(QStringLiteral("Monitor"), this), 1);
    m_display = new QComboBox(this);
    m_display->setFixedWidth(200);
    styleCombo(m_display);
    monitorRow->addWidget(m_display);
    rows->addLayout(monitorRow);
    auto* fpsRow = new QHBoxLayout();
    fpsRow->addWidget(rowLabel(QStringLiteral("Quadros por segundo"), this), 1);
    m_fps = new QComboBox(this);
    m_fps->setFixedWidth(80);
    styleCombo(m_fps);
    m_fps->addItem(QStringLiteral("30"), 30);
    m_fps->addItem(QStringLiteral("60"), 60);
    fpsRow->addWidget(m_fps);
    rows->addLayout(fpsRow);
    m_hevc = new SwitchToggle(QStringLiteral("HEVC (Apple silicon)"), this);
    rows->addWidget(m_hevc);

    // Account.
    column->addWidget(section(QStringLiteral("Conta"), this, &rows));
    auto* accountRow = new QHBoxLayout();
    m_account = themeLabel(QString(), themeFont(13), Theme::textoSecundario(), this);
    accountRow->addWidget(m_account, 1);
    m_signOut = new ThemeButton(QStringLiteral("Sair"), ThemeButton::Style::link, this);
    m_signOut->setFont(themeFont(13, QFont::DemiBold));
    accountRow->addWidget(m_signOut);
    rows->addLayout(accountRow);
    column->addStretch(1);

    connect(m_display, &QComboBox::activated, this, [this](int index) {
        if (index >= 0)
            m_settings.setSelectedDisplayID(m_display->itemData(index).toUInt());
    });
    connect(m_fps, &QComboBox::activated, this,
            [this](int index) { m_settings.setCaptureFPS(m_fps->itemData(index).toInt()); });
    connect(m_hevc, &QAbstractButton::toggled, this, [this](bool on) {
        if (!m_filling && on != m_settings.useHEVC())
            m_settings.setUseHEVC(on);
    });
    connect(m_signOut, &QPushButton::clicked, this,
            [this]() { QCoro::connect(m_model.logout(), this, []() {}); });

    connect(&m_settings, &AppSettings::shortcutsChanged, this, &PreferencesView::refreshShortcuts,
            Qt::QueuedConnection);
    connect(&m_settings, &AppSettings::captureFPSChanged, this, &PreferencesView::refreshCapture);
    connect(&m_settings, &AppSettings::useHEVCChanged, this, &PreferencesView::refreshCapture);
    connect(&m_settings, &AppSettings::selectedDisplayIDChanged, this,
            &PreferencesView::refreshDisplays);
    connect(&m_model, &ShellModel::displaysChanged, this, &PreferencesView::refreshDisplays);
    connect(&m_model, &ShellModel::accountChanged, this, &PreferencesView::refreshAccount);
    refreshShortcuts();
    refreshDisplays();
    refreshCapture();
    refreshAccount();
}

QString PreferencesView::displayLabel(const DisplayDescriptor& display) {
    return QStringLiteral("%1×%2 · %3").arg(display.width).arg(display.height).arg(display.id);
}

ShortcutRecorderButton* PreferencesView::recorder(Shortcut which) const {
    return m_recorders[static_cast<int>(which)];
}

void PreferencesView::refreshShortcuts() {
    AppSettings* settings = &m_settings;
    // Written out rather than through a table of member pointers: g++ 12 with UBSan reported a
    // wild index into such a table here.
    ShortcutRecorder(*m_recorders[0])
        .update(m_settings.shortcutToggleAnnotation(), [settings](const HotKeyDescriptor& value) {
            settings->setShortcutToggleAnnotation(value);
        });
    ShortcutRecorder(*m_recorders[1])
        .update(m_settings.shortcutClear(),
                [settings](const HotKeyDescriptor& value) { settings->setShortcutClear(value); });
    ShortcutRecorder(*m_recorders[2])
        .update(m_settings.shortcutSavePNG(),
                [settings](const HotKeyDescriptor& value) { settings->setShortcutSavePNG(value); });
}

void PreferencesView::refreshDisplays() {
    m_filling = true;
    m_display->clear();
    const std::vector<DisplayDescriptor> displays = m_model.displays();
    for (const DisplayDescriptor& display : displays)
        m_display->addItem(displayLabel(display), QVariant::fromValue<uint>(display.id));
    std::optional<std::uint32_t> current = m_model.selectedDisplayID();
    if (!current && !displays.empty())
        current = displays.front().id;
    m_display->setCurrentIndex(current ? m_display->findData(QVariant::fromValue<uint>(*current))
                                       : -1);
    m_filling = false;
}

void PreferencesView::refreshCapture() {
    m_filling = true;
    m_fps->setCurrentIndex(m_fps->findData(m_settings.captureFPS()));
    m_hevc->setChecked(m_settings.useHEVC());
    m_filling = false;
}

void PreferencesView::refreshAccount() {
    const QString email = m_model.userEmail();
    m_account->setText(email.isEmpty() ? QStringLiteral("Não autenticado") : email);
    m_signOut->setVisible(m_model.authenticated());
}

QString PreferencesView::accountText() const {
    return m_account->text();
}

PreferencesWindowController::PreferencesWindowController(ShellModel& model, QObject* parent)
    : QObject(parent), m_model(model) {}

PreferencesWindowController::~PreferencesWindowController() {
    delete m_window.data();
}

void PreferencesWindowController::show() {
    if (!m_window) {
        m_window = createAccountWindow(QStringLiteral("Preferências"), kWidth, kHeight);
        auto* layout = new QVBoxLayout(m_window);
        layout->setContentsMargins(0, 0, 0, 0);
        m_view = new PreferencesView(m_model, m_window);
        layout->addWidget(m_view);
    }
    bringToFront(m_window);
    QCoro::connect(m_model.refreshDisplaysIfPermitted(), this, []() {});
}

}  // namespace velurio
