// Lock files: "<full path>.lck" held with a byte-range lock over
// 0..0x7FFFFFFF, shared for readers and exclusive for writers, never waiting.
// The locks of this process are kept in a list guarded by a mutex; a lock
// dies with its handle, so a crashed holder leaves only a stale file behind.
#pragma once

// Returns 1 locked, 0 held elsewhere or refused, -1 error.
int FileLock_Lock(const char *path, bool readOnly);
// Returns true when the lock of exactly this path string was released.
bool FileLock_Unlock(const char *path, bool readOnly);
