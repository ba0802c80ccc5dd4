// Error texts for system error codes, in one buffer per thread as callers
// expect: the system's own text, or "Unknown error N (0xN)" when it has none, without
// the trailing line end and full stop.
#include "misc/err.h"

#include <cstdio>
#include <cstring>

#include "host/lastError.h"

namespace {

thread_local char gErrText[2048];

}  // namespace

const char *Err_Errno2String(int code) {
  if (!Host_ErrorText(code, gErrText, sizeof gErrText)) {
    snprintf(gErrText, sizeof gErrText, "Unknown error %d (0x%x)\n", code,
             static_cast<unsigned>(code));
  }
  size_t n = strlen(gErrText);
  while (n > 0 && (gErrText[n - 1] == '\n' || gErrText[n - 1] == '\r')) {
    n--;
  }
  if (n > 0 && gErrText[n - 1] == '.') {
    n--;
  }
  gErrText[n] = '\0';
  return gErrText;
}

const char *Err_ErrString(void) { return Err_Errno2String(Host_GetLastError()); }
