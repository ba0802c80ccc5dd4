// The temporary folder, for lock files of whole physical drives. Candidates
// may name environment variables ("$HOME/tmp"); a reference to an unset one
// stays as written after a warning, except $PID and $USER, which always mean
// this process and its user.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file/file.h"
#include "host/identity.h"
#include "misc/dynbuf.h"
#include "misc/panic.h"
#include "string/str.h"
#include "user/log.h"
#include "user/msg.h"
#include "user/preference.h"

namespace {

constexpr int kMaxChunks = 100;

bool IsNameChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

void Append(DynBuf *b, const char *s, size_t n) {
  if (!DynBuf_Append(b, s, n)) PANIC_UNRECOVERABLE_ALLOC();
}

// Returns the malloc'd expansion of text, or NULL when it has too many parts.
char *ExpandString(const char *text) {
  DynBuf out;
  DynBuf_Init(&out);
  int chunks = 0;
  const char *p = text;
  while (*p != '\0') {
    if (++chunks > kMaxChunks) {
      DynBuf_Destroy(&out);
      Msg_Append(MSGID(util.expandStringTooManyChunks) "Filename \"%s\" has too many chunks.\n",
                 text);
      return nullptr;
    }
    if (p[0] == '$' && IsNameChar(p[1])) {
      const char *start = p + 1;
      const char *end = start;
      while (IsNameChar(*end)) end++;
      size_t n = static_cast<size_t>(end - start);
      char *name = static_cast<char *>(Util_SafeMalloc(n + 1));
      memcpy(name, start, n);
      name[n] = '\0';
      const char *value = getenv(name);
      if (value != nullptr) {
        Append(&out, value, strlen(value));
      } else if (strcmp(name, "PID") == 0) {
        char pid[32];
        Str_Sprintf(pid, sizeof pid, "%ld", HostIdentity_ProcessId());
        Append(&out, pid, strlen(pid));
      } else if (strcmp(name, "USER") == 0) {
        char *user = HostIdentity_UserName();
        const char *shown = user != nullptr ? user : "unknown";
        Append(&out, shown, strlen(shown));
        free(user);
      } else {
        Warning("Environment variable '%s' not defined in '%s'.\n", name, text);
        Append(&out, p, n + 1);
      }
      free(name);
      p = end;
    } else {
      // A run of text up to the next reference ("$" alone is text).
      const char *end = p + 1;
      while (*end != '\0' && !(end[0] == '$' && IsNameChar(end[1]))) end++;
      Append(&out, p, static_cast<size_t>(end - p));
      p = end;
    }
  }
  Append(&out, "", 1);
  return DynBuf_Detach(&out);
}

// Returns the usable form of a candidate (malloc'd) or NULL.
char *Usable(const char *candidate) {
  if (candidate == nullptr || *candidate == '\0') return nullptr;
  char *dir = ExpandString(candidate);
  if (dir == nullptr) return nullptr;
  if (!File_IsWritableDir(dir)) {
    free(dir);
    return nullptr;
  }
  size_t n = strlen(dir);
  if (n > 1 && dir[n - 1] == '/') dir[n - 1] = '\0';
  return dir;
}

}  // namespace

char *File_GetTmpDir(void) {
  char *preference = Preference_GetString(nullptr, "tmpDirectory");
  char *dir = Usable(preference);
  free(preference);
  if (dir == nullptr) dir = Usable(getenv("TMPDIR"));
  if (dir == nullptr) dir = Usable("/tmp");
  if (dir == nullptr) Warning("File_GetTmpDir: Couldn't get a temporary directory\n");
  return dir;
}
