// The event-log writer: registers the program as an event source in the host
// registry and appends error records to the application event log. Process-
// wide state (the default names and the registered flag) is meant for one
// thread. Reporting never fails visibly: a record that cannot be written is
// dropped and nothing is printed.
#pragma once

#include <cstddef>
#include <cstdint>

// Registry key of the event sources; the source name follows it.
#define EVENTLOG_SOURCE_KEY "System\\CurrentControlSet\\Services\\EventLog\\Application\\"

// One entry of the executable's message table. The text holds %1, %2, ...
// for the insertion strings; the writer ends each message with "\r\n",
// adding it when the text does not already end with it.
struct EventLogMessage {
  uint32_t eventId;
  const char *text;  // UTF-8
};

// Installs the message table (the array must outlive every report; NULL/0
// removes it). An event id missing from the table gets an empty message.
void EventLog_SetMessageTable(const EventLogMessage *table, size_t count);

enum EventLogType {
  EVENTLOG_ERROR,
  EVENTLOG_WARNING,
  EVENTLOG_INFORMATION,
};

// Writes one error record (category 0) with count insertion strings in the
// current code page. sourceName and messageFile default (NULL) to the
// executable's name without folder and extension and its full path. The
// first report of a process (re)writes the source's registration; no record
// is written for a source whose registration does not exist. Failures are
// dropped.
void EventLog_Report(uint32_t eventId, const char *const *strings, size_t count,
                     const char *sourceName = nullptr, const char *messageFile = nullptr);
// The same with the record's type chosen.
void EventLog_ReportType(EventLogType type, uint32_t eventId, const char *const *strings,
                         size_t count, const char *sourceName = nullptr,
                         const char *messageFile = nullptr);

// Writes the source's registration: EventMessageFile (REG_EXPAND_SZ) and
// TypesSupported (REG_DWORD 7) under EVENTLOG_SOURCE_KEY + sourceName.
// Returns 0 or the system error code of the failed registry step.
int EventLog_RegisterSource(const char *messageFile, const char *sourceName);

// Fills whichever of *sourceName and *messageFile is NULL from the
// executable's path (pointers into process-wide buffers that the next call
// overwrites). Returns false when the path cannot be had (last error set).
bool EventLog_DefaultNames(const char **sourceName, const char **messageFile);

// Returns the message for an event: the table text with %1 .. %99 replaced by
// the insertion strings in order, a placeholder without a string kept as
// written, ending in "\r\n"; "" for an id the table lacks. Malloc'd (NULL
// when memory runs out); the caller frees it.
char *EventLog_FormatMessage(uint32_t eventId, const char *const *strings, size_t count);
