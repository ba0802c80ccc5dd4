// Where the host prefix is, whether it can be trusted, and how a fresh one
// comes into being: the defaults are built in a private sibling folder and
// renamed into place, which is the one atomic step that decides whether this
// process or a concurrent one initialised it.
//
// Trust works like a careful shell's strict modes: what the programs act on
// (the registry names an executable to start, the drive table and bmount/mnt
// say where to mount) must be changeable by nobody but the running user, or
// another user could make the superuser act for them.
#include "host/prefix.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "host/system.h"
#include "hostPaths.h"

namespace {

const char kServiceClassKey[] =
    "Software\\Classes\\CLSID\\{F91031A3-644F-46F1-8ED5-B91F0E160879}\\LocalServer32";
// The service's event source, so that its records are kept from the start.
const char kServiceSourceKey[] =
    "System\\CurrentControlSet\\Services\\EventLog\\Application\\bmount-service";

char *Dup(const std::string &s) {
  char *p = strdup(s.c_str());
  if (p == nullptr) {
    errno = ENOMEM;
  }
  return p;
}

std::string HomeDir() {
  const char *home = getenv("HOME");
  if (home != nullptr && home[0] != '\0') {
    return home;
  }
  struct passwd pw;
  struct passwd *found = nullptr;
  char buf[4096];
  if (getpwuid_r(getuid(), &pw, buf, sizeof buf, &found) == 0 && found != nullptr &&
      found->pw_dir != nullptr && found->pw_dir[0] != '\0') {
    return found->pw_dir;
  }
  return "";
}

// Returns 1 when the folder has entries, 0 when it is empty, -1 on error.
int HasEntries(const std::string &dir) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) {
    return -1;
  }
  int result = 0;
  errno = 0;
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
      result = 1;
      break;
    }
  }
  if (result == 0 && errno != 0) {
    result = -1;
  }
  int saved = errno;
  closedir(d);
  errno = saved;
  return result;
}

// Returns 1 when path is a folder (links followed), 0 when there is nothing,
// -1 with errno set (ENOTDIR for anything but a folder) otherwise.
int FolderState(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    return errno == ENOENT ? 0 : -1;
  }
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return -1;
  }
  return 1;
}

// mkdir -p with mode 0700 for every folder it creates.
bool MakeParents(const std::string &dir) {
  if (dir.empty() || dir == "/") {
    return true;
  }
  int state = FolderState(dir);
  if (state != 0) {
    return state > 0;
  }
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && !MakeParents(dir.substr(0, slash == 0 ? 1 : slash))) {
    return false;
  }
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    return false;
  }
  return true;
}

void RemoveTree(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    return;
  }
  if (S_ISDIR(st.st_mode)) {
    if (DIR *d = opendir(path.c_str())) {
      while (struct dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
          RemoveTree(path + "/" + e->d_name);
        }
      }
      closedir(d);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

bool MakeDir(const std::string &path) { return mkdir(path.c_str(), 0700) == 0 || errno == EEXIST; }

// The defaults of a fresh prefix, written into root. Steps that find their
// entry already present count as done (an in-place fill may race another).
bool Populate(const std::string &root) {
  if (!MakeDir(root + "/drives") || !MakeDir(root + "/registry") ||
      !MakeDir(root + "/registry/HKLM") || !MakeDir(root + "/eventlog") ||
      !MakeDir(root + "/run") || !MakeDir(root + "/bmount")) {
    return false;
  }
  if (symlink("/", (root + "/drives/c:").c_str()) != 0 && errno != EEXIST) {
    return false;
  }
  char *self = HostSystem_ModulePath();
  if (self != nullptr) {
    std::string service(self);
    free(self);
    service.erase(service.find_last_of('/') + 1);
    service += "bmount-service";
    struct stat st;
    if (stat(service.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        access(service.c_str(), X_OK) == 0) {
      std::string hklm = root + "/registry/HKLM";
      int rc = hostpaths::RegCreateKeyAt(hklm, kServiceClassKey);
      if (rc == 0) {
        rc = hostpaths::RegSetStringAt(hklm, kServiceClassKey, "@", HOSTREG_SZ, service.c_str());
      }
      if (rc == 0) {
        rc = hostpaths::RegCreateKeyAt(hklm, kServiceSourceKey);
      }
      if (rc == 0) {
        rc = hostpaths::RegSetStringAt(hklm, kServiceSourceKey, "EventMessageFile",
                                       HOSTREG_EXPAND_SZ, service.c_str());
      }
      if (rc == 0) {
        rc = hostpaths::RegSetDwordAt(hklm, kServiceSourceKey, "TypesSupported", 7);
      }
      if (rc != 0) {
        errno = rc;
        return false;
      }
    }
  }
  return true;
}

// The folders and files of a prefix that the programs act on. Anything else
// in it is either reached through these or checked where it is read.
const char *const kTrusted[] = {
    "drives",
    "registry",
    "registry/HKLM",
    "eventlog",
    "eventlog/Application.jsonl",
    "run",
    "run/bmount-service.lock",
    "bmount",
    "bmount/mounts",
    "bmount/mnt",
    "bmount/volumes",
};

constexpr int kMaxLinks = 40;

std::string UserText(uid_t uid) {
  struct passwd pw;
  struct passwd *found = nullptr;
  char buf[4096];
  std::string id = "uid " + std::to_string(uid);
  if (getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found != nullptr) {
    return std::string(found->pw_name) + " (" + id + ")";
  }
  return id;
}

std::string ModeText(mode_t mode) {
  char text[8];
  snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

bool WritableByOthers(const struct stat &st) { return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

// Judges an entry of the prefix: it must not be a link, belong to the
// running user and be writable by nobody else. Returns "" or why not. (An
// entry of the wrong kind is no danger: every use of it fails on its own.)
std::string JudgeOwn(const std::string &path, const struct stat &st) {
  if (S_ISLNK(st.st_mode)) {
    return path + " is a symbolic link";
  }
  if (st.st_uid != geteuid()) {
    return path + " belongs to " + UserText(st.st_uid) + ", not to " + UserText(geteuid());
  }
  if (WritableByOthers(st)) {
    return path + " can be written by other users (mode " + ModeText(st.st_mode) + ")";
  }
  return "";
}

// Judges a folder on the way to the prefix: only the running user and the
// superuser may be able to change it. A folder anyone may write is fine when
// it is sticky (like /tmp) and the entry taken from it belongs to one of
// those two, since nobody else can rename or remove that entry.
std::string JudgeWay(const std::string &path, const struct stat &st) {
  uid_t me = geteuid();
  if (st.st_uid != me && st.st_uid != 0) {
    return path + ", a folder on the way to the host prefix, belongs to " + UserText(st.st_uid);
  }
  if (WritableByOthers(st) && (st.st_mode & S_ISVTX) == 0) {
    return path + ", a folder on the way to the host prefix, can be written by other users (mode " +
           ModeText(st.st_mode) + ")";
  }
  return "";
}

std::string Joined(const std::string &dir, const std::string &name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

void PushComponents(const std::string &path, std::deque<std::string> *rest) {
  std::deque<std::string> parts;
  for (size_t i = 0; i < path.size();) {
    size_t j = path.find('/', i);
    if (j == std::string::npos) j = path.size();
    if (j > i) parts.push_back(path.substr(i, j - i));
    i = j + 1;
  }
  rest->insert(rest->begin(), parts.begin(), parts.end());
}

// Walks the way to path the way the kernel would, judging every folder it
// passes and every folder holding a link it follows, and stops at the first
// missing entry (what is missing will be made by this user). Sets *resolved
// to where path leads. Returns "" or why the way cannot be trusted.
std::string CheckWay(const std::string &path, std::string *resolved) {
  std::deque<std::string> rest;
  PushComponents(path, &rest);
  std::string dir = "/";
  struct stat dirSt;
  if (lstat("/", &dirSt) != 0) {
    *resolved = path;
    return "";
  }
  std::string why = rest.empty() ? "" : JudgeWay("/", dirSt);
  int links = 0;
  while (why.empty() && !rest.empty()) {
    std::string name = rest.front();
    rest.pop_front();
    if (name == ".") {
      continue;
    }
    if (name == "..") {
      size_t slash = dir.find_last_of('/');
      dir = slash == 0 ? "/" : dir.substr(0, slash);
      lstat(dir.c_str(), &dirSt);
      continue;
    }
    std::string entry = Joined(dir, name);
    struct stat st;
    if (lstat(entry.c_str(), &st) != 0) {
      // Missing (made later by this user) or unreadable (fails later).
      std::string tail = entry;
      for (const std::string &r : rest) tail += "/" + r;
      *resolved = tail;
      return "";
    }
    if (WritableByOthers(dirSt) && st.st_uid != geteuid() && st.st_uid != 0) {
      return entry + " belongs to " + UserText(st.st_uid) + " in a folder anyone may write";
    }
    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxLinks) {
        return entry + ": too many symbolic links";
      }
      char target[4096];
      ssize_t n = readlink(entry.c_str(), target, sizeof target - 1);
      if (n <= 0) {
        return entry + " cannot be read";
      }
      target[n] = '\0';
      if (target[0] == '/') {
        dir.assign(1, '/');
        lstat("/", &dirSt);
      }
      PushComponents(target, &rest);
      continue;
    }
    if (rest.empty()) {
      *resolved = entry;  // the prefix itself, judged by the caller
      return "";
    }
    if (!S_ISDIR(st.st_mode)) {
      return entry + " is not a folder";
    }
    why = JudgeWay(entry, st);
    dir = entry;
    dirSt = st;
  }
  *resolved = dir;
  return why;
}

// What judging the prefix found on the way.
struct Seen {
  bool exists = false;     // there was a prefix to judge
  bool populated = false;  // a folder with state in it
};

// Returns "" when the prefix can be trusted (or does not exist yet), else
// why not.
std::string Judge(const std::string &prefix, Seen *seen) {
  *seen = Seen();
  std::string real;
  std::string why = CheckWay(prefix, &real);
  if (!why.empty()) {
    return why;
  }
  struct stat st;
  if (lstat(real.c_str(), &st) != 0) {
    return "";  // not made yet
  }
  seen->exists = true;
  // A readable folder holding any of these entries needs no listing to be
  // known as populated.
  bool folder = S_ISDIR(st.st_mode) && (st.st_mode & S_IRUSR) != 0;
  // Reported under the name the user gave, not where links led.
  why = JudgeOwn(prefix, st);
  if (!why.empty()) {
    return why;
  }
  if (!S_ISDIR(st.st_mode)) {
    return prefix + " is not a folder";
  }
  for (const char *t : kTrusted) {
    std::string path = real + "/" + t;
    if (lstat(path.c_str(), &st) == 0) {
      seen->populated = folder;
      why = JudgeOwn(prefix + "/" + t, st);
      if (!why.empty()) {
        return why;
      }
    }
  }
  return "";
}

// The prefix judged trusted for the rest of the process, or "".
std::string gKeptTrust;

char *Ensure(const std::string &prefix, bool *made);

// HostPrefix_Ensure's work; *why is the latest verdict on the prefix and
// *seen what that judging found.
char *EnsureJudged(std::string *why, Seen *seen) {
  std::string prefix;
  if (!hostpaths::PrefixPath(&prefix)) {
    return nullptr;
  }
  // Made absolute for good: lookups after a change of folder, and servers
  // this process starts, must find the same prefix.
  const char *env = getenv("BRENIX_HOST_PREFIX");
  if (env != nullptr && env[0] != '\0' && env[0] != '/' &&
      setenv("BRENIX_HOST_PREFIX", prefix.c_str(), 1) != 0) {
    return nullptr;
  }
  *why = Judge(prefix, seen);
  if (!why->empty()) {
    errno = EPERM;
    return nullptr;
  }
  if (seen->populated) {
    return Dup(prefix);  // an existing prefix is never touched
  }
  bool made = false;
  char *path = Ensure(prefix, &made);
  // Judged again after any making: a folder someone slipped in meanwhile
  // counts as much as one that was there before. A prefix found trusted and
  // left alone can be changed by nobody but its owner and the superuser.
  if (made) {
    *why = Judge(prefix, seen);
  }
  return path;
}

}  // namespace

std::string hostpaths::TrustProblem(const std::string &prefix) {
  Seen seen;
  return Judge(prefix, &seen);
}

bool hostpaths::TrustedProgram(const std::string &path) {
  std::string resolved;
  struct stat st;
  return CheckWay(path, &resolved).empty() && stat(resolved.c_str(), &st) == 0 &&
         (st.st_uid == geteuid() || st.st_uid == 0) && !WritableByOthers(st);
}

bool hostpaths::TrustedPrefix(std::string *path) {
  if (!PrefixPath(path)) {
    return false;
  }
  if (*path != gKeptTrust && !TrustProblem(*path).empty()) {
    errno = EPERM;
    return false;
  }
  return true;
}

bool hostpaths::PrefixPath(std::string *path) {
  std::string p;
  const char *env = getenv("BRENIX_HOST_PREFIX");
  if (env != nullptr && env[0] != '\0') {
    p = env;
  } else if (geteuid() == 0) {
    p = "/var/lib/brenix-host";
  } else {
    const char *state = getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
      p = std::string(state) + "/brenix-host";
    } else {
      std::string home = HomeDir();
      if (home.empty()) {
        errno = ENOENT;
        return false;
      }
      p = home + "/.local/state/brenix-host";
    }
  }
  // A relative prefix would move with the working directory (a detached
  // server changes it), so it is pinned to the one at hand.
  if (p[0] != '/') {
    char *cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) {
      return false;
    }
    p = std::string(cwd) + "/" + p;
    free(cwd);
  }
  while (p.size() > 1 && p.back() == '/') {
    p.pop_back();
  }
  *path = p;
  return true;
}

char *HostPrefix_Path(void) {
  std::string p;
  return hostpaths::PrefixPath(&p) ? Dup(p) : nullptr;
}

char *HostPrefix_Join(const char *relative) {
  std::string p;
  if (!hostpaths::PrefixPath(&p)) {
    return nullptr;
  }
  return Dup(p + "/" + relative);
}

char *HostPrefix_TrustProblem(void) {
  std::string prefix;
  if (!hostpaths::PrefixPath(&prefix)) {
    return nullptr;
  }
  std::string why = hostpaths::TrustProblem(prefix);
  return why.empty() ? nullptr : Dup(why);
}

char *HostPrefix_Ensure(void) {
  std::string why;
  Seen seen;
  char *made = EnsureJudged(&why, &seen);
  if (made != nullptr && !why.empty()) {
    free(made);
    errno = EPERM;
    return nullptr;
  }
  return made;
}

char *HostPrefix_EnsureForRun(void) {
  std::string why;
  Seen seen;
  free(EnsureJudged(&why, &seen));
  if (!why.empty()) {
    return Dup(why);
  }
  std::string prefix;
  if (seen.exists && hostpaths::PrefixPath(&prefix)) {
    gKeptTrust = prefix;
  }
  return nullptr;
}

namespace {

char *Ensure(const std::string &prefix, bool *made) {
  int state = FolderState(prefix);
  if (state < 0) {
    return nullptr;
  }
  int has = state > 0 ? HasEntries(prefix) : 0;
  if (has != 0) {
    return has > 0 ? Dup(prefix) : nullptr;
  }
  *made = true;  // or tried, or raced: whatever happens next is judged again

  size_t slash = prefix.find_last_of('/');
  std::string parent = slash == 0 ? "/" : prefix.substr(0, slash);
  if (!MakeParents(parent)) {
    return nullptr;
  }
  std::string tmpl =
      (parent == "/" ? "" : parent) + "/." + prefix.substr(slash + 1) + ".init-XXXXXX";
  std::string tmp(tmpl);
  if (mkdtemp(tmp.data()) == nullptr) {
    // An empty prefix in a folder we may not write (made for us by an
    // administrator) is filled where it stands.
    int err = errno;
    if (HasEntries(prefix) == 0 && Populate(prefix)) {
      return Dup(prefix);
    }
    errno = err;
    return nullptr;
  }
  if (!Populate(tmp)) {
    int saved = errno;
    RemoveTree(tmp);
    errno = saved;
    return nullptr;
  }
  // rename() replaces a missing or empty folder and refuses a populated one:
  // whoever renames first initialises the prefix.
  if (rename(tmp.c_str(), prefix.c_str()) == 0) {
    return Dup(prefix);
  }
  int err = errno;
  RemoveTree(tmp);
  if (err == ENOTEMPTY || err == EEXIST) {
    return Dup(prefix);
  }
  if (err == EBUSY && HasEntries(prefix) == 0) {
    // An empty mount point cannot be replaced; fill it where it stands.
    if (Populate(prefix)) {
      return Dup(prefix);
    }
    return nullptr;
  }
  errno = err;
  return nullptr;
}

}  // namespace
