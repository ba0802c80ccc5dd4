// Fuzzes the dictionary line splitter over every line of the input: each call
// consumes exactly one line, the line copy matches the input bytes, a name
// never holds a byte the grammar excludes, and an assignment written back in
// quoted, escaped form splits into the same name and value. The scanner, which
// takes most lines sixteen bytes at a time, finds what a plain walk over the
// bytes finds.
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

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The grammar, a byte at a time.
bool PlainScan(const char *line, DictLLAssignment *out) {
  const char *p = line;
  while (IsBlank(*p)) p++;
  const char *name = p;
  while (*p != '\0' && !IsBlank(*p) && *p != '#' && *p != '=') p++;
  const char *nameEnd = p;
  while (IsBlank(*p)) p++;
  if (nameEnd == name || *p != '=') return false;
  p++;
  while (IsBlank(*p)) p++;
  const char *value = p;
  const char *valueEnd;
  if (*p == '"') {
    value = ++p;
    while (*p != '\0' && *p != '"') p++;
    if (*p != '"') return false;
    valueEnd = p++;
  } else {
    while (*p != '\0' && !IsBlank(*p) && *p != '#') p++;
    valueEnd = p;
  }
  while (IsBlank(*p)) p++;
  if (*p != '\0' && *p != '#') return false;
  *out = {name, static_cast<size_t>(nameEnd - name), value, static_cast<size_t>(valueEnd - value),
          memchr(value, '|', static_cast<size_t>(valueEnd - value)) != nullptr};
  return true;
}

void CheckScan(const char *line, size_t length) {
  DictLLAssignment want = {};
  DictLLAssignment got = {};
  bool assignment = PlainScan(line, &want);
  if (DictLL_ScanAssignment(line, length, &got) != assignment) abort();
  if (assignment &&
      (got.name != want.name || got.nameLength != want.nameLength || got.value != want.value ||
       got.valueLength != want.valueLength || got.escaped != want.escaped)) {
    abort();
  }
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
    CheckScan(line, lineLength);
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
