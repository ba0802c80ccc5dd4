// The file-handle layer: open modes, result codes, lock files taken and
// released with the handle, delete on close.
#include "file/fileIO.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "file/fileLock.h"
#include "testSupport.h"

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

bool Exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

int LockInChild(const std::string &path, bool readOnly) {
  pid_t pid = fork();
  if (pid == 0) _exit(FileLock_Lock(path.c_str(), readOnly) + 1);
  int status = 0;
  waitpid(pid, &status, 0);
  return WEXITSTATUS(status) - 1;
}

TEST(FileIO, LockedOpenOrCreateMakesTheFileAndHoldsTheLock) {
  TempDir dir;
  std::string db = dir.file("vm.bxsd");
  FileIODescriptor fd;
  FileIO_Invalidate(&fd);
  EXPECT_FALSE(FileIO_IsValid(&fd));
  ASSERT_EQ(FileIO_Open(&fd, db.c_str(), 0x21, FILEIO_OPEN_CREATE), FILEIO_SUCCESS);
  EXPECT_TRUE(FileIO_IsValid(&fd));
  EXPECT_TRUE(Exists(db));
  EXPECT_TRUE(Exists(db + ".lck"));
  EXPECT_EQ(LockInChild(db, false), 0);
  EXPECT_EQ(LockInChild(db, true), 1);
  FileIODescriptor writer;
  FileIO_Invalidate(&writer);
  EXPECT_EQ(FileIO_Open(&writer, db.c_str(), 0x23, FILEIO_OPEN_CREATE), FILEIO_LOCK_FAILED);
  EXPECT_FALSE(FileIO_IsValid(&writer));
  EXPECT_EQ(writer.lockedName, nullptr);
  EXPECT_FALSE(FileIO_Close(&fd));
  EXPECT_FALSE(FileIO_IsValid(&fd));
  EXPECT_FALSE(Exists(db + ".lck"));
  EXPECT_EQ(LockInChild(db, false), 1);
}

TEST(FileIO, ResultCodes) {
  TempDir dir;
  std::string f = dir.file("f");
  FileIODescriptor fd;
  FileIO_Invalidate(&fd);
  EXPECT_EQ(FileIO_Open(&fd, f.c_str(), 0x21, FILEIO_OPEN), FILEIO_FILE_NOT_FOUND);
  EXPECT_FALSE(Exists(f + ".lck"));  // the lock is given back on failure
  EXPECT_EQ(FileLock_Lock(f.c_str(), false), 1);
  EXPECT_TRUE(FileLock_Unlock(f.c_str(), false));
  WriteFile(f, "data");
  EXPECT_EQ(FileIO_Open(&fd, f.c_str(), 0x3, FILEIO_OPEN_CREATE_SAFE), FILEIO_OPEN_ERROR_EXIST);
  ASSERT_EQ(FileIO_Open(&fd, f.c_str(), 0x3, FILEIO_OPEN_EMPTY), FILEIO_SUCCESS);
  FileIO_Close(&fd);
  EXPECT_EQ(testsupport::ReadFile(f), "");
  EXPECT_EQ(FileIO_Open(&fd, (f + "/x").c_str(), 0x1, FILEIO_OPEN), FILEIO_FILE_NOT_FOUND);
  EXPECT_EQ(FileIO_Open(&fd, dir.path().c_str(), 0x1, FILEIO_OPEN), FILEIO_ERROR);
  if (geteuid() != 0) {
    ASSERT_EQ(chmod(f.c_str(), 0), 0);
    EXPECT_EQ(FileIO_Open(&fd, f.c_str(), 0x1, FILEIO_OPEN), FILEIO_NO_PERMISSION);
  }
}

TEST(FileIO, DeleteOnCloseAndUnbuffered) {
  TempDir dir;
  std::string f = dir.file("scratch");
  FileIODescriptor fd;
  FileIO_Invalidate(&fd);
  ASSERT_EQ(FileIO_Open(&fd, f.c_str(), 0x1F, FILEIO_OPEN_CREATE_EMPTY), FILEIO_SUCCESS);
  EXPECT_TRUE(Exists(f));
  EXPECT_FALSE(FileIO_Close(&fd));
  EXPECT_FALSE(Exists(f));
}

TEST(FileIODeathTest, OpeningAnOpenDescriptorStops) {
  TempDir dir;
  std::string f = dir.file("f");
  FileIODescriptor fd;
  FileIO_Invalidate(&fd);
  ASSERT_EQ(FileIO_Open(&fd, f.c_str(), 0x1, FILEIO_OPEN_CREATE), FILEIO_SUCCESS);
  EXPECT_EXIT(FileIO_Open(&fd, f.c_str(), 0x1, FILEIO_OPEN), testing::ExitedWithCode(3), "");
  FileIO_Close(&fd);
}

}  // namespace
