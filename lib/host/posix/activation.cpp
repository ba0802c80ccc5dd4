// Taking over the first socket a service manager passed. Anything that is not
// a listening stream socket is left alone: serving on it would hang.
#include "host/activation.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/process.h"

namespace {

constexpr int kFirstFd = 3;

// Returns the positive decimal value of the variable, or 0.
long Number(const char *name) {
  const char *text = getenv(name);
  if (text == nullptr || *text == '\0' || strspn(text, "0123456789") != strlen(text) ||
      strlen(text) > 9) {
    return 0;
  }
  return strtol(text, nullptr, 10);
}

}  // namespace

int HostActivation_ListenFd(void) {
  long pid = Number("LISTEN_PID");
  long count = Number("LISTEN_FDS");
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_FDNAMES");
  if (pid != static_cast<long>(getpid()) || count < 1) {
    return -1;
  }
  int type = 0, listening = 0;
  socklen_t length = sizeof type;
  if (getsockopt(kFirstFd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM) {
    return -1;
  }
  length = sizeof listening;
  if (getsockopt(kFirstFd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 || !listening) {
    return -1;
  }
  int flags = fcntl(kFirstFd, F_GETFD);
  if (flags >= 0) {
    fcntl(kFirstFd, F_SETFD, flags | FD_CLOEXEC);
  }
  return kFirstFd;
}

void HostActivation_CloseInherited(void) {
  long handed = Number("LISTEN_PID") == static_cast<long>(getpid()) ? Number("LISTEN_FDS") : 0;
  std::vector<int> keep;
  for (int fd = 0; fd < kFirstFd + std::min(handed, 1024L); fd++) {
    keep.push_back(fd);
  }
  HostProcess_CloseAllBut(keep.data(), keep.size());
}
