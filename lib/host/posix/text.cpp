// Code-set detection and conversion through iconv. The program never calls
// setlocale, so the environment's locale is looked up with newlocale and
// queried on the side; the answer is fixed for the life of the process.
#include "host/text.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool IsAsciiName(const char *name) {
  static const char *const kAscii[] = {"ANSI_X3.4-1968", "ASCII", "US-ASCII", "C", "POSIX", "646"};
  for (const char *a : kAscii) {
    if (strcasecmp(name, a) == 0) return true;
  }
  return false;
}

// A code set's name as the C library compares them: letters and digits
// only, case ignored; the name ends at stop.
bool IsUtf8(const char *name, char stop) {
  std::string set;
  for (const char *p = name; *p != '\0' && *p != stop; p++) {
    char c = HostText_LowerAscii(*p);
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) set += c;
  }
  return set == "utf8";
}

// Whether a locale name states UTF-8 as its code set (between "." and "@").
bool NamesUtf8(const char *name) {
  const char *dot = strchr(name, '.');
  return dot != nullptr && IsUtf8(dot + 1, '@');
}

std::string DetectCodeSet() {
  // The name alone answers for the C locale and for a name stating UTF-8
  // (the C library refuses a locale whose data has another code set than its
  // name states, and a refused locale counts as UTF-8 too), which spares
  // loading the locale's files.
  const char *envName = "";
  for (const char *var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char *value = getenv(var);
    if (value != nullptr && value[0] != '\0') {
      envName = value;
      break;
    }
  }
  if (envName[0] == '\0' || strcmp(envName, "C") == 0 || strcmp(envName, "POSIX") == 0 ||
      NamesUtf8(envName)) {
    return "UTF-8";
  }
  locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) {
    // An unknown locale name behaves as the C locale does.
    return "UTF-8";
  }
  std::string name = nl_langinfo_l(CODESET, loc);
  freelocale(loc);
  if (name.empty() || IsAsciiName(name.c_str()) || IsUtf8(name.c_str(), '\0')) {
    return "UTF-8";
  }
  return name;
}

const std::string &CodeSet() {
  static const std::string codeSet = DetectCodeSet();
  return codeSet;
}

}  // namespace

const char *HostText_CurrentCodeSet(void) { return CodeSet().c_str(); }

bool HostText_CurrentIsUtf8(void) { return CodeSet() == "UTF-8"; }

size_t HostText_Utf8Length(const char *bytes, size_t length) {
  const unsigned char *s = reinterpret_cast<const unsigned char *>(bytes);
  if (length == 0) {
    return 0;
  }
  unsigned char c = s[0];
  size_t len;
  uint32_t cp;
  if (c < 0x80) {
    return 1;
  } else if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (length < len) {
    return 0;
  }
  for (size_t i = 1; i < len; i++) {
    if ((s[i] & 0xC0) != 0x80) {
      return 0;
    }
    cp = (cp << 6) | (s[i] & 0x3F);
  }
  if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
      (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
    return 0;
  }
  return len;
}

bool HostText_IsValidUtf8(const char *bytes, size_t length) {
  for (size_t i = 0, n = 0; i < length; i += n) {
    n = HostText_Utf8Length(bytes + i, length - i);
    if (n == 0) {
      return false;
    }
  }
  return true;
}

bool HostText_Convert(const char *fromCodeSet, const char *toCodeSet, const char *bytes,
                      size_t length, char **result, size_t *resultLength) {
  *result = nullptr;
  iconv_t cd = iconv_open(toCodeSet, fromCodeSet);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    return false;
  }
  size_t capacity = length * 2 + 16;
  char *out = static_cast<char *>(malloc(capacity));
  bool ok = out != nullptr;
  size_t used = 0;
  char *in = const_cast<char *>(bytes);
  size_t inLeft = length;
  bool flushing = false;
  // Convert all input, then let a stateful code set write its reset sequence;
  // grow the output whenever iconv runs out of room.
  while (ok) {
    char *dst = out + used;
    size_t dstLeft = capacity - used - 1;  // keep room for the NUL
    size_t r = flushing ? iconv(cd, nullptr, nullptr, &dst, &dstLeft)
                        : iconv(cd, &in, &inLeft, &dst, &dstLeft);
    used = static_cast<size_t>(dst - out);
    if (r != static_cast<size_t>(-1)) {
      if (flushing) break;
      if (inLeft == 0) flushing = true;
      continue;
    }
    if (errno != E2BIG) {
      ok = false;  // EILSEQ or EINVAL: invalid or unrepresentable input
      break;
    }
    char *bigger = static_cast<char *>(realloc(out, capacity * 2));
    if (bigger == nullptr) {
      ok = false;
      errno = ENOMEM;
      break;
    }
    out = bigger;
    capacity *= 2;
  }
  int saved = errno;
  iconv_close(cd);
  if (!ok) {
    free(out);
    errno = saved;
    return false;
  }
  out[used] = '\0';
  *result = out;
  if (resultLength != nullptr) *resultLength = used;
  return true;
}
