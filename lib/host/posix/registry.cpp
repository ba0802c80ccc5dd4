// The registry as folders and small files below <prefix>/registry/HKLM.
// Lookups try the exact spelling first and then scan the folder without
// regard to ASCII case, so names keep the spelling they were created with.
// A value file is written whole under a temporary name and renamed over the
// old one: readers see the old value or the new one, never a mix. Only what
// the running user made counts: in a prefix that cannot be trusted, and for
// a key or value that is a link, belongs to someone else or can be written
// by others, every call fails with EPERM, so nobody can name the executable
// that activation starts for another user.
#include "host/registry.h"

#include "host/stateFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "hostPaths.h"

namespace {

const size_t kMaxValueFile = 1 << 20;

// Case folding of ASCII letters only, whatever the locale says.
bool SameName(const char *a, const char *b) {
  for (; *a != '\0' && *b != '\0'; a++, b++) {
    char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a - 'A' + 'a') : *a;
    char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b - 'A' + 'a') : *b;
    if (x != y) {
      return false;
    }
  }
  return *a == *b;
}

bool ValidName(const std::string &name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.compare(0, 2, ".#") != 0;
}

// A key is a folder, a value a regular file; links are neither.
bool IsKind(const struct stat &st, bool wantDir) {
  return wantDir ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
}

// Returns 0 when the entry was made by the running user and nobody else can
// change it, else EPERM.
int Judge(const struct stat &st) {
  return st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 ? 0 : EPERM;
}

// Finds the entry of dir whose name matches name without regard to case and
// whose kind (key or value) is wanted. Returns 0 and its real name, ENOENT,
// EPERM for an entry that cannot be trusted, or another error.
int FindEntry(const std::string &dir, const std::string &name, bool wantDir, std::string *found) {
  struct stat st;
  if (lstat((dir + "/" + name).c_str(), &st) == 0 && IsKind(st, wantDir)) {
    *found = name;
    return Judge(st);
  }
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) {
    return errno;
  }
  int rc = ENOENT;
  while (struct dirent *e = readdir(d)) {
    if (!SameName(e->d_name, name.c_str()) || !ValidName(e->d_name)) {
      continue;
    }
    if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && IsKind(st, wantDir)) {
      *found = e->d_name;
      rc = Judge(st);
      break;
    }
  }
  closedir(d);
  return rc;
}

// Resolves subKey below hklm into *dir, creating missing keys when create is
// set. Empty components (doubled or trailing backslashes) are skipped.
int ResolveKey(const std::string &hklm, const char *subKey, bool create, std::string *dir) {
  if (subKey == nullptr) {
    return EINVAL;
  }
  struct stat st;
  if (lstat(hklm.c_str(), &st) != 0) {
    return errno;
  }
  if (!S_ISDIR(st.st_mode)) {
    return S_ISLNK(st.st_mode) ? EPERM : ENOTDIR;
  }
  if (Judge(st) != 0) {
    return EPERM;
  }
  std::vector<std::string> comps;
  for (const char *p = subKey; *p != '\0';) {
    const char *end = strchr(p, '\\');
    std::string comp = end ? std::string(p, end) : std::string(p);
    p = end ? end + 1 : p + comp.size();
    if (comp.empty()) {
      continue;
    }
    // Checked before anything is created, so a bad path leaves no trace.
    if (!ValidName(comp)) {
      return EINVAL;
    }
    comps.push_back(comp);
  }
  std::string path = hklm;
  for (const std::string &comp : comps) {
    std::string real;
    int rc = FindEntry(path, comp, true, &real);
    if (rc == ENOENT && create) {
      if (mkdir((path + "/" + comp).c_str(), 0700) == 0) {
        real = comp;
        rc = 0;
      } else if (errno == EEXIST) {
        // Created meanwhile by another writer, or a value of that name.
        rc = FindEntry(path, comp, true, &real);
        if (rc == ENOENT) {
          rc = ENOTDIR;
        }
      } else {
        rc = errno;
      }
    }
    if (rc != 0) {
      return rc;
    }
    path += "/" + real;
  }
  *dir = path;
  return 0;
}

bool HklmPath(std::string *hklm) {
  std::string prefix;
  if (!hostpaths::TrustedPrefix(&prefix)) {
    return false;
  }
  *hklm = prefix + "/registry/HKLM";
  return true;
}

const char *TypeName(HostRegType type) {
  switch (type) {
    case HOSTREG_SZ:
      return "REG_SZ";
    case HOSTREG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case HOSTREG_DWORD:
      return "REG_DWORD";
  }
  return nullptr;
}

int ReadFileText(const std::string &path, std::string *out) {
  char *data = nullptr;
  size_t length = 0;
  int rc = HostState_ReadFile(path.c_str(), kMaxValueFile, &data, &length);
  if (rc == 0) {
    out->assign(data, length);
    free(data);
  }
  return rc;
}

int SetValueAt(const std::string &hklm, const char *subKey, const char *name,
               const std::string &content) {
  if (name == nullptr || !ValidName(name)) {
    return EINVAL;
  }
  std::string dir;
  int rc = ResolveKey(hklm, subKey, false, &dir);
  if (rc != 0) {
    return rc;
  }
  std::string real;
  rc = FindEntry(dir, name, false, &real);
  if (rc == ENOENT) {
    real = name;
  } else if (rc != 0) {
    return rc;
  }
  // Every program that reports an event sets its source's values again: a
  // rewrite of the same text would cost two flushes each time, and a writer
  // killed meanwhile leaves its temporary file behind for good.
  std::string now;
  if (rc == 0 && ReadFileText(dir + "/" + real, &now) == 0 && now == content) {
    return 0;
  }
  // The temporary file's ".#" name is reserved, so lookups never see it.
  return HostState_WriteFile((dir + "/" + real).c_str(), content.data(), content.size());
}

// The file of an existing value. Returns 0 or an errno value.
int FindValueFile(const char *subKey, const char *name, std::string *path) {
  std::string hklm, dir, real;
  if (!HklmPath(&hklm)) {
    return errno;
  }
  if (name == nullptr || !ValidName(name)) {
    return EINVAL;
  }
  int rc = ResolveKey(hklm, subKey, false, &dir);
  if (rc == 0) {
    rc = FindEntry(dir, name, false, &real);
  }
  if (rc == 0) {
    *path = dir + "/" + real;
  }
  return rc;
}

bool ParseDword(const std::string &s, uint32_t *value) {
  // Digits only (from_chars alone would take a leading "-"), ten at most.
  if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  return std::from_chars(s.data(), s.data() + s.size(), *value).ec == std::errc();
}

}  // namespace

int hostpaths::RegCreateKeyAt(const std::string &hklm, const char *subKey) {
  std::string dir;
  return ResolveKey(hklm, subKey, true, &dir);
}

int hostpaths::RegSetStringAt(const std::string &hklm, const char *subKey, const char *name,
                              HostRegType type, const char *text) {
  if ((type != HOSTREG_SZ && type != HOSTREG_EXPAND_SZ) || text == nullptr) {
    return EINVAL;
  }
  return SetValueAt(hklm, subKey, name, std::string(TypeName(type)) + "\n" + text + "\n");
}

int hostpaths::RegSetDwordAt(const std::string &hklm, const char *subKey, const char *name,
                             uint32_t value) {
  return SetValueAt(hklm, subKey, name, "REG_DWORD\n" + std::to_string(value) + "\n");
}

int HostRegistry_CreateKey(const char *subKey) {
  std::string hklm;
  return HklmPath(&hklm) ? hostpaths::RegCreateKeyAt(hklm, subKey) : errno;
}

int HostRegistry_KeyExists(const char *subKey) {
  std::string hklm, dir;
  return HklmPath(&hklm) ? ResolveKey(hklm, subKey, false, &dir) : errno;
}

int HostRegistry_SetString(const char *subKey, const char *name, HostRegType type,
                           const char *text) {
  std::string hklm;
  return HklmPath(&hklm) ? hostpaths::RegSetStringAt(hklm, subKey, name, type, text) : errno;
}

int HostRegistry_SetDword(const char *subKey, const char *name, uint32_t value) {
  std::string hklm;
  return HklmPath(&hklm) ? hostpaths::RegSetDwordAt(hklm, subKey, name, value) : errno;
}

int HostRegistry_QueryValue(const char *subKey, const char *name, HostRegType *type, char **text,
                            uint32_t *dword) {
  std::string path, content;
  int rc = FindValueFile(subKey, name, &path);
  if (rc == 0) {
    rc = ReadFileText(path, &content);
  }
  if (rc != 0) {
    return rc;
  }
  size_t nl = content.find('\n');
  if (nl == std::string::npos) {
    return EINVAL;
  }
  std::string typeName = content.substr(0, nl);
  std::string data = content.substr(nl + 1);
  if (!data.empty() && data.back() == '\n') {
    data.pop_back();
  }
  HostRegType t;
  uint32_t d = 0;
  if (typeName == "REG_SZ") {
    t = HOSTREG_SZ;
  } else if (typeName == "REG_EXPAND_SZ") {
    t = HOSTREG_EXPAND_SZ;
  } else if (typeName == "REG_DWORD" && ParseDword(data, &d)) {
    t = HOSTREG_DWORD;
  } else {
    return EINVAL;
  }
  if (text != nullptr) {
    *text = nullptr;
    if (t != HOSTREG_DWORD) {
      *text = strdup(data.c_str());
      if (*text == nullptr) {
        return ENOMEM;
      }
    }
  }
  if (dword != nullptr) {
    *dword = d;
  }
  if (type != nullptr) {
    *type = t;
  }
  return 0;
}

int HostRegistry_DeleteValue(const char *subKey, const char *name) {
  std::string path;
  int rc = FindValueFile(subKey, name, &path);
  if (rc == 0 && unlink(path.c_str()) != 0) {
    rc = errno;
  }
  return rc;
}

int HostRegistry_DeleteKey(const char *subKey) {
  std::string hklm, dir;
  if (!HklmPath(&hklm)) {
    return errno;
  }
  int rc = ResolveKey(hklm, subKey, false, &dir);
  if (rc != 0) {
    return rc;
  }
  if (dir == hklm) {
    return EINVAL;
  }
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) {
    return errno;
  }
  // Refuse before touching anything, so a refused delete loses no value.
  struct stat st;
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0 &&
        fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) {
      closedir(d);
      return ENOTEMPTY;
    }
  }
  rewinddir(d);
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0 &&
        unlinkat(dirfd(d), e->d_name, 0) != 0 && errno != ENOENT) {
      rc = errno;
      break;
    }
  }
  closedir(d);
  if (rc == 0 && rmdir(dir.c_str()) != 0) {
    rc = errno;
  }
  return rc;
}
