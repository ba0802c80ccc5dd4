// The application event log file <prefix>/eventlog/Application.jsonl: one
// JSON object per line, UTF-8, appended with one write under an exclusive
// lock and never rewritten, so readers and concurrent writers always see
// whole records.
#pragma once

#include <cstddef>
#include <cstdint>

enum HostEventType {
  HOSTEVENT_ERROR,
  HOSTEVENT_WARNING,
  HOSTEVENT_INFORMATION,
};

struct HostEventRecord {
  const char *source;
  HostEventType type;
  uint32_t eventId;
  uint16_t category;
  const char *const *strings;  // count insertion strings
  size_t count;
  const char *message;  // the formatted message text
};

// Appends one record stamped with the current UTC time. Texts are expected in
// UTF-8: bytes that are not well-formed UTF-8 are written as U+FFFD, control
// characters are escaped. NULL texts are written as "". Returns 0 or a system
// error code (EWOULDBLOCK when another writer held the log for seconds); a
// record that could not be written whole is cut off again.
int HostEventLog_Append(const HostEventRecord *record);
