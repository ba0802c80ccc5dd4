// Fuzzes the dictionary line splitter over every line of the input: each call
// consumes exactly one line, the line copy matches the input bytes, a name
// never holds a byte the grammar excludes, and an assignment written back in
// quoted, escaped form splits into the same name and value.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dict/dictll.h"
#include "dict/dictllScan.h"

namespace {

// The value as a quoted, fully escaped text.
std::string Quote(const char *value) {
  std::string out = "\"";
  for (const char *p = value; *p != '\0'; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '|' || c < 0x20 || c >= 0x7F) {
      char hex[4];
      snprintf(hex, sizeof hex, "|%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void CheckRoundTrip(const char *name, const char *value) {
  std::string again = std::string(" ") + name + "\t= " + Quote(value) + "  # again";
  char *line, *name2, *value2;
  DictLL_UnmarshalLine(again.data(), again.size(), &line, &name2, &value2);
  if (name2 == nullptr || strcmp(name, name2) != 0 || strcmp(value, value2) != 0) abort();
  free(line);
  free(name2);
  free(value2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *buf = reinterpret_cast<const char *>(data);
  const char *end = buf + size;
  const char *p = buf;
  while (p < end) {
    char *line, *name, *value;
    const char *next = DictLL_UnmarshalLine(p, static_cast<size_t>(end - p), &line, &name, &value);
    if (next == nullptr || next <= p || next > end) abort();
    size_t lineLength = static_cast<size_t>(next - p);
    if (next[-1] == '\n') lineLength--;
    if (memchr(p, '\n', lineLength) != nullptr) abort();
    if (memcmp(line, p, lineLength) != 0 || line[lineLength] != '\0') abort();
    if ((name == nullptr) != (value == nullptr)) abort();
    if (name != nullptr) {
      if (*name == '\0' || strpbrk(name, " \t#=") != nullptr) abort();
      if (DictLL_IsBlankOrComment(line)) abort();
      if (strlen(value) > lineLength) abort();
      CheckRoundTrip(name, value);
    }
    free(line);
    free(name);
    free(value);
    p = next;
  }
  return 0;
}
