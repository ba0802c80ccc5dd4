// Looking files up the way a program written for case-blind file names needs
// on a case-sensitive host: full paths with a length limit, a name found in
// its folder without regard to ASCII case, and an open that takes regular
// files only and never waits on a FIFO or device. Failures set the thread's
// last error (lastError.h); nothing here prints.
#pragma once

#include <cstddef>

// The longest full path the host accepts, terminator included.
enum { HOSTFS_PATH_MAX = 4096 };

// HostFs_FullPath, but NULL with a "name too long" last error when the result
// has HOSTFS_PATH_MAX characters or more. The result is malloc'd.
char *HostFs_FullPathLimited(const char *path);

// Returns the malloc'd name of the entry of folder that is called name,
// comparing without regard to ASCII case: the entry of exactly that name when
// there is one, else the case-blind match that sorts first byte by byte.
// NULL when there is none (last error "not found") or the folder cannot be
// read.
char *HostDir_FindNoCase(const char *folder, const char *name);

// Opens an existing regular file for reading. Anything else (a folder, FIFO,
// socket or device) is refused without blocking: HOSTFILE_INVALID with the
// last error "is a directory" for a folder and "invalid argument" otherwise.
// When size is not NULL it receives the file's size at the open.
int HostFile_OpenRegular(const char *path, long long *size = nullptr);
