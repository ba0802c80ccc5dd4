// Fuzzes the format check of the allocating formatter. Every format it
// accepts is formatted for real, with string arguments substituted for every
// conversion so that no argument is read with a type it was not given as.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "string/str.h"

namespace {

// Rewrites each conversion of an accepted format into a "%N$s" or "%s" of the
// same numbering, keeping flags and precision out (they are checked already).
std::string AsStrings(const char *translated, bool *numbered, int *count) {
  std::string out;
  *numbered = false;
  *count = 0;
  for (const char *p = translated; *p != '\0'; p++) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    if (p[1] == '%') {
      out += "%%";
      p++;
      continue;
    }
    p++;
    ++*count;
    std::string number;
    const char *q = p;
    while (*q >= '0' && *q <= '9') number += *q++;
    if (*q == '$' && !number.empty()) {
      *numbered = true;
      out += "%" + number + "$s";
    } else {
      number.clear();
      out += "%s";
    }
    // Skip to the conversion character.
    while (*p != '\0' && strchr("ACFGSXacdiopsux", *p) == nullptr) p++;
    if (*p == '\0') abort();  // an accepted format cannot end inside a conversion
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string format(reinterpret_cast<const char *>(data), size);
  format = format.c_str();  // stop at an embedded NUL
  char *translated = StrTranslateFormat(format.c_str());
  if (translated == nullptr) return 0;
  // Only a "*" consumes an argument without a conversion of its own; leave
  // such formats (rare) at the check.
  if (strchr(translated, '*') == nullptr) {
    bool numbered = false;
    int count = 0;
    std::string simple = AsStrings(translated, &numbered, &count);
    if (count > 64) {  // more than the arguments passed below
      free(translated);
      return 0;
    }
    const char *s = "arg";
    size_t length = 0;
    char *out =
        Str_Asprintf(&length, simple.c_str(), s, s, s, s, s, s, s, s, s, s, s, s, s, s, s, s, s, s,
                     s, s, s, s, s, s, s, s, s, s, s, s, s, s, s, s, s, s, s, s, s, s, s, s, s, s,
                     s, s, s, s, s, s, s, s, s, s, s, s, s, s, s, s, s, s, s, s);
    if (out == nullptr || strlen(out) != length) abort();
    free(out);
  }
  free(translated);
  return 0;
}
