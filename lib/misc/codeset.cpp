// Conversion between UTF-8 (the message texts' encoding) and the current
// code page. In a UTF-8 locale the text is only checked and copied.
#include "misc/codeset.h"

#include <cstdlib>
#include <cstring>

#include "host/text.h"

namespace {

bool CopyValidUtf8(const char *bytes, size_t length, char **result, size_t *resultLength) {
  *result = nullptr;
  if (!HostText_IsValidUtf8(bytes, length)) {
    return false;
  }
  char *copy = static_cast<char *>(malloc(length + 1));
  if (copy == nullptr) {
    return false;
  }
  if (length > 0) memcpy(copy, bytes, length);
  copy[length] = '\0';
  *result = copy;
  if (resultLength != nullptr) *resultLength = length;
  return true;
}

}  // namespace

bool CodeSet_CurrentIsUtf8(void) { return HostText_CurrentIsUtf8(); }

bool CodeSet_Utf8ToCurrent(const char *bytes, size_t length, char **result, size_t *resultLength) {
  if (HostText_CurrentIsUtf8()) {
    return CopyValidUtf8(bytes, length, result, resultLength);
  }
  return HostText_Convert("UTF-8", HostText_CurrentCodeSet(), bytes, length, result, resultLength);
}

bool CodeSet_CurrentToUtf8(const char *bytes, size_t length, char **result, size_t *resultLength) {
  if (HostText_CurrentIsUtf8()) {
    return CopyValidUtf8(bytes, length, result, resultLength);
  }
  return HostText_Convert(HostText_CurrentCodeSet(), "UTF-8", bytes, length, result, resultLength);
}
