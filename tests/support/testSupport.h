// Helpers shared by the unit tests: a private temporary folder that is removed
// with everything in it, small file writers, and a child-process runner.
#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/socket.h"

// True under the address sanitizer, which stops huge allocations itself and
// cannot run within a limit of the address space.
#if defined(__SANITIZE_ADDRESS__)
#define BRENIX_TEST_ASAN true
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BRENIX_TEST_ASAN true
#endif
#endif
#ifndef BRENIX_TEST_ASAN
#define BRENIX_TEST_ASAN false
#endif

namespace testsupport {

// A fresh folder below $TMPDIR (or /tmp), removed recursively on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string &name) const;

 private:
  std::string path_;
};

// Sets an environment variable (or removes it, given nullptr) for the
// object's life; what was there is put back even when a test stops early.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, const char *value);
  ScopedEnv(const char *name, const std::string &value) : ScopedEnv(name, value.c_str()) {}
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

// Makes path the working folder for the object's life; the one before is put
// back even when a test stops early.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string &path);
  ~ScopedCwd();
  ScopedCwd(const ScopedCwd &) = delete;
  ScopedCwd &operator=(const ScopedCwd &) = delete;

 private:
  std::string saved_;
};

// A panic handler for death tests: the text to standard error, exit code 3.
void PanicToStderr(const char *text);

// Why loop devices cannot be used here, or "" when they can.
std::string LoopUnusable();

// Writes bytes to a file, replacing it; fails the current test on error.
void WriteFile(const std::string &path, const std::string &bytes);
// Returns the whole file, or "" when it cannot be read.
std::string ReadFile(const std::string &path);
// Whether path names something, following a link.
bool Exists(const std::string &path);
// The names in a folder; none when it cannot be read.
std::set<std::string> Names(const std::string &folder);

// Returns the text of a string the caller must free, and frees it; "<null>"
// for a null pointer.
std::string Take(char *owned);

// Waits (without a deadline an assertion depends on: some 5 s) until pred
// holds; whether it does. Inline: the fuzzers' fake service uses it too.
inline bool Eventually(const std::function<bool()> &pred) {
  for (int i = 0; i < 500; i++) {
    if (pred()) return true;
    HostClock_SleepMs(10);
  }
  return pred();
}

// Runs body in a forked child; its exit code, or -1 when it did not exit.
int InChild(const std::function<int()> &body);

// Returns the lines of an event log file without their line ends, each time
// stamp replaced by "T" so that whole lines can be compared; a time stamp
// that is not "YYYY-MM-DDTHH:MM:SSZ" fails the current test.
std::vector<std::string> EventLogLines(const std::string &path);

struct ProcessResult {
  int exitCode = -1;  // -1 when the child did not exit normally
  int signal = 0;     // the signal that ended it, or 0
  std::string out;
  std::string err;
};

// Runs argv[0] with the given arguments, environment additions ("NAME=value",
// or "NAME=" to remove NAME) and standard input; waits at most timeoutSeconds.
ProcessResult Run(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
                  const std::string &input = "", int timeoutSeconds = 30);

}  // namespace testsupport
