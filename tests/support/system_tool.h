// Where a system program is: on PATH, else in the sbin folders (which a plain user's PATH may
// lack), e.g. nsenter and tc for the tests that use network namespaces.
// Thread: any. Lifetime: none (a free function).
#pragma once

#include <QStandardPaths>
#include <QString>

namespace velurio::test {

inline QString systemTool(const QString& name) {
    const QString found = QStandardPaths::findExecutable(name);
    return found.isEmpty() ? QStandardPaths::findExecutable(
                                 name, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")})
                           : found;
}

}  // namespace velurio::test
