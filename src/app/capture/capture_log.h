#pragma once
// The capture engine's logging category ("velurio.capture"). Any thread (Qt's categories are
// thread-safe).

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcCapture)
