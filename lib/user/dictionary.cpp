// The dictionary's entries and typed reads. An entry read from a file holds
// untyped text until its first typed read converts it, once, to the reader's
// type; malformed text still yields a value and posts a message. Entries,
// lines and their strings are carved from a few blocks owned by the
// dictionary, past the first few of them large regions of the host: a file
// of a million lines would otherwise cost five heap allocations per line,
// several times its size in memory, and a page fault for every few lines.
// The name index holds (hash, entry number) pairs; entries live in chunks
// that double in size, so a number finds its entry without a pointer per
// entry in the index.
#include "user/dictionary.h"

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "host/memory.h"
#include "host/text.h"
#include "misc/panic.h"
#include "string/str.h"
#include "user/msg.h"

struct DictStoreBlock {
  DictStoreBlock *next;
  size_t size;   // bytes after the header
  bool mapped;   // a large region of the host rather than heap
  char pad[15];  // keeps the data aligned to 16
};

namespace {

// Small: a load sizes the index from its file, and a snapshot database
// holds a few names.
constexpr uint32_t kIndexFirstSize = 32;
constexpr uint32_t kFirstChunkEntries = 16;
constexpr int kFollowersTried = 4;
// Dictionaries from this many entries on try them first (see DictionaryFind).
constexpr uint32_t kFollowersFrom = 1 << 14;
constexpr size_t kFirstBlockSize = 4096 - sizeof(DictStoreBlock);
// Past a few small heap blocks the storage comes in large regions, whose
// pages the system hands out a large page at a time.
constexpr size_t kLastHeapBlockSize = size_t{64} * 1024 - sizeof(DictStoreBlock);
constexpr size_t kLargeBlockSize = HOSTMEM_LARGE_PAGE - sizeof(DictStoreBlock);
// Large blocks filled in ahead of the one in use while a large file loads.
constexpr size_t kSpareRunBlocks = 16;
// How far ahead of the entry being added the entries' pages are asked for.
constexpr uint32_t kEntriesAhead = HOSTMEM_LARGE_PAGE / 2 / sizeof(DictEntry);
// The number a type conflict cites in its fatal text.
constexpr int kTypeConflictBug = 4242;
constexpr size_t kNameBufferSize = 1024;

static_assert(sizeof(DictStoreBlock) % 16 == 0 && kFirstBlockSize % 16 == 0 &&
              kLastHeapBlockSize % 16 == 0 && kLargeBlockSize % 16 == 0);

char *BlockData(DictStoreBlock *block) { return reinterpret_cast<char *>(block + 1); }

DictStoreBlock *InitBlock(void *region, size_t size, bool mapped) {
  DictStoreBlock *block = static_cast<DictStoreBlock *>(region);
  block->size = size;
  block->mapped = mapped;
  return block;
}

DictStoreBlock *NewBlock(size_t size) {
  if (size > SIZE_MAX - HOSTMEM_LARGE_PAGE) {
    return nullptr;
  }
  size_t total = sizeof(DictStoreBlock) + size;
  bool mapped = total >= HOSTMEM_LARGE_PAGE / 2;
  void *p = mapped ? HostMem_MapLarge(total) : malloc(total);
  return p != nullptr ? InitBlock(p, size, mapped) : nullptr;
}

void FreeBlock(DictStoreBlock *block) {
  if (block->mapped) {
    HostMem_UnmapLarge(block, sizeof(DictStoreBlock) + block->size);
  } else {
    free(block);
  }
}

bool NameEquals(const char *stored, const char *name, size_t length) {
  // Names hold no NUL, so an exact match stops where the stored name ends.
  if (strncmp(stored, name, length) == 0) {
    return stored[length] == '\0';
  }
  for (size_t i = 0; i < length; i++) {
    if (stored[i] == '\0' || HostText_LowerAscii(stored[i]) != HostText_LowerAscii(name[i])) {
      return false;
    }
  }
  return stored[length] == '\0';
}

// Entry number n lives in chunk c, which holds the numbers
// [16 * (2^c - 1), 16 * (2^(c+1) - 1)).
uint32_t ChunkOf(uint32_t number) {
  uint32_t m = number / kFirstChunkEntries + 1;
  return 31 - static_cast<uint32_t>(__builtin_clz(m));
}

uint32_t ChunkStart(uint32_t chunk) { return kFirstChunkEntries * ((uint32_t{1} << chunk) - 1); }

DictEntry *EntryByNumber(const Dictionary *dict, uint32_t number) {
  uint32_t c = ChunkOf(number);
  return &dict->entryChunks[c][number - ChunkStart(c)];
}

bool NewChunk(Dictionary *dict, uint32_t c) {
  VERIFY(c < DICT_ENTRY_CHUNKS);
  size_t count = size_t{kFirstChunkEntries} << c;
  dict->entryChunks[c] = static_cast<DictEntry *>(
      DictionaryStoreAlloc(dict, count * sizeof(DictEntry), alignof(DictEntry)));
  return dict->entryChunks[c] != nullptr;
}

void FillInEntries(Dictionary *dict, uint32_t number);

// Makes room for the given number of names.
bool ReserveSlots(Dictionary *dict, uint64_t wanted) {
  if (HashIndex_HasRoom(&dict->index, wanted)) {
    return true;
  }
  if (dict->prefaulter != nullptr && dict->index.mapped) {
    // The helper may be at the old slots: it must let go of them first.
    HostMem_StopPrefaulter(dict->prefaulter);
    dict->prefaulter = HostMem_StartPrefaulter();
  }
  return HashIndex_Reserve(&dict->index, wanted);
}

bool IsTrueText(const char *s) {
  return HostText_EqualNoCase(s, "true") || HostText_EqualNoCase(s, "t") ||
         HostText_EqualNoCase(s, "yes") || HostText_EqualNoCase(s, "y") ||
         HostText_EqualNoCase(s, "on") || strcmp(s, "1") == 0 || *s == '\0';
}

bool IsFalseText(const char *s) {
  return HostText_EqualNoCase(s, "false") || HostText_EqualNoCase(s, "f") ||
         HostText_EqualNoCase(s, "no") || HostText_EqualNoCase(s, "n") ||
         HostText_EqualNoCase(s, "off") || strcmp(s, "0") == 0;
}

bool ConvertBool(const DictEntry *entry, const char *text) {
  if (IsTrueText(text)) return true;
  if (!IsFalseText(text)) {
    Msg_Post(MSG_ERROR,
             MSGID(dictionary.notBoolean) "Value `%s' for variable `%s' is not a valid boolean "
                                          "value.\n",
             Str_Printable(text, STR_SHOWN_NAME).c_str(),
             Str_Printable(entry->name, STR_SHOWN_NAME).c_str());
  }
  return false;
}

int DigitValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// The integer reading of a platform whose long is 32 bits: strtol with base
// 0, and strtoul when that overflows. Both consume the same characters, so
// one scan serves both; the magnitude saturates once it can no longer fit.
int32_t ConvertInt(const DictEntry *entry, const char *text) {
  const char *p = text;
  while (IsCSpace(*p)) p++;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    p++;
  }
  int base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && DigitValue(p[2]) < 16) {
    base = 16;
    p += 2;
  } else if (p[0] == '0') {
    base = 8;
  }
  const uint64_t kSaturated = uint64_t{UINT32_MAX} + 1;
  uint64_t magnitude = 0;
  const char *digits = p;
  for (; DigitValue(static_cast<unsigned char>(*p)) < base; p++) {
    if (magnitude < kSaturated) {
      magnitude = magnitude * base + DigitValue(static_cast<unsigned char>(*p));
    }
  }
  // No digits: nothing was converted and the whole text remains.
  const char *end = p == digits ? text : p;

  if (magnitude > UINT32_MAX) {
    Msg_Post(MSG_ERROR,
             MSGID(dictionary.integerTooBig) "Value `%s' for variable `%s' is too large.\n",
             Str_Printable(text, STR_SHOWN_NAME).c_str(),
             Str_Printable(entry->name, STR_SHOWN_NAME).c_str());
    return -1;
  }
  // Inside the signed range this is strtol's result; past it, strtoul's,
  // which negates the magnitude in 32-bit unsigned arithmetic. Both come to
  // the same bits.
  uint32_t bits = static_cast<uint32_t>(negative ? 0 - magnitude : magnitude);
  if (*end != '\0') {
    Msg_Post(MSG_ERROR,
             MSGID(dictionary.notInteger) "Value `%s' for variable `%s' is not a valid integer "
                                          "value.\n",
             Str_Printable(text, STR_SHOWN_NAME).c_str(),
             Str_Printable(entry->name, STR_SHOWN_NAME).c_str());
  }
  return static_cast<int32_t>(bits);
}

double ConvertDouble(const DictEntry *entry, const char *text) {
  char *end;
  double value = strtod(text, &end);
  if (*end != '\0') {
    Msg_Post(MSG_ERROR,
             MSGID(dictionary.notFloat) "Value `%s' for variable `%s' is not a valid "
                                        "floating-point value.\n",
             Str_Printable(text, STR_SHOWN_NAME).c_str(),
             Str_Printable(entry->name, STR_SHOWN_NAME).c_str());
  }
  return value;
}

int32_t ConvertTristate(const DictEntry *entry, const char *text) {
  if (IsTrueText(text)) return 1;
  if (IsFalseText(text)) return 0;
  if (HostText_EqualNoCase(text, "default") || HostText_EqualNoCase(text, "dontcare") ||
      HostText_EqualNoCase(text, "auto")) {
    return -1;
  }
  Msg_Post(MSG_ERROR,
           MSGID(dictionary.notTristate) "Value `%s' for variable `%s' is not a valid tristate "
                                         "value.\n",
           Str_Printable(text, STR_SHOWN_NAME).c_str(),
           Str_Printable(entry->name, STR_SHOWN_NAME).c_str());
  return 0;
}

// Gives an untyped entry its first type. The text lives in the dictionary's
// storage, so dropping it needs no free.
void Convert(DictEntry *entry, int type) {
  const char *text = entry->value.stringValue != nullptr ? entry->value.stringValue : "";
  DictValue &value = entry->value;
  if (type == DICT_BOOL) {
    value.boolValue = ConvertBool(entry, text);
  } else if (type == DICT_LONG) {
    value.longValue = ConvertInt(entry, text);
  } else if (type == DICT_DOUBLE) {
    value.doubleValue = ConvertDouble(entry, text);
  } else if (type == DICT_TRISTATE) {
    value.tristateValue = ConvertTristate(entry, text);
  } else {
    VERIFY(type == DICT_STRING);
  }
  entry->type = type;
}

char *StoreCopyOrStop(Dictionary *dict, const char *s, size_t length) {
  char *copy = DictionaryStoreCopy(dict, s, length);
  if (copy == nullptr) PANIC_UNRECOVERABLE_ALLOC();
  return copy;
}

DictEntry *AddDefault(Dictionary *dict, const void *defaultValue, int type, const char *name,
                      size_t length, uint32_t hash) {
  DictEntry *entry = DictionaryAddEntry(dict, StoreCopyOrStop(dict, name, length), hash, type, 1);
  if (entry == nullptr) PANIC_UNRECOVERABLE_ALLOC();
  switch (type) {
    case DICT_ANY:
    case DICT_STRING: {
      const char *s =
          defaultValue != nullptr ? *static_cast<const char *const *>(defaultValue) : nullptr;
      entry->value.stringValue = s != nullptr ? StoreCopyOrStop(dict, s, strlen(s)) : nullptr;
      break;
    }
    case DICT_BOOL:
      entry->value.boolValue = defaultValue != nullptr && *static_cast<const bool *>(defaultValue);
      break;
    case DICT_LONG:
      entry->value.longValue =
          defaultValue != nullptr ? *static_cast<const int32_t *>(defaultValue) : 0;
      break;
    case DICT_DOUBLE:
      entry->value.doubleValue =
          defaultValue != nullptr ? *static_cast<const double *>(defaultValue) : 0.0;
      break;
    case DICT_TRISTATE:
      entry->value.tristateValue =
          defaultValue != nullptr ? *static_cast<const int32_t *>(defaultValue) : 0;
      break;
  }
  return entry;
}

DictEntry *TypedRead(Dictionary *dict, const void *defaultValue, int type, const char *name,
                     size_t length) {
  VERIFY(dict != nullptr);
  VERIFY(type >= DICT_ANY && type <= DICT_TRISTATE);
  uint32_t hash = HashTable_HashName(name, length);
  DictEntry *entry = DictionaryFind(dict, name, length, hash);
  if (entry == nullptr) {
    return AddDefault(dict, defaultValue, type, name, length, hash);
  }
  if (entry->type != type) {
    VERIFY_BUG(entry->type == DICT_ANY, kTypeConflictBug);
    Convert(entry, type);
  }
  return entry;
}

// Appends text[0, length) to buf[0, *used), keeping room for a NUL; false
// when it does not fit.
bool AppendName(char *buf, size_t *used, const char *text, size_t length) {
  if (length >= kNameBufferSize - *used) {
    return false;
  }
  memcpy(buf + *used, text, length);
  *used += length;
  return true;
}

// Formats the names readers build, literal text with %s and %d, into buf
// and sets *length; false for any other format, a NULL string or a name too
// long for the buffer, which the library's formatting then handles.
bool FormatPlainName(char *buf, const char *fmt, va_list args, size_t *length) {
  va_list copy;
  va_copy(copy, args);
  size_t used = 0;
  bool ok = true;
  while (ok && *fmt != '\0') {
    size_t literal = strcspn(fmt, "%");
    ok = AppendName(buf, &used, fmt, literal);
    fmt += literal;
    if (!ok || *fmt == '\0') {
      break;
    }
    if (fmt[1] == 's') {
      const char *s = va_arg(copy, const char *);
      ok = s != nullptr && AppendName(buf, &used, s, strnlen(s, kNameBufferSize));
    } else if (fmt[1] == 'd') {
      int value = va_arg(copy, int);
      unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : value;
      char digits[12];
      char *d = digits + sizeof digits;
      do {
        *--d = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
      } while (magnitude != 0);
      if (value < 0) *--d = '-';
      ok = AppendName(buf, &used, d, static_cast<size_t>(digits + sizeof digits - d));
    } else {
      ok = false;
      break;
    }
    fmt += 2;
  }
  va_end(copy);
  buf[used] = '\0';
  *length = used;
  return ok;
}

// Formats a reader's name into buf and sets *length; a name too long for the
// buffer is cut. A name without any conversion, and the common plain "%s",
// are used in place when they fit.
const char *FormatName(char *buf, const char *fmt, va_list args, size_t *length) {
  if (fmt[0] == '%' && fmt[1] == 's' && fmt[2] == '\0') {
    va_list copy;
    va_copy(copy, args);
    const char *name = va_arg(copy, const char *);
    va_end(copy);
    if (name != nullptr && (*length = strnlen(name, kNameBufferSize)) < kNameBufferSize) {
      return name;
    }
  } else if (size_t literal = strcspn(fmt, "%");
             fmt[literal] == '\0' && literal < kNameBufferSize) {
    *length = literal;
    return fmt;
  }
  if (!FormatPlainName(buf, fmt, args, length)) {
    Str_Vsnprintf(buf, kNameBufferSize, fmt, args);
    *length = strlen(buf);
  }
  return buf;
}

}  // namespace

// Readers often ask for the names in about the order the file gave them, so
// in a large dictionary the few entries after the latest one found, and the
// one before it, are tried before the index: they sit next to that one in
// memory, where an index slot costs a trip to main memory. A small index
// stays in the cache, and the detour only costs time there. Entry numbers
// follow the list.
DictEntry *DictionaryFind(Dictionary *dict, const char *name, size_t length, uint32_t hash) {
  if (dict->lastFound != nullptr && dict->entryCount >= kFollowersFrom) {
    uint32_t number = dict->lastFoundNumber;
    DictEntry *next = dict->lastFound->next;
    for (int i = 1; i <= kFollowersTried && next != nullptr; i++, next = next->next) {
      if (next->hashTag == (hash >> 4) && NameEquals(next->name, name, length)) {
        dict->lastFound = next;
        dict->lastFoundNumber = number + static_cast<uint32_t>(i);
        return next;
      }
    }
    if (number > 0) {
      DictEntry *previous = EntryByNumber(dict, number - 1);
      if (previous->hashTag == (hash >> 4) && NameEquals(previous->name, name, length)) {
        dict->lastFound = previous;
        dict->lastFoundNumber = number - 1;
        return previous;
      }
    }
  }
  uint32_t slot = HashIndex_Home(&dict->index, hash);
  for (uint32_t n; (n = HashIndex_Next(&dict->index, hash, &slot)) != 0;) {
    DictEntry *entry = EntryByNumber(dict, n - 1);
    if (NameEquals(entry->name, name, length)) {
      dict->lastFound = entry;
      dict->lastFoundNumber = n - 1;
      return entry;
    }
  }
  return nullptr;
}

void DictionaryReserve(Dictionary *dict, uint32_t entries) {
  (void)ReserveSlots(dict, entries < HASHINDEX_MAX_SIZE / 2 ? entries : HASHINDEX_MAX_SIZE / 2);
  if (dict->prefaulter != nullptr && dict->index.mapped) {
    // Lookups reach all over the slots from the first name on.
    HostMem_Prefault(dict->prefaulter, dict->index.slots,
                     size_t{dict->index.size} * sizeof(HashIndexSlot));
  }
}

void DictionaryPrefetch(const Dictionary *dict, uint32_t hash) {
  __builtin_prefetch(&dict->index.slots[HashIndex_Home(&dict->index, hash)]);
}

namespace {

// Readies entry number for use: index room, its chunk, and while a large
// file loads, the pages ahead. False when memory ran out.
__attribute__((noinline)) bool PrepareEntry(Dictionary *dict, uint32_t number) {
  if (number >= HASHINDEX_MAX_SIZE / 2 || !ReserveSlots(dict, uint64_t{number} + 1)) {
    return false;
  }
  uint32_t c = ChunkOf(number);
  if (dict->entryChunks[c] == nullptr && !NewChunk(dict, c)) {
    return false;
  }
  if (dict->prefaulter != nullptr && number + kEntriesAhead / 2 >= dict->entriesFilledIn) {
    // The next chunk is made early so that its first pages are ready too; if
    // that fails, it fails again where it is needed.
    uint32_t ahead = ChunkOf(number + kEntriesAhead);
    if (ahead < DICT_ENTRY_CHUNKS && dict->entryChunks[ahead] == nullptr) {
      (void)NewChunk(dict, ahead);
    }
    FillInEntries(dict, number);
  }
  return true;
}

}  // namespace

// Readies the next entries and counts how many can be added before more
// room is needed: one, while a large file loads. False when memory ran out.
bool DictionaryReadyAdds(Dictionary *dict) {
  uint32_t number = dict->entryCount;
  if (!PrepareEntry(dict, number)) {
    return false;
  }
  uint32_t c = ChunkOf(number);
  dict->nextEntry = &dict->entryChunks[c][number - ChunkStart(c)];
  uint64_t indexRoom = uint64_t{dict->index.size} * 3 / 4 - number;
  uint64_t chunkRoom = ChunkStart(c + 1) - number;
  uint64_t limitRoom = HASHINDEX_MAX_SIZE / 2 - number;
  uint64_t room = indexRoom < chunkRoom ? indexRoom : chunkRoom;
  room = room < limitRoom ? room : limitRoom;
  dict->addsReady = dict->prefaulter != nullptr ? 1 : static_cast<uint32_t>(room);
  return true;
}

namespace {

// The oldest spare region as a large block, or NULL.
DictStoreBlock *TakeSpare(Dictionary *dict) {
  void *region = dict->spares[0];
  if (region == nullptr) {
    return nullptr;
  }
  memmove(dict->spares, dict->spares + 1, sizeof dict->spares - sizeof dict->spares[0]);
  dict->spares[DICT_SPARE_BLOCKS - 1] = nullptr;
  return InitBlock(region, kLargeBlockSize, true);
}

void AddSpares(Dictionary *dict) {
  if (dict->prefaulter == nullptr) {
    return;
  }
  for (void *&spare : dict->spares) {
    if (spare != nullptr) {
      continue;
    }
    if (dict->spareRunBlocks == 0) {
      // Each mapping waits while the helper holds the process's memory map
      // (it does while it fills a page in): few mappings, few waits.
      dict->spareRun = static_cast<char *>(HostMem_MapLarge(kSpareRunBlocks * HOSTMEM_LARGE_PAGE));
      if (dict->spareRun == nullptr) {
        return;
      }
      dict->spareRunBlocks = kSpareRunBlocks;
    }
    spare = dict->spareRun;
    dict->spareRun += HOSTMEM_LARGE_PAGE;
    dict->spareRunBlocks--;
    HostMem_Prefault(dict->prefaulter, spare, HOSTMEM_LARGE_PAGE);
  }
}

void FreeSpares(Dictionary *dict) {
  for (void *&spare : dict->spares) {
    HostMem_UnmapLarge(spare, HOSTMEM_LARGE_PAGE);
    spare = nullptr;
  }
  HostMem_UnmapLarge(dict->spareRun, dict->spareRunBlocks * HOSTMEM_LARGE_PAGE);
  dict->spareRun = nullptr;
  dict->spareRunBlocks = 0;
}

// Asks for the pages of the entries up to kEntriesAhead past number, in the
// chunks that exist.
void FillInEntries(Dictionary *dict, uint32_t number) {
  uint32_t want = number + kEntriesAhead;
  while (dict->entriesFilledIn < want) {
    uint32_t from = dict->entriesFilledIn;
    uint32_t c = ChunkOf(from);
    if (dict->entryChunks[c] == nullptr) {
      return;
    }
    uint32_t end = ChunkStart(c + 1) < want ? ChunkStart(c + 1) : want;
    HostMem_Prefault(dict->prefaulter, EntryByNumber(dict, from),
                     size_t{end - from} * sizeof(DictEntry));
    dict->entriesFilledIn = end;
  }
}

}  // namespace

void DictionaryStartFillingIn(Dictionary *dict) {
  if (dict->prefaulter == nullptr) {
    dict->prefaulter = HostMem_StartPrefaulter();
  }
}

void DictionaryStopFillingIn(Dictionary *dict) {
  HostMem_StopPrefaulter(dict->prefaulter);
  dict->prefaulter = nullptr;
  FreeSpares(dict);
  dict->entriesFilledIn = 0;
}

void *DictionaryStoreAllocBlock(Dictionary *dict, size_t size, size_t align) {
  size_t blockSize = kFirstBlockSize;
  if (dict->store != nullptr) {
    size_t last = dict->store->size;
    blockSize = last >= kLastHeapBlockSize
                    ? kLargeBlockSize
                    : (last + sizeof(DictStoreBlock)) * 2 - sizeof(DictStoreBlock);
  }
  if (size > blockSize / 4) {
    // A big piece (a long line, a large entry chunk) gets a block of its
    // own, placed behind the current one so that the room left there is not
    // lost.
    DictStoreBlock *block = NewBlock(size);
    if (block == nullptr) {
      return nullptr;
    }
    if (dict->store != nullptr) {
      block->next = dict->store->next;
      dict->store->next = block;
    } else {
      block->next = nullptr;
      dict->store = block;
      dict->storeNext = BlockData(block) + size;
      dict->storeLeft = 0;
    }
    return BlockData(block);
  }
  DictStoreBlock *block = blockSize == kLargeBlockSize ? TakeSpare(dict) : nullptr;
  if (block == nullptr) {
    block = NewBlock(blockSize);
  }
  if (block == nullptr) {
    return nullptr;
  }
  if (blockSize == kLargeBlockSize) {
    AddSpares(dict);
  }
  block->next = dict->store;
  dict->store = block;
  // Block data and block sizes are multiples of 16: both ends are aligned.
  char *data = BlockData(block);
  if (align <= 1) {
    dict->storeNext = data + size;
    dict->storeLeft = blockSize - size;
    return data;
  }
  size_t offset = (blockSize - size) & ~(align - 1);
  dict->storeNext = data;
  dict->storeLeft = offset;
  return data + offset;
}

char *DictionaryStoreCopy(Dictionary *dict, const char *bytes, size_t length) {
  if (length == SIZE_MAX) {
    return nullptr;
  }
  char *copy = static_cast<char *>(DictionaryStoreAlloc(dict, length + 1, 1));
  if (copy != nullptr) {
    memcpy(copy, bytes, length);
    copy[length] = '\0';
  }
  return copy;
}

Dictionary *Dictionary_Create(void) {
  Dictionary *dict = static_cast<Dictionary *>(Util_SafeMalloc(sizeof *dict));
  memset(dict, 0, sizeof *dict);
  if (!HashIndex_Init(&dict->index, kIndexFirstSize)) PANIC_UNRECOVERABLE_ALLOC();
  return dict;
}

namespace {

void FreeStore(Dictionary *dict) {
  DictionaryStopFillingIn(dict);
  DictStoreBlock *block = dict->store;
  while (block != nullptr) {
    DictStoreBlock *next = block->next;
    FreeBlock(block);
    block = next;
  }
}

}  // namespace

void Dictionary_Free(Dictionary *dict) {
  if (dict == nullptr) {
    return;
  }
  // Not cleared first: emptying the index only to free it cost as much as
  // a small load's indexing.
  FreeStore(dict);
  HashIndex_Destroy(&dict->index);
  free(dict);
}

void Dictionary_Clear(Dictionary *dict) {
  VERIFY(dict != nullptr);
  FreeStore(dict);
  dict->store = nullptr;
  dict->storeNext = nullptr;
  dict->storeLeft = 0;
  if (dict->entryCount > 0 || dict->index.size != kIndexFirstSize) {
    // Give back what a big load grew; the index starts over at its first size.
    HashIndex_Clear(&dict->index, kIndexFirstSize);
  }
  dict->entryCount = 0;
  dict->addsReady = 0;
  dict->nextEntry = nullptr;
  dict->lastFound = nullptr;
  memset(dict->entryChunks, 0, sizeof dict->entryChunks);
  dict->firstEntry = nullptr;
  dict->lastEntry = nullptr;
  dict->firstLine = nullptr;
  dict->lastLine = nullptr;
}

bool Dictionary_IsDefined(Dictionary *dict, const char *name) {
  VERIFY(dict != nullptr);
  size_t length = strlen(name);
  return DictionaryFind(dict, name, length, HashTable_HashName(name, length)) != nullptr;
}

void *Dictionary_Get(Dictionary *dict, const void *defaultValue, int type, const char *name) {
  return &TypedRead(dict, defaultValue, type, name, strlen(name))->value;
}

// The formatted readers differ only in type; va_start must sit in each. The
// name is formatted into buf, a local of the reader.
#define DICT_READ_FORMATTED(type, field)                  \
  VERIFY(dict != nullptr);                                \
  char buf[kNameBufferSize];                              \
  va_list args;                                           \
  va_start(args, fmt);                                    \
  size_t length;                                          \
  const char *name = FormatName(buf, fmt, args, &length); \
  va_end(args);                                           \
  auto value = TypedRead(dict, &defaultValue, type, name, length)->value.field

char *Dict_GetString(Dictionary *dict, const char *defaultValue, const char *fmt, ...) {
  DICT_READ_FORMATTED(DICT_STRING, stringValue);
  return value != nullptr ? Util_SafeStrdup(value) : nullptr;
}

bool Dict_GetBool(Dictionary *dict, bool defaultValue, const char *fmt, ...) {
  DICT_READ_FORMATTED(DICT_BOOL, boolValue);
  return value;
}

int32_t Dict_GetInt(Dictionary *dict, int32_t defaultValue, const char *fmt, ...) {
  DICT_READ_FORMATTED(DICT_LONG, longValue);
  return value;
}
