// The event-log writer. The source registration is (re)written at the first
// report of each process, and a record goes out only while that registration
// exists, so an operator who removes a source's key silences it. Every failure
// is swallowed here: reporting an error must never add one.
#include "eventlog/eventLog.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/eventlogFile.h"
#include "host/lastError.h"
#include "host/registry.h"
#include "host/system.h"
#include "misc/codeset.h"

namespace {

// Sized for host paths rather than the original 261 characters: a longer path
// fails the report instead of registering a truncated message file.
char gModulePath[4096];
char gSourceName[256];
bool gRegistered = false;

const EventLogMessage *gTable = nullptr;
size_t gTableCount = 0;

const char *TableText(uint32_t eventId) {
  for (size_t i = 0; i < gTableCount; i++) {
    if (gTable[i].eventId == eventId) {
      return gTable[i].text;
    }
  }
  return nullptr;
}

std::string ToUtf8(const char *text) {
  if (text == nullptr) {
    return "";
  }
  char *converted = nullptr;
  size_t length = 0;
  if (CodeSet_CurrentToUtf8(text, strlen(text), &converted, &length)) {
    std::string s(converted, length);
    free(converted);
    return s;
  }
  // Kept as bytes; the log file writer marks what is not UTF-8.
  return text;
}

std::string Format(const char *text, const char *const *strings, size_t count) {
  std::string out;
  for (const char *p = text; *p != '\0';) {
    if (p[0] == '%' && p[1] >= '1' && p[1] <= '9') {
      size_t n = static_cast<size_t>(p[1] - '0');
      size_t len = 2;
      if (p[2] >= '0' && p[2] <= '9') {
        n = n * 10 + static_cast<size_t>(p[2] - '0');
        len = 3;
      }
      if (n <= count && strings[n - 1] != nullptr) {
        out += strings[n - 1];
      } else {
        out.append(p, len);
      }
      p += len;
    } else {
      out.push_back(*p++);
    }
  }
  if (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0) {
    out += "\r\n";
  }
  return out;
}

}  // namespace

void EventLog_SetMessageTable(const EventLogMessage *table, size_t count) {
  gTable = table;
  gTableCount = table != nullptr ? count : 0;
}

char *EventLog_FormatMessage(uint32_t eventId, const char *const *strings, size_t count) {
  const char *text = TableText(eventId);
  return strdup(text != nullptr ? Format(text, strings, count).c_str() : "");
}

bool EventLog_DefaultNames(const char **sourceName, const char **messageFile) {
  if (*sourceName != nullptr && *messageFile != nullptr) {
    return true;
  }
  char *path = HostSystem_ModulePath();
  if (path == nullptr) {
    return false;
  }
  size_t length = strlen(path);
  if (length >= sizeof gModulePath) {
    free(path);
    Host_SetLastError(Host_ErrorCode(HOST_ERROR_INVALID));
    return false;
  }
  memcpy(gModulePath, path, length + 1);
  free(path);

  const char *base = strrchr(gModulePath, '/');
  base = base != nullptr ? base + 1 : gModulePath;
  const char *dot = strrchr(base, '.');
  // A name that is all extension (".x") keeps its whole text.
  size_t nameLength =
      dot != nullptr && dot != base ? static_cast<size_t>(dot - base) : strlen(base);
  if (nameLength >= sizeof gSourceName) {
    Host_SetLastError(Host_ErrorCode(HOST_ERROR_INVALID));
    return false;
  }
  memcpy(gSourceName, base, nameLength);
  gSourceName[nameLength] = '\0';

  if (*sourceName == nullptr) {
    *sourceName = gSourceName;
  }
  if (*messageFile == nullptr) {
    *messageFile = gModulePath;
  }
  return true;
}

int EventLog_RegisterSource(const char *messageFile, const char *sourceName) {
  if (messageFile == nullptr || sourceName == nullptr || sourceName[0] == '\0') {
    return Host_ErrorCode(HOST_ERROR_INVALID);
  }
  std::string key = std::string(EVENTLOG_SOURCE_KEY) + sourceName;
  int rc = HostRegistry_CreateKey(key.c_str());
  if (rc == 0) {
    rc = HostRegistry_SetString(key.c_str(), "EventMessageFile", HOSTREG_EXPAND_SZ, messageFile);
  }
  if (rc == 0) {
    rc = HostRegistry_SetDword(key.c_str(), "TypesSupported", 7);
  }
  return rc;
}

namespace {

HostEventType HostType(EventLogType type) {
  switch (type) {
    case EVENTLOG_WARNING:
      return HOSTEVENT_WARNING;
    case EVENTLOG_INFORMATION:
      return HOSTEVENT_INFORMATION;
    case EVENTLOG_ERROR:
      break;
  }
  return HOSTEVENT_ERROR;
}

void Report(EventLogType type, uint32_t eventId, const char *const *strings, size_t count,
            const char *sourceName, const char *messageFile) {
  if (count > 0 && strings == nullptr) {
    return;
  }
  if ((sourceName == nullptr || messageFile == nullptr) &&
      !EventLog_DefaultNames(&sourceName, &messageFile)) {
    return;
  }
  if (!gRegistered) {
    if (EventLog_RegisterSource(messageFile, sourceName) != 0) {
      return;  // stays unregistered: the next report tries again
    }
    gRegistered = true;
  }
  std::string key = std::string(EVENTLOG_SOURCE_KEY) + sourceName;
  if (HostRegistry_KeyExists(key.c_str()) != 0) {
    return;
  }

  std::vector<std::string> utf8;
  utf8.reserve(count);
  for (size_t i = 0; i < count; i++) {
    utf8.push_back(ToUtf8(strings[i]));
  }
  std::vector<const char *> texts;
  for (const std::string &s : utf8) {
    texts.push_back(s.c_str());
  }
  const char *tableText = TableText(eventId);
  std::string message = tableText != nullptr ? Format(tableText, texts.data(), count) : "";

  HostEventRecord record = {};
  record.source = sourceName;
  record.type = HostType(type);
  record.eventId = eventId;
  record.category = 0;
  record.strings = texts.data();
  record.count = count;
  record.message = message.c_str();
  HostEventLog_Append(&record);
}

}  // namespace

void EventLog_Report(uint32_t eventId, const char *const *strings, size_t count,
                     const char *sourceName, const char *messageFile) {
  EventLog_ReportType(EVENTLOG_ERROR, eventId, strings, count, sourceName, messageFile);
}

void EventLog_ReportType(EventLogType type, uint32_t eventId, const char *const *strings,
                         size_t count, const char *sourceName, const char *messageFile) {
  try {
    Report(type, eventId, strings, count, sourceName, messageFile);
  } catch (...) {
    // Out of memory while building the record: it is lost like any other.
  }
}
