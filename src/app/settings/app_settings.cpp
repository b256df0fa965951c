#include "app/settings/app_settings.h"

#include <QCoreApplication>
#include <QVariantList>

#include <array>
#include <utility>

namespace velurio {

namespace {

struct KeyNameEntry {
    std::uint32_t code;
    const char* name;
};

// Virtual key codes of the settings' key encoding and their names (UTF-8).
constexpr std::array<KeyNameEntry, 56> kKeyCodeMap{{
    {0, "A"},  {1, "S"},   {2, "D"},  {3, "F"},  {4, "H"},   {5, "G"},   {6, "Z"},   {7, "X"},
    {8, "C"},  {9, "V"},   {11, "B"}, {12, "Q"}, {13, "W"},  {14, "E"},  {15, "R"},  {16, "Y"},
    {17, "T"}, {18, "1"},  {19, "2"}, {20, "3"}, {21, "4"},  {22, "6"},  {23, "5"},  {24, "="},
    {25, "9"}, {26, "7"},  {27, "-"}, {28, "8"}, {29, "0"},  {30, "]"},  {31, "O"},  {32, "U"},
    {33, "["}, {34, "I"},  {35, "P"}, {36, "↩"}, {37, "L"},  {38, "J"},  {39, "'"},  {40, "K"},
    {41, ";"}, {42, "\\"}, {43, ","}, {44, "/"}, {45, "N"},  {46, "M"},  {47, "."},  {48, "⇥"},
    {49, "␣"}, {50, "`"},  {51, "⌫"}, {53, "⎋"}, {123, "←"}, {124, "→"}, {125, "↓"}, {126, "↑"},
}};

// Reads one element of a stored shortcut: an unsigned 32-bit integer, whether the backend kept
// it as a number or handed it back as text.
std::optional<std::uint32_t> unsignedElement(const QVariant& element) {
    switch (element.typeId()) {
        case QMetaType::Int:
        case QMetaType::Long:
        case QMetaType::LongLong:
        case QMetaType::Short: {
            const qlonglong v = element.toLongLong();
            if (v < 0 || v > 0xFFFFFFFFLL)
                return std::nullopt;
            return static_cast<std::uint32_t>(v);
        }
        case QMetaType::UInt:
        case QMetaType::ULong:
        case QMetaType::ULongLong:
        case QMetaType::UShort: {
            const qulonglong v = element.toULongLong();
            if (v > 0xFFFFFFFFULL)
                return std::nullopt;
            return static_cast<std::uint32_t>(v);
        }
        case QMetaType::QString:
        case QMetaType::QByteArray: {
            const QString text = element.toString();
            // Digits only: no sign, no space, no fraction, no exponent.
            if (text.isEmpty())
                return std::nullopt;
            for (const QChar c : text) {
                if (c < u'0' || c > u'9')
                    return std::nullopt;
            }
            bool ok = false;
            const qulonglong v = text.toULongLong(&ok);
            if (!ok || v > 0xFFFFFFFFULL)
                return std::nullopt;
            return static_cast<std::uint32_t>(v);
        }
        default:
            return std::nullopt;
    }
}

// The Boolean reading of a stored value: true for true, a non-zero number, or a text starting
// with y, t or a digit 1-9 (after spaces); everything else, including absence, is false.
bool plainBool(const QVariant& value) {
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    if (value.typeId() == QMetaType::QString || value.typeId() == QMetaType::QByteArray) {
        const QString text = value.toString().trimmed();
        if (text.isEmpty())
            return false;
        const QChar c = text.front();
        return c == u'y' || c == u'Y' || c == u't' || c == u'T' || (c >= u'1' && c <= u'9');
    }
    bool ok = false;
    const double number = value.toDouble(&ok);
    return ok && number != 0.0;
}

// A stored value that is unambiguously Boolean, or nothing.
std::optional<bool> strictBool(const QVariant& value) {
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    const QString text = value.toString().trimmed().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("1"))
        return true;
    if (text == QLatin1String("false") || text == QLatin1String("0"))
        return false;
    return std::nullopt;
}

std::unique_ptr<QSettings> standardStore() {
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("Velurio"), QStringLiteral("velurio"));
}

}  // namespace

QString keyName(std::uint32_t keyCode) {
    for (const auto& entry : kKeyCodeMap) {
        if (entry.code == keyCode)
            return QString::fromUtf8(entry.name);
    }
    return {};
}

QString HotKeyDescriptor::displayString() const {
    QString text;
    if ((carbonModifiers & kControl) != 0)
        text += QStringLiteral("⌃");
    if ((carbonModifiers & kOption) != 0)
        text += QStringLiteral("⌥");
    if ((carbonModifiers & kShift) != 0)
        text += QStringLiteral("⇧");
    if ((carbonModifiers & kCommand) != 0)
        text += QStringLiteral("⌘");
    const QString name = keyName(keyCode);
    text += name.isEmpty() ? QStringLiteral("?") : name;
    return text;
}

QString HotKeyDescriptor::displayText() const {
    QString text;
    if ((carbonModifiers & kControl) != 0)
        text += QStringLiteral("Ctrl+");
    if ((carbonModifiers & kOption) != 0)
        text += QStringLiteral("Alt+");
    if ((carbonModifiers & kShift) != 0)
        text += QStringLiteral("Shift+");
    if ((carbonModifiers & kCommand) != 0)
        text += QStringLiteral("Super+");
    // Keys whose stored name is a symbol get the word a Linux desktop uses for them.
    struct WordName {
        std::uint32_t code;
        const char* name;
    };
    static constexpr WordName kWords[] = {
        {36, "Enter"}, {48, "Tab"},    {49, "Space"}, {51, "Backspace"}, {53, "Esc"},
        {123, "Left"}, {124, "Right"}, {125, "Down"}, {126, "Up"},
    };
    for (const WordName& word : kWords) {
        if (word.code == keyCode)
            return text + QString::fromUtf8(word.name);
    }
    const QString name = keyName(keyCode);
    return text + (name.isEmpty() ? QStringLiteral("?") : name);
}

AppSettings::AppSettings(QObject* parent) : AppSettings(standardStore(), parent) {}

AppSettings::AppSettings(std::unique_ptr<QSettings> store, QObject* parent)
    : QObject(parent), m_store(std::move(store)) {
    load();
}

AppSettings::~AppSettings() {
    m_store->sync();
}

std::optional<HotKeyDescriptor> AppSettings::parseShortcut(const QVariant& value) {
    if (!value.isValid())
        return std::nullopt;
    QVariantList list;
    if (value.typeId() == QMetaType::QVariantList) {
        list = value.toList();
    } else if (value.typeId() == QMetaType::QStringList) {
        for (const QString& s : value.toStringList())
            list.append(s);
    } else {
        return std::nullopt;
    }
    if (list.size() != 2)
        return std::nullopt;
    const auto key = unsignedElement(list.at(0));
    const auto modifiers = unsignedElement(list.at(1));
    if (!key || !modifiers)
        return std::nullopt;
    return HotKeyDescriptor{*key, *modifiers};
}

void AppSettings::load() {
    m_annotationActive = readBool(kAnnotationActive, false);
    m_annotationHintShown = plainBool(m_store->value(QLatin1String(kAnnotationHintShown)));
    m_showToolbar = plainBool(m_store->value(QLatin1String(kShowToolbar)));
    m_clearOnSlideChange = readBool(kClearOnSlideChange, true);
    m_highlightCursor = plainBool(m_store->value(QLatin1String(kHighlightCursor)));
    {
        const QVariant fps = m_store->value(QLatin1String(kCaptureFPS));
        bool ok = false;
        const int value = fps.toInt(&ok);
        m_captureFPS = fps.isValid() && ok ? value : 30;
    }
    m_useHEVC = plainBool(m_store->value(QLatin1String(kUseHEVC)));
    {
        // Only values that fit an unsigned 32-bit display id are taken; anything else is treated
        // as no selection (we never write such values ourselves).
        const QVariant id = m_store->value(QLatin1String(kSelectedDisplayID));
        bool ok = false;
        const qlonglong value = id.toLongLong(&ok);
        if (id.isValid() && ok && value >= 0 && value <= 0xFFFFFFFFLL) {
            m_selectedDisplayID = static_cast<std::uint32_t>(value);
        } else {
            m_selectedDisplayID.reset();
        }
    }
    m_shortcutToggleAnnotation = readShortcut(kShortcutToggleAnnotation, kDefaultToggleAnnotation);
    m_shortcutClear = readShortcut(kShortcutClear, kDefaultClear);
    m_shortcutSavePNG = readShortcut(kShortcutSavePNG, kDefaultSavePNG);
}

bool AppSettings::readBool(const char* key, bool whenAbsent) const {
    const QVariant value = m_store->value(QLatin1String(key));
    if (!value.isValid())
        return whenAbsent;
    return strictBool(value).value_or(whenAbsent);
}

HotKeyDescriptor AppSettings::readShortcut(const char* key, HotKeyDescriptor fallback) const {
    return parseShortcut(m_store->value(QLatin1String(key))).value_or(fallback);
}

void AppSettings::writeShortcut(const char* key, HotKeyDescriptor value) {
    m_store->setValue(QLatin1String(key), QVariantList{QVariant::fromValue(value.keyCode),
                                                       QVariant::fromValue(value.carbonModifiers)});
}

void AppSettings::setAnnotationActive(bool value) {
    m_annotationActive = value;
    m_store->setValue(QLatin1String(kAnnotationActive), value);
    Q_EMIT annotationActiveChanged(value);
}

void AppSettings::setAnnotationHintShown(bool value) {
    m_annotationHintShown = value;
    m_store->setValue(QLatin1String(kAnnotationHintShown), value);
}

void AppSettings::setShowToolbar(bool value) {
    m_showToolbar = value;
    m_store->setValue(QLatin1String(kShowToolbar), value);
    Q_EMIT showToolbarChanged(value);
}

void AppSettings::setClearOnSlideChange(bool value) {
    m_clearOnSlideChange = value;
    m_store->setValue(QLatin1String(kClearOnSlideChange), value);
    Q_EMIT clearOnSlideChangeChanged(value);
}

void AppSettings::setHighlightCursor(bool value) {
    m_highlightCursor = value;
    m_store->setValue(QLatin1String(kHighlightCursor), value);
    Q_EMIT highlightCursorChanged(value);
}

void AppSettings::setCaptureFPS(int value) {
    m_captureFPS = value;
    m_store->setValue(QLatin1String(kCaptureFPS), value);
    Q_EMIT captureFPSChanged(value);
}

void AppSettings::setUseHEVC(bool value) {
    m_useHEVC = value;
    m_store->setValue(QLatin1String(kUseHEVC), value);
    Q_EMIT useHEVCChanged(value);
}

void AppSettings::setSelectedDisplayID(std::optional<std::uint32_t> value) {
    const bool same = value == m_selectedDisplayID;
    m_selectedDisplayID = value;
    if (value) {
        m_store->setValue(QLatin1String(kSelectedDisplayID), QVariant::fromValue(*value));
    } else {
        m_store->remove(QLatin1String(kSelectedDisplayID));
    }
    // Subscribers of the display selection see each distinct value once.
    if (!same)
        Q_EMIT selectedDisplayIDChanged(value);
}

void AppSettings::setShortcutToggleAnnotation(HotKeyDescriptor value) {
    m_shortcutToggleAnnotation = value;
    writeShortcut(kShortcutToggleAnnotation, value);
    Q_EMIT shortcutsChanged();
}

void AppSettings::setShortcutClear(HotKeyDescriptor value) {
    m_shortcutClear = value;
    writeShortcut(kShortcutClear, value);
    Q_EMIT shortcutsChanged();
}

void AppSettings::setShortcutSavePNG(HotKeyDescriptor value) {
    m_shortcutSavePNG = value;
    writeShortcut(kShortcutSavePNG, value);
    Q_EMIT shortcutsChanged();
}

void AppSettings::sync() {
    m_store->sync();
}

}  // namespace velurio
