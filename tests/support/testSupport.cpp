#include "testSupport.h"

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "host/loop.h"
#include "host/process.h"
#include "host/socket.h"

namespace testsupport {

TempDir::TempDir() {
  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/brenix-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp failed: " << strerror(errno);
  }
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  // Undo read-only modes the tests may have set, so removal succeeds.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_symlink()) {
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ec);
    }
  }
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::file(const std::string &name) const { return path_ + "/" + name; }

void WriteFile(const std::string &path, const std::string &bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  ASSERT_TRUE(f.good()) << "cannot write " << path;
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool Exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

std::set<std::string> Names(const std::string &folder) {
  std::set<std::string> names;
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(folder, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    names.insert(it->path().filename());
  }
  return names;
}

std::string Take(char *owned) {
  std::string text = owned != nullptr ? owned : "<null>";
  free(owned);
  return text;
}

int InChild(const std::function<int()> &body) {
  pid_t pid = fork();
  if (pid == 0) _exit(body());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> EventLogLines(const std::string &path) {
  static const std::string kOpening = "{\"time\":\"";
  static const std::string kShape = "0000-00-00T00:00:00Z\"";  // 0: any digit
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(path));
  for (std::string line; std::getline(in, line);) {
    bool shaped = line.compare(0, kOpening.size(), kOpening) == 0 &&
                  line.size() > kOpening.size() + kShape.size();
    for (size_t i = 0; shaped && i < kShape.size(); i++) {
      char c = line[kOpening.size() + i];
      shaped = kShape[i] == '0' ? c >= '0' && c <= '9' : c == kShape[i];
    }
    EXPECT_TRUE(shaped) << "no time stamp at the start of " << line;
    if (shaped) line.replace(kOpening.size(), kShape.size() - 1, "T");
    lines.push_back(line);
  }
  return lines;
}

ScopedEnv::ScopedEnv(const char *name, const char *value) : name_(name) {
  if (const char *old = getenv(name)) saved_ = old;
  value != nullptr ? setenv(name, value, 1) : unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  saved_ ? setenv(name_.c_str(), saved_->c_str(), 1) : unsetenv(name_.c_str());
}

ScopedCwd::ScopedCwd(const std::string &path) {
  if (char *cwd = getcwd(nullptr, 0)) {
    saved_ = cwd;
    free(cwd);
  }
  EXPECT_FALSE(saved_.empty()) << "no working folder: " << strerror(errno);
  EXPECT_EQ(chdir(path.c_str()), 0) << "cannot enter " << path << ": " << strerror(errno);
}

ScopedCwd::~ScopedCwd() { EXPECT_EQ(chdir(saved_.c_str()), 0) << "cannot go back to " << saved_; }

void PanicToStderr(const char *text) {
  fputs(text, stderr);
  fflush(stderr);
  _Exit(3);
}

std::string LoopUnusable() {
  char *why = nullptr;
  if (HostLoop_Usable(&why)) return "";
  std::string reason = why != nullptr ? why : "loop devices are not usable";
  free(why);
  return reason;
}

ProcessResult Run(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                  const std::string &input, int timeoutSeconds) {
  // The host layer's runner gives the program the caller's environment and
  // no input: env(1) changes the one, a shell pipe feeds the other.
  std::vector<std::string> words = {"/usr/bin/env"};
  for (const std::string &e : env) {
    if (e.find('=') == e.size() - 1) {
      words.insert(words.end(), {"-u", e.substr(0, e.size() - 1)});
    } else {
      words.push_back(e);
    }
  }
  if (!input.empty()) {
    words.insert(words.end(), {"/bin/sh", "-c", "printf %s \"$0\" | \"$@\"", input});
  }
  words.insert(words.end(), argv.begin(), argv.end());
  // Seen from env(1), /proc/self would be env itself.
  if (argv[0].rfind("/proc/self/", 0) == 0) {
    words[words.size() - argv.size()] = std::filesystem::read_symlink(argv[0]);
  }
  std::vector<const char *> args;
  for (const std::string &w : words) args.push_back(w.c_str());
  args.push_back(nullptr);
  HostRunLimits limits;
  limits.timeoutMs = timeoutSeconds * 1000;
  limits.maxOutput = limits.maxErrors = 64 << 20;
  HostRunResult r;
  ProcessResult result;
  if (HostProcess_Run(args.data(), &limits, &r) == 0) {
    EXPECT_FALSE(r.timedOut) << "timed out: " << argv[0];
    result = {r.exitCode, r.signal, std::string(r.out, r.outLength),
              std::string(r.err, r.errLength)};
  }
  HostRunResult_Free(&r);
  return result;
}

}  // namespace testsupport
