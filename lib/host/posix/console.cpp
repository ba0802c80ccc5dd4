// The POSIX message box: a caption, a body and an OK line on standard error,
// waiting for Enter only when someone can press it.
#include "host/console.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

void HostConsole_MessageBox(const char *caption, const char *body) {
  if (caption == NULL) caption = "";
  if (body == NULL) body = "";

  size_t bodyLength = strlen(body);
  fputs(caption, stderr);
  fputc('\n', stderr);
  fputs(body, stderr);
  if (bodyLength == 0 || body[bodyLength - 1] != '\n') fputc('\n', stderr);
  fputs("[OK]\n", stderr);
  fflush(stderr);

  // Piped or redirected runs (scripts, services, tests) must never block here.
  if (!isatty(STDIN_FILENO) || !isatty(STDERR_FILENO)) return;

  // Through stdio, so that a later line read from standard input by the
  // program starts after the line consumed here.
  int c;
  do {
    c = getc(stdin);
  } while (c != '\n' && c != EOF);
}
