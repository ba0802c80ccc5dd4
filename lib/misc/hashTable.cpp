// A string-keyed hash table. Keys are hashed and compared without regard to ASCII case. The buckets
// are an array of (hash, element number) slots with linear probing: a lookup touches one small slot
// array until the hashes match, and only then the key. With a million names, every other layout
// tried spent its time waiting for memory on chain elements scattered across the heap. Elements
// (key, value) live in blocks of the table's own, numbered in insertion order. The table starts
// with the bucket count it was given and doubles it when three quarters are
// taken. At its first size a key's home bucket is the folded hash; once grown,
// the hash is spread by a multiplication instead, because folding crowds
// names that differ only in their digits into few buckets of a large table.
#include "misc/hashTable.h"

#include <cstdlib>
#include <cstring>

#include "host/text.h"
#include "misc/panic.h"

namespace {

struct HashTableElem {
  const char *key;
  void *value;
};

struct HashTableSlot {
  uint32_t hash;
  uint32_t number;  // element number + 1; 0 marks a free slot
};

// Elements are numbered; number n lives in block n >> kBlockBits. The first
// block starts small and is enlarged in place, the others are full size.
constexpr uint32_t kBlockBits = 10;
constexpr uint32_t kBlockElems = 1u << kBlockBits;
constexpr uint32_t kFirstBlockElems = 16;
constexpr uint32_t kMaxBuckets = 1u << 30;
constexpr uint32_t kMaxElements = UINT32_MAX - 1;

// The 32-bit hash before it is reduced to a bucket.
uint32_t HashKey(const char *key) {
  uint32_t h = 0;
  if (key != nullptr) {
    for (const char *p = key; *p != '\0'; p++) {
      h ^= static_cast<unsigned char>(HostText_LowerAscii(*p));
      h = (h << 5) | (h >> 27);
    }
  }
  return h;
}

uint32_t FoldHash(uint32_t h, uint32_t numBuckets, uint32_t numBits) {
  if (numBits == 0) {
    return 0;  // one bucket: folding by zero bits would never end
  }
  uint32_t mask = numBuckets - 1;
  while (h > mask) {
    h = (h >> numBits) ^ (h & mask);
  }
  return h;
}

// The bucket in a grown table (numBits >= 1).
uint32_t SpreadHash(uint32_t h, uint32_t numBits) {
  return numBits == 0 ? 0 : (h * 0x9E3779B1u) >> (32 - numBits);
}

uint32_t Log2(uint32_t powerOfTwo) {
  uint32_t bits = 0;
  while ((1u << bits) < powerOfTwo) {
    bits++;
  }
  return bits;
}

}  // namespace

struct HashTable {
  uint32_t numBuckets;
  uint32_t numBits;
  uint32_t initialBuckets;
  uint32_t numElements;
  HashTableSlot *buckets;
  HashTableElem **blocks;
  uint32_t numBlocks;
  uint32_t blockSlots;       // room in blocks[]
  uint32_t firstBlockElems;  // capacity of blocks[0]
};

namespace {

HashTableElem *Elem(const HashTable *table, uint32_t number) {
  return &table->blocks[number >> kBlockBits][number & (kBlockElems - 1)];
}

uint32_t BucketOf(const HashTable *table, uint32_t hash) {
  if (table->numBuckets == table->initialBuckets) {
    return FoldHash(hash, table->numBuckets, table->numBits);
  }
  return SpreadHash(hash, table->numBits);
}

// Returns the number of a fresh element; stops the program when memory ran out.
uint32_t NewElem(HashTable *table) {
  uint32_t number = table->numElements;
  if (number >= kMaxElements) {
    PANIC_UNRECOVERABLE_ALLOC();
  }
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

void SetBuckets(HashTable *table, HashTableSlot *buckets, uint32_t count) {
  table->buckets = buckets;
  table->numBuckets = count;
  table->numBits = Log2(count);
}

// Returns true when one more element would fill more than three quarters of
// the buckets. The last free bucket is never taken, so probing always ends.
bool Crowded(const HashTable *table) {
  return table->numElements + 1 > table->numBuckets - table->numBuckets / 4 ||
         table->numElements + 1 >= table->numBuckets;
}

void Place(HashTable *table, uint32_t hash, uint32_t number) {
  uint32_t mask = table->numBuckets - 1;
  uint32_t b = BucketOf(table, hash);
  while (table->buckets[b].number != 0) {
    b = (b + 1) & mask;
  }
  table->buckets[b].hash = hash;
  table->buckets[b].number = number;
}

// Doubles the bucket count. Returns false when memory is short.
bool Grow(HashTable *table) {
  if (table->numBuckets >= kMaxBuckets) {
    return false;
  }
  uint32_t count = table->numBuckets * 2;
  HashTableSlot *buckets = static_cast<HashTableSlot *>(calloc(count, sizeof(HashTableSlot)));
  if (buckets == nullptr) {
    return false;
  }
  HashTableSlot *old = table->buckets;
  uint32_t oldCount = table->numBuckets;
  SetBuckets(table, buckets, count);
  for (uint32_t i = 0; i < oldCount; i++) {
    if (old[i].number != 0) {
      Place(table, old[i].hash, old[i].number);
    }
  }
  free(old);
  return true;
}

// Returns the element number + 1 of the key, or 0.
uint32_t Find(const HashTable *table, const char *key, uint32_t hash) {
  uint32_t mask = table->numBuckets - 1;
  for (uint32_t b = BucketOf(table, hash);; b = (b + 1) & mask) {
    const HashTableSlot &slot = table->buckets[b];
    if (slot.number == 0) {
      return 0;
    }
    if (slot.hash == hash && HostText_EqualNoCase(Elem(table, slot.number - 1)->key, key)) {
      return slot.number;
    }
  }
}

}  // namespace

HashTable *HashTable_Alloc(uint32_t numBuckets) {
  if (numBuckets == 0 || (numBuckets & (numBuckets - 1)) != 0) {
    Panic("Hash_Alloc only takes powers of 2 \n");
  }
  HashTable *table = static_cast<HashTable *>(Util_SafeMalloc(sizeof *table));
  memset(table, 0, sizeof *table);
  HashTableSlot *buckets =
      static_cast<HashTableSlot *>(Util_SafeMalloc(numBuckets * sizeof(HashTableSlot)));
  memset(buckets, 0, numBuckets * sizeof(HashTableSlot));
  SetBuckets(table, buckets, numBuckets);
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
  free(table->buckets);
  free(table);
}

uint32_t HashTable_Hash(const HashTable *table, const char *key) {
  return BucketOf(table, HashKey(key));
}

bool HashTable_Lookup(const HashTable *table, const char *key, void **value) {
  const char *k = key != nullptr ? key : "";
  uint32_t hash = HashKey(k);
  uint32_t n = Find(table, k, hash);
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
  uint32_t hash = HashKey(k);
  if (Find(table, k, hash) != 0) {
    return false;
  }
  if (Crowded(table) && !Grow(table) && table->numElements + 1 >= table->numBuckets) {
    PANIC_UNRECOVERABLE_ALLOC();
  }
  uint32_t n = NewElem(table);
  HashTableElem *e = Elem(table, n);
  e->key = k;
  e->value = value;
  table->numElements++;
  Place(table, hash, n + 1);
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
  if (table->numBuckets != table->initialBuckets) {
    // Give back what a big load grew; the table starts over at its first size.
    HashTableSlot *shrunk = static_cast<HashTableSlot *>(
        realloc(table->buckets, table->initialBuckets * sizeof(HashTableSlot)));
    if (shrunk != nullptr) {
      SetBuckets(table, shrunk, table->initialBuckets);
    }
  }
  memset(table->buckets, 0, table->numBuckets * sizeof(HashTableSlot));
}
