// Library diagnostics. Log is the detail channel of a diagnostic log that this
// program never opens; Warning is what an operator sees, on standard error.
#include "user/log.h"

#include <cstdarg>
#include <cstdio>

#include "string/str.h"
#include "user/msg.h"

// Nothing in this program ever opens a diagnostic log.
static const bool logEnabled = false;

bool Log_Enabled(void) { return logEnabled; }

// While the log is off not even the formatting happens, so callers may pass
// arguments that would be costly (or, for a record nobody reads, stale) to
// format.
void Log(const char *format, ...) { (void)format; }

void Warning(const char *format, ...) {
  if (Msg_HoldOne()) return;
  char buffer[4096];
  va_list args;
  va_start(args, format);
  // A longer text is cut to 4095 bytes and terminated; that is acceptable here.
  Str_Vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  // Callers end their formats with the line feed; the names in it may be of
  // somebody else's making.
  fputs(Str_Printable(buffer).c_str(), stderr);
}
