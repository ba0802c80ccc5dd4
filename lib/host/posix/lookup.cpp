// Case-blind name lookup, limited full paths and the regular-file open on
// POSIX. The open uses O_NONBLOCK so that a FIFO with no writer cannot hold
// the caller, then checks the type on the descriptor it got (no window
// between test and use).
#include "host/lookup.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "host/fs.h"
#include "host/text.h"
#include "openKind.h"

namespace {}  // namespace

char *HostFs_FullPathLimited(const char *path) {
  char *full = HostFs_FullPath(path);
  if (full != nullptr && strlen(full) >= HOSTFS_PATH_MAX) {
    free(full);
    errno = ENAMETOOLONG;
    return nullptr;
  }
  return full;
}

char *HostDir_FindNoCase(const char *folder, const char *name) {
  if (folder == nullptr || name == nullptr || *name == '\0' || strchr(name, '/') != nullptr) {
    errno = ENOENT;
    return nullptr;
  }
  DIR *dir = opendir(*folder == '\0' ? "." : folder);
  if (dir == nullptr) {
    return nullptr;
  }
  std::string best;
  bool found = false;
  for (;;) {
    errno = 0;
    struct dirent *e = readdir(dir);
    if (e == nullptr) break;
    if (strcmp(e->d_name, name) == 0) {
      best = e->d_name;
      found = true;
      break;
    }
    if (HostText_EqualNoCase(e->d_name, name) && (!found || strcmp(e->d_name, best.c_str()) < 0)) {
      best = e->d_name;
      found = true;
    }
  }
  int readError = errno;
  closedir(dir);
  if (!found) {
    errno = readError != 0 ? readError : ENOENT;
    return nullptr;
  }
  char *copy = strdup(best.c_str());
  if (copy == nullptr) errno = ENOMEM;
  return copy;
}

int HostFile_OpenRegular(const char *path, long long *size) {
  if (path == nullptr || *path == '\0') {
    errno = ENOENT;
    return HOSTFILE_INVALID;
  }
  struct stat st;
  int fd = openkind::Open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY, false, &st);
  if (fd < 0) {
    return HOSTFILE_INVALID;
  }
  if (size != nullptr) *size = st.st_size;
  return fd;
}
