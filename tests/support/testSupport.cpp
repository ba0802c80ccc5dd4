#include "testSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

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

static void DrainInto(int fd, std::string *to) {
  char buf[4096];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n > 0) to->append(buf, static_cast<size_t>(n));
}

ProcessResult Run(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                  const std::string &input, int timeoutSeconds) {
  ProcessResult result;
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) {
    ADD_FAILURE() << "pipe failed";
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
    for (const auto &e : env) {
      auto eq = e.find('=');
      std::string name = e.substr(0, eq);
      if (eq == e.size() - 1) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), e.substr(eq + 1).c_str(), 1);
      }
    }
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  signal(SIGPIPE, SIG_IGN);
  if (!input.empty()) {
    ssize_t ignored = write(in[1], input.data(), input.size());
    (void)ignored;
  }
  close(in[1]);

  time_t deadline = time(nullptr) + timeoutSeconds;
  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen) {
    pollfd fds[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
    if (poll(fds, 2, 200) > 0) {
      if (fds[0].revents) {
        size_t before = result.out.size();
        DrainInto(out[0], &result.out);
        if (result.out.size() == before) outOpen = false;
      }
      if (fds[1].revents) {
        size_t before = result.err.size();
        DrainInto(err[0], &result.err);
        if (result.err.size() == before) errOpen = false;
      }
    }
    if (time(nullptr) > deadline) {
      kill(pid, SIGKILL);
      ADD_FAILURE() << "timed out: " << argv[0];
      break;
    }
  }
  close(out[0]);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

}  // namespace testsupport
