// Who the process is: its id and the name of the user it runs as, for the
// $PID and $USER fallbacks of path expansion; and what another user may do.
#pragma once

// Returns the process id.
long HostIdentity_ProcessId(void);
// Returns the malloc'd name of the effective user, or NULL when the user
// database has no entry for it.
char *HostIdentity_UserName(void);

// Whether the owner of the file named (links followed) could open path for
// reading, or also for writing when write is true and anybody may write it,
// by the permission bits of path and of every folder on its real path, with
// the groups of that owner's account (access control lists are not read).
// True when the owner is the superuser or the effective user; false when
// either file cannot be examined.
bool HostIdentity_OwnerMay(const char *named, const char *path, bool write);
