// The dictionary's entries and typed reads. An entry read from a file holds
// untyped text until its first typed read converts it, once, to the reader's
// type; malformed text still yields a value and posts a message. Entries,
// lines and their strings are carved from a few large blocks owned by the
// dictionary: a file of a million lines would otherwise cost five heap
// allocations per line and several times its size in memory.
#include "user/dictionary.h"

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "misc/panic.h"
#include "string/str.h"
#include "user/msg.h"

struct DictStoreBlock {
  DictStoreBlock *next;
  size_t size;  // bytes after the header
};

namespace {

constexpr uint32_t kIndexBuckets = 512;
constexpr size_t kFirstBlockSize = 4096 - sizeof(DictStoreBlock);
constexpr size_t kMaxBlockSize = size_t{256} * 1024 - sizeof(DictStoreBlock);
// The number a type conflict cites in its fatal text.
constexpr int kTypeConflictBug = 4242;
constexpr size_t kNameBufferSize = 1024;

static_assert(sizeof(DictStoreBlock) % 16 == 0 && kFirstBlockSize % 16 == 0 &&
              kMaxBlockSize % 16 == 0);

char *BlockData(DictStoreBlock *block) { return reinterpret_cast<char *>(block + 1); }

DictStoreBlock *NewBlock(size_t size) {
  if (size > SIZE_MAX - sizeof(DictStoreBlock)) {
    return nullptr;
  }
  DictStoreBlock *block = static_cast<DictStoreBlock *>(malloc(sizeof(DictStoreBlock) + size));
  if (block != nullptr) {
    block->size = size;
  }
  return block;
}

bool EqualsIgnoreCase(const char *a, const char *b) {
  for (;; a++, b++) {
    unsigned char ca = static_cast<unsigned char>(*a);
    unsigned char cb = static_cast<unsigned char>(*b);
    if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca + 32);
    if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb + 32);
    if (ca != cb) return false;
    if (ca == '\0') return true;
  }
}

bool IsTrueText(const char *s) {
  return EqualsIgnoreCase(s, "true") || EqualsIgnoreCase(s, "t") || EqualsIgnoreCase(s, "yes") ||
         EqualsIgnoreCase(s, "y") || EqualsIgnoreCase(s, "on") || strcmp(s, "1") == 0 || *s == '\0';
}

bool IsFalseText(const char *s) {
  return EqualsIgnoreCase(s, "false") || EqualsIgnoreCase(s, "f") || EqualsIgnoreCase(s, "no") ||
         EqualsIgnoreCase(s, "n") || EqualsIgnoreCase(s, "off") || strcmp(s, "0") == 0;
}

bool ConvertBool(const DictEntry *entry, const char *text) {
  if (IsTrueText(text)) return true;
  if (!IsFalseText(text)) {
    Msg_Post(MSG_ERROR,
             MSGID(dictionary.notBoolean) "Value `%s' for variable `%s' is not a valid boolean "
                                          "value.\n",
             text, entry->name);
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
             MSGID(dictionary.integerTooBig) "Value `%s' for variable `%s' is too large.\n", text,
             entry->name);
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
             text, entry->name);
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
             text, entry->name);
  }
  return value;
}

int32_t ConvertTristate(const DictEntry *entry, const char *text) {
  if (IsTrueText(text)) return 1;
  if (IsFalseText(text)) return 0;
  if (EqualsIgnoreCase(text, "default") || EqualsIgnoreCase(text, "dontcare") ||
      EqualsIgnoreCase(text, "auto")) {
    return -1;
  }
  Msg_Post(MSG_ERROR,
           MSGID(dictionary.notTristate) "Value `%s' for variable `%s' is not a valid tristate "
                                         "value.\n",
           text, entry->name);
  return 0;
}

// Gives an untyped entry its first type. The text lives in the dictionary's
// storage, so dropping it needs no free.
void Convert(DictEntry *entry, int type) {
  const char *text = entry->value.stringValue != nullptr ? entry->value.stringValue : "";
  switch (type) {
    case DICT_STRING:
      break;
    case DICT_BOOL:
      entry->value.boolValue = ConvertBool(entry, text);
      break;
    case DICT_LONG:
      entry->value.longValue = ConvertInt(entry, text);
      break;
    case DICT_DOUBLE:
      entry->value.doubleValue = ConvertDouble(entry, text);
      break;
    case DICT_TRISTATE:
      entry->value.tristateValue = ConvertTristate(entry, text);
      break;
    default:
      NOT_REACHED();
  }
  entry->type = type;
}

char *StoreCopyOrStop(Dictionary *dict, const char *s) {
  char *copy = DictionaryStoreCopy(dict, s, strlen(s));
  if (copy == nullptr) PANIC_UNRECOVERABLE_ALLOC();
  return copy;
}

DictEntry *AddDefault(Dictionary *dict, const void *defaultValue, int type, const char *name) {
  DictEntry *entry =
      static_cast<DictEntry *>(DictionaryStoreAlloc(dict, sizeof(DictEntry), alignof(DictEntry)));
  if (entry == nullptr) PANIC_UNRECOVERABLE_ALLOC();
  memset(entry, 0, sizeof *entry);
  entry->name = StoreCopyOrStop(dict, name);
  entry->type = type;
  entry->flags = 1;
  switch (type) {
    case DICT_ANY:
    case DICT_STRING: {
      const char *s =
          defaultValue != nullptr ? *static_cast<const char *const *>(defaultValue) : nullptr;
      entry->value.stringValue = s != nullptr ? StoreCopyOrStop(dict, s) : nullptr;
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
  VERIFY(HashTable_Insert(dict->index, entry->name, entry));
  if (dict->lastEntry != nullptr) {
    dict->lastEntry->next = entry;
  } else {
    dict->firstEntry = entry;
  }
  dict->lastEntry = entry;
  return entry;
}

DictEntry *TypedRead(Dictionary *dict, const void *defaultValue, int type, const char *name) {
  VERIFY(dict != nullptr);
  VERIFY(type >= DICT_ANY && type <= DICT_TRISTATE);
  void *found;
  if (!HashTable_Lookup(dict->index, name, &found)) {
    return AddDefault(dict, defaultValue, type, name);
  }
  DictEntry *entry = static_cast<DictEntry *>(found);
  if (entry->type != type) {
    VERIFY_BUG(entry->type == DICT_ANY, kTypeConflictBug);
    Convert(entry, type);
  }
  return entry;
}

// Formats a reader's name; a name too long for the buffer is cut.
void FormatName(char *buf, const char *fmt, va_list args) {
  Str_Vsnprintf(buf, kNameBufferSize, fmt, args);
}

}  // namespace

// Strings are taken from the bottom of the current block and records from
// its top, so neither needs padding. The free room is always
// [storeNext, storeNext + storeLeft), which lets a caller undo allocations by
// restoring those two fields.
void *DictionaryStoreAlloc(Dictionary *dict, size_t size, size_t align) {
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
  if (size > kMaxBlockSize / 4) {
    // A big piece (a long line) gets a block of its own, placed behind the
    // current one so that the room left there is not lost.
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
  size_t blockSize = kFirstBlockSize;
  if (dict->store != nullptr) {
    blockSize = dict->store->size >= kMaxBlockSize / 2 ? kMaxBlockSize : dict->store->size * 2;
    if (blockSize < kFirstBlockSize) blockSize = kFirstBlockSize;
  }
  DictStoreBlock *block = NewBlock(blockSize);
  if (block == nullptr) {
    return nullptr;
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
  dict->index = HashTable_Alloc(kIndexBuckets);
  return dict;
}

void Dictionary_Free(Dictionary *dict) {
  if (dict == nullptr) {
    return;
  }
  Dictionary_Clear(dict);
  HashTable_Free(dict->index);
  free(dict);
}

void Dictionary_Clear(Dictionary *dict) {
  VERIFY(dict != nullptr);
  HashTable_Clear(dict->index);
  DictStoreBlock *block = dict->store;
  while (block != nullptr) {
    DictStoreBlock *next = block->next;
    free(block);
    block = next;
  }
  dict->store = nullptr;
  dict->storeNext = nullptr;
  dict->storeLeft = 0;
  dict->firstEntry = nullptr;
  dict->lastEntry = nullptr;
  dict->firstLine = nullptr;
  dict->lastLine = nullptr;
}

bool Dictionary_IsDefined(Dictionary *dict, const char *name) {
  VERIFY(dict != nullptr);
  return HashTable_Lookup(dict->index, name, nullptr);
}

void *Dictionary_Get(Dictionary *dict, const void *defaultValue, int type, const char *name) {
  return &TypedRead(dict, defaultValue, type, name)->value;
}

char *Dict_GetString(Dictionary *dict, const char *defaultValue, const char *fmt, ...) {
  VERIFY(dict != nullptr);
  char name[kNameBufferSize];
  va_list args;
  va_start(args, fmt);
  FormatName(name, fmt, args);
  va_end(args);
  const char *value = TypedRead(dict, &defaultValue, DICT_STRING, name)->value.stringValue;
  return value != nullptr ? Util_SafeStrdup(value) : nullptr;
}

bool Dict_GetBool(Dictionary *dict, bool defaultValue, const char *fmt, ...) {
  VERIFY(dict != nullptr);
  char name[kNameBufferSize];
  va_list args;
  va_start(args, fmt);
  FormatName(name, fmt, args);
  va_end(args);
  return TypedRead(dict, &defaultValue, DICT_BOOL, name)->value.boolValue;
}

int32_t Dict_GetInt(Dictionary *dict, int32_t defaultValue, const char *fmt, ...) {
  VERIFY(dict != nullptr);
  char name[kNameBufferSize];
  va_list args;
  va_start(args, fmt);
  FormatName(name, fmt, args);
  va_end(args);
  return TypedRead(dict, &defaultValue, DICT_LONG, name)->value.longValue;
}
