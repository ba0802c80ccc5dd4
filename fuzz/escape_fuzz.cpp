// Fuzzes escape decoding: the result never outgrows its input, is always
// terminated, and text without the escape byte comes back unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "misc/escape.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  char escape = static_cast<char>(data[0]);
  const char *text = reinterpret_cast<const char *>(data + 1);
  size_t length = size - 1;
  size_t outLength = 0;
  char *out = Escape_Undo(escape, text, length, &outLength);
  if (out == nullptr) abort();
  if (outLength > length || out[outLength] != '\0') abort();
  if (memchr(text, escape, length) == nullptr &&
      (outLength != length || memcmp(out, text, length) != 0)) {
    abort();
  }
  free(out);
  return 0;
}
