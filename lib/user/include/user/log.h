// Library diagnostics. Log writes nothing in this program (no log is ever
// opened); Warning writes to standard error (cut at 4095 bytes).
#pragma once

void Log(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Warning(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Returns whether the diagnostic log is enabled (always false here).
bool Log_Enabled(void);
