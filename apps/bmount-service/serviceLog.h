// The service's only voice: one line at a time to the log chosen at start
// (the system log, or standard error in the foreground).
#pragma once

#include "host/daemon.h"

#if defined(__GNUC__)
#define SERVICE_LOG_FORMAT __attribute__((format(printf, 2, 3)))
#else
#define SERVICE_LOG_FORMAT
#endif

void ServiceLog(HostLogLevel level, const char *format, ...) SERVICE_LOG_FORMAT;
