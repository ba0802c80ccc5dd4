// A sparse vmdk whose grains or tables share a place passes qemu-img check,
// and QEMU's next writes then land on the user's data.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "diskImage.h"
#include "serviceTestUtil.h"

namespace {

constexpr uint64_t kMiB = 1 << 20;

class VmdkTablesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testsupport::Run({"/usr/bin/qemu-img", "--version"}).exitCode != 0) {
      GTEST_SKIP() << "qemu-img is not installed";
    }
  }
  std::string file(const std::string &name) const { return dir_.file(name); }
  void Qemu(const char *tool, std::vector<std::string> args) {
    args.insert(args.begin(), std::string("/usr/bin/") + tool);
    testsupport::ProcessResult r = testsupport::Run(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  ImageProblem Check(const std::string &name, std::string *why) {
    DiskImage image;
    std::string error;
    EXPECT_EQ(DiskImage_Probe(file(name), &image, &error), ImageProblem::None) << error;
    return DiskImage_CheckTop(image, "", why);
  }

  testsupport::TempDir dir_;
};

// The bytes of a file, with little-endian numbers read and set.
struct Bytes {
  std::string data;
  uint64_t Get(uint64_t at, int count = 4) const {
    uint64_t v = 0;
    for (int i = count; i-- > 0;) v = v << 8 | static_cast<unsigned char>(data[at + i]);
    return v;
  }
  Bytes Set(uint64_t at, uint64_t value, int count = 4) const {
    Bytes copy = *this;
    for (int i = 0; i < count; i++) copy.data[at + i] = static_cast<char>(value >> (8 * i));
    return copy;
  }
  // Entry to takes entry from's grain in both tables, as in the damage seen.
  Bytes Reuse(int from, int to) const {
    Bytes copy = *this;
    for (uint64_t table : {Table(56), Table(48)}) {
      copy = copy.Set(table + to * 4, Get(table + from * 4));
    }
    return copy;
  }
  // The first grain table of the directory whose place the header keeps at
  // field.
  uint64_t Table(int field) const { return Get(Get(field, 8) * 512) * 512; }
};

TEST_F(VmdkTablesTest, GrainsAndTablesThatShareAPlaceAreDamaged) {
  // An MBR disk with data at 5 MiB: grains 0 and 80 are allocated.
  servicetest::MakeImage(file("disk.raw"), 8 * kMiB, "label: dos\nstart=2048, type=83\n");
  {
    std::fstream raw(file("disk.raw"), std::ios::in | std::ios::out | std::ios::binary);
    raw.seekp(5 * kMiB);
    raw.write("data", 4);
  }
  Qemu("qemu-img", {"convert", "-f", "raw", "-O", "vmdk", file("disk.raw"), file("good.vmdk")});
  const Bytes good{testsupport::ReadFile(file("good.vmdk"))};
  const uint64_t table = good.Table(56), copy = good.Table(48), sectors = good.data.size() / 512;
  ASSERT_NE(good.Get(table), 0u);
  ASSERT_NE(good.Get(table + 80 * 4), 0u);
  ASSERT_EQ(good.Get(table + 5 * 4), 0u);
  // Grain table 0 moved onto grain 80's place, which it still names.
  const uint64_t grain80 = good.Get(table + 80 * 4);
  Bytes moved = good.Set(good.Get(56, 8) * 512, grain80);
  moved.data.replace(grain80 * 512, 2048, good.data, table, 2048);

  // Written by QEMU: new grains at the end, a grain made zero in place.
  std::filesystem::copy_file(file("good.vmdk"), file("written.vmdk"));
  Qemu("qemu-io", {"-f", "vmdk", "-c", "write 320k 4k", "-c", "write -z 0 64k", "-c",
                   "write 7M 64k", file("written.vmdk")});
  Qemu("qemu-img",
       {"create", "-q", "-f", "vmdk", "-o", "zeroed_grain=on", file("zeroed.vmdk"), "8M"});
  Qemu("qemu-io", {"-f", "vmdk", "-c", "write 0 64k", "-c", "write -z 64k 64k", "-c",
                   "write -z 0 64k", file("zeroed.vmdk")});
  Qemu("qemu-img", {"convert", "-f", "raw", "-O", "vmdk", "-o", "subformat=monolithicFlat",
                    file("disk.raw"), file("flat.vmdk")});

  const struct {
    const char *name;
    Bytes bytes;      // empty for the file as made
    const char *why;  // "" for none: not damaged
  } rows[] = {
      {"good.vmdk", {}, ""},
      {"written.vmdk", {}, ""},
      {"zeroed.vmdk", {}, ""},
      {"flat.vmdk", {}, ""},
      {"same.vmdk", good.Reuse(0, 5), "is damaged (grain 5 lies over grain 0)"},
      {"overlap.vmdk", good.Set(table + 20, good.Get(table) + 8),
       "is damaged (grain 5 lies over grain 0)"},
      {"beyond.vmdk", good.Set(table + 20, sectors - 8), "is damaged (grain 5 lies past its end)"},
      {"descriptor.vmdk", good.Set(table + 20, 1), "is damaged (grain 5 lies over its descriptor)"},
      {"table.vmdk", good.Set(table + 20, table / 512),
       "is damaged (grain 5 lies over grain table 0)"},
      {"copy.vmdk", good.Set(table + 20, copy / 512),
       "is damaged (grain 5 lies over redundant grain table 0)"},
      {"directory.vmdk", good.Set(table + 20, good.Get(48, 8)),
       "is damaged (grain 5 lies over its redundant grain directory)"},
      {"moved.vmdk", moved, "is damaged (grain 80 lies over grain table 0)"},
      {"tables.vmdk", good.Set(good.Get(56, 8) * 512, copy / 512 + 1),
       "is damaged (grain table 0 lies over redundant grain table 0)"},
      {"indescriptor.vmdk", good.Set(good.Get(56, 8) * 512, 20),
       "is damaged (grain table 0 lies over its descriptor)"},
      {"gd.vmdk", good.Set(56, 20, 8), "is damaged (its grain directory lies over its descriptor)"},
      {"rgd.vmdk", good.Set(48, table / 512, 8),
       "is damaged (grain table 0 lies over its redundant grain directory)"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    if (!row.bytes.data.empty()) testsupport::WriteFile(file(row.name), row.bytes.data);
    std::string why;
    ImageProblem problem = Check(row.name, &why);
    EXPECT_EQ(problem, *row.why ? ImageProblem::Damaged : ImageProblem::None);
    EXPECT_NE(why.find(row.why), std::string::npos) << why;
  }
}

// Each extent of a split image has tables of its own.
TEST_F(VmdkTablesTest, EachSparseExtentIsChecked) {
  Qemu("qemu-img", {"create", "-q", "-f", "vmdk", "-o", "subformat=twoGbMaxExtentSparse",
                    file("split.vmdk"), "5G"});
  Qemu("qemu-io", {"-f", "vmdk", "-c", "write 0 64k", "-c", "write 2G 64k", "-c", "write 4G 4k",
                   file("split.vmdk")});
  std::string why;
  EXPECT_EQ(Check("split.vmdk", &why), ImageProblem::None) << why;
  const Bytes second{testsupport::ReadFile(file("split-s002.vmdk"))};
  testsupport::WriteFile(file("split-s002.vmdk"), second.Reuse(0, 5).data);
  EXPECT_EQ(Check("split.vmdk", &why), ImageProblem::Damaged);
  EXPECT_NE(why.find("(grain 5 lies over grain 0 in its extent \"" + file("split-s002.vmdk")),
            std::string::npos)
      << why;
}

}  // namespace
