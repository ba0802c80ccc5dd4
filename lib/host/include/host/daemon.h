// Running as a background service: leaving the starter's session, the lock
// that lets one instance serve a prefix, termination requests, and the one
// log a service writes to (the system log, or standard error when it runs in
// the foreground). Nothing here prints except HostLog_Write.
#pragma once

// Detaches the calling process: it forks, and the parent waits until the
// child calls HostDaemon_Ready (the parent then exits 0) or ends without
// doing so (the parent exits 1). The child runs in a new session with the
// working folder "/" and standard streams on /dev/null; until it is ready,
// the errors it logs also go to the standard error it had. Returns 0 in the
// child, or a system error code when nothing could be forked (the caller
// stays as it was).
int HostDaemon_Detach(void);

// Lets the waiting starter of a detached process go. Does nothing when the
// process did not detach or has already said so.
void HostDaemon_Ready(void);

// Calls handler on SIGTERM and SIGINT; handler must be async-signal-safe.
// SIGPIPE is ignored, so a vanished peer shows as a write error.
void HostDaemon_OnTerminate(void (*handler)(void));

// The one-instance lock: an exclusive lock on a file that dies with its
// holder (and its children, which inherit it), so a crash never leaves a
// stale lock behind. The file holds the holder's process id.
struct HostInstanceLock;

// Returns 1 and sets *lock when taken, 0 when another process holds it, -1
// on error (last error set). The file is created (mode 0600) when missing.
int HostInstanceLock_Acquire(const char *path, HostInstanceLock **lock);
// Writes the calling process's id into the lock file (call it after
// detaching). Returns false on failure (last error set).
bool HostInstanceLock_RecordPid(HostInstanceLock *lock);
// Releases the lock and frees the record. Accepts NULL.
void HostInstanceLock_Release(HostInstanceLock *lock);
// Asks the holder of the lock to terminate (SIGTERM) and waits at most
// timeoutSeconds for the lock to be released. Only a process that runs an
// executable of the caller's name and has the lock file open is signalled,
// whatever pid the file holds. Returns 0 when nobody holds it
// (any more), ETIMEDOUT when the holder did not let go in time, or another
// system error code.
int HostInstanceLock_StopHolder(const char *path, int timeoutSeconds);

enum HostLogLevel {
  HOSTLOG_ERROR,
  HOSTLOG_WARNING,
  HOSTLOG_INFO,
};

// Sends what follows to standard error (toStderr) or to the system log under
// the identity ident (kept by reference: pass a string that lives on).
void HostLog_Open(const char *ident, bool toStderr);
// Writes one line (a trailing line feed is added on standard error).
void HostLog_Write(HostLogLevel level, const char *text);
