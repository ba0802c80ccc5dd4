// Opening disks: what counts as one, that nothing waits, and that read-only
// comes from the attributes even for the superuser. That a claim is seen
// through every name of the file is seen end to end.
#include "host/disk.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "testSupport.h"

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

HostDiskOpen Open(const std::string &path, bool claim, HostDisk *disk) {
  int error = 0;
  return HostDisk_Open(path.c_str(), claim, disk, &error);
}

TEST(HostDisk, WhatCountsAsADisk) {
  TempDir dir;
  WriteFile(dir.file("disk.img"), std::string(4096, 'x'));
  ASSERT_EQ(mkfifo(dir.file("fifo.img").c_str(), 0600), 0);
  ASSERT_EQ(symlink(dir.file("fifo.img").c_str(), dir.file("link.img").c_str()), 0);
  struct Case {
    std::string path;
    HostDiskOpen expected;
  } cases[] = {
      {dir.file("disk.img"), HostDiskOpen::Opened},    {dir.path(), HostDiskOpen::Folder},
      {dir.file("fifo.img"), HostDiskOpen::NotADisk},  // would wait for a writer
      {dir.file("link.img"), HostDiskOpen::NotADisk},  {"/dev/null", HostDiskOpen::NotADisk},
      {dir.file("missing.img"), HostDiskOpen::Failed},
  };
  for (const Case &c : cases) {
    for (bool claim : {false, true}) {
      HostDisk disk;
      EXPECT_EQ(Open(c.path, claim, &disk), c.expected) << c.path << " claim " << claim;
      EXPECT_EQ(disk.fd >= 0, c.expected == HostDiskOpen::Opened) << c.path;
      if (disk.fd >= 0) {
        EXPECT_EQ(disk.size, 4096u);
        EXPECT_EQ(disk.claimed, claim);
      }
      HostDisk_Close(&disk);
    }
  }
}

TEST(HostDisk, ReadOnlyComesFromTheAttributes) {
  TempDir dir;
  std::string plain = dir.file("plain.img"), locked = dir.file("locked.img"),
              marked = dir.file("marked.img");
  for (const std::string &path : {plain, locked, marked}) {
    WriteFile(path, "x");
  }
  ASSERT_EQ(chmod(locked.c_str(), 0444), 0);
  bool xattrs = setxattr(marked.c_str(), "user.DOSATTRIB", "0x1", 3, 0) == 0;
  for (const auto &[path, readOnly] : {std::pair{plain, false}, {locked, true}, {marked, true}}) {
    if (path == marked && !xattrs) {
      continue;  // a file system without user attributes
    }
    HostDisk disk;
    ASSERT_EQ(Open(path, true, &disk), HostDiskOpen::Opened) << path;
    // Even where the superuser could write it.
    EXPECT_EQ(disk.readOnly, readOnly) << path;
    HostDisk_Close(&disk);
  }
}

// Readers share a claim, beside no exclusive one (the names through links are
// covered end to end).
TEST(HostDisk, SharedClaimsExcludeOnlyWriters) {
  TempDir dir;
  std::string disk = dir.file("disk.img"), hard = dir.file("hard.img");
  WriteFile(disk, "x");
  ASSERT_EQ(link(disk.c_str(), hard.c_str()), 0);
  HostDisk held, seen, again;
  int error = 0;
  ASSERT_EQ(Open(disk, true, &again), HostDiskOpen::Opened);
  EXPECT_EQ(HostDisk_OpenShared(disk.c_str(), &held, &error), HostDiskOpen::InUse);
  HostDisk_Close(&again);
  ASSERT_EQ(HostDisk_OpenShared(disk.c_str(), &held, &error), HostDiskOpen::Opened);
  ASSERT_EQ(HostDisk_OpenShared(hard.c_str(), &seen, &error), HostDiskOpen::Opened);
  EXPECT_EQ(Open(hard, true, &again), HostDiskOpen::InUse);
  HostDisk_Close(&held);
  HostDisk_Close(&seen);
}

}  // namespace
