// The keeper is a fork of the service that never returns to the service's
// code: the service may hold locks and threads of the runtime, so the child
// makes system calls only. It hands its descriptors over one message each
// (a label and SCM_RIGHTS) and ends when the taker says it has them all; a
// taker that fails or stalls midway leaves them with the keeper.
#include "host/keeper.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "host/process.h"
#include "host/socket.h"
#include "procfs.h"

namespace {

// How long either side waits for the other during a hand-over.
constexpr int kTalkMs = 5000;
const char kEnd[] = "end";  // the message after the last descriptor
const char kTaken = 'y';    // the taker's answer once it has them all

// Everything the keeper needs, made before the fork.
struct Keeping {
  const char *name;
  const char *endpoint;
  int listenFd;
  int dirFd;
  int watchFd;  // inotify: the endpoint's link count changes
  int nullFd;
  int readyFd;   // written once it listens as itself
  dev_t device;  // of the endpoint
  ino_t inode;
  const int *fds;
  const std::string *labels;
  size_t count;
  std::vector<int> open;  // to stay open in the keeper, sorted
  char *arguments;        // the process's own, shown as its command line
  size_t argumentsSize;
};

// Where the process's arguments lie, as the kernel shows them (fields 48
// and 49 of its stat). False when unknown.
bool FindArguments(char **start, size_t *size) {
  std::vector<std::string> stat = procfs::StatFields(0);
  unsigned long long from = 0, to = 0;
  if (stat.size() < 47 || sscanf(stat[45].c_str(), "%llu", &from) != 1 ||
      sscanf(stat[46].c_str(), "%llu", &to) != 1 || from == 0 || to <= from) {
    return false;
  }
  *start = reinterpret_cast<char *>(static_cast<uintptr_t>(from));
  *size = static_cast<size_t>(to - from);
  return true;
}

bool SendOne(int s, const char *text, size_t size, int fd) {
  iovec part = {const_cast<char *>(text), size};
  msghdr message = {};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  if (fd >= 0) {
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr *c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof fd);
  }
  for (;;) {
    if (sendmsg(s, &message, MSG_NOSIGNAL) == static_cast<ssize_t>(size)) {
      return true;
    }
    if (errno != EINTR) {
      return false;
    }
  }
}

// Hands everything to the peer of s; true once it has taken it.
bool Hand(const Keeping &k, int s) {
  ucred peer = {};
  socklen_t length = sizeof peer;
  if (getsockopt(s, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
      (peer.uid != 0 && peer.uid != geteuid())) {
    return false;
  }
  timeval limit = {kTalkMs / 1000, 0};
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  for (size_t i = 0; i < k.count; i++) {
    if (!SendOne(s, k.labels[i].data(), k.labels[i].size(), k.fds[i])) {
      return false;
    }
  }
  char answer = 0;
  return SendOne(s, kEnd, sizeof kEnd - 1, -1) && recv(s, &answer, 1, 0) == 1 && answer == kTaken;
}

bool EndpointIsMine(const Keeping &k) {
  struct stat st;
  return fstatat(k.dirFd, k.endpoint, &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == k.device &&
         st.st_ino == k.inode;
}

[[noreturn]] void Keep(const Keeping &k) {
  // A connection carries the credentials of whoever last listened: they must
  // be the keeper's own, by which a taker that fails ends it.
  listen(k.listenFd, 64);
  char ready = 'r';
  if (write(k.readyFd, &ready, 1) != 1) {
    _exit(1);
  }
  setsid();  // no terminal's signals
  if (chdir("/") != 0) {
    // A folder it worked in would stay busy for as long as it keeps.
  }
  prctl(PR_SET_NAME, k.name, 0, 0, 0);
  if (k.argumentsSize > 0) {
    // Not the service's command line, which would have it taken for the
    // service (and ended with it by name).
    memset(k.arguments, 0, k.argumentsSize);
    memcpy(k.arguments, k.name, std::min(strlen(k.name), k.argumentsSize - 1));
  }
  struct sigaction standard = {};
  standard.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; sig++) {
    sigaction(sig, &standard, nullptr);  // the service's handlers lead into its code
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  dup2(k.nullFd, 0);
  dup2(k.nullFd, 1);
  dup2(k.nullFd, 2);
  HostProcess_CloseAllBut(k.open.data(), k.open.size());
  for (;;) {
    pollfd wait[2] = {{k.listenFd, POLLIN, 0}, {k.watchFd, POLLIN, 0}};
    if (poll(wait, 2, -1) < 0) {
      continue;
    }
    if (wait[1].revents != 0) {
      char events[4096];
      while (read(k.watchFd, events, sizeof events) > 0) {
      }
      if (!EndpointIsMine(k)) {
        _exit(0);
      }
    }
    if ((wait[0].revents & POLLIN) != 0) {
      int s = accept4(k.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (s >= 0 && Hand(k, s)) {
        if (EndpointIsMine(k)) {
          unlinkat(k.dirFd, k.endpoint, 0);
        }
        _exit(0);
      }
      if (s >= 0) {
        close(s);
      }
    }
  }
}

// Ends a keeper that cannot hand over, so that its locks go and can be taken
// anew: left, it would hold them for good. Its pid is still its own while
// the connection s to it stays open.
void End(pid_t pid, int s) {
  if (pid <= 0 || pid == getpid()) {
    return;
  }
  int process = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  pollfd connection = {s, POLLRDHUP, 0};
  if (process >= 0 && poll(&connection, 1, 0) == 0) {
    syscall(SYS_pidfd_send_signal, process, SIGKILL, nullptr, 0);
    pollfd gone = {process, POLLIN, 0};
    poll(&gone, 1, kTalkMs);
  }
  if (process >= 0) {
    close(process);
  }
}

// Receives one message of the keeper's: its text, and the one descriptor it
// carries (-1 for none). 0, or the error that ends the hand-over, with
// nothing of the message left open.
int ReceiveOne(int s, std::vector<char> *buffer, std::string *text, int *fd) {
  *fd = -1;
  iovec part = {buffer->data(), buffer->size()};
  msghdr message = {};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = recvmsg(s, &message, MSG_CMSG_CLOEXEC);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    return errno == EAGAIN ? ETIMEDOUT : errno;
  }
  int e = 0;
  for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) {
      continue;
    }
    for (size_t i = 0; i < (c->cmsg_len - CMSG_LEN(0)) / sizeof(int); i++) {
      int one;
      memcpy(&one, CMSG_DATA(c) + i * sizeof(int), sizeof one);
      if (*fd < 0) {
        *fd = one;
      } else {
        close(one);  // one descriptor a message
        e = EPROTO;
      }
    }
  }
  if (n == 0 && *fd < 0) {
    e = ECONNRESET;
  } else if (n == 0 || (message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0) {
    e = EPROTO;
  }
  if (e != 0 && *fd >= 0) {
    close(*fd);
    *fd = -1;
  }
  text->assign(buffer->data(), static_cast<size_t>(n));
  return e;
}

}  // namespace

int HostKeeper_Start(const char *dir, const char *endpoint, const char *name, const int *fds,
                     const char *const *labels, size_t count, long *pid) {
  std::vector<std::string> texts;
  for (size_t i = 0; i < count; i++) {
    size_t size = strlen(labels[i]);
    if (fds[i] < 0 || size == 0 || size > HOSTKEEPER_LABEL_MAX) {
      return EINVAL;
    }
    texts.emplace_back(labels[i], size);
  }
  Keeping k = {.name = name,
               .endpoint = endpoint,
               .listenFd = -1,
               .dirFd = -1,
               .watchFd = -1,
               .nullFd = -1,
               .readyFd = -1,
               .device = 0,
               .inode = 0,
               .fds = fds,
               .labels = texts.data(),
               .count = count,
               .open = {},
               .arguments = nullptr,
               .argumentsSize = 0};
  int e = HostEndpoint_ListenPackets(dir, endpoint, &k.listenFd);
  if (e != 0) {
    return e;
  }
  k.dirFd = open(dir, O_PATH | O_DIRECTORY | O_CLOEXEC);
  k.watchFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  k.nullFd = open("/dev/null", O_RDWR | O_CLOEXEC);
  std::string path = std::string(dir) + "/" + endpoint;
  struct stat st;
  if (k.dirFd < 0 || k.watchFd < 0 || k.nullFd < 0 ||
      fstatat(k.dirFd, endpoint, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      inotify_add_watch(k.watchFd, path.c_str(), IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF) < 0) {
    e = errno;
  } else {
    k.device = st.st_dev;
    k.inode = st.st_ino;
    if (!FindArguments(&k.arguments, &k.argumentsSize)) {
      k.argumentsSize = 0;
    }
    k.open = {0, 1, 2, k.listenFd, k.dirFd, k.watchFd};
    k.open.insert(k.open.end(), fds, fds + count);
    std::sort(k.open.begin(), k.open.end());
    k.open.erase(std::unique(k.open.begin(), k.open.end()), k.open.end());
    int ready[2] = {-1, -1};
    pid_t child = pipe2(ready, O_CLOEXEC) == 0 ? fork() : -1;
    if (child == 0) {
      k.readyFd = ready[1];
      Keep(k);
    }
    int forked = errno;
    if (ready[1] >= 0) {
      close(ready[1]);
    }
    if (child < 0) {
      e = forked;
    } else {
      // Until it listens as itself, a taker would find the service's pid.
      pollfd wait = {ready[0], POLLIN, 0};
      char seen = 0;
      e = poll(&wait, 1, kTalkMs) == 1 && read(ready[0], &seen, 1) == 1 ? 0 : ECHILD;
      if (e == 0) {
        *pid = child;
      } else {
        kill(child, SIGKILL);
      }
    }
    if (ready[0] >= 0) {
      close(ready[0]);
    }
  }
  if (e != 0 && k.dirFd >= 0) {
    unlinkat(k.dirFd, endpoint, 0);
  }
  for (int fd : {k.listenFd, k.dirFd, k.watchFd, k.nullFd}) {
    if (fd >= 0) {
      close(fd);
    }
  }
  return e;
}

int HostKeeper_Take(const char *dir, const char *endpoint,
                    void (*found)(void *context, const char *label, int fd), void *context) {
  int s = -1;
  int e = HostEndpoint_ConnectPackets(dir, endpoint, kTalkMs, &s);
  if (e == ENOENT || e == ECONNREFUSED) {
    return 0;
  }
  if (e != 0) {
    return e;
  }
  ucred keeper = {};
  socklen_t length = sizeof keeper;
  if (!HostEndpoint_PeerTrusted(s) ||
      getsockopt(s, SOL_SOCKET, SO_PEERCRED, &keeper, &length) != 0) {
    close(s);
    return EPERM;
  }
  HostStream_SetTimeout(s, kTalkMs);
  std::vector<std::pair<std::string, int>> taken;
  std::vector<char> buffer(HOSTKEEPER_LABEL_MAX + 1);
  for (;;) {
    std::string label;
    int fd = -1;
    e = ReceiveOne(s, &buffer, &label, &fd);
    if (e == 0 && fd < 0 && label != kEnd) {
      e = EPROTO;  // only the end comes without a descriptor
    }
    if (e != 0 || fd < 0) {
      break;
    }
    taken.emplace_back(std::move(label), fd);
  }
  if (e == 0 && send(s, &kTaken, 1, MSG_NOSIGNAL) != 1) {
    e = errno;
  }
  if (e != 0) {
    End(keeper.pid, s);
    // Nobody listens there any more; a keeper that lives on ends with it.
    unlink((std::string(dir) + "/" + endpoint).c_str());
  }
  close(s);
  for (auto &t : taken) {
    if (e == 0) {
      found(context, t.first.c_str(), t.second);
    } else {
      close(t.second);  // the keeper still holds them
    }
  }
  return e;
}
