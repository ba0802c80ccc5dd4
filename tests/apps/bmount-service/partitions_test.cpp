// The volume numbering of MBR and GPT images, images without volumes, and
// volumes too large for a 32-bit sector count.
#include "partitions.h"

#include <gtest/gtest.h>

#include "serviceTestUtil.h"

namespace {

using servicetest::MakeImage;

constexpr uint64_t kMiB = 1 << 20;

std::vector<uint64_t> StartSectors(const std::vector<VolumeExtent> &volumes) {
  std::vector<uint64_t> starts;
  for (const VolumeExtent &v : volumes) {
    starts.push_back(v.offset / kSectorSize);
  }
  return starts;
}

TEST(Partitions, MbrPrimariesInSlotOrderThenLogicalsInChainOrder) {
  testsupport::TempDir dir;
  std::string image = dir.file("disk.img");
  // Slot order differs from position on the disk, and the logical chain runs
  // backwards; the extended container (slot 2) is no volume.
  MakeImage(image, 20 * kMiB,
            "label: dos\n"
            "start=26624, size=2048, type=83\n"
            "start=6144, size=20480, type=5\n"
            "start=2048, size=4096, type=83\n"
            "start=16384, size=2048, type=83\n"
            "start=8192, size=4096, type=83\n");
  std::vector<VolumeExtent> volumes;
  int error = -1;
  ASSERT_EQ(ReadVolumes(image, &volumes, &error), VolumeScan::Found);
  EXPECT_EQ(StartSectors(volumes), (std::vector<uint64_t>{26624, 2048, 16384, 8192}));
  EXPECT_EQ(volumes[0].length, 2048u * 512);
  EXPECT_EQ(volumes[1].length, 4096u * 512);
  EXPECT_EQ(volumes[3].offset, 8192u * 512);
}

TEST(Partitions, GptUsedEntriesInArrayOrder) {
  testsupport::TempDir dir;
  std::string image = dir.file("gpt.img");
  MakeImage(image, 20 * kMiB,
            "label: gpt\n" + image + "1 : start=20480, size=2048\n" + image +
                "3 : start=2048, size=4096\n" + image + "4 : start=8192, size=1024\n");
  std::vector<VolumeExtent> volumes;
  int error = -1;
  ASSERT_EQ(ReadVolumes(image, &volumes, &error), VolumeScan::Found);
  EXPECT_EQ(StartSectors(volumes), (std::vector<uint64_t>{20480, 2048, 8192}));
  EXPECT_EQ(volumes[2].length, 1024u * 512);
}

TEST(Partitions, NoTableOrNoPartitions) {
  testsupport::TempDir dir;
  std::vector<VolumeExtent> volumes;
  int error = -1;

  std::string blank = dir.file("blank.img");
  MakeImage(blank, 4 * kMiB, "");
  EXPECT_EQ(ReadVolumes(blank, &volumes, &error), VolumeScan::NoVolumes);

  std::string empty = dir.file("empty-table.img");
  MakeImage(empty, 4 * kMiB, "label: dos\n");
  EXPECT_EQ(ReadVolumes(empty, &volumes, &error), VolumeScan::NoVolumes);

  std::string tiny = dir.file("tiny.img");
  testsupport::WriteFile(tiny, "not a disk");
  EXPECT_EQ(ReadVolumes(tiny, &volumes, &error), VolumeScan::NoVolumes);
  EXPECT_TRUE(volumes.empty());
}

TEST(Partitions, MissingImageIsUnreadable) {
  testsupport::TempDir dir;
  std::vector<VolumeExtent> volumes;
  int error = 0;
  EXPECT_EQ(ReadVolumes(dir.file("missing.img"), &volumes, &error), VolumeScan::Unreadable);
  EXPECT_NE(error, 0);
}

TEST(Partitions, VolumeOfTwoToTheThirtyFirstSectors) {
  testsupport::TempDir dir;
  std::string image = dir.file("huge.img");
  const uint64_t huge = uint64_t{1} << 31;
  MakeImage(image, (2048 + huge + 4096) * kSectorSize,
            "label: dos\nstart=2048, size=2147483648, type=83\n"
            "start=2147485696, size=2048, type=83\n");
  std::vector<VolumeExtent> volumes;
  int error = -1;
  ASSERT_EQ(ReadVolumes(image, &volumes, &error), VolumeScan::Found);
  ASSERT_EQ(volumes.size(), 2u);
  EXPECT_EQ(volumes[0].length, huge * kSectorSize);
  EXPECT_EQ(volumes[1].offset, (2048 + huge) * kSectorSize);
}

}  // namespace
