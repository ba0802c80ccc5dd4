// Lock files: sharing and exclusion between processes and within one
// process, removal on unlock, and the refusal to remove a lock file that
// another holder still has locked, and no lock file made or removed in a
// folder a swapped link leads to. A stale lock file left by a crashed holder
// is taken again at every crash step of test_faults.py.
#include "file/fileLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "host/descriptor.h"
#include "testSupport.h"

namespace {

using testsupport::Exists;
using testsupport::InChild;
using testsupport::TempDir;
using testsupport::WriteFile;

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
  // A file of that name that holds data is locked, and left: no lock file.
  WriteFile(disk + ".lck", "someone's\n");
  ASSERT_EQ(FileLock_Lock(disk.c_str(), false), 1);
  EXPECT_TRUE(FileLock_Unlock(disk.c_str(), false));
  EXPECT_EQ(testsupport::ReadFile(disk + ".lck"), "someone's\n");
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
              if (!Exists(dir.path() + "/pd3.lck")) return 2;
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
              if (Exists(ro + "/disk.lck")) return 2;
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

// The names in a folder, sorted, with the content and mode of each.
std::string Contents(const std::string &folder) {
  std::string listed;
  for (const std::string &name : testsupport::Names(folder)) {
    struct stat st {};
    lstat((folder + "/" + name).c_str(), &st);
    listed += name + " " + std::to_string(st.st_mode) + " " +
              (S_ISREG(st.st_mode) ? testsupport::ReadFile(folder + "/" + name) : "") + ";";
  }
  return listed;
}

// The disk's owner swaps a folder link on the way to a disk held open for
// another folder at each step of a lock's life: nothing is made, locked or
// removed in the other folder, whether it holds nothing of the name, a lock
// file, or another disk of the name.
TEST(FileLock, AFolderLinkSwappedLeadsNoLockElsewhere) {
  enum Swap { kBeforeLock, kBeforeUnlock, kBeforeAdopt };
  const struct {
    const char *name;
    Swap when;
  } steps[] = {{"before lock", kBeforeLock},
               {"between lock and unlock", kBeforeUnlock},
               {"before adopt", kBeforeAdopt}};
  const char *const others[] = {"", "disk.bxdk.lck", "disk.bxdk"};
  for (const auto &step : steps) {
    for (const char *planted : others) {
      SCOPED_TRACE(std::string(step.name) + ", the other folder holding '" + planted + "'");
      TempDir dir;
      std::string real = dir.file("real"), other = dir.file("other"), vm = dir.file("vm");
      std::string disk = vm + "/disk.bxdk";
      ASSERT_EQ(mkdir(real.c_str(), 0700) | mkdir(other.c_str(), 0700), 0);
      WriteFile(real + "/disk.bxdk", "disk");
      if (*planted != '\0') {
        WriteFile(other + "/disk.bxdk.lck", "root's");
        if (strcmp(planted, "disk.bxdk") == 0) WriteFile(other + "/disk.bxdk", "another");
      }
      ASSERT_EQ(symlink("real", vm.c_str()), 0);
      const std::string before = Contents(other);
      HostFd held(open(disk.c_str(), O_RDONLY | O_CLOEXEC));
      auto swap = [&] {
        ASSERT_EQ(symlink(other.c_str(), dir.file("vm.new").c_str()), 0);
        ASSERT_EQ(rename(dir.file("vm.new").c_str(), vm.c_str()), 0);
      };

      if (step.when == kBeforeLock) swap();
      int locked = FileLock_Lock(disk.c_str(), false, held.Get());
      if (step.when == kBeforeLock) {
        EXPECT_EQ(locked, -1);
      } else {
        ASSERT_EQ(locked, 1);
        EXPECT_TRUE(Exists(real + "/disk.bxdk.lck"));
      }
      if (step.when == kBeforeUnlock) {
        swap();
        EXPECT_TRUE(FileLock_Unlock(disk.c_str(), false));
        EXPECT_FALSE(Exists(real + "/disk.bxdk.lck")) << "the lock file it made goes";
      }
      if (step.when == kBeforeAdopt) {
        int kept = dup(FileLock_Handle(disk.c_str()));
        ASSERT_TRUE(FileLock_Forget(disk.c_str()));
        swap();
        EXPECT_FALSE(FileLock_Adopt(disk.c_str(), false, kept, held.Get()));
        close(kept);
        EXPECT_EQ(FileLock_Lock(disk.c_str(), false, held.Get()), -1) << "nor taken anew there";
      }
      EXPECT_FALSE(FileLock_Unlock(disk.c_str(), false));
      EXPECT_EQ(Contents(other), before);
    }
  }
}

}  // namespace
