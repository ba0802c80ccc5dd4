// The file-handle layer: open modes, result codes, lock files taken and
// released with the handle, delete on close.
#include "file/fileIO.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "file/fileLock.h"
#include "testSupport.h"

namespace {

using testsupport::Exists;
using testsupport::TempDir;
using testsupport::WriteFile;

int LockInChild(const std::string &path, bool readOnly) {
  return testsupport::InChild([&] { return FileLock_Lock(path.c_str(), readOnly) + 1; }) - 1;
}

class FileIOTest : public testing::Test {
 protected:
  void SetUp() override { FileIO_Invalidate(&fd_); }
  TempDir dir_;
  FileIODescriptor fd_;
};

TEST_F(FileIOTest, LockedOpenOrCreateMakesTheFileAndHoldsTheLock) {
  std::string db = dir_.file("vm.bxsd");
  ASSERT_EQ(FileIO_Open(&fd_, db.c_str(), 0x21, FILEIO_OPEN_CREATE), FILEIO_SUCCESS);
  EXPECT_TRUE(FileIO_IsValid(&fd_));
  EXPECT_TRUE(Exists(db));
  EXPECT_TRUE(Exists(db + ".lck"));
  EXPECT_EQ(LockInChild(db, false), 0);
  EXPECT_EQ(LockInChild(db, true), 1);
  FileIODescriptor writer;
  FileIO_Invalidate(&writer);
  EXPECT_EQ(FileIO_Open(&writer, db.c_str(), 0x23, FILEIO_OPEN_CREATE), FILEIO_LOCK_FAILED);
  EXPECT_FALSE(FileIO_IsValid(&writer));
  EXPECT_EQ(writer.lockedName, nullptr);
  EXPECT_FALSE(FileIO_Close(&fd_));
  EXPECT_FALSE(FileIO_IsValid(&fd_));
  EXPECT_FALSE(Exists(db + ".lck"));
  EXPECT_EQ(LockInChild(db, false), 1);
}

TEST_F(FileIOTest, ResultCodes) {
  std::string f = dir_.file("f");
  EXPECT_EQ(FileIO_Open(&fd_, f.c_str(), 0x21, FILEIO_OPEN), FILEIO_FILE_NOT_FOUND);
  EXPECT_FALSE(Exists(f + ".lck"));  // the lock is given back on failure
  EXPECT_EQ(FileLock_Lock(f.c_str(), false), 1);
  EXPECT_TRUE(FileLock_Unlock(f.c_str(), false));
  WriteFile(f, "data");
  EXPECT_EQ(FileIO_Open(&fd_, f.c_str(), 0x3, FILEIO_OPEN_CREATE_SAFE), FILEIO_OPEN_ERROR_EXIST);
  ASSERT_EQ(FileIO_Open(&fd_, f.c_str(), 0x3, FILEIO_OPEN_EMPTY), FILEIO_SUCCESS);
  FileIO_Close(&fd_);
  EXPECT_EQ(testsupport::ReadFile(f), "");
  EXPECT_EQ(FileIO_Open(&fd_, (f + "/x").c_str(), 0x1, FILEIO_OPEN), FILEIO_FILE_NOT_FOUND);
  EXPECT_EQ(FileIO_Open(&fd_, dir_.path().c_str(), 0x1, FILEIO_OPEN), FILEIO_ERROR);
  if (geteuid() != 0) {
    ASSERT_EQ(chmod(f.c_str(), 0), 0);
    EXPECT_EQ(FileIO_Open(&fd_, f.c_str(), 0x1, FILEIO_OPEN), FILEIO_NO_PERMISSION);
  }
}

TEST_F(FileIOTest, DeleteOnCloseAndUnbuffered) {
  std::string f = dir_.file("scratch");
  ASSERT_EQ(FileIO_Open(&fd_, f.c_str(), 0x1F, FILEIO_OPEN_CREATE_EMPTY), FILEIO_SUCCESS);
  EXPECT_TRUE(Exists(f));
  EXPECT_FALSE(FileIO_Close(&fd_));
  EXPECT_FALSE(Exists(f));
}

using FileIODeathTest = FileIOTest;

TEST_F(FileIODeathTest, OpeningAnOpenDescriptorStops) {
  std::string f = dir_.file("f");
  ASSERT_EQ(FileIO_Open(&fd_, f.c_str(), 0x1, FILEIO_OPEN_CREATE), FILEIO_SUCCESS);
  EXPECT_EXIT(FileIO_Open(&fd_, f.c_str(), 0x1, FILEIO_OPEN), testing::ExitedWithCode(3), "");
  FileIO_Close(&fd_);
}

}  // namespace
