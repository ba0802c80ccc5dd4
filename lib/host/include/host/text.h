// The host's text encoding: the current code set is the character set of the
// environment's locale (LC_ALL, LC_CTYPE, LANG), read without changing the
// process locale; a plain ASCII locale ("C", "POSIX") counts as UTF-8.
// Conversions fail on invalid input or on a character the target lacks.
#pragma once

#include <cstddef>
#include <cstdint>

// Returns the iconv name of the current code set ("UTF-8" for ASCII locales).
const char *HostText_CurrentCodeSet(void);
// Returns true when the current code set is UTF-8.
bool HostText_CurrentIsUtf8(void);
// Returns the length (1 to 4) of the well-formed UTF-8 sequence bytes[0,
// length) starts with, or 0 when it starts with none (or is empty).
size_t HostText_Utf8Length(const char *bytes, size_t length);
// Returns true when bytes[0, length) is well-formed UTF-8 (no overlong forms,
// no surrogates, nothing above U+10FFFF).
bool HostText_IsValidUtf8(const char *bytes, size_t length);
// Converts length bytes from one code set to another. On success *result
// holds a malloc'd NUL-terminated string and *resultLength (when given) its
// length. Returns false (and sets the last error) on failure.
bool HostText_Convert(const char *fromCodeSet, const char *toCodeSet, const char *bytes,
                      size_t length, char **result, size_t *resultLength);

// ASCII case folding, the same in every locale: keywords, value names and
// key names are ASCII, and bytes above 0x7F compare exactly.
inline char HostText_LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The same for eight bytes at once: a byte is an upper-case letter when it is
// below 0x80 and its low seven bits lie in 'A'..'Z'; its 0x20 bit is then set.
inline uint64_t HostText_LowerAsciiWord(uint64_t x) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  uint64_t low7 = x & (0x7f * kOnes);
  uint64_t aboveZ = low7 + (0x7f - 'Z') * kOnes;
  uint64_t fromA = low7 + (0x80 - 'A') * kOnes;
  uint64_t upper = ~x & (fromA ^ aboveZ) & (0x80 * kOnes);
  return x | (upper >> 2);
}

// Returns true when a and b are equal but for the case of ASCII letters.
inline bool HostText_EqualNoCase(const char *a, const char *b) {
  for (;; a++, b++) {
    char ca = HostText_LowerAscii(*a);
    if (ca != HostText_LowerAscii(*b)) return false;
    if (ca == '\0') return true;
  }
}
