// Loading a dictionary file: every line is kept, each assignment becomes an
// entry unless its name is already taken, and the first syntax error ends the
// load with what was read before it. Lines are read into one reused buffer
// and split in place; only what the dictionary keeps is copied, straight into
// its storage. A line too long for the memory ends the load as a read error.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dict/dictllScan.h"
#include "host/fs.h"
#include "host/lastError.h"
#include "misc/err.h"
#include "misc/escape.h"
#include "misc/panic.h"
#include "user/dictionary.h"
#include "user/msg.h"

namespace {

constexpr size_t kStreamBuffer = size_t{64} * 1024;

DictLine *StoreLine(Dictionary *dict, const char *text, size_t length) {
  DictLine *line =
      static_cast<DictLine *>(DictionaryStoreAlloc(dict, sizeof(DictLine), alignof(DictLine)));
  if (line == nullptr) {
    return nullptr;
  }
  line->text = DictionaryStoreCopy(dict, text, length);
  if (line->text == nullptr) {
    return nullptr;
  }
  line->entry = nullptr;
  line->next = nullptr;
  if (dict->lastLine != nullptr) {
    dict->lastLine->next = line;
  } else {
    dict->firstLine = line;
  }
  dict->lastLine = line;
  return line;
}

// Returns the value with its escapes undone, in the dictionary's storage.
char *StoreValue(Dictionary *dict, const char *raw, size_t length) {
  if (memchr(raw, '|', length) == nullptr) {
    return DictionaryStoreCopy(dict, raw, length);
  }
  size_t decodedLength;
  char *decoded = Escape_Undo('|', raw, length, &decodedLength);
  if (decoded == nullptr) {
    return nullptr;
  }
  char *value = DictionaryStoreCopy(dict, decoded, decodedLength);
  free(decoded);
  return value;
}

enum LineResult { kLineKept, kLineDuplicate, kLineSyntaxError, kLineNoMemory };

LineResult AddLine(Dictionary *dict, char *text, size_t length, int flags) {
  DictLLAssignment a;
  if (!DictLL_ScanAssignment(text, &a)) {
    if (!DictLL_IsBlankOrComment(text)) {
      return kLineSyntaxError;
    }
    return StoreLine(dict, text, length) != nullptr ? kLineKept : kLineNoMemory;
  }
  DictLine *line = StoreLine(dict, text, length);
  if (line == nullptr) {
    return kLineNoMemory;
  }
  // A duplicate's name, value and entry are handed back to the storage.
  DictStoreBlock *markBlock = dict->store;
  char *markNext = dict->storeNext;
  size_t markLeft = dict->storeLeft;

  DictEntry *entry =
      static_cast<DictEntry *>(DictionaryStoreAlloc(dict, sizeof(DictEntry), alignof(DictEntry)));
  char *name = entry != nullptr ? DictionaryStoreCopy(dict, a.name, a.nameLength) : nullptr;
  char *value = name != nullptr ? StoreValue(dict, a.value, a.valueLength) : nullptr;
  if (value == nullptr) {
    return kLineNoMemory;
  }
  entry->name = name;
  entry->value.stringValue = value;
  entry->line = line;
  entry->next = nullptr;
  entry->type = DICT_ANY;
  entry->flags = static_cast<unsigned>(flags) & 15;
  if (!HashTable_Insert(dict->index, name, entry)) {
    Msg_Append(MSGID(dictionary.alreadyDefined) "File \"%s\" line %d: Variable `%s' is already "
                                                "defined.\n",
               dict->loadFileName, dict->loadLineCount, name);
    if (dict->store == markBlock) {
      dict->storeNext = markNext;
      dict->storeLeft = markLeft;
    }
    return kLineDuplicate;
  }
  line->entry = entry;
  if (dict->lastEntry != nullptr) {
    dict->lastEntry->next = entry;
  } else {
    dict->firstEntry = entry;
  }
  dict->lastEntry = entry;
  return kLineKept;
}

void AppendReadError(const Dictionary *dict, int linesProcessed) {
  Msg_Append(MSGID(dictionary.read.readError) "File \"%s\" line %d: %s.\n", dict->loadFileName,
             linesProcessed, Err_ErrString());
}

bool ReadLines(Dictionary *dict, FILE *stream, int flags) {
  DictLLReader reader;
  DictLLReader_Init(&reader);
  bool duplicate = false;
  bool ok;
  for (;;) {
    char *text;
    size_t length;
    int got = DictLLReader_Next(&reader, stream, 0, &text, &length);
    if (got == 0) {
      AppendReadError(dict, dict->loadLineCount);
      ok = false;
      break;
    }
    if (got == 1) {
      ok = !duplicate;
      break;
    }
    int processed = dict->loadLineCount;
    if (dict->loadLineCount < INT_MAX) {
      dict->loadLineCount++;
    }
    LineResult result = AddLine(dict, text, length, flags);
    if (result == kLineSyntaxError) {
      Msg_Append(MSGID(dictionary.read.syntaxError) "File \"%s\" line %d: Syntax error.\n",
                 dict->loadFileName, dict->loadLineCount);
      ok = false;
      break;
    }
    if (result == kLineNoMemory) {
      Host_SetLastError(Host_ErrorCode(HOST_ERROR_NO_MEMORY));
      AppendReadError(dict, processed);
      ok = false;
      break;
    }
    duplicate |= result == kLineDuplicate;
  }
  DictLLReader_Destroy(&reader);
  return ok;
}

}  // namespace

bool Dictionary_Load(Dictionary *dict, const char *path, int flags) {
  VERIFY(dict != nullptr);
  VERIFY(dict->loadFileName == nullptr);  // loads do not nest
  if (path == nullptr) {
    Dictionary_Clear(dict);
    return true;
  }
  FILE *stream;
  const char *fileName;
  if (strcmp(path, "-") == 0) {
    stream = stdin;
    fileName = "<stdin>";
  } else {
    bool isDirectory;
    if (!HostFs_Stat(path, &isDirectory)) {
      Msg_Append(MSGID(dictionary.load.statFailed) "Unable to get information about file "
                                                   "\"%s\": %s.\n",
                 path, Err_ErrString());
      return false;
    }
    if (isDirectory) {
      Msg_Append(MSGID(dictionary.load.isDirectory) "\"%s\" is a directory.\n", path);
      return false;
    }
    stream = fopen(path, "r");
    if (stream == nullptr) {
      Msg_Append(MSGID(dictionary.load.openFailed) "Cannot open file \"%s\": %s.\n", path,
                 Err_ErrString());
      return false;
    }
    // Fewer, larger reads; a failure only leaves the default buffer.
    setvbuf(stream, nullptr, _IOFBF, kStreamBuffer);
    fileName = path;
  }
  Dictionary_Clear(dict);
  dict->loadFileName = fileName;
  dict->loadLineCount = 0;
  bool ok = ReadLines(dict, stream, flags);
  dict->loadFileName = nullptr;
  dict->loadLineCount = 0;
  if (stream != stdin) {
    fclose(stream);
  }
  return ok;
}
