// Formats a log line and hands it to the host's log.
#include "serviceLog.h"

#include <cstdarg>
#include <cstdio>
#include <string>

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
  HostLog_Write(level, text.c_str());
}
