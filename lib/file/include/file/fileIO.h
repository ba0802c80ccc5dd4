// A minimal file-handle layer with optional lock files.
#pragma once

#include <cstdint>

enum : uint32_t {
  FILEIO_OPEN_ACCESS_READ = 0x1,
  FILEIO_OPEN_ACCESS_WRITE = 0x2,
  FILEIO_OPEN_SYNC = 0x4,         // write through
  FILEIO_OPEN_DELETE_ASAP = 0x8,  // delete on close
  FILEIO_OPEN_UNBUFFERED = 0x10,
  FILEIO_OPEN_LOCKED = 0x20,  // take a lock file
  FILEIO_OPEN_UNBUFFERED_ASYNC = 0x40,
  FILEIO_OPEN_EXCLUSIVE_READ = 0x200,
  FILEIO_OPEN_EXCLUSIVE_WRITE = 0x400,
  FILEIO_OPEN_SEQUENTIAL = 0x800,
};

enum FileIOOpenAction {
  FILEIO_OPEN = 0,
  FILEIO_OPEN_EMPTY = 1,
  FILEIO_OPEN_CREATE = 2,
  FILEIO_OPEN_CREATE_SAFE = 3,
  FILEIO_OPEN_CREATE_EMPTY = 4,
};

enum FileIOResult {
  FILEIO_SUCCESS = 0,
  FILEIO_CANCELLED = 1,
  FILEIO_ERROR = 2,
  FILEIO_OPEN_ERROR_EXIST = 3,
  FILEIO_LOCK_FAILED = 4,
  FILEIO_READ_ERROR_EOF = 5,
  FILEIO_FILE_NOT_FOUND = 6,
  FILEIO_NO_PERMISSION = 7,
  FILEIO_FILE_TOO_LARGE = 8,
  FILEIO_WRITE_ERROR_NOSPC = 9,
  FILEIO_WRITE_ERROR_DQUOT = 10,
};

struct FileIODescriptor {
  int handle;        // HOSTFILE_INVALID when not open
  uint32_t flags;    // access flags it was opened with
  char *lockedName;  // path under whose name a lock is held, or NULL
  char *deleteName;  // path removed on close (FILEIO_OPEN_DELETE_ASAP), or NULL
};

void FileIO_Invalidate(FileIODescriptor *fd);
bool FileIO_IsValid(const FileIODescriptor *fd);
FileIOResult FileIO_Open(FileIODescriptor *fd, const char *path, uint32_t access,
                         FileIOOpenAction action);
// Returns true when closing the handle failed.
bool FileIO_Close(FileIODescriptor *fd);
