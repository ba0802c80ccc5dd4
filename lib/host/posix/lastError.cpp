// The thread's last system error on POSIX: errno, its C library text, and the
// one place where errno values are sorted into the project's error kinds.
#include "host/lastError.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

int Host_GetLastError(void) { return errno; }

void Host_SetLastError(int code) { errno = code; }

bool Host_ErrorText(int code, char *buf, size_t size) {
  if (buf == nullptr || size == 0) {
    return false;
  }
  buf[0] = '\0';
  char scratch[256];
  // GNU strerror_r: returns either scratch or a static text.
  const char *text = strerror_r(code, scratch, sizeof scratch);
  if (text == nullptr || *text == '\0' || strncmp(text, "Unknown error", 13) == 0) {
    return false;
  }
  snprintf(buf, size, "%s", text);
  return true;
}

HostErrorKind Host_ErrorKind(int code) {
  switch (code) {
    case 0:
      return HOST_ERROR_NONE;
    case ENOENT:
    case ENOTDIR:
      return HOST_ERROR_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS:
      return HOST_ERROR_ACCESS;
    case EEXIST:
      return HOST_ERROR_EXISTS;
    case EFBIG:
      return HOST_ERROR_TOO_LARGE;
    case ENOSPC:
      return HOST_ERROR_NO_SPACE;
    case EDQUOT:
      return HOST_ERROR_QUOTA;
    case EAGAIN:
    case EBUSY:
    case ETXTBSY:
      return HOST_ERROR_BUSY;
    case ENOMEM:
      return HOST_ERROR_NO_MEMORY;
    case EINVAL:
      return HOST_ERROR_INVALID;
    case ETIMEDOUT:
      return HOST_ERROR_TIMED_OUT;
    default:
      return HOST_ERROR_OTHER;
  }
}

int Host_ErrorCode(HostErrorKind kind) {
  switch (kind) {
    case HOST_ERROR_NONE:
      return 0;
    case HOST_ERROR_NOT_FOUND:
      return ENOENT;
    case HOST_ERROR_ACCESS:
      return EACCES;
    case HOST_ERROR_EXISTS:
      return EEXIST;
    case HOST_ERROR_TOO_LARGE:
      return EFBIG;
    case HOST_ERROR_NO_SPACE:
      return ENOSPC;
    case HOST_ERROR_QUOTA:
      return EDQUOT;
    case HOST_ERROR_BUSY:
      return EBUSY;
    case HOST_ERROR_NO_MEMORY:
      return ENOMEM;
    case HOST_ERROR_INVALID:
      return EINVAL;
    case HOST_ERROR_TIMED_OUT:
      return ETIMEDOUT;
    case HOST_ERROR_OTHER:
      break;
  }
  return EIO;
}
