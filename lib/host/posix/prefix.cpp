// Where the host prefix is and how a fresh one comes into being: the defaults
// are built in a private sibling folder and renamed into place, which is the
// one atomic step that decides whether this process or a concurrent one
// initialised it.
#include "host/prefix.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/system.h"
#include "hostPaths.h"

namespace {

const char kServiceClassKey[] =
    "Software\\Classes\\CLSID\\{F91031A3-644F-46F1-8ED5-B91F0E160879}\\LocalServer32";

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

// mkdir -p with mode 0700 for every folder it creates.
bool MakeParents(const std::string &dir) {
  if (dir.empty() || dir == "/") {
    return true;
  }
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return false;
    }
    return true;
  }
  if (errno != ENOENT) {
    return false;
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
      if (rc != 0) {
        errno = rc;
        return false;
      }
    }
  }
  return true;
}

}  // namespace

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

char *HostPrefix_Ensure(void) {
  std::string prefix;
  if (!hostpaths::PrefixPath(&prefix)) {
    return nullptr;
  }
  struct stat st;
  if (stat(prefix.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return nullptr;
    }
    int has = HasEntries(prefix);
    if (has != 0) {
      return has > 0 ? Dup(prefix) : nullptr;
    }
  } else if (errno != ENOENT) {
    return nullptr;
  }

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
