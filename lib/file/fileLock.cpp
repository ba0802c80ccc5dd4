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
//
// The lock file's folder is opened once and every later step works relative
// to it: a user who owns a folder on the way could otherwise swap it for a
// link and make the caller create or remove a file elsewhere. A locker that
// holds the disk open first checks the folder holds that very disk.
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
  int folder;  // the lock file's, opened once
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

// The lock file's name within its folder.
const char *BaseOf(const char *lockName) {
  const char *slash = strrchr(lockName, '/');
  return slash != nullptr ? slash + 1 : lockName;
}

// Opens the folder of lockName. When the lock file lies beside the disk and
// disk is not HOSTFILE_INVALID, the folder must hold the file disk has open
// under the lock's name less ".lck". Returns a handle or HOSTFILE_INVALID.
int OpenFolder(const char *lockName, int disk, bool beside) {
  const char *base = BaseOf(lockName);
  int length = base == lockName ? 0 : static_cast<int>(base - lockName) - 1;
  char *folder = base == lockName ? Util_SafeStrdup(".")
                 : length == 0    ? Util_SafeStrdup("/")
                                  : Str_Asprintf(nullptr, "%.*s", length, lockName);
  int check = beside ? disk : HOSTFILE_INVALID;
  int baseLength = static_cast<int>(strlen(base)) - 4;
  char *diskName = check != HOSTFILE_INVALID && baseLength > 0
                       ? Str_Asprintf(nullptr, "%.*s", baseLength, base)
                       : nullptr;
  int handle = folder != nullptr ? HostDir_OpenHolding(folder, diskName, check) : HOSTFILE_INVALID;
  if (handle == HOSTFILE_INVALID) {
    int code = Host_GetLastError();
    Warning("FileLock_Lock: no folder holding the disk for %s (%d)\n",
            Str_Printable(lockName, STR_SHOWN_NAME).c_str(), code);
    Host_SetLastError(code);
  }
  free(diskName);
  free(folder);
  return handle;
}

// Opens the lock file in folder and locks it. Returns the handle, or
// HOSTFILE_INVALID with *result set to 0 (held elsewhere) or -1 (error).
int OpenAndLock(int folder, const char *lockName, bool readOnly, int *result) {
  const char *base = BaseOf(lockName);
  for (int attempt = 0; attempt < kMaxAttempts; attempt++) {
    HostFd handle(HostFile_OpenLockFileAt(folder, base, false, true));
    if (!handle.Valid() && readOnly && Host_ErrorKind(Host_GetLastError()) == HOST_ERROR_ACCESS) {
      // Someone else's lock file: a shared lock needs only read access.
      handle.Reset(HostFile_OpenLockFileAt(folder, base, true, false));
    }
    if (!handle.Valid()) {
      int code = Host_GetLastError();
      Warning("Error opening lock file %s (%d)\n", Str_Printable(lockName, STR_SHOWN_NAME).c_str(),
              code);
      Host_SetLastError(code);
      *result = -1;
      return HOSTFILE_INVALID;
    }
    if (HostFile_Lock(handle.Get(), readOnly, 0, kLockLength) != 1) {
      Warning("FileLock_Lock: LockFileEx(%s) fail. error: %d\n",
              Str_Printable(lockName, STR_SHOWN_NAME).c_str(), Host_GetLastError());
      *result = 0;
      return HOSTFILE_INVALID;
    }
    if (HostFile_IsNamedByAt(handle.Get(), folder, base)) {
      *result = 1;
      return handle.Release();
    }
    // Removed by its last holder meanwhile: start again.
  }
  Warning("FileLock_Lock: LockFileEx(%s) fail. error: %d\n",
          Str_Printable(lockName, STR_SHOWN_NAME).c_str(), Host_ErrorCode(HOST_ERROR_BUSY));
  *result = 0;
  return HOSTFILE_INVALID;
}

// The malloc'd full name of path's lock file, or NULL; *beside tells whether
// it lies beside the disk.
char *LockNameOf(const char *path, bool *beside) {
  *beside = strncasecmp(path, "PhysicalDrive", 13) != 0;
  char *lockName = nullptr;
  if (!*beside) {
    char *tmpDir = File_GetTmpDir();
    if (tmpDir == nullptr) return nullptr;
    lockName = Str_Asprintf(nullptr, "%s%s%s%s", tmpDir, "/pd", path + 13, ".lck");
    free(tmpDir);
  } else {
    char *full = File_FullPath(path);
    if (full == nullptr) return nullptr;
    // One lock file, and beside the file the disk was opened as, whatever
    // spelling names it.
    if (char *listed = HostFs_ListedSpelling(full)) {
      free(full);
      full = listed;
    }
    lockName = Str_Asprintf(nullptr, "%s%s", full, ".lck");
    free(full);
  }
  if (lockName == nullptr) {
    Log("FileLock_Lock: out of memory\n");
  }
  return lockName;
}

// Keeps the handles in the list; takes lockName.
void Remember(const char *path, char *lockName, int folder, int handle) {
  LockRecord *record = static_cast<LockRecord *>(Util_SafeMalloc(sizeof(LockRecord)));
  record->path = Util_SafeStrdup(path);
  record->lockName = lockName;
  record->folder = folder;
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
  HostFile_Close(record->folder);
  free(record->path);
  free(record->lockName);
  free(record);
}

}  // namespace

int FileLock_Lock(const char *path, bool readOnly, int disk) {
  if (path == nullptr) return -1;
  bool beside = true;
  char *lockName = LockNameOf(path, &beside);
  if (lockName == nullptr) return -1;

  if (readOnly) {
    char *dir = DirectoryOf(lockName);
    if (!File_IsWritableDir(dir)) {
      Warning("Implicit lock succeeded for file %s on readonly file system %s.\n",
              Str_Printable(path, STR_SHOWN_NAME).c_str(),
              Str_Printable(dir, STR_SHOWN_NAME).c_str());
      free(dir);
      free(lockName);
      return 1;
    }
    free(dir);
  }

  int result = -1;
  HostFd folder(OpenFolder(lockName, disk, beside));
  int handle =
      folder.Valid() ? OpenAndLock(folder.Get(), lockName, readOnly, &result) : HOSTFILE_INVALID;
  if (handle == HOSTFILE_INVALID) {
    free(lockName);
    return result;
  }
  Remember(path, lockName, folder.Release(), handle);
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
      Warning("Implicit unlock succeeded for file %s on readonly file system %s.\n",
              Str_Printable(full, STR_SHOWN_NAME).c_str(),
              Str_Printable(dir, STR_SHOWN_NAME).c_str());
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
  // Its folder was opened at locking: a folder swapped on the way since
  // leads nowhere else. Nor when it holds anything: lock files are empty,
  // and a file of that name with data (another's, in a folder a link to the
  // disk was planted in) is not one.
  const char *base = BaseOf(record->lockName);
  if (HostFile_Lock(record->handle, false, 0, kLockLength) == 1 &&
      HostFile_Size(record->handle) == 0 &&
      HostFile_IsNamedByAt(record->handle, record->folder, base)) {
    HostFs_UnlinkAt(record->folder, base);
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

bool FileLock_Adopt(const char *path, bool readOnly, int handle, int disk) {
  if (path == nullptr || handle < 0) return false;
  bool beside = true;
  char *lockName = LockNameOf(path, &beside);
  if (lockName == nullptr) return false;
  // Taking the lock again through its own open file only confirms it; a
  // handle whose lock went would take it anew, which is as good.
  HostFd folder(OpenFolder(lockName, disk, beside));
  if (!folder.Valid() || !HostFile_IsNamedByAt(handle, folder.Get(), BaseOf(lockName)) ||
      HostFile_Lock(handle, readOnly, 0, kLockLength) != 1) {
    free(lockName);
    return false;
  }
  Remember(path, lockName, folder.Release(), handle);
  return true;
}
