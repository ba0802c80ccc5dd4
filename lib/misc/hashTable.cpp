// The hash index and the key/value table on it. The table's elements live in
// blocks numbered in insertion order, so a slot's number finds its element
// without a pointer per slot.
#include "misc/hashTable.h"

#include <cstdlib>
#include <cstring>

#include "host/memory.h"
#include "host/text.h"
#include "misc/panic.h"

namespace {

// Slots from this many bytes up come from the host's large regions, which
// start zeroed and cost one page fault where heap memory costs one per page.
constexpr size_t kMappedFrom = size_t{64} * 1024 - 32;

HashIndexSlot *NewSlots(uint32_t count, bool *mapped) {
  size_t bytes = size_t{count} * sizeof(HashIndexSlot);
  *mapped = bytes >= kMappedFrom;
  if (*mapped) {
    return static_cast<HashIndexSlot *>(HostMem_MapLarge(bytes));
  }
  return static_cast<HashIndexSlot *>(calloc(count, sizeof(HashIndexSlot)));
}

void FreeSlots(HashIndexSlot *slots, uint32_t count, bool mapped) {
  if (mapped) {
    HostMem_UnmapLarge(slots, size_t{count} * sizeof(HashIndexSlot));
  } else {
    free(slots);
  }
}

}  // namespace

bool HashIndex_Init(HashIndex *index, uint32_t size) {
  index->slots = NewSlots(size, &index->mapped);
  index->size = index->slots != nullptr ? size : 0;
  return index->slots != nullptr;
}

void HashIndex_Destroy(HashIndex *index) {
  FreeSlots(index->slots, index->size, index->mapped);
  index->slots = nullptr;
  index->size = 0;
}

bool HashIndex_Reserve(HashIndex *index, uint64_t wanted) {
  if (HashIndex_HasRoom(index, wanted)) {
    return true;
  }
  uint32_t size = index->size;
  while (wanted * 4 > uint64_t{size} * 3) {
    if (size >= HASHINDEX_MAX_SIZE) {
      return false;
    }
    size *= 2;
  }
  HashIndex grown;
  if (!HashIndex_Init(&grown, size)) {
    return false;
  }
  for (uint32_t i = 0; i < index->size; i++) {
    if (index->slots[i].number != 0) {
      HashIndex_Place(&grown, index->slots[i].hash, index->slots[i].number);
    }
  }
  HashIndex_Destroy(index);
  *index = grown;
  return true;
}

void HashIndex_Clear(HashIndex *index, uint32_t size) {
  HashIndex fresh;
  if (index->size != size && HashIndex_Init(&fresh, size)) {
    HashIndex_Destroy(index);
    *index = fresh;
    return;
  }
  memset(index->slots, 0, size_t{index->size} * sizeof(HashIndexSlot));
}

namespace {

struct HashTableElem {
  const char *key;
  void *value;
};

// Element n lives in block n >> kBlockBits; the first block starts small and
// is enlarged in place, the others are full size.
constexpr uint32_t kBlockBits = 10;
constexpr uint32_t kBlockElems = 1u << kBlockBits;
constexpr uint32_t kFirstBlockElems = 16;

}  // namespace

struct HashTable {
  HashIndex index;
  uint32_t initialBuckets;
  uint32_t numElements;
  HashTableElem **blocks;
  uint32_t numBlocks;
  uint32_t blockSlots;       // room in blocks[]
  uint32_t firstBlockElems;  // capacity of blocks[0]
};

namespace {

HashTableElem *Elem(const HashTable *table, uint32_t number) {
  return &table->blocks[number >> kBlockBits][number & (kBlockElems - 1)];
}

// Returns the number of a fresh element; stops the program when memory ran out.
uint32_t NewElem(HashTable *table) {
  uint32_t number = table->numElements;
  uint32_t block = number >> kBlockBits;
  uint32_t slot = number & (kBlockElems - 1);
  if (block == 0 && slot == table->firstBlockElems) {
    uint32_t capacity = table->firstBlockElems == 0 ? kFirstBlockElems : table->firstBlockElems * 2;
    table->blocks[0] = static_cast<HashTableElem *>(
        Util_SafeRealloc(table->blocks[0], capacity * sizeof(HashTableElem)));
    table->firstBlockElems = capacity;
    table->numBlocks = 1;
  } else if (block > 0 && slot == 0) {
    if (block == table->blockSlots) {
      table->blockSlots *= 2;
      table->blocks = static_cast<HashTableElem **>(Util_SafeRealloc(
          table->blocks,
          table->blockSlots * sizeof table->blocks[0]));  // NOLINT(bugprone-sizeof-expression)
    }
    table->blocks[block] =
        static_cast<HashTableElem *>(Util_SafeMalloc(kBlockElems * sizeof(HashTableElem)));
    table->numBlocks = block + 1;
  }
  return number;
}

// Returns the element number + 1 of the key, or 0.
uint32_t Find(const HashTable *table, const char *key, uint32_t hash) {
  uint32_t slot = HashIndex_Home(&table->index, hash);
  for (uint32_t n; (n = HashIndex_Next(&table->index, hash, &slot)) != 0;) {
    if (HostText_EqualNoCase(Elem(table, n - 1)->key, key)) {
      return n;
    }
  }
  return 0;
}

}  // namespace

HashTable *HashTable_Alloc(uint32_t numBuckets) {
  if (numBuckets == 0 || (numBuckets & (numBuckets - 1)) != 0) {
    Panic("Hash_Alloc only takes powers of 2 \n");
  }
  HashTable *table = static_cast<HashTable *>(Util_SafeMalloc(sizeof *table));
  memset(table, 0, sizeof *table);
  if (!HashIndex_Init(&table->index, numBuckets)) PANIC_UNRECOVERABLE_ALLOC();
  table->initialBuckets = numBuckets;
  table->blockSlots = 4;
  table->blocks = static_cast<HashTableElem **>(Util_SafeMalloc(
      table->blockSlots * sizeof table->blocks[0]));  // NOLINT(bugprone-sizeof-expression)
  table->blocks[0] = nullptr;
  return table;
}

void HashTable_Free(HashTable *table) {
  if (table == nullptr) {
    return;
  }
  HashTable_Clear(table);
  free(table->blocks);
  HashIndex_Destroy(&table->index);
  free(table);
}

uint32_t HashTable_Hash(const HashTable *table, const char *key) {
  const char *k = key != nullptr ? key : "";
  return HashIndex_Home(&table->index, HashTable_HashName(k, strlen(k)));
}

bool HashTable_Lookup(const HashTable *table, const char *key, void **value) {
  const char *k = key != nullptr ? key : "";
  uint32_t n = Find(table, k, HashTable_HashName(k, strlen(k)));
  if (n == 0) {
    return false;
  }
  if (value != nullptr) {
    *value = Elem(table, n - 1)->value;
  }
  return true;
}

bool HashTable_Insert(HashTable *table, const char *key, void *value) {
  const char *k = key != nullptr ? key : "";
  uint32_t hash = HashTable_HashName(k, strlen(k));
  if (Find(table, k, hash) != 0) {
    return false;
  }
  if (table->numElements >= HASHINDEX_MAX_SIZE / 2 ||
      !HashIndex_Reserve(&table->index, uint64_t{table->numElements} + 1)) {
    PANIC_UNRECOVERABLE_ALLOC();
  }
  uint32_t n = NewElem(table);
  *Elem(table, n) = HashTableElem{k, value};
  table->numElements++;
  HashIndex_Place(&table->index, hash, n + 1);
  return true;
}

void HashTable_Clear(HashTable *table) {
  for (uint32_t i = 0; i < table->numBlocks; i++) {
    free(table->blocks[i]);
    table->blocks[i] = nullptr;
  }
  table->numBlocks = 0;
  table->firstBlockElems = 0;
  table->numElements = 0;
  HashIndex_Clear(&table->index, table->initialBuckets);
}
