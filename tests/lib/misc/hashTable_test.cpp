// The case-insensitive string hash table: its hash range, duplicate refusal,
// growth past its first bucket count, and clearing.
#include "misc/hashTable.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "falseWarnings.h"
#include "misc/panic.h"

namespace {

void PanicToStderr(const char *text) {
  fputs(text, stderr);
  fflush(stderr);
  std::_Exit(3);
}

struct TableDeleter {
  void operator()(HashTable *t) const { HashTable_Free(t); }
};
using TablePtr = std::unique_ptr<HashTable, TableDeleter>;

TEST(HashTableTest, HashIgnoresAsciiCaseAndFitsTheBuckets) {
  TablePtr t(HashTable_Alloc(512));
  EXPECT_EQ(HashTable_Hash(t.get(), ""), 0u);
  EXPECT_EQ(HashTable_Hash(t.get(), nullptr), 0u);
  EXPECT_EQ(HashTable_Hash(t.get(), "AB"), HashTable_Hash(t.get(), "ab"));
  EXPECT_LT(HashTable_Hash(t.get(), "a long key that folds many times"), 512u);
  HashTable_Free(nullptr);
  TablePtr one(HashTable_Alloc(1));
  EXPECT_EQ(HashTable_Hash(one.get(), "anything at all"), 0u);
}

TEST(HashTableTest, InsertRefusesDuplicatesInAnyCase) {
  TablePtr t(HashTable_Alloc(512));
  int a = 1, b = 2;
  EXPECT_TRUE(HashTable_Insert(t.get(), "Foo.Bar", &a));
  EXPECT_FALSE(HashTable_Insert(t.get(), "foo.bar", &b));
  EXPECT_FALSE(HashTable_Insert(t.get(), "FOO.BAR", &b));
  void *v = nullptr;
  ASSERT_TRUE(HashTable_Lookup(t.get(), "fOO.bAR", &v));
  EXPECT_EQ(v, &a);
  EXPECT_FALSE(HashTable_Lookup(t.get(), "foo.baz", &v));
  // Only ASCII letters fold: bytes above 127 compare exactly.
  EXPECT_TRUE(HashTable_Insert(t.get(), "\xC3\xA9", &a));
  EXPECT_TRUE(HashTable_Insert(t.get(), "\xC3\x89", &b));
}

TEST(HashTableTest, ManyKeysStayReachableAndClearEmpties) {
  TablePtr t(HashTable_Alloc(4));
  std::vector<std::string> keys;
  for (int i = 0; i < 20000; i++) {
    keys.push_back("section" + std::to_string(i % 97) + ".Key" + std::to_string(i));
  }
  for (size_t i = 0; i < keys.size(); i++) {
    ASSERT_TRUE(HashTable_Insert(t.get(), keys[i].c_str(), reinterpret_cast<void *>(i + 1)));
  }
  for (size_t i = 0; i < keys.size(); i++) {
    std::string upper = keys[i];
    for (char &c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    void *v = nullptr;
    ASSERT_TRUE(HashTable_Lookup(t.get(), upper.c_str(), &v)) << keys[i];
    EXPECT_EQ(v, reinterpret_cast<void *>(i + 1));
    EXPECT_FALSE(HashTable_Insert(t.get(), upper.c_str(), nullptr));
  }

  HashTable_Clear(t.get());
  EXPECT_FALSE(HashTable_Lookup(t.get(), keys[0].c_str(), nullptr));
  EXPECT_TRUE(HashTable_Insert(t.get(), keys[0].c_str(), nullptr));
  EXPECT_TRUE(HashTable_Lookup(t.get(), keys[0].c_str(), nullptr));
}

GCC_FALSE_RESTRICT_BEGIN
TEST(HashTableTest, CollidingKeysInTheLastBucketWrapAround) {
  TablePtr t(HashTable_Alloc(512));
  std::vector<std::string> last;
  for (int i = 0; last.size() < 4 && i < 1000000; i++) {
    std::string key = "k" + std::to_string(i);
    if (HashTable_Hash(t.get(), key.c_str()) == 511) last.push_back(key);
  }
  ASSERT_EQ(last.size(), 4u);
  // Fill bucket 0 too, so that the wrapped probes pass an occupied bucket.
  std::string first;
  for (int i = 0; first.empty(); i++) {
    std::string key = "z" + std::to_string(i);
    if (HashTable_Hash(t.get(), key.c_str()) == 0) first = key;
  }
  ASSERT_TRUE(HashTable_Insert(t.get(), first.c_str(), nullptr));
  for (const std::string &k : last) ASSERT_TRUE(HashTable_Insert(t.get(), k.c_str(), &last));
  for (const std::string &k : last) {
    void *v = nullptr;
    EXPECT_TRUE(HashTable_Lookup(t.get(), k.c_str(), &v)) << k;
    EXPECT_EQ(v, &last);
    EXPECT_FALSE(HashTable_Insert(t.get(), k.c_str(), nullptr));
  }
  EXPECT_TRUE(HashTable_Lookup(t.get(), first.c_str(), nullptr));
  EXPECT_FALSE(HashTable_Lookup(t.get(), "k-absent", nullptr));
}
GCC_FALSE_RESTRICT_END

TEST(HashTableDeathTest, BucketCountMustBeAPowerOfTwo) {
  Panic_SetHandler(PanicToStderr);
  EXPECT_EXIT(HashTable_Alloc(500), testing::ExitedWithCode(3),
              "Hash_Alloc only takes powers of 2");
  EXPECT_EXIT(HashTable_Alloc(0), testing::ExitedWithCode(3), "Hash_Alloc only takes powers of 2");
  Panic_SetHandler(nullptr);
}

}  // namespace
