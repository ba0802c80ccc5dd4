// Host file system layer: full paths by text, attributes from mode bits and
// user.DOSATTRIB, folder listing. Identity, locks and file handles are
// exercised through the file library's tests.
#include "host/fs.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "host/lastError.h"
#include "host/lookup.h"
#include "testSupport.h"

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

std::string Full(const char *path) { return testsupport::Take(HostFs_FullPath(path)); }

TEST(HostFsFullPath, ResolvesByTextWithoutFollowingLinks) {
  EXPECT_EQ(Full("/a/b/../c/./d//e/"), "/a/c/d/e");
  EXPECT_EQ(Full("/../.."), "/");
  EXPECT_EQ(Full("/"), "/");
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("real").c_str(), 0755), 0);
  ASSERT_EQ(symlink(dir.file("real").c_str(), dir.file("link").c_str()), 0);
  EXPECT_EQ(Full((dir.file("link") + "/../x").c_str()), Full(dir.file("x").c_str()));
  testsupport::ScopedCwd in(dir.path());
  EXPECT_EQ(Full("link/y"), Full(dir.path().c_str()) + "/link/y");
}

TEST(HostFsAttributes, ModeBitsAndDosAttrib) {
  auto attributes = [](const std::string &path) {
    uint32_t a = 0;
    EXPECT_TRUE(HostFs_GetAttributes(path.c_str(), &a)) << path;
    return a;
  };
  uint32_t a = 0;
  EXPECT_FALSE(HostFs_GetAttributes("/nonexistent/zz", &a));
  EXPECT_EQ(Host_ErrorKind(Host_GetLastError()), HOST_ERROR_NOT_FOUND);
  bool isDir = true;
  EXPECT_FALSE(HostFs_Stat("", &isDir));
  TempDir dir;
  std::string f = dir.file("disk.bxdk");
  WriteFile(f, "x");
  EXPECT_EQ(attributes(f), 0u);
  ASSERT_EQ(chmod(f.c_str(), 0444), 0);
  EXPECT_EQ(attributes(f), uint32_t{HOSTFS_ATTR_READONLY});
  ASSERT_EQ(chmod(f.c_str(), 0644), 0);
  EXPECT_EQ(attributes(dir.path()), uint32_t{HOSTFS_ATTR_DIRECTORY});

  auto dosAttrib = [&f](const std::string &value) {
    return setxattr(f.c_str(), "user.DOSATTRIB", value.data(), value.size(), 0) == 0;
  };
  if (!dosAttrib(std::string("0x821", 6))) GTEST_SKIP() << "no user extended attributes here";
  EXPECT_EQ(attributes(f), uint32_t{HOSTFS_ATTR_READONLY | HOSTFS_ATTR_COMPRESSED});
  ASSERT_TRUE(dosAttrib(std::string("\x01\x00\x03", 3)));
  EXPECT_EQ(attributes(f), 0u);
  ASSERT_TRUE(dosAttrib("0x1zz"));
  EXPECT_EQ(attributes(f), 0u);
}

// Opening a device can act (a watchdog starts counting): what only looks at
// a file, or opens regular ones, must not open one given in their place.
TEST(HostFsAttributes, ADeviceIsLookedAtWithoutBeingOpened) {
  TempDir dir;
  std::string device = dir.file("null");
  if (mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "no device node can be made here";
  }
  std::string link = dir.file("disk.bxdk");
  ASSERT_EQ(symlink(device.c_str(), link.c_str()), 0);
  int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(watch, device.c_str(), IN_OPEN), 0);
  uint32_t attributes = 0;
  EXPECT_TRUE(HostFs_GetAttributes(link.c_str(), &attributes));
  EXPECT_EQ(HostFile_OpenRegular(link.c_str()), HOSTFILE_INVALID);
  EXPECT_EQ(errno, EINVAL);
  char events[256];
  EXPECT_LT(read(watch, events, sizeof events), 0) << "the device was opened";
  close(watch);
}

TEST(HostDir, ListsEntriesWithKinds) {
  TempDir dir;
  WriteFile(dir.file("f"), "");
  ASSERT_EQ(mkdir(dir.file("d").c_str(), 0755), 0);
  ASSERT_EQ(symlink("d", dir.file("ld").c_str()), 0);
  ASSERT_EQ(symlink("missing", dir.file("dangling").c_str()), 0);
  HostDir *d = HostDir_Open(dir.path().c_str());
  ASSERT_NE(d, nullptr);
  std::set<std::string> files, dirs;
  bool isDir = false;
  while (const char *name = HostDir_Next(d, &isDir)) {
    (isDir ? dirs : files).insert(name);
  }
  HostDir_Close(d);
  EXPECT_EQ(files, (std::set<std::string>{"f", "dangling"}));
  EXPECT_EQ(dirs, (std::set<std::string>{"d", "ld"}));
  EXPECT_EQ(HostDir_Open(dir.file("f").c_str()), nullptr);
  HostDir_Close(nullptr);
}

}  // namespace
