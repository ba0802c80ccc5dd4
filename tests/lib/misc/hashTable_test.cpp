// The case-insensitive hash table: duplicate refusal in any case, growth far
// past its first size, probes that wrap around the end, clearing, and names
// made to share a hash.
#include "misc/hashTable.h"

#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "misc/panic.h"
#include "testSupport.h"

namespace {

using TablePtr = std::unique_ptr<HashTable, decltype(&HashTable_Free)>;

TEST(HashTableTest, KeysInAnyCaseGrowthAndClear) {
  TablePtr t(HashTable_Alloc(1), HashTable_Free);
  int a = 1;
  EXPECT_TRUE(HashTable_Insert(t.get(), "Foo.Bar", &a));
  EXPECT_FALSE(HashTable_Insert(t.get(), "FOO.BAR", nullptr));
  // Only ASCII letters fold: bytes above 127 compare exactly.
  EXPECT_TRUE(HashTable_Insert(t.get(), "\xC3\xA9", nullptr));
  EXPECT_TRUE(HashTable_Insert(t.get(), "\xC3\x89", nullptr));
  std::vector<std::string> keys;
  keys.reserve(20000);  // the table keeps pointers to the keys
  for (uintptr_t i = 0; i < 20000; i++) {
    keys.push_back("section" + std::to_string(i % 97) + ".Key" + std::to_string(i));
    ASSERT_TRUE(HashTable_Insert(t.get(), keys.back().c_str(), reinterpret_cast<void *>(i + 1)));
  }
  void *v = nullptr;
  ASSERT_TRUE(HashTable_Lookup(t.get(), "fOO.bAR", &v));
  EXPECT_EQ(v, &a);
  for (uintptr_t i = 0; i < keys.size(); i += 7) {
    std::string upper = keys[i];
    for (char &c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    ASSERT_TRUE(HashTable_Lookup(t.get(), upper.c_str(), &v)) << keys[i];
    EXPECT_EQ(v, reinterpret_cast<void *>(i + 1));
  }
  EXPECT_FALSE(HashTable_Lookup(t.get(), "section1.Key", nullptr));
  HashTable_Clear(t.get());
  EXPECT_FALSE(HashTable_Lookup(t.get(), keys[0].c_str(), nullptr));
  EXPECT_TRUE(HashTable_Insert(t.get(), keys[0].c_str(), nullptr));
  EXPECT_TRUE(HashTable_Lookup(t.get(), keys[0].c_str(), nullptr));
  HashTable_Free(nullptr);
}

TEST(HashTableTest, ProbesFromTheLastSlotWrapAround) {
  TablePtr t(HashTable_Alloc(512), HashTable_Free);
  // Keys whose probes start at the last slot, and one at slot 0 that the
  // wrapped probes pass.
  std::vector<std::string> last;
  std::string first;
  for (int i = 0; (last.size() < 4 || first.empty()) && i < 1000000; i++) {
    std::string key = "k";
    key += std::to_string(i);
    uint32_t home = HashTable_Hash(t.get(), key.c_str());
    if (home == 511 && last.size() < 4) last.push_back(key);
    if (home == 0 && first.empty()) first = key;
  }
  ASSERT_EQ(last.size(), 4u);
  ASSERT_TRUE(HashTable_Insert(t.get(), first.c_str(), nullptr));
  for (const std::string &k : last) ASSERT_TRUE(HashTable_Insert(t.get(), k.c_str(), &last));
  for (const std::string &k : last) {
    void *v = nullptr;
    EXPECT_TRUE(HashTable_Lookup(t.get(), k.c_str(), &v)) << k;
    EXPECT_EQ(v, &last);
    EXPECT_FALSE(HashTable_Insert(t.get(), k.c_str(), nullptr));
  }
  EXPECT_TRUE(HashTable_Lookup(t.get(), first.c_str(), nullptr));
}

// Families of names a file could hold to make every lookup walk them all:
// bytes that differ in their 0x20 bit but are no letters, and words that
// differ in their top bits (with the next word making up for it). Their
// hashes must spread like any others', while letters still fold.
TEST(HashNameTest, NamesMadeToShareAHashDoNot) {
  const struct {
    const char *what;
    std::string (*name)(unsigned bits);
  } families[] = {
      {"brackets and braces",
       [](unsigned bits) {
         std::string name;
         for (int i = 0; i < 12; i++) name += (bits >> i & 1) != 0 ? '{' : '[';
         return name;
       }},
      {"top bits",
       [](unsigned bits) {
         std::string name(16 * 12, 'a');
         for (int i = 0; i < 12; i++) {
           if ((bits >> i & 1) != 0) {
             name[16 * i + 7] ^= '\x80';
             name[16 * i + 12] ^= 0x04;
             name[16 * i + 15] ^= '\x80';
           }
         }
         return name;
       }},
  };
  for (const auto &f : families) {
    std::set<uint32_t> hashes;
    for (unsigned bits = 0; bits < 4096; bits++) {
      std::string name = f.name(bits);
      hashes.insert(HashTable_HashName(name.data(), name.size()));
    }
    EXPECT_GT(hashes.size(), 4090u) << f.what;
  }
  EXPECT_EQ(HashTable_HashName("Foo.BAR[", 8), HashTable_HashName("fOO.bar[", 8));
  EXPECT_NE(HashTable_HashName("Foo.BAR[", 8), HashTable_HashName("Foo.BAR{", 8));
}

TEST(HashTableDeathTest, BucketCountMustBeAPowerOfTwo) {
  Panic_SetHandler(testsupport::PanicToStderr);
  EXPECT_EXIT(HashTable_Alloc(500), testing::ExitedWithCode(3), "only takes powers of 2");
  EXPECT_EXIT(HashTable_Alloc(0), testing::ExitedWithCode(3), "only takes powers of 2");
  Panic_SetHandler(nullptr);
}

}  // namespace
