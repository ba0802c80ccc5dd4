// The volume numbering of MBR and GPT images, images without volumes, and
// volumes too large for a 32-bit sector count.
#include "partitions.h"

#include <utility>

#include <gtest/gtest.h>

#include "serviceTestUtil.h"

namespace {

constexpr uint64_t kMiB = 1 << 20;
using Extents = std::vector<std::pair<uint64_t, uint64_t>>;  // start, length in sectors

TEST(Partitions, VolumesAreNumberedAsTheTableOrdersThem) {
  testsupport::TempDir dir;
  const std::string image = dir.file("disk.img");
  const uint64_t huge = uint64_t{1} << 31;
  std::string gpt = "label: gpt\n";
  gpt.append(image).append("1 : start=20480, size=2048\n").append(image);
  gpt.append("3 : start=2048, size=4096\n").append(image).append("4 : start=8192, size=1024\n");
  const struct {
    const char *name;
    uint64_t size;
    std::string script;
    Extents volumes;
  } kCases[] = {
      // MBR: primaries in slot order (not disk order), then the logicals in
      // chain order (here backwards); the extended container is no volume.
      {"mbr",
       20 * kMiB,
       "label: dos\nstart=26624, size=2048, type=83\nstart=6144, size=20480, type=5\n"
       "start=2048, size=4096, type=83\nstart=16384, size=2048, type=83\n"
       "start=8192, size=4096, type=83\n",
       {{26624, 2048}, {2048, 4096}, {16384, 2048}, {8192, 4096}}},
      // GPT: used entries in array order.
      {"gpt", 20 * kMiB, gpt, {{20480, 2048}, {2048, 4096}, {8192, 1024}}},
      {"2^31 sectors",
       (2048 + huge + 4096) * kSectorSize,
       "label: dos\nstart=2048, size=2147483648, type=83\nstart=2147485696, size=2048, type=83\n",
       {{2048, huge}, {2048 + huge, 2048}}},
      {"no table", 4 * kMiB, "", {}},
      {"empty table", 4 * kMiB, "label: dos\n", {}},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.name);
    servicetest::MakeImage(image, c.size, c.script);
    std::vector<VolumeExtent> volumes = {{1, 1}};
    int error = -1;
    EXPECT_EQ(ReadVolumes(image, &volumes, &error),
              c.volumes.empty() ? VolumeScan::NoVolumes : VolumeScan::Found);
    Extents got;
    for (const VolumeExtent &v : volumes) {
      got.emplace_back(v.offset / kSectorSize, v.length / kSectorSize);
    }
    EXPECT_EQ(got, c.volumes);
  }
}

TEST(Partitions, TooSmallOrMissingImages) {
  testsupport::TempDir dir;
  std::vector<VolumeExtent> volumes;
  int error = 0;
  testsupport::WriteFile(dir.file("tiny.img"), "not a disk");
  EXPECT_EQ(ReadVolumes(dir.file("tiny.img"), &volumes, &error), VolumeScan::NoVolumes);
  EXPECT_TRUE(volumes.empty());
  EXPECT_EQ(ReadVolumes(dir.file("missing.img"), &volumes, &error), VolumeScan::Unreadable);
  EXPECT_NE(error, 0);
}

}  // namespace
