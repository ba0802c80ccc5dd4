// Files, folders and paths as the host sees them: full paths, existence,
// attributes, identity, folder enumeration, whole-file handles and the
// byte-range locks of lock files. Every failure sets the thread's last error
// (lastError.h); nothing here prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Returns a malloc'd absolute path: a relative path is joined to the working
// directory, then "." and ".." are resolved by text (symbolic links are not
// followed) and repeated separators collapse. NULL on failure.
char *HostFs_FullPath(const char *path);

// Returns a malloc'd absolute path of the existing entry path names, with
// every symbolic link resolved. NULL on failure.
char *HostFs_RealPath(const char *path);

// A disk's file system served by a process that ignores case (exFAT, FAT)
// gives each spelling of a name an inode of its own, and locks taken through
// one miss the others. Returns a malloc'd copy of the absolute path with each
// name on such a file system spelt as its folder lists it, or NULL when that
// changes nothing.
char *HostFs_ListedSpelling(const char *path);

// Returns true when the path names a regular file (links followed).
bool HostFs_IsRegularFile(const char *path);

// Returns true when the path names an existing entry (access(path, F_OK)).
bool HostFs_Exists(const char *path);

// Attribute bits (same values as the original platform's).
enum : uint32_t {
  HOSTFS_ATTR_READONLY = 0x1,
  HOSTFS_ATTR_DIRECTORY = 0x10,
  HOSTFS_ATTR_COMPRESSED = 0x800,
};

// Fills *attributes as the host defines them (directory; read-only: a
// non-directory without any write bit, or user.DOSATTRIB with 0x1; compressed:
// FS_COMPR_FL or user.DOSATTRIB with 0x800). False when the path cannot be
// queried.
bool HostFs_GetAttributes(const char *path, uint32_t *attributes);

// Returns true when the path exists; *isDirectory tells whether it is a
// folder (symbolic links followed).
bool HostFs_Stat(const char *path, bool *isDirectory);

// HostFs_Stat for an open stdio stream, which also gives the size of a
// regular file (-1 for anything else) without moving the stream.
bool HostFs_StatStream(FILE *stream, bool *isDirectory, long long *size);

// Identity of a file: volume serial = device number, index = inode number.
struct HostFileId {
  uint32_t volumeSerial;
  uint32_t indexHigh;
  uint32_t indexLow;
};

// Fills *id for the file the path names (links followed). False on failure.
bool HostFs_GetFileId(const char *path, HostFileId *id);

// Returns true when the path is an existing folder the caller may create
// files in.
bool HostFs_IsWritableDir(const char *path);

// Folder enumeration, in the order the file system returns the entries;
// "." and ".." are left out.
struct HostDir;
// Returns NULL when the folder cannot be opened.
HostDir *HostDir_Open(const char *path);
// Returns the next entry's name (valid until the next call) or NULL at the
// end; *isDirectory tells whether it is a folder (links followed).
const char *HostDir_Next(HostDir *dir, bool *isDirectory);
// Accepts NULL.
void HostDir_Close(HostDir *dir);

// Plain file handles for the file layer. A handle is a small non-negative
// integer; HOSTFILE_INVALID means none.
enum { HOSTFILE_INVALID = -1 };

enum : uint32_t {
  HOSTFILE_READ = 0x1,
  HOSTFILE_WRITE = 0x2,
  HOSTFILE_WRITE_THROUGH = 0x4,
  HOSTFILE_NO_BUFFERING = 0x10,  // where the file system allows it
};

enum HostFileDisposition {
  HOSTFILE_OPEN_EXISTING = 0,
  HOSTFILE_TRUNCATE_EXISTING = 1,
  HOSTFILE_OPEN_ALWAYS = 2,
  HOSTFILE_CREATE_NEW = 3,
  HOSTFILE_CREATE_ALWAYS = 4,
};

// Returns a handle or HOSTFILE_INVALID. Close-on-exec.
int HostFile_Open(const char *path, uint32_t access, HostFileDisposition disposition);
// Returns false when closing failed. Accepts HOSTFILE_INVALID (returns true).
bool HostFile_Close(int handle);
// Reads up to size bytes; returns the count, 0 at the end, -1 on error.
long HostFile_Read(int handle, void *buf, size_t size);
// The same at offset, leaving the file position as it is.
long HostFile_ReadAt(int handle, void *buf, size_t size, uint64_t offset);
// Returns the file size, or -1.
long long HostFile_Size(int handle);

// Byte-range locks over [offset, offset + length) on an open handle, owned by
// the open file description: two opens of one file in one process conflict.
// Never waits. Returns 1 locked, 0 held by another opener, -1 error.
int HostFile_Lock(int handle, bool shared, uint64_t offset, uint64_t length);
// Returns true when the range was unlocked.
bool HostFile_Unlock(int handle, uint64_t offset, uint64_t length);
// Lock files are named relative to their folder, opened once: a folder on
// the way swapped for a link afterwards leads nowhere else.
// Opens the folder (links on the way followed) for the functions below. When
// file is not HOSTFILE_INVALID, the folder must hold under name the very file
// that handle has open (a link as the last part followed, as stat does), told
// from what is known of both without asking the file's own storage, which
// may not answer: else it fails with ENOENT. Returns a handle or
// HOSTFILE_INVALID.
int HostDir_OpenHolding(const char *folder, const char *name, int file);
// Opens the lock file name in the open folder dir for reading and, unless
// readOnly, writing; created (mode 0666 less the umask) when missing and
// create is set. A symbolic link where the file belongs is never followed: it
// fails with ELOOP, and nothing is created or truncated anywhere. Anything but
// a regular file is refused (EINVAL) without waiting. Returns a handle or
// HOSTFILE_INVALID.
int HostFile_OpenLockFileAt(int dir, const char *name, bool readOnly, bool create);
// Returns true when name in the open folder dir still is the file the handle
// has open (a lock taken on a file that was removed meanwhile protects
// nothing).
bool HostFile_IsNamedByAt(int handle, int dir, const char *name);
// The kernel's name of the file the handle has open (as sysfs names a loop
// device's backing file), read without asking the file's own file system;
// malloc'd, NULL when it cannot be read.
char *HostFile_KernelName(int handle);
// Whether closing the handle may wait for a server that does not answer,
// beyond any signal: a regular file of a file system without a device of its
// own (FUSE, the network; some others too). The server is not asked, and
// only system calls are made (a forked child may ask).
bool HostFile_MayWaitToClose(int handle);

// Removes a file. False on failure.
bool HostFs_Unlink(const char *path);
// Removes the file name (never a folder) from the open folder dir. False on
// failure.
bool HostFs_UnlinkAt(int dir, const char *name);
