// The drive table kept as entries of <prefix>/drives. Existence of the entry
// is all that makes a drive, so nothing here follows links; and a prefix the
// running user cannot trust has no drive table at all.
#include "host/drives.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hostPaths.h"

namespace {

// Returns the lower-case letter, or 0 for anything but a-z / A-Z.
char NormalLetter(char letter) {
  if (letter >= 'A' && letter <= 'Z') {
    return static_cast<char>(letter - 'A' + 'a');
  }
  return letter >= 'a' && letter <= 'z' ? letter : 0;
}

bool EntryPath(char letter, std::string *path) {
  char l = NormalLetter(letter);
  if (l == 0) {
    errno = EINVAL;
    return false;
  }
  std::string prefix;
  if (!hostpaths::TrustedPrefix(&prefix)) {
    return false;
  }
  *path = prefix + "/drives/" + l + ":";
  return true;
}

}  // namespace

uint32_t HostDrives_Mask(void) {
  std::string prefix;
  if (!hostpaths::TrustedPrefix(&prefix)) {
    return 0;
  }
  DIR *d = opendir((prefix + "/drives").c_str());
  if (d == nullptr) {
    return 0;
  }
  uint32_t mask = 0;
  while (struct dirent *e = readdir(d)) {
    const char *n = e->d_name;
    if (n[0] >= 'a' && n[0] <= 'z' && n[1] == ':' && n[2] == '\0') {
      mask |= 1u << (n[0] - 'a');
    }
  }
  closedir(d);
  errno = 0;
  return mask;
}

char *HostDrives_EntryPath(char letter) {
  std::string path;
  if (!EntryPath(letter, &path)) {
    return nullptr;
  }
  char *p = strdup(path.c_str());
  if (p == nullptr) {
    errno = ENOMEM;
  }
  return p;
}

int HostDrives_CreateLink(char letter, const char *target) {
  std::string path;
  if (target == nullptr || target[0] == '\0') {
    return EINVAL;
  }
  if (!EntryPath(letter, &path)) {
    return errno;
  }
  int rc = symlink(target, path.c_str()) == 0 ? 0 : errno;
  if (rc == ENOENT) {
    // The drive table itself was removed: it is made again, holding this
    // entry alone.
    std::string table = path.substr(0, path.rfind('/'));
    if (mkdir(table.c_str(), 0700) == 0 || errno == EEXIST) {
      rc = symlink(target, path.c_str()) == 0 ? 0 : errno;
    }
  }
  return rc;
}

int HostDrives_Remove(char letter) {
  std::string path;
  if (!EntryPath(letter, &path)) {
    return errno;
  }
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    return errno;
  }
  int rc = S_ISDIR(st.st_mode) ? rmdir(path.c_str()) : unlink(path.c_str());
  return rc == 0 ? 0 : errno;
}
