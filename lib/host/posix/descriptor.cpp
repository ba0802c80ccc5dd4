#include "host/descriptor.h"

#include <unistd.h>

#include <cerrno>

void HostFd::Reset(int fd) noexcept {
  if (fd_ >= 0 && fd_ != fd) {
    // Closing on the way out of a failed call must not hide that call's error.
    // Linux releases the descriptor even when close reports EINTR: no retry.
    int saved = errno;
    close(fd_);
    errno = saved;
  }
  fd_ = fd;
}
