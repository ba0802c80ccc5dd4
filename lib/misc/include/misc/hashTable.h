// Hash tables of names compared without regard to ASCII case, in two layers.
// HashIndex is the slots alone: (hash, number) pairs under linear probing,
// whose numbers the owner maps to elements it keeps itself (the dictionary
// keeps its entries so). A lookup touches one small slot array until the
// hashes match, and only then an element: with a million names, layouts that
// chain elements across the heap spent their time waiting for memory.
// HashTable is a key/value table on the index. Neither owns keys or values;
// a key must stay valid while it is in the table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "host/system.h"
#include "host/text.h"

struct HashIndexSlot {
  uint32_t hash;
  uint32_t number;  // element number + 1; 0 marks a free slot
};

// At most three quarters full, so a probe always meets a free slot. All but
// small indexes live in the host's large regions (host/memory.h).
struct HashIndex {
  HashIndexSlot *slots;
  uint32_t size;  // a power of two
  bool mapped;    // the slots are a large region, not heap
};

enum : uint32_t { HASHINDEX_MAX_SIZE = uint32_t{1} << 31 };

// The high and low halves of a * b, folded into one another.
inline uint64_t HashTable_Mix(uint64_t a, uint64_t b) {
  __extension__ using Wide = unsigned __int128;
  Wide product = static_cast<Wide>(a) * b;
  return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

// The case-insensitive hash of name[0, length). Inline: every line of a
// dictionary file and every lookup hashes a name. Only ASCII letters are
// folded to one case, each step keeps the whole product, and every process
// starts from its own random seed: nobody can write a file whose names share
// one hash, which would make every lookup walk them all.
inline uint32_t HashTable_HashName(const char *name, size_t length) {
  constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15u;
  static const uint64_t seed = HostSystem_RandomSeed();
  uint64_t h = seed ^ length;
  size_t rest = length;
  uint64_t word;
  for (; rest >= 8; name += 8, rest -= 8) {
    memcpy(&word, name, 8);
    h = HashTable_Mix(h ^ HostText_LowerAsciiWord(word), kMultiplier);
  }
  if (rest > 0) {
    // The last bytes: when the name is long enough, one read ending at its
    // end, shifted so that only they remain; else in two reads of four that
    // may overlap, or byte by byte.
    if (length >= 8) {
      memcpy(&word, name + rest - 8, 8);
      word >>= 8 * (8 - rest);
    } else if (rest >= 4) {
      uint32_t low;
      uint32_t high;
      memcpy(&low, name, 4);
      memcpy(&high, name + rest - 4, 4);
      word = low | uint64_t{high} << (8 * (rest - 4));
    } else {
      word = 0;
      for (size_t i = rest; i > 0; i--) {
        word = word << 8 | static_cast<unsigned char>(name[i - 1]);
      }
    }
    h = HashTable_Mix(h ^ HostText_LowerAsciiWord(word), kMultiplier);
  }
  return static_cast<uint32_t>(HashTable_Mix(h, kMultiplier));
}

// False when memory ran out. size must be a power of two.
bool HashIndex_Init(HashIndex *index, uint32_t size);
// Accepts an index whose Init failed.
void HashIndex_Destroy(HashIndex *index);
// Makes room for wanted numbers in all, doubling the slots as needed. False,
// with the index unchanged, when memory ran out or the size would pass
// HASHINDEX_MAX_SIZE.
bool HashIndex_Reserve(HashIndex *index, uint64_t wanted);
// Empties the index, giving back what it grew past size.
void HashIndex_Clear(HashIndex *index, uint32_t size);

inline bool HashIndex_HasRoom(const HashIndex *index, uint64_t wanted) {
  return wanted * 4 <= uint64_t{index->size} * 3;
}

// The slot where the probe for hash starts: the hash spread over the size.
inline uint32_t HashIndex_Home(const HashIndex *index, uint32_t hash) {
  return static_cast<uint32_t>((uint64_t{hash * 0x9E3779B1u} * index->size) >> 32);
}

// Adds number (non-zero) under hash. There must be room for it.
inline void HashIndex_Place(HashIndex *index, uint32_t hash, uint32_t number) {
  uint32_t mask = index->size - 1;
  uint32_t b = HashIndex_Home(index, hash);
  while (index->slots[b].number != 0) {
    b = (b + 1) & mask;
  }
  index->slots[b] = HashIndexSlot{hash, number};
}

// Walks the probe for hash from *slot (start at HashIndex_Home): returns the
// next number stored under hash, or 0 at the probe's end.
inline uint32_t HashIndex_Next(const HashIndex *index, uint32_t hash, uint32_t *slot) {
  uint32_t mask = index->size - 1;
  for (uint32_t b = *slot;; b = (b + 1) & mask) {
    const HashIndexSlot &s = index->slots[b];
    if (s.number == 0) return 0;
    if (s.hash == hash) {
      *slot = (b + 1) & mask;
      return s.number;
    }
  }
}

struct HashTable;

// Stops the program unless numBuckets is a power of two.
HashTable *HashTable_Alloc(uint32_t numBuckets);
// Accepts NULL.
void HashTable_Free(HashTable *table);
// Returns false when the key is already present. NULL reads as "".
bool HashTable_Insert(HashTable *table, const char *key, void *value);
// Returns true and the value when the key is present.
bool HashTable_Lookup(const HashTable *table, const char *key, void **value);
// Removes every element; the table starts over at its first size.
void HashTable_Clear(HashTable *table);
// The slot where the lookup of key starts.
uint32_t HashTable_Hash(const HashTable *table, const char *key);
