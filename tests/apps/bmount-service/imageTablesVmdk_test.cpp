// A sparse vmdk whose grains or tables share a place passes qemu-img check,
// and QEMU's next writes then land on the user's data.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "tableDamage.h"

namespace tabletest {
namespace {

// Checked as the service checks a top image, extents found by the probe.
class VmdkTablesTest : public TableDamageTest {
 protected:
  ImageProblem Check(const std::string &name, std::string *why) {
    DiskImage image;
    std::string error;
    EXPECT_EQ(DiskImage_Probe(file(name), &image, &error), ImageProblem::None) << error;
    return DiskImage_CheckTop(image, "", why);
  }
};

// The bytes of a file, with little-endian numbers read and set.
struct Bytes {
  std::string data;
  uint64_t Get(uint64_t at, int count = 4) const { return Le(data, at, count); }
  Bytes Set(uint64_t at, uint64_t value, int count = 4) const {
    return {WithLe(data, at, count, value)};
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
  // The fixture's disk: grains 0, 16 and 80 are allocated.
  const Bytes good{Convert("good.vmdk", "vmdk")};
  const uint64_t table = good.Table(56), copy = good.Table(48), sectors = good.data.size() / 512;
  ASSERT_NE(good.Get(table), 0u);
  ASSERT_NE(good.Get(table + 80 * 4), 0u);
  ASSERT_EQ(good.Get(table + 5 * 4), 0u);
  // Grain table 0 moved onto grain 80's place, which it still names.
  const uint64_t grain80 = good.Get(table + 80 * 4), directory = good.Get(56, 8) * 512;
  Bytes moved = good.Set(directory, grain80);
  moved.data.replace(grain80 * 512, 2048, good.data, table, 2048);
  // Table 0 at sector 10: in what QEMU rewrites of a descriptor the header
  // says takes one sector.
  Bytes rewritten = good.Set(36, 1, 8).Set(directory, 10);
  rewritten.data.replace(10 * 512, 2048, good.data, table, 2048);

  const struct {
    const char *name;
    Bytes bytes;      // empty for the file as made
    const char *why;  // "" for none: not damaged
  } rows[] = {
      {"good.vmdk", {}, ""},
      {"same.vmdk", good.Reuse(0, 5), "is damaged (grain 5 lies over grain 0)"},
      {"beyond.vmdk", good.Set(table + 20, sectors - 8), "is damaged (grain 5 lies past its end)"},
      {"descriptor.vmdk", good.Set(table + 20, 1), "is damaged (grain 5 lies over its descriptor)"},
      {"table.vmdk", good.Set(table + 20, table / 512),
       "is damaged (grain 5 lies over grain table 0)"},
      {"copy.vmdk", good.Set(table + 20, copy / 512),
       "is damaged (grain 5 lies over redundant grain table 0)"},
      {"moved.vmdk", moved, "is damaged (grain 80 lies over grain table 0)"},
      {"tables.vmdk", good.Set(good.Get(56, 8) * 512, copy / 512 + 1),
       "is damaged (grain table 0 lies over redundant grain table 0)"},
      {"indescriptor.vmdk", good.Set(good.Get(56, 8) * 512, 20),
       "is damaged (grain table 0 lies over its descriptor)"},
      {"gd.vmdk", good.Set(56, 20, 8).Set(20 * 512, good.Get(directory)),
       "is damaged (its grain directory lies over its descriptor)"},
      {"rgd.vmdk", good.Set(48, table / 512, 8),
       "is damaged (grain table 0 lies over its redundant grain directory)"},
      {"flagged.vmdk", good.Reuse(0, 5).Set(8, good.Get(8) | 1 << 16),
       "is damaged (grain 5 lies over grain 0)"},
      {"rewritten.vmdk", rewritten, "is damaged (grain table 0 lies over its descriptor)"},
      {"nogt.vmdk", good.Set(directory, 0), "is damaged (grain table 0 lies over its header)"},
      {"nocopy.vmdk", good.Set(good.Get(48, 8) * 512, 0),
       "is damaged (redundant grain table 0 lies over its header)"},
      {"oddgrain.vmdk", good.Set(20, 127, 8), "is damaged (a grain of 127 sectors)"},
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

// As QEMU makes and writes them, in several sizes and kinds, they pass.
TEST_F(VmdkTablesTest, ImagesWrittenByQemuPass) {
  const struct {
    const char *size, *options;
  } rows[] = {
      {"1M", "subformat=monolithicSparse"},
      {"100M", "compat6=on"},
      {"8M", "zeroed_grain=on"},
      {"3G", "subformat=monolithicSparse"},
      {"5G", "subformat=twoGbMaxExtentSparse"},
      {"100M", "subformat=streamOptimized"},
      {"100M", "subformat=twoGbMaxExtentFlat"},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(std::string(row.size) + " " + row.options);
    std::filesystem::remove_all(file("image"));
    std::filesystem::create_directory(file("image"));
    const std::string image = file("image/d.vmdk");
    QemuImg({"create", "-q", "-f", "vmdk", "-o", row.options, image, row.size});
    if (std::string(row.options).find("stream") == std::string::npos) {
      // New grains at the end, one made zero (in place, or flagged in its
      // entry).
      QemuIo({"-f", "vmdk", "-c", "write 0 4k", "-c", "write -P 1 900k 64k", "-c",
              "write -P 2 0 1k", "-c", "write -z 896k 64k", image});
    }
    std::string why;
    EXPECT_EQ(Check("image/d.vmdk", &why), ImageProblem::None) << why;
  }
  // A child's new grains hold what its parent had.
  QemuImg(
      {"create", "-q", "-f", "vmdk", "-b", file("image/d.vmdk"), "-F", "vmdk", file("child.vmdk")});
  QemuIo({"-f", "vmdk", "-c", "write 4k 4k", "-c", "write 50M 4k", file("child.vmdk")});
  std::string why;
  EXPECT_EQ(Check("child.vmdk", &why), ImageProblem::None) << why;
  // A flat extent holds the disk's own bytes, which may look like a header.
  QemuImg(
      {"create", "-q", "-f", "vmdk", "-o", "subformat=monolithicFlat", file("flat.vmdk"), "1M"});
  {
    std::fstream flat(file("flat-flat.vmdk"), std::ios::in | std::ios::out | std::ios::binary);
    flat.write(("KDMV" + std::string(16, '\0') + std::string(492, '\xff')).data(), 512);
  }
  EXPECT_EQ(Check("flat.vmdk", &why), ImageProblem::None) << why;
}

// Each sparse extent a descriptor names has tables of its own: those of a
// split image, and QEMU writes the older VMFS kind too.
TEST_F(VmdkTablesTest, EachSparseExtentIsChecked) {
  QemuImg({"create", "-q", "-f", "vmdk", "-o", "subformat=twoGbMaxExtentSparse", file("split.vmdk"),
           "5G"});
  QemuIo({"-f", "vmdk", "-c", "write 0 64k", "-c", "write 2G 64k", "-c", "write 4G 4k",
          file("split.vmdk")});
  // 4 MiB in grains of 8 KiB: the directory at sector 4, its one table at 5.
  Bytes vmfs{std::string(37 * 512, '\0')};
  vmfs.data.replace(0, 4, "COWD");
  vmfs = vmfs.Set(4, 1).Set(8, 3).Set(12, 8192).Set(16, 16).Set(20, 4).Set(24, 1).Set(28, 37);
  testsupport::WriteFile(file("vmfs.dat"), vmfs.Set(4 * 512, 5).data);
  testsupport::WriteFile(file("vmfs.vmdk"),
                         "# Disk DescriptorFile\nversion=1\nCID=12345678\nparentCID=ffffffff\n"
                         "createType=\"vmfsSparse\"\n# Extent description\n"
                         "RW 8192 VMFSSPARSE \"vmfs.dat\"\n");
  QemuIo({"-f", "vmdk", "-c", "write 0 4k", "-c", "write 1M 4k", file("vmfs.vmdk")});
  const struct {
    const char *name, *extent;
    uint64_t table;  // where the extent's first grain table lies
  } rows[] = {{"split.vmdk", "split-s002.vmdk", 0}, {"vmfs.vmdk", "vmfs.dat", 5 * 512}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    std::string why;
    EXPECT_EQ(Check(row.name, &why), ImageProblem::None) << why;
    const Bytes extent{testsupport::ReadFile(file(row.extent))};
    const uint64_t table = row.table != 0 ? row.table : extent.Table(56);
    testsupport::WriteFile(file(row.extent), extent.Set(table + 20, extent.Get(table)).data);
    EXPECT_EQ(Check(row.name, &why), ImageProblem::Damaged);
    EXPECT_NE(why.find("(grain 5 lies over grain 0 in its extent \"" + file(row.extent)),
              std::string::npos)
        << why;
  }
}

}  // namespace
}  // namespace tabletest
