// The line format of dictionary files: reading lines of any length (NUL
// bytes kept, CR LF read as LF), and splitting one line into name and value.
// A reader of a whole stream reads it in large pieces; one that must leave
// the rest of the stream alone reads through getdelim, which reports how many
// bytes it stored even when the line holds NUL bytes. Running out of memory
// for a line is a read error (last error ENOMEM), so a file with an absurdly
// long line cannot stop the program.
#include "dict/dictll.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <bit>
#include <cstdlib>
#include <cstring>

#include "dict/dictllScan.h"
#include "host/fs.h"
#include "host/lastError.h"
#include "misc/escape.h"
#include "misc/panic.h"

namespace {

// The system's "argument list too long": a line over the caller's limit.
constexpr int kLineTooLongError = 7;
constexpr size_t kReadPiece = size_t{64} * 1024;

// Looked up rather than compared: blanks, and the bytes past the last whole
// step below.
struct ByteSet {
  bool has[256];
};

constexpr ByteSet kBlanks = [] {
  ByteSet set = {};
  set.has[static_cast<unsigned char>(' ')] = true;
  set.has[static_cast<unsigned char>('\t')] = true;
  return set;
}();

#if defined(__SSE2__)
// The bits of the bytes of p[0, 16) that are one of kEnds or a NUL.
template <char... kEnds>
unsigned Hits(const char *p) {
  __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
  __m128i hits = _mm_cmpeq_epi8(bytes, _mm_setzero_si128());
  ((hits = _mm_or_si128(hits, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(kEnds)))), ...);
  return static_cast<unsigned>(_mm_movemask_epi8(hits));
}
#endif

// The first byte from p on that is one of kEnds or a NUL, in the line
// [line, end] whose NUL is at end. Names and values are scanned on every
// line of every file: sixteen bytes a step, the last step ending at the NUL.
template <char... kEnds>
const char *SkipUntil(const char *p, const char *line, const char *end) {
#if defined(__SSE2__)
  if (end - line >= 15) {
    for (; end - p >= 15; p += 16) {
      if (unsigned mask = Hits<kEnds...>(p); mask != 0) {
        return p + std::countr_zero(mask);
      }
    }
    const char *last = end - 15;
    return p + std::countr_zero(Hits<kEnds...>(last) >> (p - last));  // the NUL is one
  }
#else
  (void)line;
  (void)end;
#endif
  static constexpr ByteSet kSet = [] {
    ByteSet set = {};
    set.has[0] = true;
    ((set.has[static_cast<unsigned char>(kEnds)] = true), ...);
    return set;
  }();
  while (!kSet.has[static_cast<unsigned char>(*p)]) {
    p++;
  }
  return p;
}

const char *SkipBlanks(const char *p) {
  while (kBlanks.has[static_cast<unsigned char>(*p)]) {
    p++;
  }
  return p;
}

void SetOutOfMemory() { Host_SetLastError(Host_ErrorCode(HOST_ERROR_NO_MEMORY)); }

char *CopyBytes(const char *bytes, size_t length) {
  char *copy = static_cast<char *>(malloc(length + 1));
  if (copy != nullptr) {
    memcpy(copy, bytes, length);
    copy[length] = '\0';
  }
  return copy;
}

// Splits a NUL-terminated line into heap name and value. Returns false only
// when memory ran out (outputs NULL then); a line that is no assignment gives
// true with NULL outputs.
bool SplitLine(const char *line, size_t length, char **name, char **value) {
  *name = nullptr;
  *value = nullptr;
  DictLLAssignment a;
  if (!DictLL_ScanAssignment(line, length, &a)) {
    return true;
  }
  *name = CopyBytes(a.name, a.nameLength);
  *value = Escape_Undo('|', a.value, a.valueLength, nullptr);
  if (*name == nullptr || *value == nullptr) {
    free(*name);
    free(*value);
    *name = nullptr;
    *value = nullptr;
    return false;
  }
  return true;
}

}  // namespace

void DictLLReader_Init(DictLLReader *reader, FILE *stream, bool wholeStream) {
  *reader = DictLLReader{};
  reader->stream = stream;
  reader->wholeStream = wholeStream;
  reader->left = -1;
}

void DictLLReader_SetSize(DictLLReader *reader, long long size) {
  reader->left = reader->wholeStream && size >= 0 ? size : -1;
}

bool DictLLReader_InitText(DictLLReader *reader, const char *text, size_t size) {
  *reader = DictLLReader{};
  char *copy = CopyBytes(text, size);
  if (copy == nullptr) {
    return false;
  }
  DictLLReader_InitBuffer(reader, copy, size);
  reader->borrowed = false;  // the copy is the reader's own
  return true;
}

void DictLLReader_InitBuffer(DictLLReader *reader, char *buf, size_t size) {
  *reader = DictLLReader{};
  reader->buf = buf;
  reader->buf[size] = '\0';
  reader->borrowed = true;
  reader->wholeStream = true;
  reader->size = size + 1;
  reader->end = size;
  reader->atEnd = true;
  reader->left = -1;
}

void DictLLReader_Destroy(DictLLReader *reader) {
  if (!reader->borrowed) free(reader->buf);
  reader->buf = nullptr;
  reader->size = 0;
}

namespace {

// Takes stream's error after a failed read.
void TakeReadError(DictLLReader *r, FILE *stream) {
  clearerr(stream);
  r->error = Host_GetLastError() != 0 ? Host_GetLastError() : Host_ErrorCode(HOST_ERROR_OTHER);
}

// One line through getdelim, which reads no further than its LF. Called only
// when nothing is held: a line without LF ends the stream.
bool FillLine(DictLLReader *r) {
  r->start = 0;
  r->end = 0;
  auto n = getdelim(&r->buf, &r->size, '\n', r->stream);
  if (ferror(r->stream)) {
    TakeReadError(r, r->stream);
  } else if (n < 0) {
    if (Host_GetLastError() != 0 && !feof(r->stream)) {
      return false;  // getdelim refused before reading (e.g. no memory for its buffer)
    }
    r->atEnd = true;
  } else {
    r->end = static_cast<size_t>(n);
    r->atEnd = n == 0 || r->buf[n - 1] != '\n';
  }
  return true;
}

// The next large piece, behind the part of a line already held.
bool FillPiece(DictLLReader *r) {
  if (r->start > 0) {
    memmove(r->buf, r->buf + r->start, r->end - r->start);
    r->end -= r->start;
    r->start = 0;
  }
  if (r->size - r->end < kReadPiece / 2) {
    // A line longer than the buffer: make room for more of it.
    // A file smaller than a piece needs no more room than it has bytes.
    size_t first = r->left >= 0 && static_cast<unsigned long long>(r->left) < kReadPiece
                       ? static_cast<size_t>(r->left)
                       : kReadPiece;
    size_t size = r->size == 0 ? first + 1 : (r->size - 1) * 2 + 1;
    char *buf = size > r->size ? static_cast<char *>(realloc(r->buf, size)) : nullptr;
    if (buf == nullptr) {
      SetOutOfMemory();
      return false;
    }
    r->buf = buf;
    r->size = size;
  }
  size_t want = r->size - 1 - r->end;
  bool toTheEnd = r->left >= 0 && static_cast<unsigned long long>(r->left) <= want;
  if (toTheEnd) {
    want = static_cast<size_t>(r->left);
  }
  size_t got = fread(r->buf + r->end, 1, want, r->stream);
  r->end += got;
  if (r->left >= 0) {
    r->left -= static_cast<long long>(got);
  }
  if (toTheEnd && got == want) {
    // What the file held at the open is read, as the configurations are.
    r->atEnd = true;
  } else if (got < want) {
    if (ferror(r->stream)) {
      TakeReadError(r, r->stream);
    } else {
      r->atEnd = true;
    }
  }
  return true;
}

}  // namespace

void DictLLReader_ReadWhole(DictLLReader *reader, int fd, char *buf, size_t size) {
  Host_SetLastError(0);
  size_t got = 0;
  int error = 0;
  while (got < size) {
    long n = HostFile_Read(fd, buf + got, size - got);
    if (n < 0) {
      error = Host_GetLastError() != 0 ? Host_GetLastError() : Host_ErrorCode(HOST_ERROR_OTHER);
      break;
    }
    if (n == 0) break;  // the file shrank meanwhile
    got += static_cast<size_t>(n);
  }
  DictLLReader_InitBuffer(reader, buf, got);
  reader->error = error;
}

bool DictLLReader_Fill(DictLLReader *reader) {
  // A clean end of file leaves the last error alone: clear it so that a
  // stale value is never mistaken for this read's.
  Host_SetLastError(0);
  if (reader->stream == nullptr) {
    return true;  // text in hand: all of it is held
  }
  return reader->wholeStream ? FillPiece(reader) : FillLine(reader);
}

int DictLLReader_Next(DictLLReader *r, size_t maxLength, char **line, size_t *length) {
  while (!DictLLReader_TakeLine(r, line, length)) {
    if (r->error != 0) {
      Host_SetLastError(r->error);
      return 0;
    }
    if (r->atEnd) {
      if (r->start == r->end) {
        return 1;
      }
      // The last line, without its LF.
      *line = r->buf + r->start;
      *length = r->end - r->start;
      (*line)[*length] = '\0';
      r->start = r->end;
      break;
    }
    if (!DictLLReader_Fill(r)) {
      return 0;
    }
  }
  if (maxLength != 0 && *length > maxLength) {
    Host_SetLastError(kLineTooLongError);
    return 0;
  }
  return 2;
}

bool DictLL_IsBlankOrComment(const char *line) {
  const char *p = SkipBlanks(line);
  return *p == '\0' || *p == '#';
}

bool DictLL_ScanAssignment(const char *line, size_t length, DictLLAssignment *out) {
  const char *end = line + length;
  const char *p = SkipBlanks(line);
  const char *name = p;
  p = SkipUntil<' ', '\t', '#', '='>(p, line, end);
  const char *nameEnd = p;
  p = SkipBlanks(p);
  if (nameEnd == name || *p != '=') {
    return false;
  }
  p = SkipBlanks(p + 1);
  const char *value;
  const char *valueEnd;
  // A "|" stops the value's scan only to be noted: most values have none,
  // and a loader then need not look for escapes again.
  bool escaped = false;
  if (*p == '"') {
    value = ++p;
    while (*(p = SkipUntil<'"', '|'>(p, line, end)) == '|') {
      escaped = true;
      p++;
    }
    if (*p != '"') {
      return false;
    }
    valueEnd = p++;
  } else {
    value = p;
    while (*(p = SkipUntil<' ', '\t', '#', '|'>(p, line, end)) == '|') {
      escaped = true;
      p++;
    }
    valueEnd = p;
  }
  p = SkipBlanks(p);
  if (*p != '\0' && *p != '#') {
    return false;
  }
  out->name = name;
  out->nameLength = static_cast<size_t>(nameEnd - name);
  out->value = value;
  out->valueLength = static_cast<size_t>(valueEnd - value);
  out->escaped = escaped;
  return true;
}

int ReadNextLine(FILE *stream, char **buf, size_t maxLength, size_t *length) {
  DictLLReader reader;
  DictLLReader_Init(&reader, stream, false);
  char *line;
  size_t len;
  int result = DictLLReader_Next(&reader, maxLength, &line, &len);
  if (result != 2) {
    DictLLReader_Destroy(&reader);
    return result;
  }
  // The line starts the buffer. Hand out a buffer of the line's size;
  // keeping the larger one is harmless when the shrink itself fails.
  char *shrunk = static_cast<char *>(realloc(reader.buf, len + 1));
  *buf = shrunk != nullptr ? shrunk : reader.buf;
  *length = len;
  return 2;
}

int DictLL_ReadLine(FILE *stream, char **line, char **name, char **value) {
  *line = nullptr;
  *name = nullptr;
  *value = nullptr;
  char *buf;
  size_t len;
  int result = ReadNextLine(stream, &buf, 0, &len);
  if (result != 2) {
    return result;
  }
  // The buffer already is the line's text without its LF, NUL terminated.
  if (!SplitLine(buf, len, name, value)) {
    free(buf);
    SetOutOfMemory();
    return 0;
  }
  *line = buf;
  return 2;
}

const char *DictLL_UnmarshalLine(const char *buf, size_t length, char **line, char **name,
                                 char **value) {
  *line = nullptr;
  *name = nullptr;
  *value = nullptr;
  if (length == 0) {
    return nullptr;
  }
  const char *lf = static_cast<const char *>(memchr(buf, '\n', length));
  size_t lineLength = lf != nullptr ? static_cast<size_t>(lf - buf) : length;
  const char *rest = lf != nullptr ? lf + 1 : buf + length;
  *line = CopyBytes(buf, lineLength);
  if (*line == nullptr || !SplitLine(*line, lineLength, name, value)) {
    PANIC_MEM_ALLOC();
  }
  return rest;
}
