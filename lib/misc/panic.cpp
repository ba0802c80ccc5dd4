// The fatal stop and the allocation helpers that end in it. Panic formats its
// text once, hands it to the installed handler (the front end's, which writes
// the event record) or ends the process itself with the unexpected-error text
// and exit code 3. A Panic raised while one is already running goes straight
// to the default ending, so a failing handler cannot loop.
#include "misc/panic.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const char kPanicUnexpectedText[] =
    "An unexpected error has occurred.  Details have been saved in the Application\n"
    "event log.\n";

namespace {

std::atomic<PanicHandler> gHandler{nullptr};
std::atomic<bool> gPanicking{false};

}  // namespace

void Panic_SetHandler(PanicHandler handler) { gHandler.store(handler); }

void Panic_DefaultExit(void) {
  fwrite(kPanicUnexpectedText, 1, sizeof kPanicUnexpectedText - 1, stdout);
  fflush(stdout);
  // No destructors, no atexit handlers: the process is in an unknown state.
  std::_Exit(kPanicExitCode);
}

void Panic(const char *format, ...) {
  if (gPanicking.exchange(true)) {
    Panic_DefaultExit();
  }
  char text[1024];
  va_list args;
  va_start(args, format);
  int n = vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (n < 0) {
    text[0] = '\0';
  }
  PanicHandler handler = gHandler.load();
  if (handler != nullptr) {
    handler(text);
  }
  Panic_DefaultExit();
}

void *(Util_SafeMalloc)(size_t size, const char *source, int line) {
  void *p = malloc(size == 0 ? 1 : size);
  if (p == nullptr) {
    Panic("Unrecoverable memory allocation failure at %s:%d\n", source, line);
  }
  return p;
}

void *(Util_SafeRealloc)(void *p, size_t size, const char *source, int line) {
  void *q = realloc(p, size == 0 ? 1 : size);
  if (q == nullptr) {
    Panic("Unrecoverable memory allocation failure at %s:%d\n", source, line);
  }
  return q;
}

char *(Util_SafeStrdup)(const char *s, const char *source, int line) {
  if (s == nullptr) {
    return nullptr;
  }
  char *copy = strdup(s);
  if (copy == nullptr) {
    Panic("Unrecoverable memory allocation failure at %s:%d\n", source, line);
  }
  return copy;
}
