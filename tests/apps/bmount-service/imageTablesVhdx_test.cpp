// A VHDX's block table: healthy images as QEMU makes and writes them pass,
// each damage qemu-img check lets through is refused in its words.
#include <gtest/gtest.h>

#include "tableDamage.h"

namespace tabletest {
namespace {

// Where the block table of image lies, by the first region table.
size_t BlockTable(const std::string &image) {
  const size_t regions = 192 << 10;
  for (size_t i = 0; i < Le(image, regions + 8, 4); i++) {
    size_t entry = regions + 16 + 32 * i;
    if (Le(image, entry, 4) == 0x2DC27766) return Le(image, entry + 16, 8);
  }
  ADD_FAILURE() << "no block table";
  return 0;
}

// image with the header at at given a sequence number, a version and its
// log's place, its sum made right again.
std::string WithHeader(std::string image, size_t at, uint64_t sequence, uint64_t version,
                       uint64_t log) {
  image = WithLe(WithLe(image, at + 8, 8, sequence), at + 66, 2, version);
  image = WithLe(WithLe(image, at + 72, 8, log), at + 4, 4, 0);
  uint32_t crc = ~0u;
  for (size_t i = at; i < at + 4096; i++) {
    crc ^= static_cast<unsigned char>(image[i]);
    for (int k = 0; k < 8; k++) crc = crc >> 1 ^ (0x82F63B78 & -(crc & 1));
  }
  return WithLe(image, at + 4, 4, ~crc);
}

TEST_F(TableDamageTest, AVhdxWhoseBlocksCollideIsDamaged) {
  const std::string good = Convert("good.vhdx", "vhdx", {"-o", "block_size=1M"});
  const size_t table = BlockTable(good);
  const uint64_t present = 6, first = Le(good, table, 8);
  ASSERT_EQ(first & 7, present);
  ASSERT_EQ(Le(good, table + 8 * 5, 8) & 7, present);
  ASSERT_EQ(Le(good, table + 8 * 2, 8) & 7, 2u);  // zero, not allocated
  Convert("written.vhdx", "vhdx");
  Convert("fixed.vhdx", "vhdx", {"-o", "subformat=fixed"});
  QemuImg({"create", "-q", "-f", "vhdx", file("large.vhdx"), "100G"});
  // Its file ends with what is left of the disk in its last block.
  QemuImg({"create", "-q", "-f", "vhdx", "-o", "subformat=fixed,block_state_zero=off,block_size=1M",
           file("odd.vhdx"), "10000001"});
  Expect("vhdx",
         {
             {"good.vhdx", "", ""},
             {"written.vhdx", Written("written.vhdx", "vhdx", {"3M 4k", "7M 1M", "0 512"}), ""},
             {"fixed.vhdx", Written("fixed.vhdx", "vhdx", {"3M 4k"}), ""},
             {"large.vhdx", Written("large.vhdx", "vhdx", {"50G 4k", "99G 64M"}), ""},
             {"odd.vhdx", Written("odd.vhdx", "vhdx", {"9M 4k"}), ""},
             {"same.vhdx", WithLe(good, table + 8 * 2, 8, first),
              "is damaged (block 2 lies over block 0)"},
             {"headers.vhdx", WithLe(good, table + 8 * 7, 8, present),
              "is damaged (block 7 lies over its headers)"},
             // The later header is of a version QEMU passes over; the one it
             // takes puts the log where the next block goes.
             {"version.vhdx",
              WithHeader(WithHeader(good, 64 << 10, 100, 2, kMiB), 128 << 10, 50, 1, good.size()),
              "is damaged (its log lies past its end)"},
         });
}

}  // namespace
}  // namespace tabletest
