// The name this computer shows to others: to tablets (the hello and the local-network
// advertisement) and to the platform (device registration).
//
// The user's "pretty" host name ("Sala de Reunião 2") when one is set, else the kernel host
// name. Stateless; any thread.
#pragma once

#include <QString>

namespace velurio::HostName {

// Where systemd keeps the pretty host name.
inline constexpr char kMachineInfoPath[] = "/etc/machine-info";

// PRETTY_HOSTNAME of a machine-info file (shell-style assignments, values optionally quoted);
// empty when the file or the key is missing or the value is blank.
QString prettyHostName(const QString& machineInfoPath = QString::fromLatin1(kMachineInfoPath));

// The pretty host name, else QSysInfo's host name, else "Velurio".
QString localizedHostName();

}  // namespace velurio::HostName
