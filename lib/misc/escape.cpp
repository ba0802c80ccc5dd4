// Escape decoding for the dictionary format: the escape byte and two hex
// digits stand for one byte. An incomplete or malformed escape is kept as
// written, and its bytes never start a new escape.
#include "misc/escape.h"

#include <cstdlib>

namespace {

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

char *Escape_Undo(char escapeByte, const char *bytes, size_t length, size_t *outLength) {
  // Decoding never lengthens the text.
  char *out = static_cast<char *>(malloc(length + 1));
  if (out == nullptr) {
    return nullptr;
  }
  enum { kNormal, kAfterEscape, kAfterFirstDigit } state = kNormal;
  size_t n = 0;
  int high = 0;
  for (size_t i = 0; i < length; i++) {
    char c = bytes[i];
    int digit = HexValue(static_cast<unsigned char>(c));
    switch (state) {
      case kNormal:
        if (c == escapeByte) {
          state = kAfterEscape;
        } else {
          out[n++] = c;
        }
        break;
      case kAfterEscape:
        if (digit < 0) {
          out[n++] = escapeByte;
          out[n++] = c;
          state = kNormal;
        } else {
          high = digit;
          state = kAfterFirstDigit;
        }
        break;
      case kAfterFirstDigit:
        if (digit < 0) {
          out[n++] = escapeByte;
          out[n++] = bytes[i - 1];
          out[n++] = c;
        } else {
          out[n++] = static_cast<char>(high * 16 + digit);
        }
        state = kNormal;
        break;
    }
  }
  if (state == kAfterEscape) {
    out[n++] = escapeByte;
  } else if (state == kAfterFirstDigit) {
    out[n++] = escapeByte;
    out[n++] = bytes[length - 1];
  }
  out[n] = '\0';
  if (outLength != nullptr) {
    *outLength = n;
  }
  return out;
}
