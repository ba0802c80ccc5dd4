// The service's only voice: one line at a time to the log chosen at start
// (the system log, or standard error in the foreground). Errors and warnings
// also become records of the source "bmount-service" in the application
// event log, which every machine has, so that a user can read why a service
// that activation started did not come up.
#pragma once

#include <string>

#include "host/daemon.h"

#if defined(__GNUC__)
#define SERVICE_LOG_FORMAT __attribute__((format(printf, 2, 3)))
#else
#define SERVICE_LOG_FORMAT
#endif

// The event ids of the service's records (the message texts are in
// serviceLog.cpp): an error before serving began, an error while serving, a
// refused request, and a warning (mostly what a start found and put right).
enum : uint32_t {
  kServiceEventCannotStart = 0xE0000101,
  kServiceEventFailed = 0xE0000102,
  kServiceEventRefused = 0xA0000103,
  kServiceEventWarning = 0xA0000104,
};

void ServiceLog(HostLogLevel level, const char *format, ...) SERVICE_LOG_FORMAT;

// Errors logged from now on are failures of a serving service rather than
// reasons it could not start.
void ServiceLog_Serving(bool serving);

// Logs a request the service refused, with the description the client gets.
void ServiceLog_Refused(const std::string &description);

// Writes the registration of the event source "bmount-service" naming
// executable as its message file. Returns 0 or a system error code.
int ServiceLog_Register(const char *executable);
