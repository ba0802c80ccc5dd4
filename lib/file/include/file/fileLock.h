// Lock files: "<full path>.lck" held with a byte-range lock over
// 0..0x7FFFFFFF, shared for readers and exclusive for writers, never waiting.
// The locks of this process are kept in a list guarded by a mutex; a lock
// dies with its handle, so a crashed holder leaves only a stale file behind.
#pragma once

// The lock file's folder is opened once and kept with the lock. disk, when
// not -1, is a handle the caller holds of the file path names: a lock file
// beside it is made only in a folder that holds that very file under its
// name (-1 with a not-found last error otherwise).
// Returns 1 locked, 0 held elsewhere or refused, -1 error.
int FileLock_Lock(const char *path, bool readOnly, int disk = -1);
// Returns true when the lock of exactly this path string was released.
bool FileLock_Unlock(const char *path, bool readOnly);

// Handing a lock to another process of ours (host/keeper.h), which holds it
// by holding the handle open. The handle of the lock of exactly this path
// string, still this process's; -1 when there is none.
int FileLock_Handle(const char *path);
// Closes that handle without unlocking: the lock stays with whoever holds
// the handle too. True when there was one.
bool FileLock_Forget(const char *path);
// Holds the lock of path through handle, which another process of ours
// locked it with (readOnly as that lock was taken); disk as for
// FileLock_Lock. False, with handle left to the caller, when it is no longer
// path's lock file, the folder no longer holds disk, or it holds no lock.
bool FileLock_Adopt(const char *path, bool readOnly, int handle, int disk = -1);
