#include "app/ui/display_text.h"

#include <QStringList>

#include <algorithm>

namespace velurio {

QString formatPairingCode(const QString& code) {
    if (code.size() != 6)
        return code;
    return code.left(3) + QLatin1Char(' ') + code.right(3);
}

QString countdownText(const QDateTime& expiresAt, const QDateTime& now) {
    // Milliseconds, truncated towards zero to whole seconds, so 299.7 s read 4:59.
    const qint64 seconds = std::max<qint64>(0, now.msecsTo(expiresAt) / 1000);
    return QString::asprintf("%lld:%02lld", static_cast<long long>(seconds / 60),
                             static_cast<long long>(seconds % 60));
}

QString accountInitials(const QString& email) {
    const QString local = email.section(QLatin1Char('@'), 0, 0);
    const QStringList parts = local.split(QLatin1Char('.'));
    if (parts.size() >= 2) {
        QString initials;
        for (const QString& part : parts.mid(0, 2)) {
            if (!part.isEmpty())
                initials += part.front();
        }
        return initials.toUpper();
    }
    return local.left(2).toUpper();
}

}  // namespace velurio
