// Loading a dictionary file: every line is kept, each assignment becomes an
// entry unless its name is already taken, and the first syntax error ends the
// load with what was read before it. Lines are read into one reused buffer
// (the reader of lib/dict, which owns the stream and reads it in large pieces)
// and split in place; only what the dictionary keeps is copied, straight into
// its storage. A line too long for the memory ends the load as a read error.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dict/dictllScan.h"
#include "host/fs.h"
#include "host/lastError.h"
#include "host/lookup.h"
#include "misc/err.h"
#include "misc/escape.h"
#include "misc/panic.h"
#include "string/str.h"
#include "user/dictionary.h"
#include "user/msg.h"

namespace {

// Files from this size on have their storage filled in ahead (see
// DictionaryStartFillingIn); for smaller ones a helper thread costs more than
// it saves.
constexpr long long kFillInFrom = 8LL << 20;

// Files below this size are indexed line by line as they are read: their
// index stays in the cache, where the queue below only costs time.
constexpr long long kQueueFrom = 1LL << 20;
// The index of a small file is sized for a name per this many bytes of it,
// about the shortest lines of configurations, so that it seldom grows.
constexpr long long kBytesPerName = 24;

// The record and its text in one piece of storage: one allocation a line.
DictLine *StoreLine(Dictionary *dict, const char *text, size_t length) {
  if (length > SIZE_MAX - sizeof(DictLine) - 1) {
    return nullptr;
  }
  DictLine *line = static_cast<DictLine *>(
      DictionaryStoreAlloc(dict, sizeof(DictLine) + length + 1, alignof(DictLine)));
  if (line == nullptr) {
    return nullptr;
  }
  line->text = reinterpret_cast<char *>(line + 1);
  memcpy(line->text, text, length);
  line->text[length] = '\0';
  line->entry = nullptr;
  line->next = nullptr;
  DictionaryAppend(&dict->firstLine, &dict->lastLine, line);
  return line;
}

// Returns the value with its escapes undone, in the dictionary's storage.
char *StoreValue(Dictionary *dict, const char *raw, size_t length) {
  size_t decodedLength;
  char *decoded = Escape_Undo('|', raw, length, &decodedLength);
  if (decoded == nullptr) {
    return nullptr;
  }
  char *value = DictionaryStoreCopy(dict, decoded, decodedLength);
  free(decoded);
  return value;
}

// Assignments wait in a short queue between reading and indexing: each
// waits while the index slots of its name are fetched from memory, which on
// a large file is where a load otherwise spends most of its time. The queue
// is worked off in file order, so entries, duplicates and messages come out
// as if every line were indexed when read.
constexpr unsigned kQueueLength = 8;

struct PendingAssignment {
  DictLine *line;
  const char *name;  // inside the kept line text
  size_t nameLength;
  const char *value;
  size_t valueLength;
  bool escaped;
  uint32_t hash;
  int lineNumber;
};

struct Loader {
  Dictionary *dict;
  int flags;
  bool duplicate;
  bool direct;   // a small file: no queue
  bool inPlace;  // no lines kept; names and values end in place in the text
  PendingAssignment queue[kQueueLength];
  unsigned head;
  unsigned count;
};

void AppendReadError(const Dictionary *dict, int linesProcessed) {
  Msg_Append(MSGID(dictionary.read.readError) "File \"%s\" line %d: %s.\n",
             Str_Printable(dict->loadFileName, STR_SHOWN_NAME).c_str(), linesProcessed,
             Err_ErrString());
}

void AppendDuplicate(const Dictionary *dict, const PendingAssignment &a) {
  // The name is a piece of the kept line: the message needs it on its own.
  char *name = static_cast<char *>(malloc(a.nameLength + 1));
  if (name == nullptr) PANIC_MEM_ALLOC();
  memcpy(name, a.name, a.nameLength);
  name[a.nameLength] = '\0';
  Msg_Append(MSGID(dictionary.alreadyDefined) "File \"%s\" line %d: Variable `%s' is already "
                                              "defined.\n",
             Str_Printable(dict->loadFileName, STR_SHOWN_NAME).c_str(),
             a.lineNumber, Str_Printable(name, STR_SHOWN_NAME).c_str());
  free(name);
}

// memcpy, with the short pieces of a line (up to 64 bytes: most names,
// values and lines) moved in two fixed-size moves that may overlap, without
// a call: a load makes three copies a line.
inline void CopyPiece(char *to, const char *from, size_t length) {
  if (length > 64) {
    memcpy(to, from, length);
  } else if (length >= 32) {
    memcpy(to, from, 32);
    memcpy(to + length - 32, from + length - 32, 32);
  } else if (length >= 16) {
    memcpy(to, from, 16);
    memcpy(to + length - 16, from + length - 16, 16);
  } else if (length >= 8) {
    memcpy(to, from, 8);
    memcpy(to + length - 8, from + length - 8, 8);
  } else if (length >= 4) {
    memcpy(to, from, 4);
    memcpy(to + length - 4, from + length - 4, 4);
  } else if (length > 0) {
    to[0] = from[0];
    to[length / 2] = from[length / 2];
    to[length - 1] = from[length - 1];
  }
}

// Copies name and value, each NUL-terminated, to one after the other at to;
// returns where the value went.
char *CopyNameAndValue(char *to, const char *name, size_t nameLength, const char *value,
                       size_t valueLength) {
  CopyPiece(to, name, nameLength);
  to[nameLength] = '\0';
  char *valueCopy = to + nameLength + 1;
  CopyPiece(valueCopy, value, valueLength);
  valueCopy[valueLength] = '\0';
  return valueCopy;
}

// Adds the entry of line, whose name and value are in the storage (value
// NULL: there was no memory for them). False when memory ran out: the load
// then ends as a read error at that line, and the lines read after it are
// dropped. Inline in both callers: it runs once a line.
inline __attribute__((always_inline)) bool AddEntry(Loader *loader, DictLine *line, char *name,
                                                    char *value, uint32_t hash, int lineNumber) {
  Dictionary *dict = loader->dict;
  DictEntry *entry = value != nullptr ? DictionaryAddEntry(dict, name, hash, DICT_ANY,
                                                           static_cast<unsigned>(loader->flags))
                                      : nullptr;
  if (entry == nullptr) {
    if (line != nullptr) {
      line->next = nullptr;
      dict->lastLine = line;
    }
    Host_SetLastError(Host_ErrorCode(HOST_ERROR_NO_MEMORY));
    AppendReadError(dict, lineNumber - 1);
    return false;
  }
  entry->value.stringValue = value;
  entry->line = line;
  if (line != nullptr) {
    line->entry = entry;
  }
  return true;
}

// Indexes one assignment. False when memory ran out: the load then ends as a
// read error at that line, and the lines read after it are dropped.
bool Commit(Loader *loader, const PendingAssignment &a) {
  Dictionary *dict = loader->dict;
  if (DictionaryFind(dict, a.name, a.nameLength, a.hash) != nullptr) {
    AppendDuplicate(dict, a);
    loader->duplicate = true;
    return true;
  }
  char *name;
  char *value;
  if (!a.escaped) {
    // Nothing to undo: name and value share one piece of storage. Both are
    // parts of a line held in memory, so their sum cannot overflow.
    name = static_cast<char *>(DictionaryStoreAlloc(dict, a.nameLength + a.valueLength + 2, 1));
    value = name != nullptr ? CopyNameAndValue(name, a.name, a.nameLength, a.value, a.valueLength)
                            : nullptr;
  } else {
    name = DictionaryStoreCopy(dict, a.name, a.nameLength);
    value = name != nullptr ? StoreValue(dict, a.value, a.valueLength) : nullptr;
  }
  return AddEntry(loader, a.line, name, value, a.hash, a.lineNumber);
}

// Indexes the oldest waiting assignment. False when it ran out of memory:
// the ones behind it are dropped.
bool CommitOldest(Loader *loader) {
  const PendingAssignment &a = loader->queue[loader->head];
  loader->head = (loader->head + 1) % kQueueLength;
  loader->count--;
  if (!Commit(loader, a)) {
    loader->count = 0;
    return false;
  }
  return true;
}

// Indexes every waiting assignment. False when one ran out of memory.
bool Flush(Loader *loader) {
  while (loader->count > 0) {
    if (!CommitOldest(loader)) return false;
  }
  return true;
}

enum LineResult { kLineKept, kLineSyntaxError, kLineNoMemory, kLineCommitFailed };

// Whether no entry has the name yet. Most names of a load are new, and the
// index tells them by their hash alone.
bool NameIsNew(Dictionary *dict, const char *name, size_t length, uint32_t hash) {
  return DictionaryLacksHash(dict, hash) || DictionaryFind(dict, name, length, hash) == nullptr;
}

// An assignment of a small file, indexed as it is read. A new name whose
// value has nothing to undo takes one piece of storage for the line record,
// its text, the name and the value; any other line is kept and committed as
// a queued one would be, which also brings the same failures.
LineResult AddAssignmentNow(Loader *loader, const char *text, size_t length,
                            const DictLLAssignment &a) {
  Dictionary *dict = loader->dict;
  uint32_t hash = HashTable_HashName(a.name, a.nameLength);
  if (!a.escaped && NameIsNew(dict, a.name, a.nameLength, hash) &&
      length <= SIZE_MAX / 2 - sizeof(DictLine)) {
    char *piece = static_cast<char *>(DictionaryStoreAlloc(
        dict, sizeof(DictLine) + length + a.nameLength + a.valueLength + 3, alignof(DictLine)));
    if (piece != nullptr) {
      DictLine *line = reinterpret_cast<DictLine *>(piece);
      line->text = piece + sizeof(DictLine);
      CopyPiece(line->text, text, length);
      line->text[length] = '\0';
      char *name = line->text + length + 1;
      char *value = CopyNameAndValue(name, a.name, a.nameLength, a.value, a.valueLength);
      line->entry = nullptr;
      line->next = nullptr;
      DictionaryAppend(&dict->firstLine, &dict->lastLine, line);
      return AddEntry(loader, line, name, value, hash, dict->loadLineCount) ? kLineKept
                                                                            : kLineCommitFailed;
    }
  }
  DictLine *line = StoreLine(dict, text, length);
  if (line == nullptr) {
    return kLineNoMemory;
  }
  PendingAssignment p = {.line = line,
                         .name = line->text + (a.name - text),
                         .nameLength = a.nameLength,
                         .value = line->text + (a.value - text),
                         .valueLength = a.valueLength,
                         .escaped = a.escaped,
                         .hash = hash,
                         .lineNumber = dict->loadLineCount};
  return Commit(loader, p) ? kLineKept : kLineCommitFailed;
}

// An assignment of a text the dictionary holds, when it keeps no lines: the
// name and the value are cut out where they lie, and only a value with
// escapes to undo is copied.
LineResult AddAssignmentInPlace(Loader *loader, const DictLLAssignment &a) {
  Dictionary *dict = loader->dict;
  uint32_t hash = HashTable_HashName(a.name, a.nameLength);
  if (!NameIsNew(dict, a.name, a.nameLength, hash)) {
    AppendDuplicate(
        dict, {.name = a.name, .nameLength = a.nameLength, .lineNumber = dict->loadLineCount});
    loader->duplicate = true;
    return kLineKept;
  }
  // The line is scanned: the bytes after its name and its value are free.
  char *name = const_cast<char *>(a.name);
  name[a.nameLength] = '\0';
  char *value;
  if (a.escaped) {
    value = StoreValue(dict, a.value, a.valueLength);
  } else {
    value = const_cast<char *>(a.value);
    value[a.valueLength] = '\0';
  }
  return AddEntry(loader, nullptr, name, value, hash, dict->loadLineCount) ? kLineKept
                                                                           : kLineCommitFailed;
}

LineResult AddLine(Loader *loader, const char *text, size_t length) {
  Dictionary *dict = loader->dict;
  DictLLAssignment a;
  bool assignment = DictLL_ScanAssignment(text, length, &a);
  if (!assignment && !DictLL_IsBlankOrComment(text)) {
    return kLineSyntaxError;
  }
  if (loader->inPlace) {
    return assignment ? AddAssignmentInPlace(loader, a) : kLineKept;
  }
  if (assignment && loader->direct) {
    return AddAssignmentNow(loader, text, length, a);
  }
  DictLine *line = StoreLine(dict, text, length);
  if (line == nullptr) {
    return kLineNoMemory;
  }
  if (!assignment) {
    return kLineKept;
  }
  if (loader->count == kQueueLength && !CommitOldest(loader)) {
    return kLineCommitFailed;
  }
  PendingAssignment &p = loader->queue[(loader->head + loader->count) % kQueueLength];
  loader->count++;
  // The kept copy of the line outlives the read buffer; point into it.
  p.line = line;
  p.name = line->text + (a.name - text);
  p.nameLength = a.nameLength;
  p.value = line->text + (a.value - text);
  p.valueLength = a.valueLength;
  p.escaped = a.escaped;
  p.hash = HashTable_HashName(p.name, p.nameLength);
  p.lineNumber = dict->loadLineCount;
  DictionaryPrefetch(dict, p.hash);
  return kLineKept;
}

// A large file gets its index sized up front from the assignments of its
// first piece, scaled to the whole file: regrowing an index of a million
// names moves every one of them, twice over in all.
void ReserveFromSample(Dictionary *dict, const DictLLReader *r, long long fileSize) {
  if (r->atEnd || r->error != 0 || r->end == 0 || fileSize <= 0) {
    return;
  }
  size_t assignments = 0;
  const char *p = r->buf;
  const char *end = r->buf + r->end;
  while (p < end) {
    const char *lf = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
    const char *lineEnd = lf != nullptr ? lf : end;
    if (memchr(p, '=', static_cast<size_t>(lineEnd - p)) != nullptr) {
      assignments++;
    }
    p = lineEnd + 1;
  }
  double estimate = static_cast<double>(assignments) * static_cast<double>(fileSize) /
                    static_cast<double>(r->end);
  // Lines tend to grow longer down a file (numbers in the names gain
  // digits), and a regrowth costs less than an index twice too large, so the
  // guess is kept low. A first piece unlike the rest must not size the index
  // past a fraction of the memory the file's lines take anyway.
  estimate = estimate * 3 / 4;
  double cap = static_cast<double>(fileSize) / 32;
  if (estimate > cap) {
    estimate = cap;
  }
  DictionaryReserve(dict, estimate < 1e9 ? static_cast<uint32_t>(estimate) : uint32_t{1000000000});
}

// Reads the lines of reader, set up by the caller, and destroys it.
bool ReadLines(Dictionary *dict, DictLLReader &reader, int flags, long long fileSize) {
  // A failure here shows again at the first line.
  (void)DictLLReader_Fill(&reader);
  Loader loader = {};
  loader.dict = dict;
  loader.flags = flags;
  loader.direct = fileSize >= 0 && fileSize < kQueueFrom;
  loader.inPlace = loader.direct && reader.borrowed && (flags & DICT_LOAD_READ_ONLY) != 0;
  if (loader.direct) {
    DictionaryReserve(dict, static_cast<uint32_t>(fileSize / kBytesPerName));
  } else {
    ReserveFromSample(dict, &reader, fileSize);
  }
  bool ok;
  for (;;) {
    char *text;
    size_t length;
    int got = DictLLReader_TakeLine(&reader, &text, &length)
                  ? 2
                  : DictLLReader_Next(&reader, 0, &text, &length);
    if (got == 0) {
      // Keep the read's error across the indexing of the waiting lines.
      int error = Host_GetLastError();
      ok = false;
      if (Flush(&loader)) {
        Host_SetLastError(error);
        AppendReadError(dict, dict->loadLineCount);
      }
      break;
    }
    if (got == 1) {
      ok = Flush(&loader) && !loader.duplicate;
      break;
    }
    int processed = dict->loadLineCount;
    if (dict->loadLineCount < INT_MAX) {
      dict->loadLineCount++;
    }
    LineResult result = AddLine(&loader, text, length);
    if (result == kLineKept) {
      continue;
    }
    ok = false;
    if (result == kLineCommitFailed || !Flush(&loader)) {
      break;
    }
    if (result == kLineSyntaxError) {
      Msg_Append(MSGID(dictionary.read.syntaxError) "File \"%s\" line %d: Syntax error.\n",
                 Str_Printable(dict->loadFileName, STR_SHOWN_NAME).c_str(), dict->loadLineCount);
    } else {
      Host_SetLastError(Host_ErrorCode(HOST_ERROR_NO_MEMORY));
      AppendReadError(dict, processed);
    }
    break;
  }
  DictLLReader_Destroy(&reader);
  return ok;
}

// Opens path for a load and sets *size to its size; HOSTFILE_INVALID, with
// the reason appended, when it cannot be loaded. Only a regular file is
// opened: a FIFO would block the open, and a device such as /dev/zero never
// ends. With absent given, a path the system cannot look at sets *absent
// instead of a message.
int OpenForLoad(const char *path, int flags, long long *size, bool *absent = nullptr) {
  // The open comes first and tells the size and kind in one step; only a
  // failure takes the slower look that names the reason.
  int fd = HostFile_OpenRegular(path, size);
  if (fd == HOSTFILE_INVALID) {
    int error = Host_GetLastError();
    bool isDirectory = false;
    if (!HostFs_Stat(path, &isDirectory)) {
      if (absent != nullptr) {
        *absent = true;
        return HOSTFILE_INVALID;
      }
      Msg_Append(MSGID(dictionary.load.statFailed) "Unable to get information about file "
                                                   "\"%s\": %s.\n",
                 Str_Printable(path, STR_SHOWN_NAME).c_str(), Err_ErrString());
      return HOSTFILE_INVALID;
    }
    if (isDirectory) {
      Msg_Append(MSGID(dictionary.load.isDirectory) "\"%s\" is a directory.\n",
                 Str_Printable(path, STR_SHOWN_NAME).c_str());
      return HOSTFILE_INVALID;
    }
    Host_SetLastError(error);
    Msg_Append(MSGID(dictionary.load.openFailed) "Cannot open file \"%s\": %s.\n",
               Str_Printable(path, STR_SHOWN_NAME).c_str(), Err_ErrString());
    return HOSTFILE_INVALID;
  }
  if ((flags & DICT_LOAD_BOUNDED) != 0 && *size > DICT_LOAD_BOUND) {
    HostFile_Close(fd);
    Host_SetLastError(EFBIG);
    Msg_Append(MSGID(dictionary.load.openFailed) "Cannot open file \"%s\": %s.\n",
               Str_Printable(path, STR_SHOWN_NAME).c_str(), Err_ErrString());
    return HOSTFILE_INVALID;
  }
  return fd;
}

// The opened file as a stream for a piecewise read; NULL, with the reason
// appended and fd closed, when there is none.
FILE *StreamOf(int fd, const char *path) {
  FILE *stream = fdopen(fd, "r");
  if (stream == nullptr) {
    Msg_Append(MSGID(dictionary.load.openFailed) "Cannot open file \"%s\": %s.\n",
               Str_Printable(path, STR_SHOWN_NAME).c_str(), Err_ErrString());
    HostFile_Close(fd);
    return nullptr;
  }
  // The reader asks for large pieces: let them go straight to it.
  setvbuf(stream, nullptr, _IONBF, 0);
  return stream;
}

bool LoadStream(Dictionary *dict, FILE *stream, const char *fileName, long long fileSize,
                int flags);
bool LoadOpened(Dictionary *dict, int fd, const char *fileName, long long fileSize, int flags);

// Whether a file of size is read whole into the dictionary's storage: a
// small one that is only read.
bool WholeTextWanted(long long size, int flags) {
  return (flags & DICT_LOAD_READ_ONLY) != 0 && size > 0 && size < kQueueFrom;
}

// Room in the just cleared dictionary's storage for the whole text of such a
// file, where its names and values then stay; NULL for any other load.
char *WholeTextRoom(Dictionary *dict, long long size, int flags) {
  if (!WholeTextWanted(size, flags)) {
    return nullptr;
  }
  return static_cast<char *>(DictionaryStoreAlloc(dict, static_cast<size_t>(size) + 1, 1));
}
bool LoadFrom(Dictionary *dict, DictLLReader &reader, const char *fileName, long long fileSize,
              int flags);

}  // namespace

bool Dictionary_Load(Dictionary *dict, const char *path, int flags) {
  VERIFY(dict != nullptr);
  VERIFY(dict->loadFileName == nullptr);  // loads do not nest
  if (path == nullptr) {
    Dictionary_Clear(dict);
    return true;
  }
  if (strcmp(path, "-") == 0) {
    return LoadStream(dict, stdin, "<stdin>", -1, flags);
  }
  long long fileSize = -1;
  int fd = OpenForLoad(path, flags, &fileSize);
  if (fd == HOSTFILE_INVALID) {
    return false;
  }
  return LoadOpened(dict, fd, path, fileSize, flags);
}

bool Dictionary_LoadIfPresent(Dictionary *dict, const char *path, int flags, bool *present) {
  VERIFY(dict != nullptr && path != nullptr);
  VERIFY(dict->loadFileName == nullptr);  // loads do not nest
  bool absent = false;
  long long fileSize = -1;
  int fd = OpenForLoad(path, flags, &fileSize, &absent);
  if (present != nullptr) {
    *present = !absent;
  }
  if (fd == HOSTFILE_INVALID) {
    return absent;
  }
  return LoadOpened(dict, fd, path, fileSize, flags);
}

bool Dictionary_LoadText(Dictionary *dict, const char *path, const char *text, size_t size,
                         int flags) {
  VERIFY(dict != nullptr);
  VERIFY(dict->loadFileName == nullptr);  // loads do not nest
  if (size == 0 || path == nullptr) {
    return Dictionary_Load(dict, path, flags);
  }
  Dictionary_Clear(dict);
  DictLLReader reader;
  if (char *copy = WholeTextRoom(dict, static_cast<long long>(size), flags); copy != nullptr) {
    memcpy(copy, text, size);
    DictLLReader_InitBuffer(&reader, copy, size);
  } else if (!DictLLReader_InitText(&reader, text, size)) {
    // Without the memory for a copy the file is read again instead.
    return Dictionary_Load(dict, path, flags);
  }
  return LoadFrom(dict, reader, path, static_cast<long long>(size), flags);
}

namespace {

bool LoadStream(Dictionary *dict, FILE *stream, const char *fileName, long long fileSize,
                int flags) {
  Dictionary_Clear(dict);
  DictLLReader reader;
  DictLLReader_Init(&reader, stream, true);
  DictLLReader_SetSize(&reader, fileSize);
  bool ok = LoadFrom(dict, reader, fileName, fileSize, flags);
  if (stream != stdin) {
    fclose(stream);
  }
  return ok;
}

// A small file that is only read is read whole through its descriptor, into
// the storage its names and values stay in; any other through a stream.
bool LoadOpened(Dictionary *dict, int fd, const char *fileName, long long fileSize, int flags) {
  char *room = nullptr;
  if (WholeTextWanted(fileSize, flags)) {
    Dictionary_Clear(dict);
    room = WholeTextRoom(dict, fileSize, flags);
  }
  if (room == nullptr) {
    FILE *stream = StreamOf(fd, fileName);
    return stream != nullptr && LoadStream(dict, stream, fileName, fileSize, flags);
  }
  DictLLReader reader;
  DictLLReader_ReadWhole(&reader, fd, room, static_cast<size_t>(fileSize));
  HostFile_Close(fd);
  return LoadFrom(dict, reader, fileName, fileSize, flags);
}

bool LoadFrom(Dictionary *dict, DictLLReader &reader, const char *fileName, long long fileSize,
              int flags) {
  dict->loadFileName = fileName;
  dict->loadLineCount = 0;
  if (fileSize >= kFillInFrom) {
    DictionaryStartFillingIn(dict);
  }
  bool ok = ReadLines(dict, reader, flags, fileSize);
  DictionaryStopFillingIn(dict);
  dict->loadFileName = nullptr;
  dict->loadLineCount = 0;
  return ok;
}

}  // namespace
