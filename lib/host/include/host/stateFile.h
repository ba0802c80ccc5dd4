// Files in which a service keeps its state: whole-file reads, atomic
// replacement (a reader sees the old file or the new one, never a part, and
// a failed write leaves the old file as it was), folders for per-object
// state, and a stamp that tells whether a file changed since it was read.
#pragma once

#include <cstddef>
#include <cstdint>

// Replaces path with data[0, length): written to a temporary file in the same
// folder, flushed to the disk, renamed over path, and the folder flushed.
// Returns 0 or a system error code (ENOSPC, EDQUOT, EFBIG, EACCES...); on
// failure the temporary file is removed and path is untouched.
int HostState_WriteFile(const char *path, const char *data, size_t length);
// The same without flushing: a crash of the process still leaves the old
// file or the new one, but a crash of the machine may lose the new one (or,
// on some file systems, leave it empty). Much cheaper than a flush.
int HostState_ReplaceFile(const char *path, const char *data, size_t length);

// Reads a whole file of at most maxLength bytes into *data (malloc'd and
// NUL-terminated; the caller frees it) and its length into *length. Returns
// 0, ENOENT when it does not exist, EFBIG when it is larger than maxLength,
// ELOOP when it is a symbolic link, EINVAL (EISDIR) when it is no regular
// file (read without waiting), or another system error code.
int HostState_ReadFile(const char *path, size_t maxLength, char **data, size_t *length);

// Creates a folder (mode 0700). Returns 0, also when it exists already as a
// folder (not a link to one: EEXIST), or a system error code.
int HostState_MakeDir(const char *path);
// Renames path to aside, in the same folder, whatever kind of entry either
// is (what stood at aside goes, a folder with all it holds), and flushes the
// folder. Returns 0 or a system error code.
int HostState_MoveAside(const char *path, const char *aside);
// Removes a file (0 also when it was missing) or a system error code.
int HostState_RemoveFile(const char *path);
// Removes an empty folder (0 also when it was missing) or a system error code.
int HostState_RemoveDir(const char *path);
// Removes a folder with everything in it, links as links (0 also when it
// was missing) or a system error code.
int HostState_RemoveTree(const char *path);
// Creates a symbolic link at path that leads to target. 0, or a system error
// code (EEXIST when anything is at path).
int HostState_MakeLink(const char *target, const char *path);
// Removes the temporary files that replacements cut short by a crash left in
// folder. Only for a folder whose files nobody is replacing meanwhile.
void HostState_RemoveLeftovers(const char *folder);

// Reads the target of a symbolic link into *target (malloc'd; the caller
// frees it). Returns 0, EINVAL when path is no symbolic link, ENOENT when it
// does not exist, or another system error code.
int HostState_ReadLink(const char *path, char **target);

// What identifies one version of a file. Two stamps differ when the file was
// replaced, removed, created, resized or written to (by its modification
// time, to the nanosecond).
struct HostFileStamp {
  bool exists;
  uint64_t device;
  uint64_t inode;
  uint64_t size;
  int64_t modifiedSeconds;
  int64_t modifiedNanoseconds;
};

// Fills *stamp for path (links followed); a missing path gives a stamp with
// exists false. Returns false (last error set) when the path cannot be
// examined for another reason.
bool HostState_Stamp(const char *path, HostFileStamp *stamp);
bool HostState_SameStamp(const HostFileStamp &a, const HostFileStamp &b);
