// Text conversion from UTF-8 to the current code page (the locale's character
// set; a plain ASCII locale counts as UTF-8).
#pragma once

#include <cstddef>

// Converts length bytes of UTF-8; *result receives a malloc'd NUL-terminated
// string and *resultLength its length when given. False when the text cannot
// be converted (invalid UTF-8, a character the code page lacks).
bool CodeSet_Utf8ToCurrent(const char *bytes, size_t length, char **result, size_t *resultLength);
// The reverse, for text that goes out as UTF-8/UTF-16.
bool CodeSet_CurrentToUtf8(const char *bytes, size_t length, char **result, size_t *resultLength);
// Returns true when the current code page is UTF-8.
bool CodeSet_CurrentIsUtf8(void);
