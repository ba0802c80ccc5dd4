// Starting server processes. A server started for a client must not belong to
// it: it runs in its own session with its standard streams on /dev/null, and
// the client never waits for it.
#pragma once

// Starts the executable at path (no search of PATH) with no arguments and the
// caller's environment, detached as above. Returns 0 once the program has been
// executed, or the system error code of the failure (ENOENT, EACCES, ...).
int HostProcess_StartDetached(const char *path);
// Ends this process at once, as SIGKILL from another process would: no
// handler, no flush, no exit code of its own. For crash tests.
[[noreturn]] void HostProcess_KillSelf(void);
