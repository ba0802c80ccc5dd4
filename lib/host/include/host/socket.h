// Local stream endpoints and the byte streams over them, for the component
// runtime's transport. An endpoint is a Unix stream socket named in a folder;
// the folder is reached through a descriptor, so a folder path of any length
// works although socket addresses hold at most 107 bytes. Streams are plain
// descriptors (small non-negative integers), close-on-exec, and writing to a
// stream whose peer is gone fails instead of raising a signal. Functions that
// return an int give 0 or a system error code; the others set the thread's
// last error (lastError.h) when they fail.
#pragma once

#include <cstddef>
#include <cstdint>

// Binds and listens on dir/name with mode 0600 (the folder is created with
// mode 0700 when missing). A stale endpoint (nothing accepts on it) is
// replaced; EADDRINUSE when a live one is there. *listenFd is non-blocking.
int HostEndpoint_Listen(const char *dir, const char *name, int *listenFd);
// Connects to dir/name; *fd is a blocking stream. ENOENT or ECONNREFUSED
// when nothing listens there; EAGAIN when the server's queue of connections
// stays full for timeoutMs (0: no limit), as while it does not accept.
int HostEndpoint_Connect(const char *dir, const char *name, int timeoutMs, int *fd);
// As the two above, for an endpoint that keeps each message whole
// (SOCK_SEQPACKET), as passing descriptors one message at a time wants.
int HostEndpoint_ListenPackets(const char *dir, const char *name, int *listenFd);
int HostEndpoint_ConnectPackets(const char *dir, const char *name, int timeoutMs, int *fd);
// Removes dir/name when it is still the socket listenFd was bound to, so a
// server never removes the endpoint of a successor. True when removed.
bool HostEndpoint_Remove(const char *dir, const char *name, int listenFd);
// Accepts one pending connection as a non-blocking stream. 0, EAGAIN when none
// is pending, or another error code.
int HostEndpoint_Accept(int listenFd, int *fd);
// Returns true when the peer of a connected stream runs as the caller's
// effective user or as the superuser.
bool HostEndpoint_PeerTrusted(int fd);

// A connected pair of blocking streams (for tests and in-process links).
int HostStream_Pair(int fds[2]);
bool HostStream_SetNonBlocking(int fd, bool nonBlocking);
// Bounds every blocking read and write on the stream to timeoutMs (0: no
// limit). A transfer that waits longer moves nothing and reads as
// HOSTSTREAM_AGAIN; ReadAll and WriteAll then fail with a "busy" last error.
bool HostStream_SetTimeout(int fd, int timeoutMs);
// Accepts -1.
void HostStream_Close(int fd);

enum : long {
  HOSTSTREAM_AGAIN = -1,  // a non-blocking stream cannot move data now
  HOSTSTREAM_ERROR = -2,  // last error set
};
// Returns the bytes moved (> 0), 0 at the end of the stream (read only), or
// HOSTSTREAM_AGAIN / HOSTSTREAM_ERROR. Interrupted calls are retried.
long HostStream_Read(int fd, void *buf, size_t size);
long HostStream_Write(int fd, const void *buf, size_t size);
// Waits up to timeoutMs (0: no limit) for something to read, or the end of
// the stream; false only when that time passed. Unlike a blocking read, the
// wait is not woken when the peer takes what this side wrote.
bool HostStream_WaitReadable(int fd, int timeoutMs);
// True when the peer has closed its end (or the stream failed), without
// waiting or taking anything from it. Accepts -1 (true).
bool HostStream_PeerClosed(int fd);
// Blocking whole transfers: false at a premature end of stream (last error
// ECONNRESET) or on error.
bool HostStream_ReadAll(int fd, void *buf, size_t size);
bool HostStream_WriteAll(int fd, const void *buf, size_t size);

// Waiting for several streams at once.
struct HostPollEntry {
  int fd;  // entries with fd -1 are skipped
  bool wantRead;
  bool wantWrite;
  // Results.
  bool readable;
  bool writable;
  bool closed;  // hang-up or error: reading tells which
};
// Waits up to timeoutMs (-1: no limit). Returns the number of ready entries,
// 0 on timeout or interruption by a signal, -1 on error.
int HostPoll_Wait(HostPollEntry *entries, size_t count, int timeoutMs);

// A wake-up channel that a signal handler or another thread can trigger:
// fds[0] becomes readable after HostWake_Signal(fds[1]).
int HostWake_Create(int fds[2]);
// Async-signal-safe; never blocks.
void HostWake_Signal(int writeFd);
void HostWake_Drain(int readFd);

// Milliseconds of a monotonic clock.
int64_t HostClock_NowMs(void);
void HostClock_SleepMs(int ms);
