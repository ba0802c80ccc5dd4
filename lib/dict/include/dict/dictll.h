// The line format of dictionary files: blank lines, "#" comments and
// "name = value" assignments (quoted or bare values, "|" hex escapes, an
// optional trailing comment).
#pragma once

#include <cstddef>
#include <cstdio>

// Reads one line of any length (NUL bytes allowed inside; CR LF reads as LF).
// Returns 0 on error (last error set: 7 when longer than maxLength, 12 out of
// memory), 1 at end of file, 2 when a line was read: *buf is a malloc'd
// NUL-terminated line without its LF, *length its length. maxLength 0 means
// no limit.
int ReadNextLine(FILE *stream, char **buf, size_t maxLength, size_t *length);

// Returns 0 read error, 1 end of file, 2 a line was read: *line is the
// malloc'd text, *name and *value malloc'd when the line is an assignment,
// both NULL otherwise.
int DictLL_ReadLine(FILE *stream, char **line, char **name, char **value);

// Splits the first line of buf[0, length). Returns a pointer just past its LF
// (or the end); with length 0 returns NULL and sets all outputs NULL.
const char *DictLL_UnmarshalLine(const char *buf, size_t length, char **line, char **name,
                                 char **value);
