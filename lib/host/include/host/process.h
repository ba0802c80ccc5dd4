// Starting other programs: servers started for a client (detached: they do
// not belong to it), helper programs run to completion under limits, and
// long-lived children that the caller owns and reaps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// Starts the executable at path (no search of PATH) with no
// arguments and the caller's environment, detached: in its own session with
// its standard streams on /dev/null, and never the caller's child. Returns 0
// once the program has been executed, or the system error code of the
// failure (ENOENT, EACCES, ...). A program that a user other than this one
// or root could change (the file or a folder on its way) is not started
// (EACCES): it would run with our rights.
int HostProcess_StartDetached(const char *path);
// Puts /dev/null, open for reading only, on standard streams the process
// was started without: a file opened later would take their number and get
// what was meant for them, and writes to them still fail as they would have.
void HostProcess_GuardStandardStreams(void);
// Past the file size limit (ulimit -f), or into a pipe nobody reads, a write
// then fails (EFBIG, EPIPE), which every writer here reports and undoes,
// where the signal would end the process without a word and with a status
// outside the program's own. Programs this one starts get the signals back.
void HostProcess_IgnoreWriteSignals(void);
// Undoes what the starter did to signals: a SIGTERM it held back would leave
// a server deaf to a stop, and a SIGCHLD it ignored would have the children
// reaped before the server could learn how they ended.
void HostProcess_ResetSignals(void);
// Keeps the starter's umask from a server's files: what it makes stays its
// own to read and write (its state, a table of mode 0 under umask 0777), and
// none of it, a lock file beside a user's disk included, is writable by
// others (umask 0).
void HostProcess_GuardFileModes(void);
// Lets this process open as many files, and write files as large, as its
// hard limits allow: a disk split into thousands of extent files is held
// open whole (the usual soft limit of 1,024 is a convention of select(),
// which nothing here uses), and a client's soft limit on file size is not
// the service's. Limits on file size and processor time are lifted where
// the process may (the superuser): the daemons the service starts inherit
// them, and one past either would fail or lose the writes of a disk it serves.
void HostProcess_RaiseFileLimits(void);
// Ends this process at once, as SIGKILL from another process would: no
// handler, no flush, no exit code of its own. For crash tests.
[[noreturn]] void HostProcess_KillSelf(void);
// Stops this process, as SIGSTOP from another process would, and returns
// once it is continued. For tests that act while it waits.
void HostProcess_StopSelf(void);

// Helper programs run to completion: the caller waits, reads what the program
// writes, and bounds what it may cost. A program that outlives its time or
// writes more than allowed is killed with everything it started.
struct HostRunLimits {
  uint64_t addressSpace = 0;    // bytes of virtual memory; 0: no limit
  unsigned cpuSeconds = 0;      // 0: no limit
  int timeoutMs = -1;           // wall clock; -1: no limit
  size_t maxOutput = 1 << 20;   // standard output beyond this kills the program
  size_t maxErrors = 64 << 10;  // standard error beyond this is dropped
};

struct HostRunResult {
  int exitCode = -1;  // -1 when the program did not exit by itself
  int signal = 0;     // the signal that ended it, or 0
  bool timedOut = false;
  bool outputTooLarge = false;
  char *out = nullptr;  // malloc'd, NUL-terminated (outLength bytes before it)
  size_t outLength = 0;
  char *err = nullptr;  // malloc'd, NUL-terminated
  size_t errLength = 0;
};

// Runs argv[0] (searched in PATH when it holds no '/') with the arguments
// argv[1..] up to a NULL, the caller's environment and standard input on
// /dev/null, in its own session. Returns 0 once the program has ended
// (however it ended: see *result), or the system error code that kept it
// from running (ENOENT when there is no such program, EACCES when the only
// ones found could be changed by another user, as for
// HostProcess_StartDetached). Free *result with
// HostRunResult_Free either way.
int HostProcess_Run(const char *const *argv, const HostRunLimits *limits, HostRunResult *result);
void HostRunResult_Free(HostRunResult *result);

// Long-lived children: a server the caller starts and owns. Unlike a detached
// start it stays the caller's child (the caller reaps it), but it runs in its
// own session, so signals meant for the caller's terminal never reach it, and
// it outlives the caller when that dies.
//
// Starts argv as above with standard input and output on /dev/null and
// standard error appended to errorLog (created with mode 0600; NULL:
// /dev/null). keepFds[i] becomes descriptor 3 + i in the child, all other
// descriptors are closed on exec. *pid receives the child's id. Returns 0 once
// the program runs, or the system error code of the failure.
int HostProcess_StartChild(const char *const *argv, const int *keepFds, size_t keepCount,
                           const char *errorLog, long *pid);
// Waits up to timeoutMs (-1: no limit) for the caller's child pid to end and
// reaps it. Returns true once it has ended (*exitCode, which may be NULL:
// its exit code, or -1 when a signal ended it); false when it still runs
// (last error ETIMEDOUT) or cannot be waited for (ECHILD: not the caller's
// child).
bool HostProcess_Wait(long pid, int timeoutMs, int *exitCode);
// For a forked child that makes system calls only: closes every descriptor
// but those of keep (count of them, ascending), so that it holds no lock or
// file of its parent's for as long as it may live. Those whose close may
// wait for a server (a FUSE or network file's) go last.
void HostProcess_CloseAllBut(const int *keep, size_t count);
// As HostProcess_CloseAllBut, but leaves those whose close may wait, for the
// child to close (or exit) once its work is done: a server elsewhere that
// does not answer then holds up neither the work nor anything else.
void HostProcess_CloseThoseThatCannotWait(const int *keep, size_t count);
// Children started from now on (every start here, and HostProcess_Fork)
// begin with the standard streams open at this call and what each start
// hands over, not with all the caller has opened: a child's exec, or its end,
// closes what it holds, and closing a file of storage that does not answer
// (a FUSE server stopped) waits for it. Call once, early, before any such
// file is opened. Returns false when the kernel cannot (the starts then work
// as before).
bool HostProcess_StartFromHere(void);
// Forks a child that runs inChild, which execs or ends with _exit: only
// system calls, other threads may hold locks. carry[0, count), close-on-exec
// descriptors, are open in it under the same numbers; after
// HostProcess_StartFromHere, nothing else but the standard streams is (in
// a process forked otherwise since, everything is, as with fork; where
// what it needs cannot be handed over, everything is too, and a warning is
// logged). Returns the child's id, or -1 with errno set.
long HostProcess_Fork(const int *carry, size_t count, const std::function<void()> &inChild);
// As HostProcess_Fork, the child placed from its start in the cgroup whose
// folder cgroup (one of carry) is open on. -1 with errno set where the
// kernel cannot (before Linux 5.7: ENOSYS).
long HostProcess_ForkInto(int cgroup, const int *carry, size_t count,
                          const std::function<void()> &inChild);
// Runs work on a thread of its own and waits up to timeoutMs for it: true
// when it ended in time. Work that storage which does not answer holds goes
// on, owning what it captured, and ends when it may; with no thread to be
// had, it runs on the caller's.
bool HostProcess_RunInTime(std::function<void()> work, int timeoutMs);
// Leaves the caller's child pid (0: none) to end in its own time, such as one
// a file system holds past its caller's limit, and reaps those left before
// that have ended since: none stays a zombie for longer than the next call.
void HostProcess_ReapLater(long pid);
// Returns true when a process pid exists and has not ended (a process that
// ended but was not reaped yet counts as ended). For processes that are not
// the caller's children, such as one adopted after a restart.
bool HostProcess_Alive(long pid);
// Returns true when process pid runs with arg among its arguments (argv[1]
// onward). Tells an adopted server from an unrelated process that got its id.
bool HostProcess_HasArgument(long pid, const char *arg);

// Calls visit(path, device, inode, context) for every regular file process
// pid has open: path as the kernel names it, device and inode as stat gives
// them. Returns false when its descriptors cannot be listed.
bool HostProcess_ForEachOpenFile(long pid,
                                 void (*visit)(const char *path, uint64_t device, uint64_t inode,
                                               void *context),
                                 void *context);
// Asks pid to end (kill false: it may clean up) or ends it at once (kill
// true). Returns 0 or a system error code (ESRCH when it is gone).
int HostProcess_Stop(long pid, bool kill);
