// A hash table of string keys compared without regard to ASCII case, with a
// power-of-two bucket count that doubles as the table fills. The table does
// not own keys or values; a key must stay valid while it is in the table.
#pragma once

#include <cstdint>

struct HashTable;

// Stops the program unless numBuckets is a power of two.
HashTable *HashTable_Alloc(uint32_t numBuckets);
// Accepts NULL.
void HashTable_Free(HashTable *table);
// Returns false when the key is already present.
bool HashTable_Insert(HashTable *table, const char *key, void *value);
// Returns true and the value when the key is present.
bool HashTable_Lookup(const HashTable *table, const char *key, void **value);
// Removes every element.
void HashTable_Clear(HashTable *table);
// The home bucket of a key (exposed for tests): at the table's first size,
// the folded case-insensitive hash.
uint32_t HashTable_Hash(const HashTable *table, const char *key);
