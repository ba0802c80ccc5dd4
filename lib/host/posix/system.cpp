// Version, command line and module path of the running process. The command
// line is built once and kept for the life of the process, as callers hold
// on to the pointer.
#include "host/system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/random.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "procfs.h"

namespace {

std::mutex gCommandLineLock;
char *gCommandLine = nullptr;

std::string Join(const std::vector<std::string> &args) {
  std::string line;
  for (size_t i = 0; i < args.size(); i++) {
    if (i > 0) {
      line.push_back(' ');
    }
    const std::string &a = args[i];
    if (a.empty() || a.find_first_of(" \t") != std::string::npos) {
      line += "\"" + a + "\"";
    } else {
      line += a;
    }
  }
  return line;
}

bool ParseNumber(const char **p, uint32_t *value) {
  const char *s = *p;
  uint64_t v = 0;
  int digits = 0;
  while (*s >= '0' && *s <= '9') {
    v = v * 10 + static_cast<uint64_t>(*s - '0');
    if (v > 0xFFFFFFFFu) {
      return false;
    }
    s++;
    digits++;
  }
  if (digits == 0) {
    return false;
  }
  *value = static_cast<uint32_t>(v);
  *p = s;
  return true;
}

}  // namespace

bool HostSystem_ParseVersion(const char *text, HostVersion *version) {
  if (text == nullptr) {
    return false;
  }
  HostVersion v;
  const char *p = text;
  if (!ParseNumber(&p, &v.platformId) || *p++ != '.' || !ParseNumber(&p, &v.major) || *p++ != '.' ||
      !ParseNumber(&p, &v.minor) || *p != '\0') {
    return false;
  }
  *version = v;
  return true;
}

void HostSystem_GetVersion(HostVersion *version) {
  version->platformId = 2;
  version->major = 10;
  version->minor = 0;
  HostSystem_ParseVersion(getenv("BRENIX_HOST_OSVERSION"), version);
}

char *HostSystem_JoinArgs(int argc, const char *const *argv) {
  std::vector<std::string> args;
  for (int i = 0; i < argc; i++) {
    args.emplace_back(argv[i] ? argv[i] : "");
  }
  char *line = strdup(Join(args).c_str());
  if (line == nullptr) {
    errno = ENOMEM;
  }
  return line;
}

void HostSystem_SetArgs(int argc, const char *const *argv) {
  char *line = HostSystem_JoinArgs(argc, argv);
  if (line == nullptr) {
    return;
  }
  std::lock_guard<std::mutex> hold(gCommandLineLock);
  if (gCommandLine == nullptr) {
    gCommandLine = line;
  } else {
    free(line);  // the first line handed out stays valid
  }
}

const char *HostSystem_CommandLine(void) {
  std::lock_guard<std::mutex> hold(gCommandLineLock);
  if (gCommandLine == nullptr) {
    gCommandLine = strdup(Join(procfs::Arguments(0)).c_str());
  }
  return gCommandLine != nullptr ? gCommandLine : "";
}

int HostSystem_ProcessorCount(void) {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
  int count = CPU_COUNT(&set);
  return count > 0 ? count : 1;
}

uint64_t HostSystem_RandomSeed(void) {
  static const uint64_t seed = [] {
    uint64_t value = 0;
    if (getrandom(&value, sizeof value, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof value)) {
      // Before the pool is ready: what another user cannot tell in advance.
      struct timespec now;
      clock_gettime(CLOCK_MONOTONIC, &now);
      value = static_cast<uint64_t>(now.tv_nsec) << 32 ^ static_cast<uint64_t>(now.tv_sec) ^
              static_cast<uint64_t>(getpid()) << 16;
    }
    return value;
  }();
  return seed;
}

char *HostSystem_ModulePath(void) {
  std::vector<char> buf(256);
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) {
      return nullptr;
    }
    if (static_cast<size_t>(n) < buf.size()) {
      buf[static_cast<size_t>(n)] = '\0';
      break;
    }
    buf.resize(buf.size() * 2);
  }
  char *path = strdup(buf.data());
  if (path == nullptr) {
    errno = ENOMEM;
  }
  return path;
}

namespace procfs {

namespace {

// What /proc/<pid>/<name> holds (pid 0: this process's), or "".
std::string ReadOf(long pid, const char *name) {
  std::string path = (pid > 0 ? "/proc/" + std::to_string(pid) : "/proc/self") + "/" + name;
  std::string bytes;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return bytes;
  }
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) {
      bytes.append(buf, static_cast<size_t>(n));
    }
  }
  close(fd);
  return bytes;
}

}  // namespace

std::vector<std::string> Arguments(long pid) {
  std::vector<std::string> args;
  std::string bytes = ReadOf(pid, "cmdline");
  size_t start = 0;
  while (start < bytes.size()) {
    size_t end = bytes.find('\0', start);
    if (end == std::string::npos) {
      end = bytes.size();
    }
    args.emplace_back(bytes, start, end - start);
    start = end + 1;
  }
  return args;
}

bool HasDescriptor(const std::string &pid, const std::function<bool(const std::string &)> &match) {
  std::string fds = "/proc/" + pid + "/fd";
  DIR *dir = opendir(fds.c_str());
  if (dir == nullptr) {
    return false;
  }
  bool found = false;
  while (dirent *entry = readdir(dir)) {
    if (entry->d_name[0] != '.' && match(fds + "/" + entry->d_name)) {
      found = true;
      break;
    }
  }
  closedir(dir);
  return found;
}

std::vector<std::string> StatFields(long pid) {
  std::vector<std::string> fields;
  std::string text = ReadOf(pid, "stat");
  size_t end = text.rfind(')');
  if (end != std::string::npos) {
    std::istringstream rest(text.substr(end + 1));
    for (std::string field; rest >> field;) {
      fields.push_back(field);
    }
  }
  return fields;
}

}  // namespace procfs
