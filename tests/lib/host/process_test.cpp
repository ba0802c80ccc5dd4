// Starting programs: exec failures come back as error codes; a detached
// program runs in its own session with its standard streams on /dev/null; a
// program run to completion is held to its limits; a long-lived child is the
// caller's to reap.
#include "host/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "host/daemon.h"
#include "host/socket.h"
#include "testSupport.h"

namespace {

TEST(ProcessTest, FailuresToExecAreReported) {
  testsupport::TempDir dir;
  EXPECT_EQ(HostProcess_StartDetached(dir.file("missing").c_str()), ENOENT);
  testsupport::WriteFile(dir.file("plain"), "#!/bin/sh\n");
  EXPECT_EQ(HostProcess_StartDetached(dir.file("plain").c_str()), EACCES);
  // Runnable, but anybody may change it.
  std::filesystem::permissions(dir.file("plain"), std::filesystem::perms::all);
  EXPECT_EQ(HostProcess_StartDetached(dir.file("plain").c_str()), EACCES);
}

TEST(ProcessTest, StartedProgramIsDetached) {
  testsupport::TempDir dir;
  std::string mark = dir.file("mark");
  std::string script = dir.file("server.sh");
  testsupport::WriteFile(script,
                         "#!/bin/sh\n"
                         "echo \"$(cut -d' ' -f6 /proc/$$/stat) $(readlink /proc/$$/fd/0) "
                         "$(readlink /proc/$$/fd/1) $(readlink /proc/$$/fd/2)\" > \"$MARK.tmp\"\n"
                         "mv \"$MARK.tmp\" \"$MARK\"\n");
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  testsupport::ScopedEnv marked("MARK", mark);
  ASSERT_EQ(HostProcess_StartDetached(script.c_str()), 0);
  for (int i = 0; i < 1000 && !std::filesystem::exists(mark); i++) HostClock_SleepMs(10);
  std::istringstream fields(testsupport::ReadFile(mark));
  std::string session, streams;
  fields >> session;
  std::getline(fields, streams);
  EXPECT_NE(session, std::to_string(getsid(0))) << "runs in a session of its own";
  EXPECT_EQ(streams, " /dev/null /dev/null /dev/null");
}

struct RunCase {
  const char *script;
  HostRunLimits limits;
  int exitCode;
  int signal;
  bool timedOut;
  bool outputTooLarge;
  const char *out;
  const char *err;
};

TEST(ProcessTest, RunIsHeldToItsLimits) {
  const HostRunLimits small{.maxOutput = 4, .maxErrors = 3};
  const HostRunLimits quick{.timeoutMs = 200};
  const HostRunLimits cpu{.cpuSeconds = 1};
  const HostRunLimits memory{.addressSpace = 64 << 20};
  const RunCase cases[] = {
      {"echo out; echo err >&2; exit 3", {}, 3, 0, false, false, "out\n", "err\n"},
      {"printf 1234; echo abcdef >&2", small, 0, 0, false, false, "1234", "abc"},
      {"echo 12345; sleep 30", small, -1, SIGKILL, false, true, "1234", ""},
      // The grandchild keeps the output open: it is killed with the program.
      {"sleep 30 & sleep 30", quick, -1, SIGKILL, true, false, "", ""},
      {"exec 1>&- 2>&-; sleep 30", quick, -1, SIGKILL, true, false, "", ""},
      {"while :; do :; done", cpu, -1, SIGXCPU, false, false, "", ""},
      {"exec python3 -c 'b = bytearray(256 << 20)' 2>/dev/null", memory, 1, 0, false, false, "",
       ""},
  };
  for (const RunCase &c : cases) {
    SCOPED_TRACE(c.script);
    const char *argv[] = {"sh", "-c", c.script, nullptr};
    HostRunResult result;
    ASSERT_EQ(HostProcess_Run(argv, &c.limits, &result), 0);
    EXPECT_EQ(result.exitCode, c.exitCode);
    if (c.signal != SIGXCPU || result.signal != SIGKILL) {
      EXPECT_EQ(result.signal, c.signal);
    }
    EXPECT_EQ(result.timedOut, c.timedOut);
    EXPECT_EQ(result.outputTooLarge, c.outputTooLarge);
    EXPECT_EQ(std::string(result.out, result.outLength), c.out);
    if (c.signal == 0) {
      EXPECT_EQ(std::string(result.err, result.errLength), c.err);
    }
    HostRunResult_Free(&result);
  }
  const char *missing[] = {"no-such-program-here", nullptr};
  HostRunResult result;
  EXPECT_EQ(HostProcess_Run(missing, nullptr, &result), ENOENT);
  HostRunResult_Free(&result);
}

// A program looked for in PATH runs only when nobody but this user and root
// can change it or a folder on its way: another user's would run with our
// rights.
TEST(ProcessTest, PathLeadsOnlyToProgramsNobodyElseCanChange) {
  namespace fs = std::filesystem;
  testsupport::TempDir dir;
  for (const char *folder : {"shut", "open", "shut/open", "loose"}) {
    fs::create_directory(dir.file(folder));
    std::string probe = dir.file(folder) + "/brenix-probe";
    testsupport::WriteFile(probe, "#!/bin/sh\nexit " + std::to_string(strlen(folder)) + "\n");
    fs::permissions(probe, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  }
  fs::permissions(dir.file("open"), fs::perms::all);
  fs::permissions(dir.file("shut"), fs::perms::all);  // made safe below, after its subfolder
  fs::permissions(dir.file("shut/open"), fs::perms::all);
  fs::permissions(dir.file("shut"), fs::perms::owner_all);
  fs::permissions(dir.file("loose/brenix-probe"), fs::perms::all);
  const struct {
    std::string path;
    int rc;
    int exitCode;
  } kCases[] = {
      {dir.file("shut"), 0, 4},
      {dir.file("open") + ":" + dir.file("shut"), 0, 4},  // passed over
      {dir.file("open"), EACCES, -1},
      {dir.file("shut/open"), EACCES, -1},
      {dir.file("loose"), EACCES, -1},  // the program itself can be written
      {dir.file("none"), ENOENT, -1},
  };
  for (const auto &c : kCases) {
    SCOPED_TRACE(c.path);
    testsupport::ScopedEnv path("PATH", c.path);
    const char *argv[] = {"brenix-probe", nullptr};
    HostRunResult result;
    EXPECT_EQ(HostProcess_Run(argv, nullptr, &result), c.rc);
    EXPECT_EQ(result.exitCode, c.exitCode);
    HostRunResult_Free(&result);
  }
}

TEST(ProcessTest, ChildKeepsDescriptorsAndIsReaped) {
  testsupport::TempDir dir;
  int fds[2];
  ASSERT_EQ(HostStream_Pair(fds), 0);
  std::string log = dir.file("errors");
  const char *argv[] = {"sh", "-c", "echo hello >&3; echo oops >&2; read x <&3; exit 7", "--mark",
                        nullptr};
  long pid = -1;
  ASSERT_EQ(HostProcess_StartChild(argv, &fds[1], 1, log.c_str(), &pid), 0);
  HostStream_Close(fds[1]);
  char buf[6] = {};
  ASSERT_TRUE(HostStream_ReadAll(fds[0], buf, 6));
  EXPECT_EQ(std::string(buf, 6), "hello\n");
  EXPECT_TRUE(HostProcess_Alive(pid));
  EXPECT_TRUE(HostProcess_HasArgument(pid, "--mark"));
  EXPECT_FALSE(HostProcess_HasArgument(pid, "--mar"));
  EXPECT_FALSE(HostProcess_Wait(pid, 0, nullptr));
  ASSERT_TRUE(HostStream_WriteAll(fds[0], "\n", 1));
  int code = 0;
  ASSERT_TRUE(HostProcess_Wait(pid, -1, &code));
  EXPECT_EQ(code, 7);
  EXPECT_FALSE(HostProcess_Alive(pid));
  EXPECT_EQ(testsupport::ReadFile(log), "oops\n");
  HostStream_Close(fds[0]);
  const char *missing[] = {"/no/such/program", nullptr};
  EXPECT_EQ(HostProcess_StartChild(missing, nullptr, 0, nullptr, &pid), ENOENT);
}

// A forked child left to a file system holds nothing of its parent's but
// what it was told to keep; a child left to end is reaped by a later call.
TEST(ProcessTest, ForkedChildKeepsOnlyWhatItIsToldAndIsReapedLater) {
  int fds[3];
  for (int &fd : fds) {
    fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
  }
  pid_t child = fork();
  if (child == 0) {
    HostProcess_CloseAllBut(&fds[1], 1);
    int open = 0;
    for (int fd : {0, 1, 2, fds[0], fds[1], fds[2]}) {
      open = open * 2 + (fcntl(fd, F_GETFD) >= 0 ? 1 : 0);
    }
    _exit(open);
  }
  ASSERT_GT(child, 0);
  int code = -1;
  ASSERT_TRUE(HostProcess_Wait(child, -1, &code));
  EXPECT_EQ(code, 0b000010);
  for (int fd : fds) close(fd);
  child = fork();
  if (child == 0) _exit(0);
  HostProcess_ReapLater(child);
  siginfo_t ended = {};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(child), &ended, WEXITED | WNOWAIT), 0);
  HostProcess_ReapLater(0);
  EXPECT_FALSE(HostProcess_Wait(child, 0, nullptr));
  EXPECT_EQ(errno, ECHILD);  // reaped already
}

// Once started from here, a child holds what it is handed and its standard
// streams, never a file opened since: closing one of storage that does not
// answer would hold its exec or its end. A process forked plainly since
// starts children as before.
TEST(ProcessTest, ChildrenStartedFromHereHoldNothingOpenedSince) {
  EXPECT_EQ(testsupport::InChild([] {
              if (!HostProcess_StartFromHere()) return 2;
              int since = open("/dev/null", O_RDONLY);  // inherited, were it forked from here
              std::string look = "test -e /proc/$$/fd/" + std::to_string(since) + " || echo none";
              const char *argv[] = {"sh", "-c", look.c_str(), nullptr};
              HostRunResult run;
              bool ran = HostProcess_Run(argv, nullptr, &run) == 0 && run.exitCode == 0 &&
                         std::string(run.out) == "none\n";
              HostRunResult_Free(&run);
              // What a start hands over arrives under its own number.
              int answer[2];
              if (pipe2(answer, O_CLOEXEC) != 0) return 3;
              long child = HostProcess_Fork(&answer[1], 1, [&] {
                char word = fcntl(since, F_GETFD) < 0 ? 'y' : 'n';
                _exit(write(answer[1], &word, 1) == 1 ? 0 : 1);
              });
              close(answer[1]);
              char word = 0;
              bool forked = child > 0 && read(answer[0], &word, 1) == 1 && word == 'y' &&
                            HostProcess_Wait(child, -1, nullptr);
              int fds[2];
              long kept = -1;
              const char *say[] = {"sh", "-c", "echo kept >&3", nullptr};
              char buf[5] = {};
              bool started = HostStream_Pair(fds) == 0 &&
                             HostProcess_StartChild(say, &fds[1], 1, nullptr, &kept) == 0 &&
                             HostStream_ReadAll(fds[0], buf, 5) &&
                             std::string(buf, 5) == "kept\n" && HostProcess_Wait(kept, -1, nullptr);
              // A process forked plainly since has no such thread: it starts
              // children as fork does, and does not wait for one.
              pid_t plain = fork();
              if (plain == 0) {
                alarm(10);
                const char *done[] = {"true", nullptr};
                HostRunResult again;
                _exit(HostProcess_Run(done, nullptr, &again) == 0 && again.exitCode == 0 ? 0 : 1);
              }
              int code = -1;
              bool alone = plain > 0 && HostProcess_Wait(plain, -1, &code) && code == 0;
              // A descriptor at the limit cannot be handed over: the child is
              // forked as fork does, and the log says so.
              FILE *log = tmpfile();
              rlimit low{64, 64};
              int last = dup(answer[0]);
              HostLog_Open("test", true);
              bool fellBack = log != nullptr && dup2(fileno(log), 2) == 2 &&
                              setrlimit(RLIMIT_NOFILE, &low) == 0 &&
                              dup3(last, 63, O_CLOEXEC) == 63;
              const int atLimit = 63;
              long within = HostProcess_Fork(&atLimit, 1, [] { _exit(fcntl(63, F_GETFD) < 0); });
              char said[512] = {};
              fellBack = fellBack && within > 0 && HostProcess_Wait(within, -1, &code) &&
                         code == 0 && pread(fileno(log), said, sizeof said - 1, 0) > 0 &&
                         strstr(said, "could not be handed to it apart") != nullptr;
              return (ran ? 0 : 4) + (forked ? 0 : 8) + (started ? 0 : 16) + (alone ? 0 : 32) +
                     (fellBack ? 0 : 64) + 1;
            }),
            1);
}

}  // namespace
