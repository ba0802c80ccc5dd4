// Detached starts: fork twice so the server is adopted by init and the caller
// has no child to reap, and report a failed exec back through a close-on-exec
// pipe, which the kernel closes (reading as end of file) when exec succeeds.
// Between fork and exec only async-signal-safe calls are made.
#include "host/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

[[noreturn]] void Fail(int reportFd) {
  int e = errno;
  (void)!write(reportFd, &e, sizeof e);
  _exit(127);
}

}  // namespace

int HostProcess_StartDetached(const char *path) {
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    return errno;
  }
  pid_t child = fork();
  if (child < 0) {
    int e = errno;
    close(report[0]);
    close(report[1]);
    return e;
  }
  if (child == 0) {
    close(report[0]);
    if (setsid() < 0) {
      Fail(report[1]);
    }
    pid_t server = fork();
    if (server < 0) {
      Fail(report[1]);
    }
    if (server > 0) {
      _exit(0);
    }
    int null = open("/dev/null", O_RDWR);
    if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0) {
      Fail(report[1]);
    }
    if (null > 2) {
      close(null);
    }
    // The caller's signal set-up is none of the server's business.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, nullptr);
    sigaction(SIGCHLD, &dfl, nullptr);
    char *const argv[] = {const_cast<char *>(path), nullptr};
    execv(path, argv);
    Fail(report[1]);
  }
  close(report[1]);
  int status;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  int e = 0;
  ssize_t n;
  while ((n = read(report[0], &e, sizeof e)) < 0 && errno == EINTR) {
  }
  close(report[0]);
  if (n == static_cast<ssize_t>(sizeof e)) {
    return e != 0 ? e : ECHILD;
  }
  return 0;
}

void HostProcess_KillSelf(void) {
  for (;;) {
    kill(getpid(), SIGKILL);
  }
}
