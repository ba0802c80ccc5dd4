// Process id and user name from the POSIX process and user database.
#include "host/identity.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "host/process.h"
#include "host/socket.h"

long HostIdentity_ProcessId(void) { return static_cast<long>(getpid()); }

namespace {

// The account of uid: false when the user database has none.
bool Account(uid_t uid, std::string *name, gid_t *group) {
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 4096);
  struct passwd pw;
  struct passwd *found = nullptr;
  while (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == ERANGE &&
         buf.size() < (1u << 20)) {
    buf.resize(buf.size() * 2);
  }
  if (found == nullptr || found->pw_name == nullptr) {
    return false;
  }
  *name = found->pw_name;
  *group = found->pw_gid;
  return true;
}

// The groups of the account name, whose own group is primary.
std::vector<gid_t> GroupsOf(const std::string &name, gid_t primary) {
  int count = 32;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  while (getgrouplist(name.c_str(), primary, groups.data(), &count) < 0 && count < (1 << 16)) {
    groups.resize(static_cast<size_t>(count *= 2));
  }
  groups.resize(static_cast<size_t>(std::max(count, 0)));
  return groups;
}

// Whether the permission bits of st grant uid every one of bits (4 read,
// 2 write, 1 search).
bool Grants(const struct stat &st, uid_t uid, const std::vector<gid_t> &groups, unsigned bits) {
  unsigned shift = st.st_uid == uid                                                     ? 6
                   : std::find(groups.begin(), groups.end(), st.st_gid) != groups.end() ? 3
                                                                                        : 0;
  return ((st.st_mode >> shift) & bits) == bits;
}

}  // namespace

char *HostIdentity_UserName(void) {
  std::string name;
  gid_t group = 0;
  return Account(geteuid(), &name, &group) ? strdup(name.c_str()) : nullptr;
}

namespace {

// Whether st is file (any file when file is NULL).
bool Is(const struct stat &st, const HostDiskKey *file) {
  return file == nullptr || (static_cast<uint64_t>(st.st_dev) == file->device &&
                             static_cast<uint64_t>(st.st_ino) == file->inode);
}

// How long the kernel's answers may take: a child stopped by the user it
// runs as, or held by a file system that does not answer, must not hold
// the caller.
constexpr int kAskMs = 2000;
// How long a killed child may take to end before it is left to end later.
constexpr int kKilledMs = 100;

// A file as the child judges it: by its real path, for mode, and only when
// that reaches file (any file when NULL).
struct Asked {
  std::string real;
  int mode;
  const HostDiskKey *file;
};

// What the child says of each file in turn: may, then the next; or may not,
// or cannot be asked, and nothing after.
constexpr char kMay = 'y', kMayNot = 'n', kCannotAsk = 'x';

// Whether the user may use path as the kernel answers (access control lists
// and all), asked as that user: only when path still reaches file.
bool MayAsUser(const char *path, int mode, const HostDiskKey *file) {
  // The file reached (every folder on the way searched as the user) is
  // judged itself. Where that cannot be asked of an open file (an older
  // kernel, a filter), the name is, and must still reach it after.
  int fd = open(path, O_PATH | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !Is(st, file)) {
    if (fd >= 0) {
      close(fd);
    }
    return false;
  }
  bool held = faccessat(fd, "", F_OK, AT_EMPTY_PATH) == 0;
  auto may = [&](int m) {
    struct stat again;
    errno = 0;
    return held ? faccessat(fd, "", m, AT_EMPTY_PATH) == 0
                : access(path, m) == 0 && stat(path, &again) == 0 && Is(again, file);
  };
  // A read-only file system takes no writes from anybody: the disk is then
  // attached read-only, and reading is what counts.
  bool yes = may(mode) || (errno == EROFS && may(R_OK));
  close(fd);
  return yes;
}

// The kernel's answers for files in order, asked by one child that takes on
// the user's identity: the number of files before the first it refuses (or
// does not answer for in time), files.size() when none; -1 when it cannot
// be asked.
long AskAsUser(uid_t uid, gid_t gid, const std::vector<gid_t> &groups,
               const std::vector<Asked> &files) {
  HostProcess_ReapLater(0);
  // Written as each file is judged, the answer is whole before the child's
  // end, which closing a file of a file system that does not answer may
  // hold; and a pipe that nobody empties yet holds no more than 64 KiB.
  int answer[2];
  if (pipe2(answer, O_CLOEXEC) != 0) {
    return -1;
  }
  pid_t child = static_cast<pid_t>(HostProcess_Fork(&answer[1], 1, [&] {
    // Nothing of the caller's stays open in a process of that user, which a
    // file system may also hold past its time.
    HostProcess_CloseAllBut(&answer[1], 1);
    auto say = [&](char word) { return write(answer[1], &word, 1) == 1; };
    if (setgroups(groups.size(), groups.data()) != 0 || setresgid(gid, gid, gid) != 0 ||
        setresuid(uid, uid, uid) != 0) {
      say(kCannotAsk);
      _exit(2);
    }
    for (const Asked &f : files) {
      if (!MayAsUser(f.real.c_str(), f.mode, f.file)) {
        say(kMayNot);
        _exit(1);
      }
      if (!say(kMay)) {
        _exit(1);
      }
    }
    _exit(0);
  }));
  close(answer[1]);
  if (child < 0) {
    close(answer[0]);
    return -1;
  }
  long granted = 0;
  bool ended = false, cannot = false;
  int64_t deadline = HostClock_NowMs() + kAskMs;
  while (!ended && static_cast<size_t>(granted) < files.size()) {
    int64_t left = deadline - HostClock_NowMs();
    struct pollfd entry = {answer[0], POLLIN, 0};
    int ready = left > 0 ? poll(&entry, 1, static_cast<int>(left)) : 0;
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    char words[4096];
    ssize_t got = ready > 0 ? read(answer[0], words, sizeof words) : 0;
    if (got < 0 && errno == EINTR) {
      continue;
    }
    // A child ended by a signal (its user may send it one) gave no answer.
    ended = got <= 0;
    for (ssize_t i = 0; i < got && !ended; i++) {
      ended = words[i] != kMay;
      cannot = words[i] == kCannotAsk;
      granted += ended ? 0 : 1;
    }
  }
  close(answer[0]);
  if (!HostProcess_Wait(child, 0, nullptr)) {
    kill(child, SIGKILL);
    if (!HostProcess_Wait(child, kKilledMs, nullptr)) {
      HostProcess_ReapLater(child);  // a file system holds it
    }
  }
  return cannot ? -1 : granted;
}

// Whether, without the kernel's answer, the permission bits alone grant
// the account uid (of groups) bits on the file st of path real and search
// on every folder on the way.
bool GrantedByBits(struct stat st, const std::string &real, uid_t uid,
                   const std::vector<gid_t> &groups, unsigned bits) {
  if (!Grants(st, uid, groups, bits)) {
    return false;
  }
  std::string folder = real;
  while (folder.size() > 1) {
    size_t slash = folder.rfind('/');
    folder.resize(slash == 0 ? 1 : slash);
    if (stat(folder.c_str(), &st) != 0 || !Grants(st, uid, groups, 1)) {
      return false;
    }
  }
  return true;
}

size_t OwnerRefuses(uid_t owner, const HostOwnedFile *files, size_t count) {
  if (owner == 0 || owner == geteuid()) {
    return count;
  }
  // The files that can be examined here, up to the first that cannot.
  std::vector<Asked> asked;
  std::vector<struct stat> stats;
  for (size_t i = 0; i < count; i++) {
    const HostOwnedFile &f = files[i];
    const HostDiskKey *key = f.file != nullptr ? &f.file->keys[0] : nullptr;
    struct stat st;
    char real[PATH_MAX];
    if ((f.file != nullptr && (f.file->fd < 0 || f.file->keyCount == 0)) ||
        realpath(f.path, real) == nullptr || stat(real, &st) != 0 || !Is(st, key)) {
      break;
    }
    // A file nobody may write is only read.
    bool written = f.write && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
    asked.push_back({real, written ? R_OK | W_OK : R_OK, key});
    stats.push_back(st);
  }
  std::string name;
  gid_t group = 0;
  bool known = Account(owner, &name, &group);
  std::vector<gid_t> groups = known ? GroupsOf(name, group) : std::vector<gid_t>{};
  long granted = known && !asked.empty() ? AskAsUser(owner, group, groups, asked) : -1;
  if (granted >= 0) {
    return static_cast<size_t>(granted);
  }
  size_t i = 0;
  while (i < asked.size() &&
         GrantedByBits(stats[i], asked[i].real, owner, groups, asked[i].mode & W_OK ? 6 : 4)) {
    i++;
  }
  return i;
}

}  // namespace

size_t HostIdentity_OwnerRefuses(const char *named, const HostOwnedFile *files, size_t count) {
  struct stat st;
  return stat(named, &st) == 0 ? OwnerRefuses(st.st_uid, files, count) : 0;
}

size_t HostIdentity_LinkOwnerRefuses(const char *named, const HostOwnedFile *files, size_t count) {
  struct stat st;
  if (lstat(named, &st) != 0) {
    return 0;
  }
  return S_ISLNK(st.st_mode) ? OwnerRefuses(st.st_uid, files, count) : count;
}

bool HostIdentity_OwnedAlike(const char *path, const char *named) {
  struct stat file, target, link;
  if (stat(path, &file) != 0 || stat(named, &target) != 0 || lstat(named, &link) != 0) {
    return false;
  }
  return file.st_uid == 0 || file.st_uid == target.st_uid ||
         (S_ISLNK(link.st_mode) && file.st_uid == link.st_uid);
}

size_t HostIdentity_OwnerRefusesOpen(const HostDisk &disk, const HostOwnedFile *files,
                                     size_t count) {
  struct stat st;
  return disk.fd >= 0 && fstat(disk.fd, &st) == 0 ? OwnerRefuses(st.st_uid, files, count) : 0;
}
