// GUID text form: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", the eight bytes
// of Data4 split 2 + 6 after the third group.
#include "com/guid.h"

#include <cstdio>

const GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

// Reads digits hex digits at p into *value.
bool ReadHex(const char *p, int digits, uint32_t *value) {
  uint32_t v = 0;
  for (int i = 0; i < digits; i++) {
    int h = HexValue(p[i]);
    if (h < 0) {
      return false;
    }
    v = (v << 4) | static_cast<uint32_t>(h);
  }
  *value = v;
  return true;
}

}  // namespace

bool Com_GuidFromString(const char *text, GUID *guid) {
  if (text == nullptr || strlen(text) != 38 || text[0] != '{' || text[37] != '}' ||
      text[9] != '-' || text[14] != '-' || text[19] != '-' || text[24] != '-') {
    return false;
  }
  GUID g;
  uint32_t v;
  if (!ReadHex(text + 1, 8, &g.Data1)) {
    return false;
  }
  if (!ReadHex(text + 10, 4, &v)) {
    return false;
  }
  g.Data2 = static_cast<uint16_t>(v);
  if (!ReadHex(text + 15, 4, &v)) {
    return false;
  }
  g.Data3 = static_cast<uint16_t>(v);
  static const int kOffsets[8] = {20, 22, 25, 27, 29, 31, 33, 35};
  for (int i = 0; i < 8; i++) {
    if (!ReadHex(text + kOffsets[i], 2, &v)) {
      return false;
    }
    g.Data4[i] = static_cast<uint8_t>(v);
  }
  *guid = g;
  return true;
}

std::string Com_GuidToString(const GUID &g) {
  char buf[40];
  snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
           static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
           g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return buf;
}
