// Bounded and allocating string formatting, strict copy and append, and the
// splitting of text into lines.
// The strict variants stop the program ("%s:%d Buffer too small 0x%x\n")
// instead of truncating.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// vsnprintf that reports truncation: when the output does not fit (it needs
// size bytes or more) the last byte is set to NUL and -1 is returned.
int Str_Vsnprintf(char *buffer, size_t size, const char *format, va_list args)
    __attribute__((format(printf, 3, 0)));
int Str_Snprintf(char *buffer, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Strict formatting into a sized buffer; returns the length written.
int Str_Sprintf(char *buffer, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// Strict copy and append (the result must fit with its NUL).
char *Str_Strcpy(char *buffer, const char *source, size_t size);
char *Str_Strcat(char *buffer, const char *source, size_t size);

// Allocating formatting with positional arguments ("%2$s-%1$s"): numbered or
// unnumbered conversions, not both; "$" must follow the digits; the format
// must not end inside a conversion; E e f g are refused; "L" means 64-bit.
// CR LF in the result becomes LF. Returns a malloc'd string (its length in
// *length when given) or NULL on any error.
char *Str_Vasprintf(size_t *length, const char *format, va_list args)
    __attribute__((format(printf, 2, 0)));
char *Str_Asprintf(size_t *length, const char *format, ...) __attribute__((format(printf, 2, 3)));

// The validation and translation step of Str_Vasprintf, exposed for tests and
// the fuzzer: returns the malloc'd format the C library formats the same way
// ("L" becomes "ll"), or NULL when the format breaks a rule above or cannot
// be formatted safely (%n, "*" with numbered arguments, a numbered argument
// left out or used with two different types, a width or precision written
// as a number above 65535).
char *StrTranslateFormat(const char *format);

// The lines of text, without their line feeds; a last line without one counts
// too, so "" has no lines and "a\n" and "a" have one. The views point into text.
std::vector<std::string_view> Str_SplitLines(std::string_view text);

// What a line feed is in a text handed to Str_Printable.
enum StrShown {
  STR_SHOWN_TEXT,  // a whole text of the program's: its line feeds end its lines
  STR_SHOWN_NAME,  // a name or value of somebody else's making, to be put into one
};

// text with every byte a terminal would act on, or could take for a line of
// the program's own, put as "?": C0 controls but for tab (and line feed in a
// whole text), carriage return included; DEL; C1 controls; and, where the
// current code set is UTF-8, every byte that starts no well-formed sequence
// (a lone 0x9B is a control to some terminals). Elsewhere the bytes 0x80 to
// 0x9F are C1 themselves. A name of somebody else's making must not retitle or
// clear the user's terminal, nor forge a line of what the program says.
std::string Str_Printable(std::string_view text, StrShown shown = STR_SHOWN_TEXT);
