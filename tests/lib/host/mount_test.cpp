// Writing a volume out through a descriptor kept from earlier, and holding a
// file system without holding up its unmount, then mounting it again. Needs the superuser (and loop
// devices for the device's write-out).
#include "host/mount.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/loop.h"
#include "testSupport.h"

namespace {

using testsupport::TempDir;

constexpr int kWaitMs = 10000;

// A tmpfs of 64 KiB of its own, taken down at the end with whatever is
// mounted below it.
class SmallFileSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs the superuser";
    }
    point_ = dir_.file("fs");
    ASSERT_EQ(mkdir(point_.c_str(), 0700), 0);
    if (mount("tmpfs", point_.c_str(), "tmpfs", 0, "size=64k") != 0) {
      GTEST_SKIP() << "cannot mount a tmpfs: " << strerror(errno);
    }
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) {
      umount2(point_.c_str(), MNT_DETACH);
    }
  }

  TempDir dir_;
  std::string point_;
  bool mounted_ = false;
};

// A loop device of its own over a file of size bytes in the test's tmpfs.
class LoopOver {
 public:
  LoopOver(const std::string &file, off_t size) {
    backing_ = open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (backing_ >= 0 && ftruncate(backing_, size) == 0 &&
        HostLoop_AttachHandle(backing_, false, 0, size, "mount-test", &set_) == 0) {
      char name[32];
      HostLoop_Path(set_.number, name, sizeof name);
      path_ = name;
    }
  }
  ~LoopOver() {
    HostLoop_Free(&set_);
    close(backing_);
  }
  const std::string &path() const { return path_; }
  HostLoopDevice *set() { return &set_; }

 private:
  int backing_ = -1;
  HostLoopDevice set_;
  std::string path_;
};

TEST_F(SmallFileSystem, DeviceWriteOutTellsEachDescriptorOfALossOnce) {
  if (std::string why = testsupport::LoopUnusable(); !why.empty()) GTEST_SKIP() << why;
  // 1 MiB on 64 KiB: most of what the device buffers cannot be written.
  LoopOver loop(point_ + "/disk.img", 1 << 20);
  ASSERT_FALSE(loop.path().empty());
  // A request the file takes in part passes for written: small ones fail whole.
  EXPECT_EQ(HostLoop_LimitRequests(loop.set(), 16), 0);
  const char *path = loop.path().c_str();
  int before = open(path, O_RDONLY | O_CLOEXEC);
  int writer = open(path, O_WRONLY | O_CLOEXEC);
  ASSERT_GE(before, 0);
  ASSERT_GE(writer, 0);
  std::string bytes(512 << 10, 'x');
  ASSERT_EQ(write(writer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  constexpr int kOpenNow = -2;
  struct Case {
    const char *what;
    int fd;
    bool lost;
  } cases[] = {
      {"the writer's", writer, true},
      {"the writer's again", writer, false},
      {"one opened before, though the writer was told", before, true},
      {"one opened after the writer was told", kOpenNow, false},
  };
  for (const Case &c : cases) {
    int fd = c.fd == kOpenNow ? open(path, O_RDONLY | O_CLOEXEC) : c.fd;
    int pending = -1;
    int rc = HostMount_FlushThrough(fd, kWaitMs, &pending);
    EXPECT_EQ(rc != 0, c.lost) << c.what << ": " << rc;
    EXPECT_EQ(pending, -1) << c.what;
    if (fd != c.fd) {
      close(fd);
    }
  }
  close(writer);
  close(before);
}

TEST_F(SmallFileSystem, OnlyADescriptorOpenedAsideLetsTheFileSystemBeUnmountedAndPutBack) {
  std::string inner = point_ + "/inner";
  ASSERT_EQ(mkdir(inner.c_str(), 0700), 0);
  struct Case {
    const char *what;
    bool aside;
    int unmounted;
  } cases[] = {
      {"aside", true, 0},
      {"on the mount", false, EBUSY},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(mount("tmpfs", inner.c_str(), "tmpfs", 0, "size=16k"), 0) << c.what;
    int copy = -1;
    int fd = c.aside ? HostMount_OpenAside(inner.c_str(), &copy)
                     : open(inner.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << c.what << ": " << strerror(errno);
    EXPECT_EQ(HostMount_Unmount(inner.c_str(), false), c.unmounted) << c.what;
    int pending = -1;
    EXPECT_EQ(HostMount_FlushThrough(fd, kWaitMs, &pending), 0) << c.what;  // it lives on
    if (c.aside) {
      EXPECT_EQ(HostMount_PutBack(copy, inner.c_str()), 0) << c.what;
      struct stat back, kept;
      ASSERT_EQ(stat(inner.c_str(), &back), 0);
      ASSERT_EQ(fstat(fd, &kept), 0);
      EXPECT_EQ(back.st_dev, kept.st_dev) << c.what;
      close(copy);
    }
    close(fd);
    umount2(inner.c_str(), MNT_DETACH);
  }
}

// The cgroup file systems a mount's fence may be made in: a row of a test
// runs in a child that keeps those of its row, in a mount namespace of its own.
enum class Kept { kAll, kDevicesHierarchy, kNone };

const char *Named(Kept kept) {
  return kept == Kept::kAll    ? "every cgroup file system"
         : kept == Kept::kNone ? "no cgroup file system"
                               : "only the first version's devices hierarchy";
}

// Where a cgroup file system is mounted, and whether it is cgroup2 or the
// devices hierarchy, for each that mountinfo lists.
struct CgroupMount {
  std::string point;
  bool cgroup2;
};

std::vector<CgroupMount> CgroupMounts() {
  std::vector<CgroupMount> mounts;
  std::string line;
  for (std::istringstream in(testsupport::ReadFile("/proc/self/mountinfo"));
       std::getline(in, line);) {
    char point[4096], type[64], options[4096];
    size_t dash = line.find(" - ");
    if (dash == std::string::npos || sscanf(line.c_str(), "%*s %*s %*s %*s %4095s", point) != 1 ||
        sscanf(line.c_str() + dash + 3, "%63s %*s %4095s", type, options) != 2) {
      continue;
    }
    if (strcmp(type, "cgroup2") == 0 ||
        (strcmp(type, "cgroup") == 0 &&
         ("," + std::string(options) + ",").find(",devices,") != std::string::npos)) {
      mounts.push_back({point, strcmp(type, "cgroup2") == 0});
    }
  }
  return mounts;
}

bool HasDevicesHierarchy() {
  for (const CgroupMount &m : CgroupMounts()) {
    if (!m.cgroup2) return true;
  }
  return false;
}

// Unmounts, in a mount namespace of its own, the cgroup file systems that
// kept leaves out. False when it cannot.
bool Keep(Kept kept) {
  if (kept == Kept::kAll) return true;
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return false;
  }
  for (const CgroupMount &m : CgroupMounts()) {
    if (m.cgroup2 || kept == Kept::kNone) umount2(m.point.c_str(), MNT_DETACH);
  }
  return true;
}

TEST_F(SmallFileSystem, AMountOpensNoDeviceButItsVolume) {
  if (std::string why = testsupport::LoopUnusable(); !why.empty()) GTEST_SKIP() << why;
  ASSERT_EQ(umount2(point_.c_str(), MNT_DETACH), 0);  // room for two file systems
  ASSERT_EQ(mount("tmpfs", point_.c_str(), "tmpfs", 0, "size=48m"), 0);
  LoopOver journal(point_ + "/journal.img", 8 << 20), volume(point_ + "/volume.img", 32 << 20);
  ASSERT_FALSE(journal.path().empty() || volume.path().empty());
  ASSERT_EQ(testsupport::Run({"mke2fs", "-q", "-O", "journal_dev", "-b", "4096", journal.path()})
                .exitCode,
            0);
  std::string folder = point_ + "/on";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  struct Case {
    const char *journal;
    bool mounted;
  } cases[] = {
      {"device=", false},  // root's device, which the kernel would replay into the volume
      {"size=", true},
  };
  for (const Case &c : cases) {
    std::string where = std::string(c.journal) + (c.mounted ? "4" : journal.path());
    ASSERT_EQ(testsupport::Run(
                  {"mke2fs", "-q", "-F", "-t", "ext4", "-b", "4096", "-J", where, volume.path()})
                  .exitCode,
              0)
        << where;
    for (Kept kept : {Kept::kAll, Kept::kDevicesHierarchy}) {
      if (kept == Kept::kDevicesHierarchy && !HasDevicesHierarchy()) continue;
      EXPECT_EQ(testsupport::InChild([&] {
                  if (!Keep(kept)) return 2;
                  int rc = HostMount_Mount(volume.path().c_str(), "ext4", folder.c_str(), false);
                  umount2(folder.c_str(), 0);
                  return rc == 0 ? 1 : 0;
                }),
                c.mounted ? 1 : 0)
          << where << " with " << Named(kept);
    }
  }
}

TEST_F(SmallFileSystem, AMountThatWouldWaitForHoursIsEnded) {
  if (std::string why = testsupport::LoopUnusable(); !why.empty()) GTEST_SKIP() << why;
  ASSERT_EQ(umount2(point_.c_str(), MNT_DETACH), 0);
  ASSERT_EQ(mount("tmpfs", point_.c_str(), "tmpfs", 0, "size=40m"), 0);
  LoopOver volume(point_ + "/volume.img", 32 << 20);
  ASSERT_FALSE(volume.path().empty());
  // Multi-mount protection of 12 minutes, its last user gone without a word.
  ASSERT_EQ(testsupport::Run({"mke2fs", "-q", "-b", "1024", "-O", "mmp,^metadata_csum", "-E",
                              "mmp_update_interval=300", volume.path()})
                .exitCode,
            0);
  std::string said = testsupport::Run({"dumpe2fs", "-h", volume.path()}).out;
  size_t at = said.find("MMP block number:");
  ASSERT_NE(at, std::string::npos);
  off_t block = std::stoll(said.substr(at + sizeof "MMP block number:"));
  int fd = open(volume.path().c_str(), O_WRONLY | O_CLOEXEC);
  const unsigned char inUse[] = {0x34, 0x12, 0, 0};
  ASSERT_EQ(pwrite(fd, inUse, sizeof inUse, block * 1024 + 4), 4);
  close(fd);
  std::string folder = point_ + "/on";
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  for (Kept kept : {Kept::kAll, Kept::kDevicesHierarchy, Kept::kNone}) {
    if (kept == Kept::kDevicesHierarchy && !HasDevicesHierarchy()) continue;
    EXPECT_EQ(testsupport::InChild([&] {
                if (!Keep(kept)) return 1;
                return HostMount_Mount(volume.path().c_str(), "ext4", folder.c_str(), false);
              }),
              ETIMEDOUT)
        << "with " << Named(kept);
  }
}

}  // namespace
