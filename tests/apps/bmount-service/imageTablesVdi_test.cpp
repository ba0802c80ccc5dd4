// A VDI's block map: healthy images as QEMU makes and writes them pass, each
// damage qemu-img check lets through is refused in its words.
#include <gtest/gtest.h>

#include "tableDamage.h"

namespace tabletest {
namespace {

constexpr size_t kMap = 0x154, kData = 0x158, kAllocated = 0x184;

TEST_F(TableDamageTest, AVdiWhoseBlocksCollideIsDamaged) {
  const std::string good = Convert("good.vdi", "vdi");
  const uint64_t map = Le(good, kMap, 4), data = Le(good, kData, 4);
  ASSERT_EQ(Le(good, kAllocated, 4), 3u);
  ASSERT_EQ(Le(good, map + 4 * 5, 4), 2u);  // block 5 in the third place
  ASSERT_EQ(good.size(), data + 3 * kMiB);
  Convert("written.vdi", "vdi");
  QemuImg({"create", "-q", "-f", "vdi", file("empty.vdi"), "8M"});
  const std::string empty = testsupport::ReadFile(file("empty.vdi"));
  ASSERT_EQ(Le(empty, kAllocated, 4), 0u);
  // Its 5 million blocks all allocated (a sparse file).
  QemuImg({"create", "-q", "-f", "vdi", "-o", "static=on", file("large.vdi"), "5T"});
  // Block 1's data moved to the place the next block is given.
  std::string next = WithLe(good, map + 4, 4, 3) + good.substr(data + kMiB, kMiB);
  Expect(
      "vdi",
      {
          {"good.vdi", "", ""},
          {"written.vdi", Written("written.vdi", "vdi", {"3M 4k", "7M 1M", "0 512"}), ""},
          {"static.vdi", Convert("static.vdi", "vdi", {"-o", "static=on"}), ""},
          {"empty.vdi", "", ""},
          {"large.vdi", "", ""},
          {"next.vdi", next, "is damaged (block 1 lies where its next block would be written)"},
          {"cut.vdi", good.substr(0, good.size() - 512), "is damaged (block 5 lies past its end)"},
          {"header.vdi", WithLe(good, kData, 4, 0), "is damaged (block 0 lies over its header)"},
          {"map.vdi", WithLe(good, kData, 4, map), "is damaged (block 0 lies over its block map)"},
          {"unfilled.vdi", WithLe(empty, kData, 4, 0),
           "is damaged (its header lies where its next block would be written)"},
          {"mapfree.vdi", WithLe(empty, kData, 4, map),
           "is damaged (its block map lies where its next block would be written)"},
      });
}

}  // namespace
}  // namespace tabletest
