#include "app/identity/host_name.h"

#include <QFile>
#include <QSysInfo>

namespace velurio::HostName {

namespace {

// One value of an env-style file: "…", '…' or bare, with the backslash escapes systemd writes
// inside double quotes.
QString unquote(QStringView raw) {
    raw = raw.trimmed();
    if (raw.size() >= 2 && raw.front() == u'\'' && raw.back() == u'\'')
        return raw.mid(1, raw.size() - 2).toString();
    if (raw.size() >= 2 && raw.front() == u'"' && raw.back() == u'"') {
        raw = raw.mid(1, raw.size() - 2);
        QString out;
        out.reserve(raw.size());
        for (qsizetype i = 0; i < raw.size(); ++i) {
            if (raw[i] == u'\\' && i + 1 < raw.size()) {
                ++i;
            }
            out.append(raw[i]);
        }
        return out;
    }
    return raw.toString();
}

}  // namespace

QString prettyHostName(const QString& machineInfoPath) {
    QFile file(machineInfoPath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    // The file is a handful of lines; anything larger is not a machine-info file.
    const QString text = QString::fromUtf8(file.read(64 * 1024));
    QString found;
    for (QStringView line : QStringView(text).split(u'\n')) {
        line = line.trimmed();
        if (!line.startsWith(u"PRETTY_HOSTNAME="))
            continue;
        found = unquote(line.mid(16)).trimmed();  // the last assignment wins, as in a shell
    }
    return found;
}

QString localizedHostName() {
    QString name = prettyHostName();
    if (name.isEmpty())
        name = QSysInfo::machineHostName();
    if (name.isEmpty())
        name = QStringLiteral("Velurio");
    return name;
}

}  // namespace velurio::HostName
