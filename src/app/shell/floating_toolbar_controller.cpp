#include "app/shell/floating_toolbar_controller.h"

#include "app/settings/toolbar_state.h"
#include "app/ui/panel.h"
#include "app/ui/symbol_icons.h"
#include "app/ui/theme.h"

#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

namespace velurio {

namespace {

constexpr double kSymbolPointSize = 15;
constexpr double kCornerRadius = 18;
constexpr double kPanelAlpha = 0.92;

struct ToolEntry {
    InkTool tool;
    Symbol symbol;
    const char* label;
};
constexpr ToolEntry kTools[] = {
    {InkTool::pen, Symbol::pencilTip, "Caneta"},
    {InkTool::marker, Symbol::highlighter, "Marcador"},
    {InkTool::laser, Symbol::scope, "Laser"},
    {InkTool::arrow, Symbol::arrowUpRight, "Seta"},
    {InkTool::rectangle, Symbol::rectangle, "Retângulo"},
    {InkTool::text, Symbol::textformat, "Texto"},
    {InkTool::eraser, Symbol::eraser, "Borracha"},
};

// The palette's colours by name, in palette order (the buttons' tooltips).
constexpr const char* kColorNames[] = {"Vermelho", "Amarelo", "Verde", "Azul",
                                       "Roxo",     "Branco",  "Preto"};

QString thicknessName(StrokeThickness thickness) {
    switch (thickness) {
        case StrokeThickness::thin:
            return QStringLiteral("Traço fino");
        case StrokeThickness::medium:
            return QStringLiteral("Traço médio");
        case StrokeThickness::thick:
            return QStringLiteral("Traço grosso");
    }
    return {};
}

// Relative luminance (0 dark … 1 light) of a colour.
double luminance(const InkColor& color) {
    return 0.2126 * color.red + 0.7152 * color.green + 0.0722 * color.blue;
}

QColor qColor(const InkColor& color) {
    return QColor::fromRgbF(static_cast<float>(color.red), static_cast<float>(color.green),
                            static_cast<float>(color.blue), 1.0F);
}

double dotDiameter(StrokeThickness thickness) {
    switch (thickness) {
        case StrokeThickness::thin:
            return 5;
        case StrokeThickness::medium:
            return 7;
        case StrokeThickness::thick:
            return 11;
    }
    return 5;
}

}  // namespace

ToolbarButton::ToolbarButton(QSize size, Painter painter, QWidget* parent)
    : QAbstractButton(parent), m_size(size), m_painter(std::move(painter)) {
    setFixedSize(size);
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::ArrowCursor);
}

void ToolbarButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (m_painter)
        m_painter(painter, *this);
}

FloatingToolbarView::FloatingToolbarView(ToolbarState& state, StrokeStore& store,
                                         ToolbarActions actions, QWidget* parent)
    : QWidget(parent, kPanelFlags), m_state(state), m_store(store), m_actions(std::move(actions)) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    // The bar never becomes the active window, and Qt shows tooltips only on the active window
    // unless told otherwise.
    setAttribute(Qt::WA_AlwaysShowToolTips);
    setWindowTitle(QStringLiteral("Velurio toolbar"));
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 0, 12, 0);
    row->setSpacing(4);
    row->setAlignment(Qt::AlignVCenter);

    for (const ToolEntry& entry : kTools) {
        const InkTool tool = entry.tool;
        const Symbol symbol = entry.symbol;
        auto* button = new ToolbarButton(
            QSize(38, 38), [this, tool, symbol](QPainter& painter, const ToolbarButton& self) {
                const bool current = m_state.tool() == tool;
                if (current) {
                    QPainterPath clip;
                    clip.addRoundedRect(QRectF(self.rect()), 10, 10);
                    painter.fillPath(clip, Theme::tinta());
                }
                drawSymbol(painter, symbol, QRectF(self.rect()),
                           current ? QColor(Qt::white) : Theme::textoPrimario(), kSymbolPointSize);
            });
        button->setToolTip(QString::fromUtf8(entry.label));
        button->setObjectName(QStringLiteral("tool-") +
                              QString::fromUtf8(rawValue(tool).data(),
                                                static_cast<qsizetype>(rawValue(tool).size())));
        connect(button, &QAbstractButton::clicked, this, [this, tool]() {
            m_state.setTool(tool);
            if (m_state.onChanged)
                m_state.onChanged(m_state);
        });
        row->addWidget(button);
        m_toolButtons.push_back(button);
    }
    row->addWidget(new Hairline(Qt::Vertical, 4, 28, this));

    const auto& palette = InkPalette::colors();
    for (std::size_t i = 0; i < palette.size(); ++i) {
        const InkColor color = palette[i];
        auto* button = new ToolbarButton(
            QSize(26, 26), [this, color](QPainter& painter, const ToolbarButton& self) {
                const QPointF centre = QRectF(self.rect()).center();
                painter.setPen(Qt::NoPen);
                painter.setBrush(qColor(color));
                painter.drawEllipse(centre, 9, 9);
                // A dark swatch would vanish into the dark bar: a light hairline outlines it.
                if (luminance(color) < 0.2) {
                    painter.setBrush(Qt::NoBrush);
                    painter.setPen(QPen(Theme::textoSecundario(), 1));
                    painter.drawEllipse(centre, 8.5, 8.5);
                }
                if (m_state.color() == color) {
                    painter.setBrush(Qt::NoBrush);
                    painter.setPen(QPen(Qt::white, 2));
                    painter.drawEllipse(centre, 9, 9);
                }
            });
        button->setObjectName(QStringLiteral("color-%1").arg(i));
        if (i < std::size(kColorNames))
            button->setToolTip(QString::fromUtf8(kColorNames[i]));
        connect(button, &QAbstractButton::clicked, this, [this, color]() {
            m_state.setColor(color);
            if (m_state.onChanged)
                m_state.onChanged(m_state);
        });
        row->addWidget(button);
        m_colorButtons.push_back(button);
    }
    row->addWidget(new Hairline(Qt::Vertical, 4, 28, this));

    for (const StrokeThickness thickness : kAllStrokeThicknesses) {
        auto* button = new ToolbarButton(
            QSize(26, 26), [this, thickness](QPainter& painter, const ToolbarButton& self) {
                if (m_state.thickness() == thickness) {
                    QPainterPath clip;
                    clip.addRoundedRect(QRectF(self.rect()), 8, 8);
                    painter.fillPath(clip, Theme::withOpacity(Theme::tinta(), 0.35));
                }
                const double diameter = dotDiameter(thickness);
                painter.setPen(Qt::NoPen);
                painter.setBrush(Theme::textoPrimario());
                painter.drawEllipse(QRectF(self.rect()).center(), diameter / 2, diameter / 2);
            });
        button->setObjectName(QStringLiteral("thickness-%1").arg(rawValue(thickness)));
        button->setToolTip(thicknessName(thickness));
        connect(button, &QAbstractButton::clicked, this, [this, thickness]() {
            m_state.setThickness(thickness);
            if (m_state.onChanged)
                m_state.onChanged(m_state);
        });
        row->addWidget(button);
        m_thicknessButtons.push_back(button);
    }
    row->addWidget(new Hairline(Qt::Vertical, 4, 28, this));

    m_undo = actionButton(Symbol::undo, QStringLiteral("Desfazer"), [this]() {
        if (m_actions.undo)
            m_actions.undo();
    });
    m_redo = actionButton(Symbol::redo, QStringLiteral("Refazer"), [this]() {
        if (m_actions.redo)
            m_actions.redo();
    });
    m_clear = actionButton(Symbol::trash, QStringLiteral("Limpar traços"), [this]() {
        if (m_actions.clear)
            m_actions.clear();
    });
    m_undo->setObjectName(QStringLiteral("undo"));
    m_redo->setObjectName(QStringLiteral("redo"));
    m_clear->setObjectName(QStringLiteral("clear"));
    row->addWidget(m_undo);
    row->addWidget(m_redo);
    row->addWidget(m_clear);

    connect(&m_state, &ToolbarState::stateChanged, this, [this]() { update(); });
    m_observer = m_store.addObserver([this](StrokeStore::Changes changes) {
        if (changes.contains(StrokeStore::Change::undoHistory) ||
            changes.contains(StrokeStore::Change::redoStack)) {
            refreshHistory();
        }
    });
    refreshHistory();
    setFixedSize(row->sizeHint().width(), kHeight);
}

FloatingToolbarView::~FloatingToolbarView() {
    m_store.removeObserver(m_observer);
}

ToolbarButton* FloatingToolbarView::actionButton(Symbol symbol, const QString& tooltip,
                                                 std::function<void()> action) {
    auto* button =
        new ToolbarButton(QSize(38, 38), [symbol](QPainter& painter, const ToolbarButton& self) {
            drawSymbol(painter, symbol, QRectF(self.rect()),
                       Theme::withOpacity(Theme::textoPrimario(), self.isEnabled() ? 1.0 : 0.35),
                       kSymbolPointSize);
        });
    button->setToolTip(tooltip);
    connect(button, &QAbstractButton::clicked, this, std::move(action));
    return button;
}

ToolbarButton* FloatingToolbarView::toolButton(InkTool tool) const {
    for (std::size_t i = 0; i < std::size(kTools); ++i) {
        if (kTools[i].tool == tool)
            return m_toolButtons.at(i);
    }
    return nullptr;
}

ToolbarButton* FloatingToolbarView::thicknessButton(StrokeThickness thickness) const {
    for (std::size_t i = 0; i < std::size(kAllStrokeThicknesses); ++i) {
        if (kAllStrokeThicknesses[i] == thickness)
            return m_thicknessButtons.at(i);
    }
    return nullptr;
}

void FloatingToolbarView::setClearShortcutText(const QString& text) {
    m_clear->setToolTip(text.isEmpty() ? QStringLiteral("Limpar traços")
                                       : QStringLiteral("Limpar traços (%1)").arg(text));
}

void FloatingToolbarView::refreshHistory() {
    // A disabled button is inert: QAbstractButton ignores clicks while disabled.
    m_undo->setEnabled(m_store.canUndo());
    m_redo->setEnabled(m_store.canRedo());
    m_undo->update();
    m_redo->update();
}

void FloatingToolbarView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(rect(), Qt::transparent);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    // A dark heads-up panel, slightly translucent, with rounded corners.
    QPainterPath panel;
    panel.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
    painter.fillPath(panel, Theme::withOpacity(QColor(0x1E, 0x1D, 0x1A), kPanelAlpha));
    painter.setPen(QPen(Theme::withOpacity(QColor(Qt::white), 0.08), 1));
    painter.drawPath(panel);
}

void FloatingToolbarView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        m_dragOffset = event->globalPosition().toPoint() - pos();
}

void FloatingToolbarView::mouseMoveEvent(QMouseEvent* event) {
    if ((event->buttons() & Qt::LeftButton) != 0)
        move(event->globalPosition().toPoint() - m_dragOffset);
}

FloatingToolbarController::FloatingToolbarController(ToolbarState& state, StrokeStore& store,
                                                     ToolbarActions actions, QObject* parent)
    : QObject(parent), m_state(state), m_store(store), m_actions(std::move(actions)) {}

FloatingToolbarController::~FloatingToolbarController() = default;

void FloatingToolbarController::show(QScreen* screen) {
    if (!m_panel) {
        m_panel = std::make_unique<FloatingToolbarView>(m_state, m_store, m_actions);
        m_panel->setClearShortcutText(m_clearShortcutText);
    }
    if (screen != nullptr) {
        m_panel->setScreen(screen);
        const QRect area = screen->geometry();
        const int x = area.center().x() + 1 - m_panel->width() / 2;
        const int y = area.bottom() + 1 - 24 - m_panel->height();
        m_panel->move(x, y);
    }
    m_panel->show();
    m_panel->raise();
}

void FloatingToolbarController::setClearShortcutText(const QString& text) {
    m_clearShortcutText = text;
    if (m_panel)
        m_panel->setClearShortcutText(text);
}

void FloatingToolbarController::raise() {
    if (m_panel && m_panel->isVisible())
        m_panel->raise();
}

void FloatingToolbarController::hide() {
    if (m_panel)
        m_panel->hide();
}

}  // namespace velurio
