// Background services on POSIX: fork and setsid with a readiness pipe back to
// the starter, flock(2) for the instance lock (it belongs to the open file
// description, so a detached child keeps what its parent took), SIGTERM for
// stop requests, and syslog(3) or standard error for the log.
#include "host/daemon.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "host/socket.h"
#include "procfs.h"

struct HostInstanceLock {
  int fd;
};

namespace {

// The write end of the readiness pipe in a detached child, or -1.
int gReadyFd = -1;
// The starter's standard error in a detached child until it is ready, or -1:
// a start that fails says why to whoever started it.
int gStarterErr = -1;
void (*gTerminateHandler)(void) = nullptr;
bool gLogToStderr = true;
bool gSyslogOpen = false;

void OnSignal(int) {
  int saved = errno;
  if (gTerminateHandler != nullptr) {
    gTerminateHandler();
  }
  errno = saved;
}

int RedirectToDevNull(void) {
  int null = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null < 0) {
    return errno;
  }
  int rc = 0;
  for (int fd = 0; fd <= 2; fd++) {
    if (dup2(null, fd) < 0) {
      rc = errno;
    }
  }
  if (null > 2) {
    close(null);
  }
  return rc;
}

// Returns the pid written in the lock file, or 0 when there is none yet.
pid_t ReadPid(int fd) {
  char buf[32];
  ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
  if (n <= 0) {
    return 0;
  }
  buf[n] = '\0';
  char *end = nullptr;
  long pid = strtol(buf, &end, 10);
  return pid > 0 && end != buf ? static_cast<pid_t>(pid) : 0;
}

// Returns the name of the executable file that process pid runs (without
// folder, and without the mark of a file replaced since it started), or "".
std::string ExecutableName(const char *pid) {
  char link[64];
  snprintf(link, sizeof link, "/proc/%s/exe", pid);
  char target[4096];
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) {
    return "";
  }
  std::string name(target, static_cast<size_t>(n));
  const char kReplaced[] = " (deleted)";
  if (name.size() > sizeof kReplaced - 1 &&
      name.compare(name.size() - (sizeof kReplaced - 1), std::string::npos, kReplaced) == 0) {
    name.erase(name.size() - (sizeof kReplaced - 1));
  }
  return name.substr(name.find_last_of('/') + 1);
}

// True when process pid runs an executable called name and has the file
// lock open: a pid read from a file proves nothing, since anyone who could
// write the file could name any process.
bool IsHolder(const char *pid, const std::string &name, const struct stat &lock) {
  if (name.empty() || ExecutableName(pid) != name) {
    return false;
  }
  return procfs::HasDescriptor(pid, [&lock](const std::string &entry) {
    struct stat st;
    return stat(entry.c_str(), &st) == 0 && st.st_dev == lock.st_dev && st.st_ino == lock.st_ino;
  });
}

// Returns the processes that hold the lock: the one the file names when it
// does, else every process that passes IsHolder (the holder may not have
// written its pid yet, or someone wrote another).
std::set<pid_t> Holders(int fd, const std::string &name) {
  std::set<pid_t> found;
  struct stat lock;
  if (fstat(fd, &lock) != 0) {
    return found;
  }
  pid_t recorded = ReadPid(fd);
  if (recorded > 0 && IsHolder(std::to_string(recorded).c_str(), name, lock)) {
    found.insert(recorded);
    return found;
  }
  DIR *proc = opendir("/proc");
  if (proc == nullptr) {
    return found;
  }
  pid_t self = getpid();
  while (struct dirent *e = readdir(proc)) {
    char *end = nullptr;
    long pid = strtol(e->d_name, &end, 10);
    if (pid > 0 && *end == '\0' && pid != self && IsHolder(e->d_name, name, lock)) {
      found.insert(static_cast<pid_t>(pid));
    }
  }
  closedir(proc);
  return found;
}

}  // namespace

int HostDaemon_Detach(void) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    return errno;
  }
  pid_t child = fork();
  if (child < 0) {
    int rc = errno;
    close(fds[0]);
    close(fds[1]);
    return rc;
  }
  if (child > 0) {
    close(fds[1]);
    char byte = 0;
    ssize_t n;
    do {
      n = read(fds[0], &byte, 1);
    } while (n < 0 && errno == EINTR);
    // Waits for the child to close its end too, so that whoever waits for
    // this starter finds the child settled, not still holding the pipe.
    for (ssize_t more = n; more != 0 && n == 1;) {
      char rest;
      more = read(fds[0], &rest, 1);
      if (more < 0 && errno != EINTR) {
        break;
      }
    }
    // The child carries on alone; when the starter exits it is re-parented.
    _exit(n == 1 ? 0 : 1);
  }
  close(fds[0]);
  gReadyFd = fds[1];
  gStarterErr = fcntl(2, F_DUPFD_CLOEXEC, 3);
  setsid();
  if (chdir("/") != 0) {
    // "/" always exists; nothing depends on the working folder anyway.
  }
  return RedirectToDevNull();
}

void HostDaemon_Ready(void) {
  if (gReadyFd < 0) {
    return;
  }
  char byte = 1;
  ssize_t n;
  do {
    n = write(gReadyFd, &byte, 1);
  } while (n < 0 && errno == EINTR);
  close(gReadyFd);
  gReadyFd = -1;
  if (gStarterErr >= 0) {
    close(gStarterErr);
    gStarterErr = -1;
  }
}

void HostDaemon_OnTerminate(void (*handler)(void)) {
  gTerminateHandler = handler;
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int HostInstanceLock_Acquire(const char *path, HostInstanceLock **lock) {
  if (path == nullptr || lock == nullptr) {
    errno = EINVAL;
    return -1;
  }
  int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    return -1;
  }
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) {
      continue;
    }
    int rc = errno;
    close(fd);
    if (rc == EWOULDBLOCK) {
      return 0;
    }
    errno = rc;
    return -1;
  }
  auto *l = static_cast<HostInstanceLock *>(malloc(sizeof(HostInstanceLock)));
  if (l == nullptr) {
    close(fd);
    errno = ENOMEM;
    return -1;
  }
  l->fd = fd;
  *lock = l;
  return 1;
}

bool HostInstanceLock_RecordPid(HostInstanceLock *lock) {
  if (lock == nullptr) {
    errno = EINVAL;
    return false;
  }
  char buf[32];
  int len = snprintf(buf, sizeof buf, "%ld\n", static_cast<long>(getpid()));
  if (ftruncate(lock->fd, 0) != 0) {
    return false;
  }
  return pwrite(lock->fd, buf, static_cast<size_t>(len), 0) == len;
}

void HostInstanceLock_Release(HostInstanceLock *lock) {
  if (lock == nullptr) {
    return;
  }
  // The file stays: removing it would race with the next instance locking it.
  if (ftruncate(lock->fd, 0) != 0) {
    // An out-of-date pid is harmless: stop requests check the lock first.
  }
  flock(lock->fd, LOCK_UN);
  close(lock->fd);
  free(lock);
}

int HostInstanceLock_StopHolder(const char *path, int timeoutSeconds) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    return errno == ENOENT ? 0 : errno;
  }
  const long stepMs = 50;
  long waitedMs = 0;
  std::string name = ExecutableName("self");
  std::set<pid_t> signalled;
  int rc = ETIMEDOUT;
  for (;;) {
    if (flock(fd, LOCK_SH | LOCK_NB) == 0) {
      flock(fd, LOCK_UN);
      rc = 0;
      break;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
      rc = errno;
      break;
    }
    for (pid_t pid : Holders(fd, name)) {
      if (signalled.insert(pid).second) {
        kill(pid, SIGTERM);
      }
    }
    if (waitedMs >= timeoutSeconds * 1000L) {
      break;
    }
    HostClock_SleepMs(stepMs);
    waitedMs += stepMs;
  }
  close(fd);
  return rc;
}

void HostLog_Open(const char *ident, bool toStderr) {
  gLogToStderr = toStderr;
  if (!toStderr && !gSyslogOpen) {
    openlog(ident, LOG_PID | LOG_NDELAY, LOG_DAEMON);
    gSyslogOpen = true;
  }
}

void HostLog_Write(HostLogLevel level, const char *text) {
  if (text == nullptr) {
    return;
  }
  if (gLogToStderr) {
    fprintf(stderr, "%s\n", text);
    fflush(stderr);
    return;
  }
  if (level == HOSTLOG_ERROR && gStarterErr >= 0) {
    std::string line = std::string(text) + "\n";
    if (write(gStarterErr, line.data(), line.size()) < 0) {
      // The starter's stream is gone: the system log still has it.
    }
  }
  int priority = level == HOSTLOG_ERROR     ? LOG_ERR
                 : level == HOSTLOG_WARNING ? LOG_WARNING
                                            : LOG_INFO;
  syslog(priority, "%s", text);
}
