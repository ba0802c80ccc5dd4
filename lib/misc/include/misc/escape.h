// Escape decoding: the escape byte followed by two hexadecimal digits stands
// for the byte they denote; anything else stays literal.
#pragma once

#include <cstddef>

// Returns a malloc'd NUL-terminated copy of bytes[0, length) with escapes
// decoded and stores its length (without the NUL) in *outLength when given.
// NULL only when allocation failed.
char *Escape_Undo(char escapeByte, const char *bytes, size_t length, size_t *outLength);
