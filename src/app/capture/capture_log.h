#pragma once
// The capture engine's logging categories: "velurio.capture", and "velurio.capture.timings"
// (per-stage timing summaries every 10 s, at debug level). Any thread (Qt's categories are
// thread-safe).

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcCapture)
Q_DECLARE_LOGGING_CATEGORY(lcCaptureTimings)
