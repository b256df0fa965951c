#include "app/shell/status_pin_controller.h"

#include "app/ui/panel.h"
#include "app/ui/symbol_icons.h"
#include "app/ui/theme.h"
#include "platform/x11/x11_window_support.h"

#include <QAbstractButton>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGraphicsDropShadowEffect>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QWindow>

namespace velurio {

namespace {

// Room around the capsule for its shadow (20 points of blur, 12 points down).
constexpr QMargins kShadowMargins(20, 8, 20, 34);

// A round 36 × 36 button with a symbol; a tinted one is white on `tinta`.
class RoundButton : public QAbstractButton {
  public:
    RoundButton(Symbol symbol, bool tinted, QWidget* parent)
        : QAbstractButton(parent), m_symbol(symbol), m_tinted(tinted) {
        setFixedSize(36, 36);
        setFocusPolicy(Qt::NoFocus);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath circle;
        circle.addEllipse(QRectF(rect()));
        painter.setClipPath(circle);
        if (m_tinted)
            painter.fillPath(circle, Theme::tinta());
        drawSymbol(painter, m_symbol, QRectF(rect()),
                   m_tinted ? QColor(Qt::white) : Theme::textoPrimario(), 13, true);
    }

  private:
    Symbol m_symbol;
    bool m_tinted;
};

class Dot : public QWidget {
  public:
    explicit Dot(QWidget* parent) : QWidget(parent) { setFixedSize(10, 8); }  // 8 × 8 + 2 after

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::conectadoDot());
        painter.drawEllipse(QRectF(0, 0, 8, 8));
    }
};

QLabel* label(const QString& text, const QFont& font, const QColor& color, QWidget* parent) {
    auto* result = new QLabel(text, parent);
    result->setFont(font);
    QPalette palette = result->palette();
    palette.setColor(QPalette::WindowText, color);
    result->setPalette(palette);
    return result;
}

}  // namespace

StatusPinView::StatusPinView(const QString& deviceName, const QString& latency,
                             StatusPinController* controller, QWidget* parent)
    : QWidget(parent), m_deviceName(deviceName), m_latency(latency) {
    setAttribute(Qt::WA_TranslucentBackground);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(14, 6, 6, 6);
    row->setSpacing(6);
    row->setAlignment(Qt::AlignVCenter);

    row->addWidget(new Dot(this));
    QFont nameFont = font();
    nameFont.setPixelSize(13);
    nameFont.setWeight(QFont::DemiBold);
    row->addWidget(label(deviceName, nameFont, Theme::textoPrimario(), this));
    QFont latencyFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    latencyFont.setPixelSize(13);
    latencyFont.setWeight(QFont::Medium);
    auto* latencyLabel = label(latency, latencyFont, Theme::textoSecundario(), this);
    latencyLabel->setContentsMargins(2, 0, 2, 0);
    // Room for three digits, so the capsule keeps its size as the latency changes.
    latencyLabel->setMinimumWidth(
        QFontMetrics(latencyFont).horizontalAdvance(QStringLiteral("000 ms")) + 4);
    row->addWidget(latencyLabel);
    row->addWidget(new Hairline(Qt::Vertical, 0, 20, this));

    const QPointer<StatusPinController> weak(controller);
    auto add = [&](Symbol symbol, const char* tooltip, bool tinted,
                   std::function<void()> StatusPinController::*action) {
        auto* button = new RoundButton(symbol, tinted, this);
        button->setToolTip(QString::fromUtf8(tooltip));
        connect(button, &QAbstractButton::clicked, this, [weak, action]() {
            if (weak && (weak.data()->*action))
                (weak.data()->*action)();
        });
        row->addWidget(button);
        return button;
    };
    m_showToolbar = add(Symbol::pencil, "Mostrar barra de ferramentas", false,
                        &StatusPinController::onShowToolbar);
    m_clear = add(Symbol::trash, "Limpar traços", false, &StatusPinController::onClear);
    m_endSession =
        add(Symbol::xmark, "Encerrar anotação", true, &StatusPinController::onEndSession);
    m_showToolbar->setObjectName(QStringLiteral("pin-show-toolbar"));
    m_clear->setObjectName(QStringLiteral("pin-clear"));
    m_endSession->setObjectName(QStringLiteral("pin-end"));
    resize(sizeHint());
}

void StatusPinView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const double radius = bounds.height() / 2;
    QPainterPath capsule;
    capsule.addRoundedRect(bounds, radius, radius);
    painter.fillPath(capsule, Theme::withOpacity(Theme::carvao(), 0.92));
    painter.setPen(QPen(Theme::withOpacity(QColor(Qt::white), 0.08), 1));
    painter.drawPath(capsule);
}

StatusPinController::StatusPinController(QObject* parent) : QObject(parent) {}

StatusPinController::~StatusPinController() = default;

void StatusPinController::show(QScreen* screen, const QString& deviceName, const QString& latency) {
    if (!m_panel) {
        m_panel = std::make_unique<QWidget>(nullptr, kPanelFlags);
        m_panel->setAttribute(Qt::WA_TranslucentBackground);
        m_panel->setAttribute(Qt::WA_ShowWithoutActivating);
        m_panel->setWindowTitle(QStringLiteral("Velurio status"));
        m_panel->resize(320, 48);
    }
    delete m_view;
    m_view = new StatusPinView(deviceName, latency, this, m_panel.get());
    const QSize fitting = m_view->sizeHint();
    const QRect capsule(QPoint(kShadowMargins.left(), kShadowMargins.top()), fitting);
    m_view->setGeometry(capsule);
    auto* shadow = new QGraphicsDropShadowEffect(m_view);
    shadow->setColor(QColor::fromRgbF(0.0F, 0.0F, 0.0F, 0.3F));
    shadow->setBlurRadius(40);
    shadow->setOffset(0, 12);
    m_view->setGraphicsEffect(shadow);
    m_view->show();
    m_panel->setFixedSize(fitting.grownBy(kShadowMargins));
    if (screen != nullptr) {
        m_panel->setScreen(screen);
        const QRect area = screen->geometry();
        // The capsule (not its shadow) ends 24 points from the right and starts 20 from the top.
        m_panel->move(area.right() + 1 - fitting.width() - 24 - kShadowMargins.left(),
                      area.top() + 20 - kShadowMargins.top());
    }
    m_panel->show();
    m_panel->winId();  // the input region needs the native window
    x11::setInputRegion(m_panel->windowHandle(), QRegion(capsule));
    m_panel->raise();
}

void StatusPinController::update(const QString& deviceName, const QString& latency) {
    if (!m_panel || !m_view)
        return;
    const QRect geometry = m_view->geometry();
    auto* view = new StatusPinView(deviceName, latency, this, m_panel.get());
    if (view->sizeHint() != geometry.size()) {
        // A longer name or latency text: lay the pin out again rather than clip the text.
        delete view;
        show(m_panel->screen(), deviceName, latency);
        return;
    }
    delete m_view;
    m_view = view;
    m_view->setGeometry(geometry);
    m_view->show();
}

QRect StatusPinController::capsuleGeometry() const {
    if (!m_panel || !m_view)
        return {};
    return QRect(m_panel->pos() + m_view->pos(), m_view->size());
}

void StatusPinController::hide() {
    if (m_panel)
        m_panel->hide();
}

}  // namespace velurio
