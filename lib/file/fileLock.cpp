// Lock files: "<full path>.lck" beside the locked file, held with a
// byte-range lock that is shared for readers and exclusive for writers. The
// lock belongs to the open lock file, so a crashed holder leaves only a stale
// file that the next locker reuses. The locks this process holds are kept in
// one list so that unlocking finds the handle again.
//
// POSIX removes a name even while others hold it open, which the original
// platform refuses. So the lock file is removed only by a holder that can
// take it exclusively (nobody else has it locked), and a locker checks after
// locking that the name still leads to the file it locked; otherwise it
// would hold a lock nobody else can see.
#include "file/fileLock.h"

#include <strings.h>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "file/file.h"
#include "host/descriptor.h"
#include "host/fs.h"
#include "host/lastError.h"
#include "misc/panic.h"
#include "string/str.h"
#include "user/log.h"

namespace {

constexpr uint64_t kLockLength = 0x7FFFFFFF;
// A lock file removed under our feet this many times in a row is given up.
constexpr int kMaxAttempts = 8;

struct LockRecord {
  char *path;
  char *lockName;
  int handle;
  LockRecord *next;
};

std::mutex gLockListMutex;
LockRecord *gLockList = nullptr;

// Returns the malloc'd directory part of path ("/" for the root).
char *DirectoryOf(const char *path) {
  char *dir = nullptr;
  File_GetPathName(path, &dir, nullptr);
  if (*dir == '\0') {
    free(dir);
    dir = Util_SafeStrdup("/");
  }
  return dir;
}

// Opens the lock file and locks it. Returns the handle, or HOSTFILE_INVALID
// with *result set to 0 (held elsewhere) or -1 (error).
int OpenAndLock(const char *lockName, bool readOnly, int *result) {
  for (int attempt = 0; attempt < kMaxAttempts; attempt++) {
    HostFd handle(HostFile_OpenLockFile(lockName, false, true));
    if (!handle.Valid() && readOnly && Host_ErrorKind(Host_GetLastError()) == HOST_ERROR_ACCESS) {
      // Someone else's lock file: a shared lock needs only read access.
      handle.Reset(HostFile_OpenLockFile(lockName, true, false));
    }
    if (!handle.Valid()) {
      Warning("Error opening lock file %s (%d)\n", lockName, Host_GetLastError());
      *result = -1;
      return HOSTFILE_INVALID;
    }
    if (HostFile_Lock(handle.Get(), readOnly, 0, kLockLength) != 1) {
      Warning("FileLock_Lock: LockFileEx(%s) fail. error: %d\n", lockName, Host_GetLastError());
      *result = 0;
      return HOSTFILE_INVALID;
    }
    if (HostFile_IsNamedBy(handle.Get(), lockName)) {
      *result = 1;
      return handle.Release();
    }
    // Removed by its last holder meanwhile: start again.
  }
  Warning("FileLock_Lock: LockFileEx(%s) fail. error: %d\n", lockName,
          Host_ErrorCode(HOST_ERROR_BUSY));
  *result = 0;
  return HOSTFILE_INVALID;
}

// The malloc'd name of path's lock file, or NULL.
char *LockNameOf(const char *path) {
  char *lockName = nullptr;
  if (strncasecmp(path, "PhysicalDrive", 13) == 0) {
    char *tmpDir = File_GetTmpDir();
    if (tmpDir == nullptr) return nullptr;
    lockName = Str_Asprintf(nullptr, "%s%s%s%s", tmpDir, "/pd", path + 13, ".lck");
    free(tmpDir);
  } else {
    char *full = File_FullPath(path);
    if (full == nullptr) return nullptr;
    lockName = Str_Asprintf(nullptr, "%s%s", full, ".lck");
    free(full);
  }
  if (lockName == nullptr) {
    Log("FileLock_Lock: out of memory\n");
  }
  return lockName;
}

// Keeps the handle in the list; takes lockName.
void Remember(const char *path, char *lockName, int handle) {
  LockRecord *record = static_cast<LockRecord *>(Util_SafeMalloc(sizeof(LockRecord)));
  record->path = Util_SafeStrdup(path);
  record->lockName = lockName;
  record->handle = handle;
  std::lock_guard<std::mutex> guard(gLockListMutex);
  record->next = gLockList;
  gLockList = record;
}

// Takes the record of exactly path out of the list; NULL when none.
LockRecord *Unlink(const char *path) {
  std::lock_guard<std::mutex> guard(gLockListMutex);
  for (LockRecord **link = &gLockList; *link != nullptr; link = &(*link)->next) {
    if (strcmp((*link)->path, path) == 0) {
      LockRecord *record = *link;
      *link = record->next;
      return record;
    }
  }
  return nullptr;
}

void Discard(LockRecord *record) {
  HostFile_Close(record->handle);
  free(record->path);
  free(record->lockName);
  free(record);
}

}  // namespace

int FileLock_Lock(const char *path, bool readOnly) {
  if (path == nullptr) return -1;
  char *lockName = LockNameOf(path);
  if (lockName == nullptr) return -1;

  if (readOnly) {
    char *dir = DirectoryOf(lockName);
    if (!File_IsWritableDir(dir)) {
      Warning("Implicit lock succeeded for file %s on readonly file system %s.\n", path, dir);
      free(dir);
      free(lockName);
      return 1;
    }
    free(dir);
  }

  int result = -1;
  int handle = OpenAndLock(lockName, readOnly, &result);
  if (handle == HOSTFILE_INVALID) {
    free(lockName);
    return result;
  }
  Remember(path, lockName, handle);
  return 1;
}

bool FileLock_Unlock(const char *path, bool readOnly) {
  if (path == nullptr) return false;
  if (readOnly) {
    char *full = File_FullPath(path);
    if (full == nullptr) return false;
    char *dir = DirectoryOf(full);
    bool writable = File_IsWritableDir(dir);
    if (!writable) {
      Warning("Implicit unlock succeeded for file %s on readonly file system %s.\n", full, dir);
    }
    free(dir);
    free(full);
    if (!writable) return true;
  }

  LockRecord *record = Unlink(path);
  if (record == nullptr) return false;

  bool unlocked = HostFile_Unlock(record->handle, 0, kLockLength);
  // Remove the file only when nobody else holds it; removing it under a
  // reader would let the next writer lock a fresh file beside that reader.
  // Nor when its name leads elsewhere now (a folder on the way swapped).
  if (HostFile_Lock(record->handle, false, 0, kLockLength) == 1 &&
      HostFile_IsNamedBy(record->handle, record->lockName)) {
    HostFs_Unlink(record->lockName);
  }
  Discard(record);
  return unlocked;
}

int FileLock_Handle(const char *path) {
  std::lock_guard<std::mutex> guard(gLockListMutex);
  for (LockRecord *r = gLockList; r != nullptr; r = r->next) {
    if (path != nullptr && strcmp(r->path, path) == 0) {
      return r->handle;
    }
  }
  return -1;
}

bool FileLock_Forget(const char *path) {
  LockRecord *record = path != nullptr ? Unlink(path) : nullptr;
  if (record == nullptr) return false;
  Discard(record);
  return true;
}

bool FileLock_Adopt(const char *path, bool readOnly, int handle) {
  if (path == nullptr || handle < 0) return false;
  char *lockName = LockNameOf(path);
  if (lockName == nullptr) return false;
  // Taking the lock again through its own open file only confirms it; a
  // handle whose lock went would take it anew, which is as good.
  if (!HostFile_IsNamedBy(handle, lockName) ||
      HostFile_Lock(handle, readOnly, 0, kLockLength) != 1) {
    free(lockName);
    return false;
  }
  Remember(path, lockName, handle);
  return true;
}
