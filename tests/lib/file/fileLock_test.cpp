// Lock files: sharing and exclusion between processes and within one
// process, removal on unlock, and the refusal to remove a lock file that
// another holder still has locked. A stale lock file left by a crashed holder
// is taken again at every crash step of test_faults.py.
#include "file/fileLock.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "testSupport.h"

namespace {

using testsupport::InChild;
using testsupport::TempDir;
using testsupport::WriteFile;

bool Exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

// A child that takes a shared lock, reports the result, and holds the lock
// until Release closes its pipe.
class Reader {
 public:
  explicit Reader(const std::string &path) {
    int ready[2], release[2];
    EXPECT_EQ(pipe(ready) | pipe(release), 0);
    if ((pid_ = fork()) == 0) {
      close(release[1]);
      char r = static_cast<char>(FileLock_Lock(path.c_str(), true) + 1);
      if (write(ready[1], &r, 1) == 1 && read(release[0], &r, 1) == 0) {
        FileLock_Unlock(path.c_str(), true);
      }
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    release_ = release[1];
    char r = 0;
    EXPECT_EQ(read(ready[0], &r, 1), 1);
    close(ready[0]);
    result = r - 1;
  }
  ~Reader() { Release(); }
  void Release() {
    if (pid_ > 0) {
      close(release_);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  int result = -2;

 private:
  pid_t pid_ = -1;
  int release_ = -1;
};

// Within one process a writer excludes everyone, readers count, and the lock
// file goes with the last of them.
TEST(FileLock, OneProcessLocksConflictAndTheLastUnlockRemovesTheFile) {
  TempDir dir;
  std::string disk = dir.file("disk.bxsd");
  ASSERT_EQ(FileLock_Lock(disk.c_str(), false), 1);
  EXPECT_TRUE(Exists(disk + ".lck"));
  EXPECT_EQ(FileLock_Lock(disk.c_str(), false), 0);
  EXPECT_EQ(FileLock_Lock(disk.c_str(), true), 0);
  EXPECT_FALSE(FileLock_Unlock((disk + "x").c_str(), false));
  EXPECT_TRUE(FileLock_Unlock(disk.c_str(), false));
  EXPECT_FALSE(Exists(disk + ".lck"));
  EXPECT_FALSE(FileLock_Unlock(disk.c_str(), false));
  ASSERT_EQ(FileLock_Lock(disk.c_str(), true), 1);
  ASSERT_EQ(FileLock_Lock(disk.c_str(), true), 1);
  EXPECT_TRUE(FileLock_Unlock(disk.c_str(), true));
  EXPECT_EQ(FileLock_Lock(disk.c_str(), false), 0);  // the second reader still holds
  EXPECT_TRUE(FileLock_Unlock(disk.c_str(), true));
  EXPECT_FALSE(Exists(disk + ".lck"));
}

TEST(FileLock, SharedLocksInTwoProcessesAndAnExclusiveAgainstThem) {
  TempDir dir;
  std::string disk = dir.file("disk.bxsd");
  Reader reader(disk);
  ASSERT_EQ(reader.result, 1);
  ASSERT_EQ(FileLock_Lock(disk.c_str(), true), 1);
  EXPECT_EQ(InChild([&] { return FileLock_Lock(disk.c_str(), false); }), 0);
  // Our unlock must leave the file for the other reader...
  EXPECT_TRUE(FileLock_Unlock(disk.c_str(), true));
  EXPECT_TRUE(Exists(disk + ".lck"));
  // ...so a writer still finds it locked.
  EXPECT_EQ(InChild([&] { return FileLock_Lock(disk.c_str(), false); }), 0);
  reader.Release();
  EXPECT_FALSE(Exists(disk + ".lck"));
  EXPECT_EQ(InChild([&] { return FileLock_Lock(disk.c_str(), false); }), 1);
}

// A service hands its lock to a keeper (here: a second descriptor of the
// same open file) and a successor adopts it: the lock never lapses between.
TEST(FileLock, AHandedOverLockStaysHeldAndIsAdoptedBack) {
  TempDir dir;
  std::string disk = dir.file("disk.bxdk");
  ASSERT_EQ(FileLock_Lock(disk.c_str(), false), 1);
  int kept = dup(FileLock_Handle(disk.c_str()));
  ASSERT_GE(kept, 0);
  EXPECT_TRUE(FileLock_Forget(disk.c_str()));
  EXPECT_EQ(FileLock_Handle(disk.c_str()), -1);
  EXPECT_FALSE(FileLock_Forget(disk.c_str()));
  EXPECT_TRUE(Exists(disk + ".lck"));
  EXPECT_EQ(InChild([&] { return FileLock_Lock(disk.c_str(), true); }), 0);
  EXPECT_FALSE(FileLock_Adopt((disk + "x").c_str(), false, kept)) << "another disk's lock file";
  ASSERT_TRUE(FileLock_Adopt(disk.c_str(), false, kept));
  EXPECT_EQ(FileLock_Handle(disk.c_str()), kept);
  EXPECT_TRUE(FileLock_Unlock(disk.c_str(), false));
  EXPECT_FALSE(Exists(disk + ".lck"));
  EXPECT_EQ(InChild([&] { return FileLock_Lock(disk.c_str(), false); }), 1);
}

TEST(FileLock, PhysicalDriveLocksLiveInTheTemporaryFolder) {
  TempDir dir;
  EXPECT_EQ(InChild([&] {
              setenv("TMPDIR", dir.path().c_str(), 1);
              if (FileLock_Lock("physicaldrive3", false) != 1) return 1;
              if (access((dir.path() + "/pd3.lck").c_str(), F_OK) != 0) return 2;
              return FileLock_Unlock("physicaldrive3", false) ? 0 : 3;
            }),
            0);
}

TEST(FileLock, ReadOnlyFolderGivesAnImplicitLock) {
  TempDir dir;
  std::string ro = dir.file("ro");
  ASSERT_EQ(mkdir(ro.c_str(), 0755), 0);
  WriteFile(ro + "/disk", "");
  ASSERT_EQ(chmod(ro.c_str(), 0555), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  // Permissions do not bind root: judge as an ordinary user.
  EXPECT_EQ(InChild([&] {
              if (geteuid() == 0 && setuid(65534) != 0) return 9;
              if (FileLock_Lock((ro + "/disk").c_str(), true) != 1) return 1;
              if (access((ro + "/disk.lck").c_str(), F_OK) == 0) return 2;
              if (!FileLock_Unlock((ro + "/disk").c_str(), true)) return 3;
              return FileLock_Lock((ro + "/disk").c_str(), false) == -1 ? 0 : 4;
            }),
            0);
}

// Someone who owns the disk's folder plants what the lock file should be.
// A lock taken through it would create or open a file of their choosing as
// the (possibly privileged) caller: every such lock is refused and the
// target stays as it was.
TEST(FileLock, APlantedLinkOrSpecialFileIsNeverFollowed) {
  const struct {
    const char *name;
    bool fifo;  // else a link to the target
    bool targetExists;
  } cases[] = {
      {"dangling link", false, false}, {"link to a file", false, true}, {"fifo", true, false}};
  for (const auto &c : cases) {
    for (bool readOnly : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (readOnly ? " (shared)" : " (exclusive)"));
      TempDir dir;
      std::string disk = dir.file("disk.bxdk"), lock = disk + ".lck", target = dir.file("target");
      if (c.targetExists) WriteFile(target, "keep");
      ASSERT_EQ(c.fifo ? mkfifo(lock.c_str(), 0600) : symlink(target.c_str(), lock.c_str()), 0);
      EXPECT_EQ(FileLock_Lock(disk.c_str(), readOnly), -1);
      if (c.targetExists) {
        EXPECT_EQ(testsupport::ReadFile(target), "keep");
      } else {
        EXPECT_FALSE(Exists(target));
      }
      struct stat st;
      EXPECT_EQ(lstat(lock.c_str(), &st), 0);
      EXPECT_FALSE(FileLock_Unlock(disk.c_str(), readOnly));
    }
  }
}

// A folder on the way swapped for a link while locked: the unlock must not
// remove the lock file the name now leads to.
TEST(FileLock, UnlockRemovesNothingAFolderSwapLeadsTo) {
  TempDir dir;
  std::string vm = dir.file("vm"), other = dir.file("other");
  ASSERT_EQ(mkdir(vm.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
  WriteFile(other + "/disk.bxdk.lck", "");
  ASSERT_EQ(FileLock_Lock((vm + "/disk.bxdk").c_str(), false), 1);
  ASSERT_EQ(rename(vm.c_str(), dir.file("moved").c_str()), 0);
  ASSERT_EQ(symlink(other.c_str(), vm.c_str()), 0);
  EXPECT_TRUE(FileLock_Unlock((vm + "/disk.bxdk").c_str(), false));
  EXPECT_TRUE(Exists(other + "/disk.bxdk.lck"));
}

}  // namespace
