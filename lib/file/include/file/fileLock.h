// Lock files: "<full path>.lck" held with a byte-range lock over
// 0..0x7FFFFFFF, shared for readers and exclusive for writers, never waiting.
// The locks of this process are kept in a list guarded by a mutex; a lock
// dies with its handle, so a crashed holder leaves only a stale file behind.
#pragma once

// Returns 1 locked, 0 held elsewhere or refused, -1 error.
int FileLock_Lock(const char *path, bool readOnly);
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
// locked it with (readOnly as that lock was taken). False, with handle left
// to the caller, when it is no longer path's lock file or holds no lock.
bool FileLock_Adopt(const char *path, bool readOnly, int handle);
