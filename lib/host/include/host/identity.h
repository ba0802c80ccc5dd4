// Who the process is: its id and the name of the user it runs as, for the
// $PID and $USER fallbacks of path expansion; and what another user may do.
#pragma once

#include "host/disk.h"

// Returns the process id.
long HostIdentity_ProcessId(void);
// Returns the malloc'd name of the effective user, or NULL when the user
// database has no entry for it.
char *HostIdentity_UserName(void);

// Whether the owner of the file named (links followed) could open path for
// reading, or also for writing when write is true and anybody may write it
// (a read-only file system aside), as the kernel decides for that owner's
// account and groups, access control lists included; with no account, by
// the permission bits of path and of every folder on its real path. True
// when the owner is the superuser or the effective user; false when either
// file cannot be examined, or the kernel's answer does not come in time.
bool HostIdentity_OwnerMay(const char *named, const char *path, bool write);
// As HostIdentity_OwnerMay for the owner of the open disk, answering for
// the open file only: false when path leads elsewhere as it is judged.
bool HostIdentity_OwnerMayOpen(const HostDisk &disk, const char *path, bool write,
                               const HostDisk &file);
