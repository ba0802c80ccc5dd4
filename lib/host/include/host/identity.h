// Who the process is: its id and the name of the user it runs as, for the
// $PID and $USER fallbacks of path expansion.
#pragma once

// Returns the process id.
long HostIdentity_ProcessId(void);
// Returns the malloc'd name of the effective user, or NULL when the user
// database has no entry for it.
char *HostIdentity_UserName(void);
