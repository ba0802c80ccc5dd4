// A Parallels image's block table: healthy images as QEMU makes and writes
// them pass, each damage qemu-img check lets through is refused in its words.
#include <gtest/gtest.h>

#include "tableDamage.h"

namespace tabletest {
namespace {

constexpr size_t kTable = 64, kDataOffset = 48;

// image in the older header, whose entries count sectors.
std::string InSectors(std::string image) {
  const uint64_t sectors = Le(image, 28, 4), entries = Le(image, 32, 4);
  image.replace(0, 16, "WithoutFreeSpace");
  for (uint64_t i = 0; i < entries; i++) {
    image = WithLe(image, kTable + 4 * i, 4, Le(image, kTable + 4 * i, 4) * sectors);
  }
  return image;
}

TEST_F(TableDamageTest, AParallelsImageWhoseBlocksCollideIsDamaged) {
  const std::string good = Convert("good.prl", "parallels");
  ASSERT_EQ(Le(good, kDataOffset, 4), 2048u);
  ASSERT_EQ(Le(good, kTable + 4 * 5, 4), 3u);  // the third block
  ASSERT_EQ(good.size(), 4 * kMiB);
  const std::string old = InSectors(good);
  Convert("written.prl", "parallels");
  Convert("small.prl", "parallels", {"-o", "cluster_size=64k"});
  testsupport::WriteFile(file("writtenold.prl"), old);
  // Older writers leave no data offset; QEMU then puts a first block at 0.
  const std::string unset = WithLe(good, kDataOffset, 4, 0);
  std::string blank = unset;
  for (uint64_t i = 0; i < Le(good, 32, 4); i++) blank = WithLe(blank, kTable + 4 * i, 4, 0);
  Expect(
      "parallels",
      {
          {"good.prl", "", ""},
          {"written.prl", Written("written.prl", "parallels", {"3M 4k", "7M 1M", "0 512"}), ""},
          {"small.prl", Written("small.prl", "parallels", {"3M 4k", "6M 100k"}), ""},
          {"old.prl", old, ""},
          {"writtenold.prl", Written("writtenold.prl", "parallels", {"3M 4k"}), ""},
          {"same.prl", WithLe(good, kTable + 4 * 2, 4, 2),
           "is damaged (block 2 lies over block 1)"},
          {"sameold.prl", WithLe(old, kTable + 4 * 7, 4, 2048 + 512),
           "is damaged (block 7 lies over block 0)"},
          {"short.prl", WithLe(good, 32, 4, 4),
           "is damaged (its block table holds fewer entries than its disk has blocks)"},
          {"cut.prl", good.substr(0, good.size() - 512), "is damaged (block 5 lies past its end)"},
          {"before.prl", WithLe(old, kTable + 4 * 3, 4, 1),
           "is damaged (block 3 lies before its data)"},
          {"unset.prl", unset, ""},
          {"blank.prl", blank,
           "is damaged (its header lies where its next block would be written)"},
      });
}

}  // namespace
}  // namespace tabletest
