// The allocation-free layer under dictll.h, for loaders that copy only what
// they keep: a line reader that reuses one buffer from line to line, and a
// scanner that finds the name and raw value of an assignment in place.
#pragma once

#include <cstddef>
#include <cstdio>

// Owns the buffer the lines are read into. Zero-initialised is a valid start.
struct DictLLReader {
  char *buf;
  size_t room;
};

void DictLLReader_Init(DictLLReader *reader);
// Frees the buffer. Accepts a reader that never read.
void DictLLReader_Destroy(DictLLReader *reader);

// Reads one line as ReadNextLine does, into the reader's buffer: *line (NUL
// terminated, writable, without its LF) stays valid until the next call.
// Returns 0 error (last error set), 1 end of file, 2 a line.
int DictLLReader_Next(DictLLReader *reader, FILE *stream, size_t maxLength, char **line,
                      size_t *length);

// The parts of an assignment, pointing into the scanned line. The value is
// raw: its "|" escapes are not yet undone.
struct DictLLAssignment {
  const char *name;
  size_t nameLength;
  const char *value;
  size_t valueLength;
};

// Scans a NUL-terminated line (scanning stops at its first NUL). Returns true
// and fills *out when the line is an assignment.
bool DictLL_ScanAssignment(const char *line, DictLLAssignment *out);

// Returns true for a blank line or a comment line (after leading blanks,
// nothing or "#").
bool DictLL_IsBlankOrComment(const char *line);
