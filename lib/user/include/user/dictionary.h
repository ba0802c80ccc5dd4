// Named values read from "name = value" files: configuration files and
// snapshot databases. Names compare without regard to ASCII case. Values
// arrive untyped and take a type at their first typed read; a missing name is
// recorded with the reader's default. The dictionary owns its entries, their
// names and strings, and the lines read from a file: they live in storage
// that only Dictionary_Clear and Dictionary_Free release, so callers never
// free or replace them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "misc/hashTable.h"

enum DictType {
  DICT_ANY = 0,  // untyped text from a file
  DICT_STRING = 1,
  DICT_BOOL = 2,
  DICT_LONG = 3,  // signed 32-bit
  DICT_DOUBLE = 4,
  DICT_TRISTATE = 5,
};

struct DictLine;
struct DictEntry;

union DictValue {
  char *stringValue;  // DICT_ANY and DICT_STRING; may be NULL for strings
  bool boolValue;
  int32_t longValue;
  double doubleValue;
  int32_t tristateValue;  // 1, 0 or -1
};

struct DictEntry {
  char *name;
  DictValue value;
  DictLine *line;  // the defining line of the file, or NULL
  DictEntry *next;
  int type;               // DictType
  unsigned flags : 4;     // the load flags & 15, or 1 for a reader's default
  unsigned hashTag : 28;  // the dictionary's own: the top bits of the name's hash
};

struct DictLine {
  char *text;
  DictEntry *entry;  // NULL for blank, comment and duplicate lines
  DictLine *next;
};

// The number of entry chunks: chunk c holds 16 << c entries.
enum { DICT_ENTRY_CHUNKS = 28 };
enum { DICT_SPARE_BLOCKS = 2 };

struct Dictionary {
  DictEntry *firstEntry;
  DictEntry *lastEntry;
  DictLine *firstLine;
  DictLine *lastLine;
  const char *loadFileName;  // set while a load runs
  int loadLineCount;
  HashIndex index;  // names by entry number; sized by each load
  uint32_t entryCount;
  DictEntry *entryChunks[DICT_ENTRY_CHUNKS];  // entries by number, in the store
  DictEntry *nextEntry;                       // where the next entry goes, when
  uint32_t addsReady;                         // this many can be added as they are
  DictEntry *lastFound;                       // of the latest lookup, or NULL
  uint32_t lastFoundNumber;                   // and its entry number
  struct DictStoreBlock *store;               // entries, lines and their strings
  char *storeNext;                            // the free room of the current block is
  size_t storeLeft;                           // [storeNext, storeNext + storeLeft)
  struct HostPrefaulter *prefaulter;          // while a large file loads
  // Regions for the next large blocks, being filled in ahead of use; not
  // written to before they are taken, or the writer would fill them in.
  void *spares[DICT_SPARE_BLOCKS];
  char *spareRun;            // regions mapped at once for spares, not yet used
  size_t spareRunBlocks;     // how many are left there
  uint32_t entriesFilledIn;  // entries whose pages were asked for
};

Dictionary *Dictionary_Create(void);
// Accepts NULL.
void Dictionary_Free(Dictionary *dict);
void Dictionary_Clear(Dictionary *dict);
bool Dictionary_IsDefined(Dictionary *dict, const char *name);
// Typed read of any type; returns a pointer to the entry's value field.
// defaultValue points to a value of the type (for DICT_ANY and DICT_STRING, to
// a char pointer, which may be NULL); NULL stands for zero. Reading a name
// with another type than its first reader's stops the program, as does a
// NULL dict here and in the Dict_Get functions.
void *Dictionary_Get(Dictionary *dict, const void *defaultValue, int type, const char *name);

// Load flags beside the entries' own (flags & 15). DICT_LOAD_READ_ONLY: the
// caller only reads the dictionary, so the load may keep no lines and leave
// the names and values in its copy of the text. DICT_LOAD_BOUNDED: the file
// is another program's, looked at only; one larger than DICT_LOAD_BOUND is
// refused (EFBIG) before it is read, as holding it could take any memory.
enum { DICT_LOAD_READ_ONLY = 0x100, DICT_LOAD_BOUNDED = 0x200 };
constexpr long long DICT_LOAD_BOUND = 64LL << 20;

// Loads the file at path ("-": standard input; NULL: only empties the
// dictionary); anything but a regular file fails at once. True when the
// whole file was read with no syntax error, read error or duplicate name.
// Failures are appended as messages (Msg_Append).
bool Dictionary_Load(Dictionary *dict, const char *path, int flags);
// Dictionary_Load of a file that may be absent: when the system finds nothing
// at path (it cannot even be looked at), dict is left alone, nothing is
// appended, *present (when given) is false and the result true.
bool Dictionary_LoadIfPresent(Dictionary *dict, const char *path, int flags, bool *present);
// Dictionary_Load of the file at path whose size bytes the caller has read
// already into text: the same entries and messages, without reading again.
bool Dictionary_LoadText(Dictionary *dict, const char *path, const char *text, size_t size,
                         int flags);

// Returns a malloc'd copy of the string value, or NULL.
char *Dict_GetString(Dictionary *dict, const char *defaultValue, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
bool Dict_GetBool(Dictionary *dict, bool defaultValue, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
int32_t Dict_GetInt(Dictionary *dict, int32_t defaultValue, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Shared by the dictionary's sources, not for other callers.
// DictionaryStoreAlloc when the current block has no room for size.
void *DictionaryStoreAllocBlock(Dictionary *dict, size_t size, size_t align);
// Returns size bytes aligned to align (at most 16) from the dictionary's
// storage, or NULL when memory ran out. Strings are taken from the bottom of
// the current block and records from its top, so neither needs padding. The
// free room is always [storeNext, storeNext + storeLeft). Inline: a load
// takes a piece a line.
inline void *DictionaryStoreAlloc(Dictionary *dict, size_t size, size_t align) {
  if (dict->store != nullptr && size <= dict->storeLeft) {
    if (align <= 1) {
      char *p = dict->storeNext;
      dict->storeNext += size;
      dict->storeLeft -= size;
      return p;
    }
    char *p = dict->storeNext + (dict->storeLeft - size);
    p -= reinterpret_cast<uintptr_t>(p) & (align - 1);
    if (p >= dict->storeNext) {
      dict->storeLeft = static_cast<size_t>(p - dict->storeNext);
      return p;
    }
  }
  return DictionaryStoreAllocBlock(dict, size, align);
}
// Returns a NUL-terminated copy of bytes[0, length) in the storage, or NULL.
char *DictionaryStoreCopy(Dictionary *dict, const char *bytes, size_t length);
// Returns the entry whose name equals name[0, length) (any case), or NULL.
DictEntry *DictionaryFind(Dictionary *dict, const char *name, size_t length, uint32_t hash);
// True when no name of the dictionary has this hash, so a lookup would miss:
// the probe of a small index, inline, for the lookups of a load that mostly
// miss. False says nothing.
inline bool DictionaryLacksHash(const Dictionary *dict, uint32_t hash) {
  uint32_t slot = HashIndex_Home(&dict->index, hash);
  return HashIndex_Next(&dict->index, hash, &slot) == 0;
}
// Sizes the index for about that many entries in all, sparing the regrowth
// of a large index; a wrong guess costs only time or memory.
void DictionaryReserve(Dictionary *dict, uint32_t entries);
// While a large file loads: the storage's fresh pages are filled in by
// another processor ahead of their use. Stop before the load returns.
void DictionaryStartFillingIn(Dictionary *dict);
void DictionaryStopFillingIn(Dictionary *dict);
// Starts fetching the index slots a lookup of hash will read first.
void DictionaryPrefetch(const Dictionary *dict, uint32_t hash);
// Appends node to the list from *first to *last (entries or lines).
template <typename Node>
void DictionaryAppend(Node **first, Node **last, Node *node) {
  if (*last != nullptr) {
    (*last)->next = node;
  } else {
    *first = node;
  }
  *last = node;
}
// DictionaryAddEntry when no entries are ready to add.
bool DictionaryReadyAdds(Dictionary *dict);
// Appends an entry of the given name (already in the storage; hash is its
// HashTable_HashName), type and flags to the entry list and the index; its
// value and line are zero. The name must not be present. Returns NULL, with
// nothing changed, when memory ran out. Inline: a load adds an entry a line,
// and most find their room ready.
inline DictEntry *DictionaryAddEntry(Dictionary *dict, char *name, uint32_t hash, int type,
                                     unsigned flags) {
  if (dict->addsReady == 0 && !DictionaryReadyAdds(dict)) {
    return nullptr;
  }
  dict->addsReady--;
  DictEntry *entry = dict->nextEntry++;
  // Written whole: a bit field set afterwards is read back before the stores
  // that cleared it have landed, a stall of the processor on every line.
  *entry = DictEntry{.name = name, .type = type, .flags = flags & 15, .hashTag = hash >> 4};
  HashIndex_Place(&dict->index, hash, ++dict->entryCount);
  DictionaryAppend(&dict->firstEntry, &dict->lastEntry, entry);
  return entry;
}
