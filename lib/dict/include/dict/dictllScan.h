// The allocation-free layer under dictll.h, for loaders that copy only what
// they keep: the line reader, which reuses one buffer from line to line, and
// a scanner that finds the name and raw value of an assignment in place.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>

// Reads a stream's lines into a buffer of its own and hands them out where
// they lie. With wholeStream it reads ahead in large pieces: the stream is
// the reader's until it is done with it, and the lines skip the copy a
// line-at-a-time read makes. Without, it reads no further than each line's
// LF, so that the caller may go on reading the stream itself.
struct DictLLReader {
  FILE *stream;
  bool wholeStream;
  char *buf;
  size_t size;   // always more than the data held, for a last NUL
  size_t start;  // [start, end) is read and not yet handed out
  size_t end;
  bool atEnd;
  int error;  // the last error of a failed read, or 0
  // The bytes of the whole stream yet to read when its size is known, else
  // -1: the read that would only report its end is then not made.
  long long left;
  bool borrowed;  // buf is the caller's: never freed nor grown
};

void DictLLReader_Init(DictLLReader *reader, FILE *stream, bool wholeStream);
// For a whole stream of a regular file: its size at the open, which bounds
// the read. A kernel's file reports 0 and reads as empty: some never end
// (/proc/self/pagemap), and reading some takes what they hold (/proc/kmsg).
void DictLLReader_SetSize(DictLLReader *reader, long long size);
// A reader of text in hand: all of it held from the start (in a copy, which
// the lines are cut out of), with no stream behind. False when there was no
// memory for the copy.
bool DictLLReader_InitText(DictLLReader *reader, const char *text, size_t size);
// A reader of text in buf[0, size), which the caller keeps and whose byte
// buf[size] it may write: the lines are cut out of buf itself.
void DictLLReader_InitBuffer(DictLLReader *reader, char *buf, size_t size);
// DictLLReader_InitBuffer of the first size bytes of the descriptor fd, read
// into buf[0, size]: a file of known size that the caller reads whole,
// without the stream (and its system calls) a piecewise read needs. A read
// error is held, as DictLLReader_Next reports it after the whole lines read
// before it.
void DictLLReader_ReadWhole(DictLLReader *reader, int fd, char *buf, size_t size);
// Frees the buffer. Accepts a reader that never read.
void DictLLReader_Destroy(DictLLReader *reader);
// Reads the next piece (or line) behind what is held. False (last error set)
// when it could not have the memory for it.
bool DictLLReader_Fill(DictLLReader *reader);
// Reads one line (NUL bytes kept; CR LF reads as LF): *line, NUL-terminated,
// writable and without its LF, stays valid until the next call. Returns 0
// error (last error set: 7 when longer than maxLength, 0 for no limit), 1 end
// of file, 2 a line. A read failure part way through a line is a failure:
// the part is not handed out.
int DictLLReader_Next(DictLLReader *reader, size_t maxLength, char **line, size_t *length);

// Hands out a line already held, as DictLLReader_Next does; false when no
// whole line is held. Inline, so that a loop over the lines of a large file
// makes a call only once per piece.
inline bool DictLLReader_TakeLine(DictLLReader *r, char **line, size_t *length) {
  char *from = r->buf + r->start;
  char *lf =
      r->end > r->start ? static_cast<char *>(memchr(from, '\n', r->end - r->start)) : nullptr;
  if (lf == nullptr) {
    return false;
  }
  size_t len = static_cast<size_t>(lf - from);
  r->start += len + 1;
  // Text mode: CR LF reads as LF. A CR elsewhere is data.
  if (len > 0 && from[len - 1] == '\r') {
    len--;
  }
  from[len] = '\0';
  *line = from;
  *length = len;
  return true;
}

// The parts of an assignment, pointing into the scanned line. The value is
// raw: its "|" escapes are not yet undone.
struct DictLLAssignment {
  const char *name;
  size_t nameLength;
  const char *value;
  size_t valueLength;
  bool escaped;  // the value holds a "|"
};

// Scans line[0, length), which a NUL follows (scanning stops at its first
// NUL). Returns true and fills *out when the line is an assignment.
bool DictLL_ScanAssignment(const char *line, size_t length, DictLLAssignment *out);

// Returns true for a blank line or a comment line (after leading blanks,
// nothing or "#").
bool DictLL_IsBlankOrComment(const char *line);
