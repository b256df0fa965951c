#pragma once
// Texts the tray popup and the windows derive from the account's state: the pairing code as it
// is read aloud ("ABC 123"), the code's remaining validity ("4:59") and the initials of an
// e-mail address ("AS"). Pure functions; any thread.

#include <QDateTime>
#include <QString>

namespace velurio {

// A six-character code as its first three characters, a space and its last three; any other
// code unchanged.
QString formatPairingCode(const QString& code);

// Whole seconds from `now` to `expiresAt` (truncated, never below 0) as minutes and two-digit
// seconds ("%d:%02d"): 299.7 s give "4:59", a past expiry "0:00".
QString countdownText(const QDateTime& expiresAt, const QDateTime& now);

// The part of `email` before the first "@", split on ".": with two or more parts the first
// letters of the first two, else its first two characters; upper-cased. Empty for an empty
// address.
QString accountInitials(const QString& email);

}  // namespace velurio
