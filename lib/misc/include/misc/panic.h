// The fatal stop. Library code ends the program through Panic on programming
// errors and exhausted memory; it never returns. The front end installs a
// handler that writes the event record; without one, Panic prints the
// unexpected-error text to standard output and exits with 3.
#pragma once

#include <cstddef>

#ifndef BRENIX_SOURCE
#define BRENIX_SOURCE __FILE__
#endif

// The exit code of the default ending; the front end's exit-code table
// gives its host-failure code the same value.
enum : int { kPanicExitCode = 3 };

// Receives the formatted fatal text (at most 1023 bytes); must not return.
typedef void (*PanicHandler)(const char *text);

// Installs the handler (NULL restores the default).
void Panic_SetHandler(PanicHandler handler);

[[noreturn]] void Panic(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The default ending: the unexpected-error text on standard output, exit 3.
[[noreturn]] void Panic_DefaultExit(void);

// The unexpected-error text the console shows for every fatal stop.
extern const char kPanicUnexpectedText[];

#define PANIC_ASSERT_TEXT "ASSERT %s:%d\n"
#define VERIFY(cond)                                                \
  do {                                                              \
    if (!(cond)) Panic(PANIC_ASSERT_TEXT, BRENIX_SOURCE, __LINE__); \
  } while (0)
#define VERIFY_BUG(cond, bug)                                                    \
  do {                                                                           \
    if (!(cond)) Panic("ASSERT %s:%d bugNr=%d\n", BRENIX_SOURCE, __LINE__, bug); \
  } while (0)
#define NOT_IMPLEMENTED() Panic("NOT_IMPLEMENTED %s:%d\n", BRENIX_SOURCE, __LINE__)
#define NOT_REACHED() Panic("NOT_REACHED %s:%d\n", BRENIX_SOURCE, __LINE__)
#define PANIC_MEM_ALLOC() Panic("MEM_ALLOC %s:%d\n", BRENIX_SOURCE, __LINE__)
#define PANIC_UNRECOVERABLE_ALLOC() \
  Panic("Unrecoverable memory allocation failure at %s:%d\n", BRENIX_SOURCE, __LINE__)

// Allocation helpers that stop the program instead of returning NULL.
void *Util_SafeMalloc(size_t size, const char *source, int line);
void *Util_SafeRealloc(void *p, size_t size, const char *source, int line);
char *Util_SafeStrdup(const char *s, const char *source, int line);
#define Util_SafeMalloc(size) Util_SafeMalloc((size), BRENIX_SOURCE, __LINE__)
#define Util_SafeRealloc(p, size) Util_SafeRealloc((p), (size), BRENIX_SOURCE, __LINE__)
#define Util_SafeStrdup(s) Util_SafeStrdup((s), BRENIX_SOURCE, __LINE__)
// (The definitions are written as "void *(Util_SafeMalloc)(...)" so that the
// macros above do not expand there.)
