// The calling thread's last system error (the host's "last error"), its text,
// and the one translation of system error codes into the project's kinds.
// Only lib/host knows what the codes are (errno values on POSIX).
#pragma once

#include <cstddef>

// Returns the thread's last system error code.
int Host_GetLastError(void);
void Host_SetLastError(int code);

// Copies the system's own text for code (no trailing newline) into buf.
// Returns false when the system has no text of its own for it (glibc's
// "Unknown error N" counts as none); buf then holds "".
bool Host_ErrorText(int code, char *buf, size_t size);

enum HostErrorKind {
  HOST_ERROR_NONE,
  HOST_ERROR_NOT_FOUND,  // no such file or path component
  HOST_ERROR_ACCESS,     // permission, read-only file system
  HOST_ERROR_EXISTS,     // the name is taken
  HOST_ERROR_TOO_LARGE,  // file too large
  HOST_ERROR_NO_SPACE,   // device full
  HOST_ERROR_QUOTA,      // quota exceeded
  HOST_ERROR_BUSY,       // locked or in use by someone else
  HOST_ERROR_NO_MEMORY,
  HOST_ERROR_INVALID,    // invalid argument
  HOST_ERROR_TIMED_OUT,  // did not finish in time (and may go on)
  HOST_ERROR_OTHER,
};

// Returns the kind of a system error code.
HostErrorKind Host_ErrorKind(int code);
// Returns a system error code of the given kind (for code that must set one).
int Host_ErrorCode(HostErrorKind kind);
