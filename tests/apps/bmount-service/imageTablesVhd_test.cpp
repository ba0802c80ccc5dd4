// A VHD's block table, which qemu-img cannot check: healthy images as QEMU
// makes them pass, each damage is refused in its words, and the file is read
// through the name given for the one the service holds.
#include <gtest/gtest.h>

#include "tableDamage.h"

namespace tabletest {
namespace {

// bytes read as an unsigned big-endian number of width bytes at at.
uint64_t Be(const std::string &bytes, size_t at, int width) {
  uint64_t v = 0;
  for (int i = 0; i < width; i++) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

// bytes with the low 32 bits of value written big endian over the 4 bytes at at.
std::string WithBe(std::string bytes, size_t at, uint64_t value) {
  for (int i = 0; i < 4; i++) bytes[at + i] = static_cast<char>(value >> (24 - 8 * i));
  return bytes;
}

TEST_F(TableDamageTest, AVhdWhoseBlocksCollideIsDamaged) {
  const std::string good = Convert("good.vhd", "vpc");
  Convert("fixed.vhd", "vpc", {"-o", "subformat=fixed"});
  const uint64_t table = Be(good, 512 + 16, 8), sectors = good.size() / 512;
  ASSERT_EQ(Be(good, table, 4), 4u);  // block 0 first, then block 2
  ASSERT_EQ(Be(good, table + 8, 4), 4u + 4097);
  ASSERT_EQ(Be(good, table + 4, 4), 0xFFFFFFFFu);
  auto with = [&](size_t at, uint64_t value) { return WithBe(good, at, value); };
  // A differencing disk, which QEMU reads as a dynamic one, with the sum
  // QEMU checks made right.
  std::string differencing = WithBe(with(60, 4), 64, 0);
  uint32_t sum = 0;
  for (int i = 0; i < 512; i++) sum += static_cast<unsigned char>(differencing[i]);
  differencing = WithBe(differencing, 64, ~sum);
  // The header moved past the last block, where QEMU writes the next one.
  const uint64_t next = (Be(good, table + 8, 4) + 4097) * 512;
  ASSERT_EQ(next, good.size() - 512);
  std::string moved = good.substr(0, next) + good.substr(512, 1024) + good.substr(next);
  for (size_t footer : {size_t{0}, moved.size() - 512}) moved = WithBe(moved, footer + 20, next);
  const std::vector<std::string> said = Expect(
      "vpc",
      {
          {"good.vhd", "", ""},
          {"fixed.vhd", "", ""},
          {"differencing.vhd", differencing, ""},
          {"beyond.vhd", with(table + 4, sectors), "is damaged (block 1 lies past its end)"},
          {"footer.vhd", with(table + 4, sectors - 4097), "is damaged (block 1 lies past its end)"},
          {"table.vhd", with(table + 4, 3), "is damaged (block 1 lies over its block table)"},
          {"header.vhd", with(table + 4, 1), "is damaged (block 1 lies over its header)"},
          {"copy.vhd", with(table + 4, 0), "is damaged (block 1 lies over the copy of its footer)"},
          {"same.vhd", with(table + 4, 4), "is damaged (block 1 lies over block 0)"},
          {"overlap.vhd", with(table + 4, 4 + 4096), "is damaged (block 1 lies over block 0)"},
          {"unsigned.vhd", with(512, 0), "is damaged (no dynamic header"},
          {"endless.vhd", with(good.size() - 512, 0), ""},  // the copy at the start is read
          {"trailing.vhd", good + "xyz", ""},
          {"unfooted.vhd", with(0, 0).substr(0, good.size() - 512) + std::string(512, '\0'),
           "is damaged (no footer)"},
          {"moved.vhd", moved,
           "is damaged (its header lies where its next block would be written)"},
      });
  for (const std::string &why : said) EXPECT_EQ(why.find("qemu-img"), std::string::npos) << why;
  // Read by the name given, not the path another user may swap.
  DiskImage image;
  image.layers.push_back({file("same.vhd"), "vpc", 8 * kMiB, {}});
  std::string why;
  EXPECT_EQ(DiskImage_CheckTop(image, file("good.vhd"), &why), ImageProblem::None) << why;
  // QEMU would read a differencing one without its parent.
  EXPECT_EQ(DiskImage_Probe(file("differencing.vhd"), &image, &why), ImageProblem::Unsupported);
  EXPECT_NE(why.find("is a differencing VHD"), std::string::npos) << why;
  EXPECT_EQ(DiskImage_Probe(file("good.vhd"), &image, &why), ImageProblem::None) << why;
}

}  // namespace
}  // namespace tabletest
