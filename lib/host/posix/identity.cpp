// Process id and user name from the POSIX process and user database.
#include "host/identity.h"

#include <fcntl.h>
#include <grp.h>
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

// How long the kernel's answer may take: a child stopped by the user it
// runs as, or held by a file system that does not answer, must not hold
// the caller.
constexpr int kAskMs = 2000;
// How long a killed child may take to end before it is left to end later.
constexpr int kKilledMs = 100;

// The kernel's own answer (access control lists and all), asked by a child
// that takes on the user's identity, for the file path reaches only when it
// is file: 1 may, 0 may not (or no answer in time), -1 cannot be asked.
int AskAsUser(uid_t uid, gid_t gid, const std::vector<gid_t> &groups, const char *path, int mode,
              const HostDiskKey *file) {
  HostProcess_ReapLater(0);
  pid_t child = fork();
  if (child == 0) {
    // Only system calls between fork and exit: other threads may hold locks.
    // Nothing of the caller's stays open in a process of that user, which a
    // file system may also hold past its time.
    HostProcess_CloseAllBut(nullptr, 0);
    if (setgroups(groups.size(), groups.data()) != 0 || setresgid(gid, gid, gid) != 0 ||
        setresuid(uid, uid, uid) != 0) {
      _exit(2);
    }
    // The file reached (every folder on the way searched as the user) is
    // judged itself. Where that cannot be asked of an open file (an older
    // kernel, a filter), the name is, and must still reach it after.
    int fd = open(path, O_PATH | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !Is(st, file)) {
      _exit(1);
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
    _exit(may(mode) || (errno == EROFS && may(R_OK)) ? 0 : 1);
  }
  if (child < 0) {
    return -1;
  }
  int code = -1;
  if (!HostProcess_Wait(child, kAskMs, &code)) {
    kill(child, SIGKILL);
    if (!HostProcess_Wait(child, kKilledMs, nullptr)) {
      HostProcess_ReapLater(child);  // a file system holds it
    }
    return 0;
  }
  // A child ended by a signal (its user may send it one) gave no answer.
  return code == 0 ? 1 : code == 2 ? -1 : 0;
}

bool OwnerMay(uid_t owner, const char *path, bool write, const HostDiskKey *file) {
  if (owner == 0 || owner == geteuid()) {
    return true;
  }
  struct stat st;
  char real[PATH_MAX];
  if (realpath(path, real) == nullptr || stat(real, &st) != 0 || !Is(st, file)) {
    return false;
  }
  std::string name;
  gid_t group = 0;
  bool known = Account(owner, &name, &group);
  std::vector<gid_t> groups = known ? GroupsOf(name, group) : std::vector<gid_t>{};
  // A file nobody may write is only read.
  bool written = write && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
  int asked =
      known ? AskAsUser(owner, group, groups, real, written ? R_OK | W_OK : R_OK, file) : -1;
  if (asked >= 0) {
    return asked == 1;
  }
  // Without the kernel's answer: the permission bits alone.
  if (!Grants(st, owner, groups, written ? 6 : 4)) {
    return false;
  }
  std::string folder = real;
  while (folder.size() > 1) {
    size_t slash = folder.rfind('/');
    folder.resize(slash == 0 ? 1 : slash);
    if (stat(folder.c_str(), &st) != 0 || !Grants(st, owner, groups, 1)) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool HostIdentity_OwnerMay(const char *named, const char *path, bool write) {
  struct stat st;
  return stat(named, &st) == 0 && OwnerMay(st.st_uid, path, write, nullptr);
}

bool HostIdentity_OwnerMayOpen(const HostDisk &disk, const char *path, bool write,
                               const HostDisk &file) {
  struct stat st;
  return disk.fd >= 0 && file.fd >= 0 && fstat(disk.fd, &st) == 0 &&
         OwnerMay(st.st_uid, path, write, &file.keys[0]);
}
