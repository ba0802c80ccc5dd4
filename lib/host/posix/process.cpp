// Starting programs on POSIX. Every start reports a failed exec back through a
// close-on-exec pipe, which the kernel closes (reading as end of file) when
// exec succeeds. Detached starts fork twice so the server is adopted by init
// and the caller has no child to reap. Between fork and exec only
// async-signal-safe calls are made, so PATH is searched before the fork.
#include "host/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <linux/sched.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "host/daemon.h"
#include "host/fs.h"
#include "host/lastError.h"
#include "host/socket.h"
#include "hostPaths.h"
#include "procfs.h"

namespace {

[[noreturn]] void Fail(int reportFd) {
  int e = errno;
  (void)!write(reportFd, &e, sizeof e);
  _exit(127);
}

// The caller's signal set-up is none of the program's business.
void ResetSignals() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, nullptr);
  sigaction(SIGCHLD, &dfl, nullptr);
  sigaction(SIGXFSZ, &dfl, nullptr);
}

// Whether the program at path (a relative one counts from the working
// folder) may run: one that a user other than this one or root could change
// would run with our rights. What is missing is left for exec to report.
bool MayRun(const std::string &path) {
  if (access(path.c_str(), F_OK) != 0) {
    return true;
  }
  if (path[0] == '/') {
    return hostpaths::TrustedProgram(path);
  }
  char *here = getcwd(nullptr, 0);
  bool trusted = here != nullptr && hostpaths::TrustedProgram(std::string(here) + "/" + path);
  free(here);
  return trusted;
}

// Returns the program to execute for name: name itself when it holds a '/',
// else the first executable of that name in PATH, when it may run (MayRun).
// "" when there is none, with *error ENOENT, or EACCES when a program of
// that name was passed over.
std::string FindProgram(const char *name, int *error) {
  *error = EACCES;
  if (strchr(name, '/') != nullptr) {
    return MayRun(name) ? name : "";
  }
  const char *path = getenv("PATH");
  std::string dirs = path != nullptr && *path != '\0' ? path : "/usr/local/bin:/usr/bin:/bin";
  bool passedOver = false;
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) {
      end = dirs.size();
    }
    std::string dir = dirs.substr(start, end - start);
    std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) {
      if (MayRun(candidate)) {
        return candidate;
      }
      passedOver = true;
    }
    start = end + 1;
  }
  *error = passedOver ? EACCES : ENOENT;
  return "";
}

// A thread with a descriptor table of its own, taken before the process
// opened any disk's file, from which children are forked: they then hold
// only what they are handed (HostProcess_StartFromHere).
struct Spawner {
  std::mutex lock;
  std::condition_variable changed;
  const std::function<void()> *inChild = nullptr;  // the start asked, until done
  const int *carry = nullptr;
  size_t count = 0;
  int cgroup = -1;  // the child's from its start (one of carry), or -1: the caller's
  bool done = false;
  long child = -1;
  int error = 0;       // of the fork; kCannotCarry: fork in the caller's table instead
  int carryError = 0;  // why, then
  int self = -1;       // this process, whose table the caller's descriptors are taken from
  pid_t process = 0;   // whose thread it is: a child forked plainly has none
  sigset_t mask;       // the caller's, for the children; the thread blocks every signal
};
constexpr int kCannotCarry = -1;
std::atomic<Spawner *> gSpawner{nullptr};
std::mutex gSpawning;  // one start at a time

// Places the caller's carry[0, count) under the same numbers in the spawner's
// table: each taken first above every number to be placed, so that placing
// one never overwrites another (nor the spawner's handle on the process).
bool CarryOver(Spawner *s) {
  errno = 0;
  int top = s->self;
  for (size_t i = 0; i < s->count; i++) {
    top = std::max(top, s->carry[i]);
  }
  if (std::find(s->carry, s->carry + s->count, s->self) != s->carry + s->count) {
    int moved = fcntl(s->self, F_DUPFD_CLOEXEC, top + 1);
    if (moved < 0) {
      return false;
    }
    close(s->self);
    s->self = moved;
  }
  std::vector<int> taken;
  bool ok = true;
  for (size_t i = 0; i < s->count && ok; i++) {
    int got = static_cast<int>(syscall(SYS_pidfd_getfd, s->self, s->carry[i], 0));
    int high = got >= 0 ? fcntl(got, F_DUPFD_CLOEXEC, top + 1) : -1;
    if (got >= 0) {
      close(got);
    }
    ok = high >= 0;
    if (ok) {
      taken.push_back(high);
    }
  }
  for (size_t i = 0; i < taken.size(); i++) {
    if (ok && dup3(taken[i], s->carry[i], O_CLOEXEC) < 0) {
      ok = false;
      for (size_t j = 0; j < i; j++) {
        close(s->carry[j]);
      }
    }
    close(taken[i]);
  }
  return ok;
}

// fork(), or a child placed in the cgroup whose folder cgroup is open on
// from its start: moved there later, it would wait for the whole system to
// pass a quiet point, milliseconds. Such a child makes only system calls, so
// that the C library's own work at a fork is not missed.
pid_t ForkInto(int cgroup) {
  if (cgroup < 0) {
    return fork();
  }
  clone_args args{};
  args.flags = CLONE_INTO_CGROUP;
  args.exit_signal = SIGCHLD;
  args.cgroup = static_cast<uint64_t>(cgroup);
  return static_cast<pid_t>(syscall(SYS_clone3, &args, sizeof args));
}

void Serve(Spawner *s) {
  std::unique_lock<std::mutex> hold(s->lock);
  for (;;) {
    s->changed.wait(hold, [s] { return s->inChild != nullptr && !s->done; });
    s->child = -1;
    s->error = kCannotCarry;
    bool carried = CarryOver(s);
    s->carryError = errno;
    if (carried) {
      pid_t child = ForkInto(s->cgroup);
      if (child == 0) {
        close(s->self);
        pthread_sigmask(SIG_SETMASK, &s->mask, nullptr);
        (*s->inChild)();
        _exit(127);
      }
      s->child = child;
      s->error = child < 0 ? errno : 0;
      for (size_t i = 0; i < s->count; i++) {
        close(s->carry[i]);
      }
    }
    s->done = true;
    s->changed.notify_all();
  }
}

// Reads the exec report of a started child: 0 when exec succeeded, else the
// child's error code.
int ReadReport(int reportFd) {
  int e = 0;
  ssize_t n;
  while ((n = read(reportFd, &e, sizeof e)) < 0 && errno == EINTR) {
  }
  close(reportFd);
  if (n == static_cast<ssize_t>(sizeof e)) {
    return e != 0 ? e : ECHILD;
  }
  return 0;
}

// What the caller was handed beyond the standard streams (a pipe its own
// starter waits on, a file on a volume) is not for a server that outlives it.
void CloseOnExecFromThree() {
  if (syscall(SYS_close_range, 3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
    return;
  }
  struct rlimit files = {};
  rlim_t end =
      getrlimit(RLIMIT_NOFILE, &files) == 0 ? std::min<rlim_t>(files.rlim_cur, 1 << 20) : 1024;
  for (int fd = 3; static_cast<rlim_t>(fd) < end; fd++) {
    fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
}

bool OpenNullOn(int target) {
  int null = open("/dev/null", O_RDWR);
  if (null < 0) {
    return false;
  }
  if (null != target) {
    if (dup2(null, target) < 0) {
      return false;
    }
    close(null);
  }
  return true;
}

// Forks a child in a session of its own, standard input and output on
// /dev/null, that runs inChild with carry[0, count) (close-on-exec): it
// execs, or returns with errno set when it cannot, which the caller then
// reads from the report, a close-on-exec pipe that closes unread when it
// execs. Returns 0 with the child and the read end of its report, or a
// system error code (nothing forked).
template <typename InChild>
int StartInOwnSession(pid_t *child, int *reportFd, const int *carry, size_t count,
                      InChild inChild) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    return errno;
  }
  std::vector<int> handed(carry, carry + count);
  handed.push_back(report[1]);
  *child = static_cast<pid_t>(HostProcess_Fork(handed.data(), handed.size(), [&] {
    if (setsid() >= 0 && OpenNullOn(0) && OpenNullOn(1)) {
      inChild();
    }
    Fail(report[1]);
  }));
  int e = errno;
  close(report[1]);
  if (*child < 0) {
    close(report[0]);
    return e;
  }
  *reportFd = report[0];
  return 0;
}

void SetLimit(int resource, rlim_t soft, rlim_t hard) {
  struct rlimit limit = {soft, hard};
  setrlimit(resource, &limit);
}

// Appends up to room bytes of what fd has to *text; returns false at the end
// of the stream or on error.
bool Drain(int fd, std::string *text, size_t room, bool *overflow) {
  char buf[16384];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) < 0 && errno == EINTR) {
  }
  if (n <= 0) {
    return false;
  }
  size_t keep = static_cast<size_t>(n);
  if (text->size() + keep > room) {
    keep = room - text->size();
    *overflow = true;
  }
  text->append(buf, keep);
  return true;
}

char *CopyOut(const std::string &text, size_t *length) {
  char *copy = static_cast<char *>(malloc(text.size() + 1));
  if (copy != nullptr) {
    memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    *length = text.size();
  }
  return copy;
}

// Waits up to timeoutMs (-1: no limit) for child to end. Returns 0 (with
// *status), ETIMEDOUT, or a system error code. A process descriptor wakes the
// wait the moment the child ends; without one (older kernels) it polls.
int WaitChild(pid_t child, int timeoutMs, int *status) {
  int64_t deadline = timeoutMs >= 0 ? HostClock_NowMs() + timeoutMs : -1;
  int pidFd = timeoutMs > 0 ? static_cast<int>(syscall(SYS_pidfd_open, child, 0)) : -1;
  int pause = 1;
  int rc;
  for (;;) {
    pid_t done = waitpid(child, status, timeoutMs < 0 ? 0 : WNOHANG);
    if (done < 0 && errno == EINTR) {
      continue;
    }
    if (done != 0) {
      rc = done < 0 ? errno : 0;
      break;
    }
    int64_t left = deadline - HostClock_NowMs();
    if (left <= 0) {
      rc = ETIMEDOUT;
      break;
    }
    if (pidFd >= 0) {
      struct pollfd entry = {pidFd, POLLIN, 0};
      poll(&entry, 1, static_cast<int>(left));
      continue;
    }
    // Short sleeps first: most programs are done within a few milliseconds.
    struct timespec ts = {0, static_cast<long>(std::min<int64_t>(pause, left)) * 1000000};
    nanosleep(&ts, nullptr);
    pause = std::min(pause * 2, 50);
  }
  if (pidFd >= 0) {
    close(pidFd);
  }
  return rc;
}

}  // namespace

int HostProcess_StartDetached(const char *path) {
  if (!MayRun(path)) {
    return EACCES;
  }
  pid_t child = -1;
  int reportFd = -1;
  int rc = StartInOwnSession(&child, &reportFd, nullptr, 0, [path] {
    pid_t server = fork();  // no session leader: it never gets a terminal
    if (server > 0) {
      _exit(0);
    }
    if (server == 0 && OpenNullOn(2)) {
      ResetSignals();
      CloseOnExecFromThree();
      char *const argv[] = {const_cast<char *>(path), nullptr};
      execv(path, argv);
    }
  });
  if (rc != 0) {
    return rc;
  }
  int status;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return ReadReport(reportFd);
}

int HostProcess_Run(const char *const *argv, const HostRunLimits *limits, HostRunResult *result) {
  *result = HostRunResult();
  HostRunLimits none;
  if (limits == nullptr) {
    limits = &none;
  }
  int missing = 0;
  std::string program = FindProgram(argv[0], &missing);
  if (program.empty()) {
    return missing;
  }
  int out[2] = {-1, -1}, err[2] = {-1, -1}, report[2] = {-1, -1};
  auto closeAll = [&] {
    for (int fd : {out[0], out[1], err[0], err[1], report[0], report[1]}) {
      if (fd >= 0) {
        close(fd);
      }
    }
  };
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) {
    int e = errno;
    closeAll();
    return e;
  }
  const int handed[] = {out[1], err[1], report[1]};
  pid_t child = static_cast<pid_t>(HostProcess_Fork(handed, 3, [&] {
    if (setsid() < 0 || !OpenNullOn(0) || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0) {
      Fail(report[1]);
    }
    if (limits->addressSpace != 0) {
      SetLimit(RLIMIT_AS, limits->addressSpace, limits->addressSpace);
    }
    if (limits->cpuSeconds != 0) {
      // The soft limit sends SIGXCPU; the hard one a second later SIGKILL.
      SetLimit(RLIMIT_CPU, limits->cpuSeconds, limits->cpuSeconds + 1);
    }
    SetLimit(RLIMIT_CORE, 0, 0);
    ResetSignals();
    execv(program.c_str(), const_cast<char *const *>(argv));
    Fail(report[1]);
  }));
  if (child < 0) {
    int e = errno;
    closeAll();
    return e;
  }
  close(out[1]);
  close(err[1]);
  close(report[1]);
  out[1] = err[1] = report[1] = -1;
  int failure = ReadReport(report[0]);
  report[0] = -1;

  std::string outText, errText;
  bool errOverflow = false;
  int64_t deadline = limits->timeoutMs >= 0 ? HostClock_NowMs() + limits->timeoutMs : -1;
  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  while (failure == 0 && (fds[0].fd >= 0 || fds[1].fd >= 0)) {
    int wait = -1;
    if (deadline >= 0) {
      int64_t left = deadline - HostClock_NowMs();
      if (left <= 0) {
        result->timedOut = true;
        break;
      }
      wait = static_cast<int>(left);
    }
    int n = poll(fds, 2, wait);
    if (n < 0 && errno != EINTR) {
      break;
    }
    if (n <= 0) {
      continue;
    }
    if (fds[0].revents != 0 &&
        !Drain(fds[0].fd, &outText, limits->maxOutput, &result->outputTooLarge)) {
      fds[0].fd = -1;
    }
    if (result->outputTooLarge) {
      break;
    }
    if (fds[1].revents != 0 && !Drain(fds[1].fd, &errText, limits->maxErrors, &errOverflow)) {
      fds[1].fd = -1;
    }
  }
  int status = 0;
  bool stop = failure != 0 || result->timedOut || result->outputTooLarge || fds[0].fd >= 0 ||
              fds[1].fd >= 0;
  if (!stop) {
    // Both streams are closed; the program may still linger.
    int left =
        deadline < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, deadline - HostClock_NowMs()));
    if (WaitChild(child, left, &status) != 0) {
      result->timedOut = true;
      stop = true;
    }
  }
  closeAll();
  if (stop) {
    // Whatever it started goes with it: it runs in a process group of its own.
    kill(-child, SIGKILL);
    kill(child, SIGKILL);
    WaitChild(child, -1, &status);
  }
  if (failure != 0) {
    return failure;
  }
  if (WIFEXITED(status)) {
    result->exitCode = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result->signal = WTERMSIG(status);
  }
  result->out = CopyOut(outText, &result->outLength);
  result->err = CopyOut(errText, &result->errLength);
  if (result->out == nullptr || result->err == nullptr) {
    HostRunResult_Free(result);
    return ENOMEM;
  }
  return 0;
}

void HostRunResult_Free(HostRunResult *result) {
  free(result->out);
  free(result->err);
  result->out = result->err = nullptr;
  result->outLength = result->errLength = 0;
}

int HostProcess_StartChild(const char *const *argv, const int *keepFds, size_t keepCount,
                           const char *errorLog, long *pid) {
  int missing = 0;
  std::string program = FindProgram(argv[0], &missing);
  if (program.empty()) {
    return missing;
  }
  pid_t child = -1;
  int reportFd = -1;
  int rc = StartInOwnSession(&child, &reportFd, keepFds, keepCount, [&] {
    int log = errorLog != nullptr ? open(errorLog, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600)
                                  : open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (log < 0 || dup2(log, 2) < 0) {
      return;
    }
    // Move the kept descriptors out of the way first, so that placing one at
    // 3 + i never overwrites another still to be placed.
    int moved[64];
    if (keepCount > 64) {
      errno = EMFILE;
      return;
    }
    for (size_t i = 0; i < keepCount; ++i) {
      moved[i] = fcntl(keepFds[i], F_DUPFD_CLOEXEC, 100);
      if (moved[i] < 0) {
        return;
      }
    }
    for (size_t i = 0; i < keepCount; ++i) {
      if (dup2(moved[i], static_cast<int>(3 + i)) < 0) {
        return;
      }
    }
    ResetSignals();
    execv(program.c_str(), const_cast<char *const *>(argv));
  });
  if (rc != 0) {
    return rc;
  }
  int failure = ReadReport(reportFd);
  if (failure != 0) {
    int status;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return failure;
  }
  *pid = child;
  return 0;
}

bool HostProcess_Wait(long pid, int timeoutMs, int *exitCode) {
  int status = 0;
  int rc = WaitChild(static_cast<pid_t>(pid), timeoutMs, &status);
  if (rc != 0) {
    errno = rc;
    return false;
  }
  if (exitCode != nullptr) {
    *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  return true;
}

void HostProcess_CloseThoseThatCannotWait(const int *keep, size_t count) {
  int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    return;
  }
  alignas(8) char buffer[4096];
  for (;;) {
    long got = syscall(SYS_getdents64, dir, buffer, sizeof buffer);
    if (got <= 0) {
      break;
    }
    for (long at = 0; at < got;) {
      const auto *entry = reinterpret_cast<const struct dirent64 *>(buffer + at);
      at += entry->d_reclen;
      int fd = 0;
      const char *c = entry->d_name;
      for (; *c >= '0' && *c <= '9' && fd < (INT_MAX - 9) / 10; c++) {
        fd = fd * 10 + (*c - '0');
      }
      if (*c != '\0' || c == entry->d_name || fd == dir ||
          std::binary_search(keep, keep + count, fd) || HostFile_MayWaitToClose(fd)) {
        continue;
      }
      close(fd);
    }
  }
  close(dir);
}

void HostProcess_CloseAllBut(const int *keep, size_t count) {
  HostProcess_CloseThoseThatCannotWait(keep, count);
  rlimit files = {};
  unsigned limit = getrlimit(RLIMIT_NOFILE, &files) == 0
                       ? static_cast<unsigned>(std::min<rlim_t>(files.rlim_cur, 1u << 20))
                       : 1024;
  unsigned next = 0;
  for (size_t i = 0; i <= count; i++) {
    unsigned end = i < count ? static_cast<unsigned>(keep[i]) : ~0U;
    // Without close_range (kernels before 5.9), one at a time.
    if (end > next && syscall(SYS_close_range, next, end - 1, 0) != 0) {
      for (unsigned fd = next; fd < end && fd < limit; fd++) {
        close(static_cast<int>(fd));
      }
    }
    if (end == ~0U) {
      break;
    }
    next = end + 1;
  }
}

bool HostProcess_StartFromHere(void) {
  if (gSpawner.load() != nullptr) {
    return true;
  }
  auto *s = new Spawner;
  s->process = getpid();
  // A handler run on its thread would find the caller's descriptors closed.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &s->mask);
  auto ready = std::make_shared<std::promise<bool>>();
  std::future<bool> readied = ready->get_future();
  try {
    std::thread([s, ready] {
      // Its own copy of the table, with nothing of the process's but the
      // standard streams, and a handle to take what each start hands over.
      bool ok = unshare(CLONE_FILES) == 0;
      if (ok) {
        if (syscall(SYS_close_range, 3, ~0U, 0) != 0) {
          const int streams[] = {0, 1, 2};
          HostProcess_CloseAllBut(streams, 3);
        }
        s->self = static_cast<int>(syscall(SYS_pidfd_open, getpid(), 0));
        int probe = s->self >= 0 ? static_cast<int>(syscall(SYS_pidfd_getfd, s->self, 0, 0)) : -1;
        ok = probe >= 0;
        if (probe >= 0) {
          close(probe);
        }
      }
      if (!ok && s->self >= 0) {
        close(s->self);
      }
      ready->set_value(ok);
      if (ok) {
        Serve(s);
      }
      delete s;
    }).detach();
  } catch (const std::system_error &) {
    pthread_sigmask(SIG_SETMASK, &s->mask, nullptr);
    delete s;
    return false;
  }
  pthread_sigmask(SIG_SETMASK, &s->mask, nullptr);
  if (!readied.get()) {
    return false;
  }
  gSpawner.store(s);
  return true;
}

long HostProcess_Fork(const int *carry, size_t count, const std::function<void()> &inChild) {
  return HostProcess_ForkInto(-1, carry, count, inChild);
}

long HostProcess_ForkInto(int cgroup, const int *carry, size_t count,
                          const std::function<void()> &inChild) {
  if (Spawner *s = gSpawner.load(); s != nullptr && s->process == getpid()) {
    std::lock_guard<std::mutex> one(gSpawning);
    std::unique_lock<std::mutex> hold(s->lock);
    s->inChild = &inChild;
    s->carry = carry;
    s->count = count;
    s->cgroup = cgroup;
    s->done = false;
    s->changed.notify_all();
    s->changed.wait(hold, [s] { return s->done; });
    s->inChild = nullptr;
    if (s->error != kCannotCarry) {
      errno = s->error;
      return s->child;
    }
    char why[128] = "";
    Host_ErrorText(s->carryError, why, sizeof why);
    std::string text =
        "A child is started holding every file this process has open: what it "
        "needs could not be handed to it apart (" +
        std::string(why) + "). Its end may wait for a disk whose storage does not answer.";
    HostLog_Write(HOSTLOG_WARNING, text.c_str());
  }
  pid_t child = ForkInto(cgroup);
  if (child == 0) {
    inChild();
    _exit(127);
  }
  return child;
}

bool HostProcess_RunInTime(std::function<void()> work, int timeoutMs) {
  auto shared = std::make_shared<std::function<void()>>(std::move(work));
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> ended = done->get_future();
  try {
    std::thread([shared, done] {
      (*shared)();
      *shared = nullptr;  // what it holds goes before its end is told
      done->set_value();
    }).detach();
  } catch (const std::system_error &) {
    (*shared)();
    return true;
  }
  return ended.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
}

void HostProcess_ReapLater(long pid) {
  static std::mutex lock;
  static std::vector<pid_t> left;
  std::lock_guard<std::mutex> hold(lock);
  std::erase_if(left, [](pid_t child) { return waitpid(child, nullptr, WNOHANG) != 0; });
  if (pid > 0) {
    left.push_back(static_cast<pid_t>(pid));
  }
}

bool HostProcess_Alive(long pid) {
  if (pid <= 0 || (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM)) {
    return false;
  }
  // A zombie still answers kill(): look at its state.
  std::vector<std::string> stat = procfs::StatFields(pid);
  return stat.empty() || (stat[0] != "Z" && stat[0] != "X");
}

bool HostProcess_ForEachOpenFile(long pid,
                                 void (*visit)(const char *path, uint64_t device, uint64_t inode,
                                               void *context),
                                 void *context) {
  std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  if (pid <= 0 || access(fds.c_str(), R_OK) != 0) {
    return false;
  }
  procfs::HasDescriptor(std::to_string(pid), [&](const std::string &entry) {
    struct stat st;
    char path[PATH_MAX];
    ssize_t n = readlink(entry.c_str(), path, sizeof path - 1);
    if (n > 0 && stat(entry.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      path[n] = '\0';
      visit(path, st.st_dev, st.st_ino, context);
    }
    return false;  // every one
  });
  return true;
}

bool HostProcess_HasArgument(long pid, const char *arg) {
  if (pid <= 0) {
    return false;
  }
  std::vector<std::string> args = procfs::Arguments(pid);
  for (size_t i = 1; i < args.size(); i++) {
    if (args[i] == arg) {
      return true;
    }
  }
  return false;
}

int HostProcess_Stop(long pid, bool kill) {
  if (pid <= 0) {
    return ESRCH;
  }
  return ::kill(static_cast<pid_t>(pid), kill ? SIGKILL : SIGTERM) == 0 ? 0 : errno;
}

void HostProcess_KillSelf(void) {
  for (;;) {
    kill(getpid(), SIGKILL);
  }
}

// Sent to this thread, not to the process, whose chosen thread could stop
// the others only after this one went on.
void HostProcess_StopSelf(void) { raise(SIGSTOP); }

void HostProcess_RaiseFileLimits(void) {
  // A disk grows, and a daemon serves it, for as long as it stays attached,
  // whatever its first client had: such limits go where this may lift them.
  const struct rlimit none = {RLIM_INFINITY, RLIM_INFINITY};
  for (int resource : {RLIMIT_FSIZE, RLIMIT_CPU}) {
    setrlimit(resource, &none);
  }
  for (int resource : {RLIMIT_NOFILE, RLIMIT_FSIZE, RLIMIT_CPU}) {
    struct rlimit limit;
    if (getrlimit(resource, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
      limit.rlim_cur = limit.rlim_max;
      setrlimit(resource, &limit);
    }
  }
}

void HostProcess_ResetSignals(void) { ResetSignals(); }

void HostProcess_GuardFileModes(void) {
  mode_t mask = umask(0);
  umask((mask & 077) | 022);
}

void HostProcess_IgnoreWriteSignals(void) {
  signal(SIGXFSZ, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
}

void HostProcess_GuardStandardStreams(void) {
  for (int fd = 0; fd <= 2; fd++) {
    // The lower numbers are open by now, so the lowest free one is fd.
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
  }
}
