// Formats a log line and hands it to the host's log and, for errors and
// warnings, to the application event log.
#include "serviceLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "eventlog/eventLog.h"
#include "string/str.h"

namespace {

const char kSource[] = "bmount-service";

const EventLogMessage kMessages[] = {
    {kServiceEventCannotStart, "The mount service cannot start: %1\r\n"},
    {kServiceEventFailed, "The mount service failed: %1\r\n"},
    {kServiceEventRefused, "The mount service refused a request: %1\r\n"},
    {kServiceEventWarning, "The mount service reports: %1\r\n"},
};

std::atomic<bool> gServing{false};
// Calls that step aside log from their own threads; the event log's writer
// keeps state of its own.
std::mutex gLogging;

// Every line of this log is one formatted text, and every name in it (a disk,
// an image's parent, a folder) may be a user's making: no line feed in it is
// the log's own.
void WriteLine(HostLogLevel level, const std::string &text) {
  HostLog_Write(level, Str_Printable(text, STR_SHOWN_NAME).c_str());
}

void Record(EventLogType type, uint32_t eventId, std::string text) {
  // Lines that name the program for standard error need not in its own log.
  const std::string self = std::string(kSource) + ": ";
  if (text.compare(0, self.size(), self) == 0) {
    text.erase(0, self.size());
  }
  EventLog_SetMessageTable(kMessages, sizeof kMessages / sizeof kMessages[0]);
  const char *strings[] = {text.c_str()};
  EventLog_ReportType(type, eventId, strings, 1, kSource);
}

}  // namespace

void ServiceLog(HostLogLevel level, const char *format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) {
    vsnprintf(text.data(), text.size() + 1, format, args);
  }
  va_end(args);
  std::lock_guard<std::mutex> hold(gLogging);
  WriteLine(level, text);
  if (level == HOSTLOG_ERROR) {
    Record(EVENTLOG_ERROR, gServing ? kServiceEventFailed : kServiceEventCannotStart, text);
  } else if (level == HOSTLOG_WARNING) {
    Record(EVENTLOG_WARNING, kServiceEventWarning, text);
  }
}

void ServiceLog_Serving(bool serving) { gServing = serving; }

void ServiceLog_Refused(const std::string &description) {
  std::lock_guard<std::mutex> hold(gLogging);
  WriteLine(HOSTLOG_WARNING, "refused: " + description);
  Record(EVENTLOG_WARNING, kServiceEventRefused, description);
}

int ServiceLog_Register(const char *executable) {
  return EventLog_RegisterSource(executable, kSource);
}
