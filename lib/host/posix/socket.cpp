// Unix stream sockets for the component runtime. Socket addresses are short,
// so an endpoint whose path does not fit is named through the folder's
// descriptor ("/proc/self/fd/<n>/<name>"), which the kernel resolves like any
// path; the folder is held open for the duration of the bind or connect.
#include "host/socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

// How long a listener waits on an endpoint in use to tell a live one (whose
// queue may be full) from a stale one.
constexpr int kProbeMs = 1000;

// What a listener bound, so that only its own socket file is ever removed.
struct BoundFile {
  int fd;
  dev_t dev;
  ino_t ino;
};
std::mutex g_boundLock;
std::vector<BoundFile> g_bound;

int OpenDir(const char *dir, bool create) {
  if (create && mkdir(dir, 0700) != 0 && errno != EEXIST) {
    return -1;
  }
  return open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

// Fills *addr for dir/name; false (ENAMETOOLONG) when even the descriptor
// form does not fit, which only a name of about 80 bytes can cause.
bool MakeAddress(const char *dir, int dirFd, const char *name, sockaddr_un *addr,
                 socklen_t *length) {
  memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  std::string path = std::string(dir) + "/" + name;
  if (path.size() >= sizeof addr->sun_path) {
    path = "/proc/self/fd/" + std::to_string(dirFd) + "/" + name;
    if (path.size() >= sizeof addr->sun_path) {
      errno = ENAMETOOLONG;
      return false;
    }
  }
  memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return true;
}

int ConnectAt(int type, const char *dir, int dirFd, const char *name, int timeoutMs, int *fd) {
  sockaddr_un addr;
  socklen_t length;
  if (!MakeAddress(dir, dirFd, name, &addr, &length)) {
    return errno;
  }
  int s = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  if (s < 0) {
    return errno;
  }
  // A connection waits while the server's queue is full, for as long as the
  // send timeout allows; the stream is then left without one.
  if (!HostStream_SetTimeout(s, timeoutMs) ||
      connect(s, reinterpret_cast<sockaddr *>(&addr), length) != 0 ||
      !HostStream_SetTimeout(s, 0)) {
    int e = errno == EINPROGRESS ? EAGAIN : errno;
    close(s);
    return e;
  }
  *fd = s;
  return 0;
}

int BindAt(int s, const char *dir, int dirFd, const char *name) {
  sockaddr_un addr;
  socklen_t length;
  if (!MakeAddress(dir, dirFd, name, &addr, &length)) {
    return errno;
  }
  return bind(s, reinterpret_cast<sockaddr *>(&addr), length) == 0 ? 0 : errno;
}

int Listen(int type, const char *dir, const char *name, int *listenFd) {
  int dirFd = OpenDir(dir, true);
  if (dirFd < 0) {
    return errno;
  }
  int s = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (s < 0) {
    int e = errno;
    close(dirFd);
    return e;
  }
  // The bound file takes the socket's mode on Linux; the fchmodat below
  // covers systems where it does not.
  (void)fchmod(s, 0600);
  int e = BindAt(s, dir, dirFd, name);
  if (e == EADDRINUSE) {
    int probe = -1;
    int c = ConnectAt(type, dir, dirFd, name, kProbeMs, &probe);
    if (c == 0) {
      close(probe);
    } else if (c == ECONNREFUSED || c == ENOENT) {
      // Stale: its server is gone.
      (void)unlinkat(dirFd, name, 0);
      e = BindAt(s, dir, dirFd, name);
    }
  }
  struct stat st;
  if (e == 0 && (fchmodat(dirFd, name, 0600, 0) != 0 || fstatat(dirFd, name, &st, 0) != 0 ||
                 listen(s, 64) != 0)) {
    e = errno;
    (void)unlinkat(dirFd, name, 0);
  }
  close(dirFd);
  if (e != 0) {
    close(s);
    return e;
  }
  {
    // A record left by a listener closed without removal names a
    // descriptor number that may now be this one.
    std::lock_guard<std::mutex> hold(g_boundLock);
    for (size_t i = 0; i < g_bound.size(); i++) {
      if (g_bound[i].fd == s) {
        g_bound.erase(g_bound.begin() + static_cast<long>(i));
        break;
      }
    }
    g_bound.push_back({s, st.st_dev, st.st_ino});
  }
  *listenFd = s;
  return 0;
}

int Connect(int type, const char *dir, const char *name, int timeoutMs, int *fd) {
  int dirFd = OpenDir(dir, false);
  if (dirFd < 0) {
    return errno;
  }
  int e = ConnectAt(type, dir, dirFd, name, timeoutMs, fd);
  close(dirFd);
  return e;
}

}  // namespace

int HostEndpoint_Listen(const char *dir, const char *name, int *listenFd) {
  return Listen(SOCK_STREAM, dir, name, listenFd);
}

int HostEndpoint_Connect(const char *dir, const char *name, int timeoutMs, int *fd) {
  return Connect(SOCK_STREAM, dir, name, timeoutMs, fd);
}

int HostEndpoint_ListenPackets(const char *dir, const char *name, int *listenFd) {
  return Listen(SOCK_SEQPACKET, dir, name, listenFd);
}

int HostEndpoint_ConnectPackets(const char *dir, const char *name, int timeoutMs, int *fd) {
  return Connect(SOCK_SEQPACKET, dir, name, timeoutMs, fd);
}

bool HostEndpoint_Remove(const char *dir, const char *name, int listenFd) {
  BoundFile mine = {-1, 0, 0};
  {
    std::lock_guard<std::mutex> hold(g_boundLock);
    for (size_t i = 0; i < g_bound.size(); i++) {
      if (g_bound[i].fd == listenFd) {
        mine = g_bound[i];
        g_bound.erase(g_bound.begin() + static_cast<long>(i));
        break;
      }
    }
  }
  if (mine.fd < 0) {
    errno = ENOENT;
    return false;
  }
  int dirFd = OpenDir(dir, false);
  if (dirFd < 0) {
    return false;
  }
  struct stat st;
  bool removed = false;
  if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == mine.dev &&
      st.st_ino == mine.ino) {
    removed = unlinkat(dirFd, name, 0) == 0;
  } else {
    errno = ENOENT;
  }
  int e = errno;
  close(dirFd);
  errno = e;
  return removed;
}

int HostEndpoint_Accept(int listenFd, int *fd) {
  for (;;) {
    int s = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s >= 0) {
      *fd = s;
      return 0;
    }
    if (errno == EINTR) {
      continue;
    }
    // A client that gave up before being accepted is no error of ours.
    return errno == EWOULDBLOCK || errno == ECONNABORTED ? EAGAIN : errno;
  }
}

bool HostEndpoint_PeerTrusted(int fd) {
  struct ucred cred;
  socklen_t length = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) {
    return false;
  }
  return cred.uid == geteuid() || cred.uid == 0;
}

int HostStream_Pair(int fds[2]) {
  return socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0 ? 0 : errno;
}

bool HostStream_SetNonBlocking(int fd, bool nonBlocking) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) {
    return false;
  }
  flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0;
}

bool HostStream_SetTimeout(int fd, int timeoutMs) {
  timeval limit{};
  limit.tv_sec = timeoutMs / 1000;
  limit.tv_usec = static_cast<suseconds_t>(timeoutMs % 1000) * 1000;
  return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
         setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
}

void HostStream_Close(int fd) {
  if (fd >= 0) {
    close(fd);
  }
}

long HostStream_Read(int fd, void *buf, size_t size) {
  for (;;) {
    ssize_t n = recv(fd, buf, size, 0);
    if (n >= 0) {
      return static_cast<long>(n);
    }
    if (errno == EINTR) {
      continue;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK ? HOSTSTREAM_AGAIN : HOSTSTREAM_ERROR;
  }
}

bool HostStream_WaitReadable(int fd, int timeoutMs) {
  pollfd entry{fd, POLLIN, 0};
  // An error or a signal is left to the read that follows.
  return poll(&entry, 1, timeoutMs > 0 ? timeoutMs : -1) != 0;
}

bool HostStream_PeerClosed(int fd) {
  if (fd < 0) {
    return true;
  }
  pollfd entry{fd, POLLRDHUP, 0};
  return poll(&entry, 1, 0) > 0 &&
         (entry.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

long HostStream_Write(int fd, const void *buf, size_t size) {
  for (;;) {
    ssize_t n = send(fd, buf, size, MSG_NOSIGNAL);
    if (n >= 0) {
      return static_cast<long>(n);
    }
    if (errno == EINTR) {
      continue;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK ? HOSTSTREAM_AGAIN : HOSTSTREAM_ERROR;
  }
}

bool HostStream_ReadAll(int fd, void *buf, size_t size) {
  auto *p = static_cast<char *>(buf);
  while (size > 0) {
    long n = HostStream_Read(fd, p, size);
    if (n == 0) {
      errno = ECONNRESET;
      return false;
    }
    if (n < 0) {
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool HostStream_WriteAll(int fd, const void *buf, size_t size) {
  auto *p = static_cast<const char *>(buf);
  while (size > 0) {
    long n = HostStream_Write(fd, p, size);
    if (n <= 0) {
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int HostPoll_Wait(HostPollEntry *entries, size_t count, int timeoutMs) {
  std::vector<pollfd> fds(count);
  for (size_t i = 0; i < count; i++) {
    fds[i].fd = entries[i].fd;
    fds[i].events = static_cast<short>((entries[i].wantRead ? POLLIN : 0) |
                                       (entries[i].wantWrite ? POLLOUT : 0));
    fds[i].revents = 0;
  }
  int n = poll(fds.data(), count, timeoutMs);
  if (n < 0) {
    return errno == EINTR ? 0 : -1;
  }
  for (size_t i = 0; i < count; i++) {
    entries[i].readable = (fds[i].revents & POLLIN) != 0;
    entries[i].writable = (fds[i].revents & POLLOUT) != 0;
    entries[i].closed = (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  }
  return n;
}

int HostWake_Create(int fds[2]) { return pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0 ? 0 : errno; }

void HostWake_Signal(int writeFd) {
  int saved = errno;
  char byte = 1;
  (void)!write(writeFd, &byte, 1);
  errno = saved;
}

void HostWake_Drain(int readFd) {
  char buf[64];
  while (read(readFd, buf, sizeof buf) > 0) {
  }
}

int64_t HostClock_NowMs(void) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void HostClock_SleepMs(int ms) {
  timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}
