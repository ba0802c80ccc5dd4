// The minimal file-handle layer: opening with the access flags and open
// modes of the library, an optional lock file, and closing. POSIX has no
// share modes, so "others may not read/write" (0x200, 0x400) is not enforced
// here: exclusion between users of a file goes through its lock file (0x20).
// Overlapped I/O (0x40) is served as unbuffered I/O, and the sequential-scan
// hint (0x800) is left to the kernel's read-ahead.
#include "file/fileIO.h"

#include <cstdlib>
#include <cstring>

#include "file/fileLock.h"
#include "host/fs.h"
#include "host/lastError.h"
#include "misc/panic.h"
#include "string/str.h"
#include "user/log.h"

namespace {

uint32_t HostAccess(uint32_t access) {
  uint32_t host = 0;
  if (access & FILEIO_OPEN_ACCESS_READ) host |= HOSTFILE_READ;
  if (access & FILEIO_OPEN_ACCESS_WRITE) host |= HOSTFILE_WRITE;
  if (access & FILEIO_OPEN_SYNC) host |= HOSTFILE_WRITE_THROUGH;
  if (access & (FILEIO_OPEN_UNBUFFERED | FILEIO_OPEN_UNBUFFERED_ASYNC)) {
    host |= HOSTFILE_NO_BUFFERING;
  }
  return host;
}

bool ReadOnly(uint32_t access) { return (access & FILEIO_OPEN_ACCESS_WRITE) == 0; }

FileIOResult ResultOf(int error) {
  HostErrorKind kind = Host_ErrorKind(error);
  return kind == HOST_ERROR_NOT_FOUND ? FILEIO_FILE_NOT_FOUND
         : kind == HOST_ERROR_ACCESS  ? FILEIO_NO_PERMISSION
         : kind == HOST_ERROR_EXISTS  ? FILEIO_OPEN_ERROR_EXIST
                                      : FILEIO_ERROR;
}

}  // namespace

void FileIO_Invalidate(FileIODescriptor *fd) {
  fd->handle = HOSTFILE_INVALID;
  fd->flags = 0;
  fd->lockedName = nullptr;
  fd->deleteName = nullptr;
}

bool FileIO_IsValid(const FileIODescriptor *fd) { return fd->handle != HOSTFILE_INVALID; }

FileIOResult FileIO_Open(FileIODescriptor *fd, const char *path, uint32_t access,
                         FileIOOpenAction action) {
  VERIFY(!FileIO_IsValid(fd));
  FileIO_Invalidate(fd);
  if (access & FILEIO_OPEN_LOCKED) {
    if (FileLock_Lock(path, ReadOnly(access)) < 1) {
      Warning("FILEIO: Failed to get a lock for file '%s'.\n",
              Str_Printable(path, STR_SHOWN_NAME).c_str());
      return FILEIO_LOCK_FAILED;
    }
    fd->lockedName = Util_SafeStrdup(path);
  }
  int handle = HostFile_Open(path, HostAccess(access), static_cast<HostFileDisposition>(action));
  if (handle == HOSTFILE_INVALID) {
    int error = Host_GetLastError();
    if (fd->lockedName != nullptr) {
      FileLock_Unlock(fd->lockedName, ReadOnly(access));
      free(fd->lockedName);
    }
    FileIO_Invalidate(fd);
    Host_SetLastError(error);
    return ResultOf(error);
  }
  fd->handle = handle;
  fd->flags = access;
  if (access & FILEIO_OPEN_DELETE_ASAP) {
    fd->deleteName = Util_SafeStrdup(path);
  }
  return FILEIO_SUCCESS;
}

bool FileIO_Close(FileIODescriptor *fd) {
  bool failed = !HostFile_Close(fd->handle);
  // Removed before the lock is released, so that the next holder never sees it.
  if (fd->deleteName != nullptr) {
    HostFs_Unlink(fd->deleteName);
    free(fd->deleteName);
  }
  if (fd->lockedName != nullptr) {
    FileLock_Unlock(fd->lockedName, ReadOnly(fd->flags));
    free(fd->lockedName);
  }
  FileIO_Invalidate(fd);
  return failed;
}
