// The raw view of a non-raw disk through qemu-storage-daemon's FUSE export:
// partition tables read through it, writes landing in the top image only,
// exports limited to one volume, adoption by a new owner, and a killed
// daemon giving errors rather than hangs, then being cleaned away.
#include "storageDaemon.h"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "host/mount.h"
#include "host/process.h"
#include "partitions.h"
#include "serviceTestUtil.h"

namespace {

constexpr uint64_t kMiB = 1 << 20;

std::string Sha256(const std::string &path) {
  return testsupport::Run({"/usr/bin/sha256sum", path}).out.substr(0, 64);
}

class StorageDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testsupport::Run({"/usr/bin/qemu-storage-daemon", "--version"}).exitCode != 0) {
      GTEST_SKIP() << "qemu-storage-daemon is not installed";
    }
    char *why = nullptr;
    if (!HostMount_FuseUsable(&why)) {
      std::string text = why;
      free(why);
      GTEST_SKIP() << text;
    }
  }
  // A failed test leaves its daemons running: end them and their mounts.
  void TearDown() override {
    testsupport::Run({"/bin/sh", "-c",
                      "for p in \"$0\"/*/pid; do [ -f \"$p\" ] && kill -9 $(cat \"$p\"); done; "
                      "sleep 0.2; for e in \"$0\"/*/export.*; do umount -l \"$e\"; done",
                      base()});
  }
  std::string file(const std::string &name) const { return dir_.file(name); }
  std::string base() const { return dir_.file("daemons"); }
  void QemuImg(std::vector<std::string> args) {
    args.insert(args.begin(), "/usr/bin/qemu-img");
    testsupport::ProcessResult r = testsupport::Run(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  // A qcow2 disk of 8 MiB with that partition table, and its image.
  DiskImage Qcow2Disk(const std::string &name, const std::string &table) {
    servicetest::MakeImage(file(name + ".raw"), 8 * kMiB, table);
    QemuImg({"convert", "-f", "raw", "-O", "qcow2", file(name + ".raw"), file(name)});
    return Probed(name);
  }
  DiskImage Probed(const std::string &name) {
    DiskImage image;
    std::string why;
    EXPECT_EQ(DiskImage_Probe(file(name), &image, &why), ImageProblem::None) << why;
    return image;
  }

  testsupport::TempDir dir_;
};

TEST_F(StorageDaemonTest, PartitionTablesReadThroughTheExport) {
  const struct {
    const char *table;
    std::vector<uint64_t> starts;  // sectors
  } cases[] = {
      {"label: dos\nstart=2048, size=4096, type=83\nstart=8192, size=2048, type=83\n",
       {2048, 8192}},
      {"label: dos\nstart=2048, size=2048, type=83\nstart=4096, size=10240, type=5\n"
       "start=6144, size=2048, type=83\nstart=10240, size=2048, type=83\n",
       {2048, 6144, 10240}},
      {"label: gpt\nstart=2048, size=4096\nstart=8192, size=4096\n", {2048, 8192}},
  };
  // One daemon looks at each disk in turn, as a service keeps one for that.
  StorageDaemon daemon(base());
  std::string why;
  ASSERT_TRUE(daemon.Launch("look", &why)) << why;
  int n = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.table);
    std::string disk = "disk" + std::to_string(++n);
    DiskImage image = Qcow2Disk(disk + ".qcow2", c.table);
    ASSERT_TRUE(daemon.Open(disk, image, true, &why)) << why;
    ASSERT_TRUE(daemon.Export("all", disk, 0, 0, false, &why)) << why;
    EXPECT_EQ(std::filesystem::file_size(daemon.ExportFile("all")), 8 * kMiB);
    std::vector<VolumeExtent> volumes;
    int error = 0;
    ASSERT_EQ(ReadVolumes(daemon.ExportFile("all"), &volumes, &error), VolumeScan::Found);
    std::vector<uint64_t> starts;
    for (const VolumeExtent &v : volumes) {
      starts.push_back(v.offset / kSectorSize);
    }
    EXPECT_EQ(starts, c.starts);
    ASSERT_TRUE(daemon.Close(disk, &why)) << why;
    EXPECT_FALSE(std::filesystem::exists(daemon.ExportFile("all")));
  }
  long pid = daemon.Record().pid;
  ASSERT_TRUE(daemon.Stop(&why)) << why;
  EXPECT_FALSE(HostProcess_Alive(pid));
  EXPECT_FALSE(std::filesystem::exists(base() + "/look"));
}

TEST_F(StorageDaemonTest, VolumeWritesLandInTheChildOnly) {
  Qcow2Disk("base.qcow2", "label: dos\nstart=2048, size=4096, type=83\n");
  QemuImg({"create", "-f", "qcow2", "-b", file("base.qcow2"), "-F", "qcow2", file("child.qcow2")});
  std::string parentSum = Sha256(file("base.qcow2"));
  DiskImage image = Probed("child.qcow2");
  ASSERT_EQ(image.layers.size(), 2u);
  StorageDaemon daemon(base());
  std::string why;
  ASSERT_TRUE(daemon.Start("d2", image, false, &why)) << why;
  ASSERT_TRUE(daemon.Export("v1", "disk", kMiB, 2 * kMiB, true, &why)) << why;
  std::string exported = daemon.ExportFile("v1");
  ASSERT_EQ(std::filesystem::file_size(exported), 2 * kMiB);
  // The same daemon serves more exports of the disk, but QEMU lets only one
  // writable range exist beside another.
  ASSERT_TRUE(daemon.Export("all", "disk", 0, 0, false, &why)) << why;
  EXPECT_FALSE(daemon.Export("all", "disk", 0, 0, false, &why));
  EXPECT_EQ(std::filesystem::file_size(daemon.ExportFile("all")), 8 * kMiB);
  EXPECT_FALSE(daemon.Export("v2", "disk", 4 * kMiB, kMiB, true, &why));
  EXPECT_FALSE(std::filesystem::exists(daemon.ExportFile("v2")));
  ASSERT_TRUE(daemon.Unexport("all", &why)) << why;
  EXPECT_FALSE(std::filesystem::exists(daemon.ExportFile("all")));
  EXPECT_EQ(daemon.Exports(), std::vector<std::string>{"v1"});
  {
    int fd = open(exported.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(pwrite(fd, "written", 7, 512), 7);
    // The volume ends where the export does.
    EXPECT_LE(pwrite(fd, "beyond", 6, 2 * kMiB), 0);
    close(fd);
  }
  ASSERT_TRUE(daemon.Stop(&why)) << why;
  EXPECT_EQ(Sha256(file("base.qcow2")), parentSum);
  QemuImg({"convert", "-f", "qcow2", "-O", "raw", file("child.qcow2"), file("out.raw")});
  std::string bytes = testsupport::ReadFile(file("out.raw"));
  ASSERT_EQ(bytes.size(), 8 * kMiB);
  EXPECT_EQ(bytes.substr(kMiB + 512, 7), "written");
  EXPECT_EQ(bytes.find("beyond"), std::string::npos);
}

TEST_F(StorageDaemonTest, AdoptedAfterTheOwnerLetsGoAndStraysRemoved) {
  DiskImage image = Qcow2Disk("disk.qcow2", "label: dos\nstart=2048, type=83\n");
  DaemonRecord record;
  {
    StorageDaemon first(base());
    std::string why;
    ASSERT_TRUE(first.Start("d3", image, true, &why)) << why;
    ASSERT_TRUE(first.Export("all", "disk", 0, 0, false, &why)) << why;
    record = first.Record();
  }  // as if the owner had died: the daemon serves on
  DaemonRecord parsed;
  ASSERT_TRUE(DaemonRecord_Parse(DaemonRecord_Format(record), &parsed));
  EXPECT_EQ(parsed.pid, record.pid);
  EXPECT_EQ(parsed.name, "d3");
  std::string why;
  EXPECT_FALSE(StorageDaemon_Clean(base(), parsed, &why)) << "it still runs";
  StorageDaemon second(base());
  ASSERT_TRUE(second.Adopt(parsed, &why)) << why;
  EXPECT_EQ(std::filesystem::file_size(second.ExportFile("all")), 8 * kMiB);
  EXPECT_EQ(second.Exports(), std::vector<std::string>{"all"});
  ASSERT_TRUE(second.Stop(&why)) << why;
  HostProcess_Wait(record.pid, 5000, nullptr);  // ours to reap in this test
  EXPECT_FALSE(std::filesystem::exists(base() + "/d3"));
  StorageDaemon third(base());
  EXPECT_FALSE(third.Adopt(parsed, &why));

  // Daemons no record names are ended, running or not.
  StorageDaemon kept(base());
  ASSERT_TRUE(kept.Start("kept", image, true, &why)) << why;
  long strayPid = -1;
  {
    StorageDaemon stray(base()), dead(base());
    ASSERT_TRUE(stray.Start("stray", image, true, &why)) << why;
    ASSERT_TRUE(stray.Export("all", "disk", 0, 0, false, &why)) << why;
    strayPid = stray.Record().pid;
    ASSERT_TRUE(dead.Start("dead", image, true, &why)) << why;
    ASSERT_TRUE(dead.Export("all", "disk", 0, 0, false, &why)) << why;
    HostProcess_Stop(dead.Record().pid, true);
    HostProcess_Wait(dead.Record().pid, 5000, nullptr);
  }  // their owner lets go of them
  std::vector<std::string> problems;
  StorageDaemon_RemoveStrays(base(), {"kept"}, &problems);
  EXPECT_TRUE(problems.empty()) << problems[0];
  HostProcess_Wait(strayPid, 5000, nullptr);
  EXPECT_FALSE(HostProcess_Alive(strayPid));
  EXPECT_FALSE(std::filesystem::exists(base() + "/stray"));
  EXPECT_FALSE(std::filesystem::exists(base() + "/dead"));
  EXPECT_TRUE(kept.Alive());
  ASSERT_TRUE(kept.Stop(&why)) << why;

  for (const char *bad : {"", "12", ",d", "0,d", "12,", "12,a b", "12,../x", "x2,d", "12,.d"}) {
    EXPECT_FALSE(DaemonRecord_Parse(bad, &parsed)) << bad;
  }
}

TEST_F(StorageDaemonTest, KilledDaemonGivesErrorsAndIsCleanedAway) {
  DiskImage image = Qcow2Disk("disk.qcow2", "label: dos\nstart=2048, type=83\n");
  StorageDaemon daemon(base());
  std::string why;
  ASSERT_TRUE(daemon.Start("d4", image, false, &why)) << why;
  ASSERT_TRUE(daemon.Export("all", "disk", 0, 0, true, &why)) << why;
  ASSERT_TRUE(daemon.Alive());
  ASSERT_EQ(HostProcess_Stop(daemon.Record().pid, true), 0);
  testsupport::ProcessResult r = testsupport::Run(
      {"/usr/bin/dd", "if=" + daemon.ExportFile("all"), "of=/dev/null", "bs=4096", "count=1"}, {},
      "", 20);
  EXPECT_NE(r.exitCode, 0) << "reading a dead export fails";
  EXPECT_EQ(r.signal, 0) << "and does not hang";
  // It takes the kernel a moment to end a process that served FUSE.
  for (int i = 0; i < 500 && daemon.Alive(); ++i) {
    usleep(10000);
  }
  EXPECT_FALSE(daemon.Alive());
  ASSERT_TRUE(daemon.Stop(&why)) << why;
  EXPECT_FALSE(std::filesystem::exists(base() + "/d4"));
}

}  // namespace
