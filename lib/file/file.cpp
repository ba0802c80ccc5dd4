// Path handling for the library layer. Paths are split as text, accepting
// both "/" and "\" and the original platform's drive and UNC forms, because
// configuration files written elsewhere carry them; the file system itself is
// reached only through the host layer.
#include "file/file.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "file/folderCache.h"
#include "host/fs.h"
#include "misc/panic.h"
#include "user/log.h"

namespace {

bool IsSep(char c) { return c == '/' || c == '\\'; }

// Returns a malloc'd copy of s[0, n).
char *Substring(const char *s, size_t n) {
  char *r = static_cast<char *>(Util_SafeMalloc(n + 1));
  memcpy(r, s, n);
  r[n] = '\0';
  return r;
}

// Returns the malloc'd concatenation of up to five texts (NULLs are skipped).
char *Concat(const char *a, const char *b, const char *c = nullptr, const char *d = nullptr,
             const char *e = nullptr) {
  const char *parts[] = {a, b, c, d, e};
  size_t n = 0;
  for (const char *p : parts) {
    if (p != nullptr) n += strlen(p);
  }
  char *r = static_cast<char *>(Util_SafeMalloc(n + 1));
  r[0] = '\0';
  char *w = r;
  for (const char *p : parts) {
    if (p == nullptr) continue;
    size_t len = strlen(p);
    memcpy(w, p, len);
    w += len;
  }
  *w = '\0';
  return r;
}

// True when the full path of path is path itself: it starts at the root and
// has no empty, "." or ".." part. Such paths (the disks a search found, in
// their thousands) are copied instead of taken apart and joined again.
bool IsPlainFullPath(const char *path) {
  if (path[0] != '/') return false;
  const char *part = path + 1;
  for (;;) {
    const char *slash = strchr(part, '/');
    size_t n = slash != nullptr ? static_cast<size_t>(slash - part) : strlen(part);
    if (n == 0 || (part[0] == '.' && (n == 1 || (n == 2 && part[1] == '.')))) return false;
    if (slash == nullptr) return true;
    part = slash + 1;
  }
}

}  // namespace

char *File_FullPath(const char *path) {
  char *full = path == nullptr         ? nullptr
               : IsPlainFullPath(path) ? strdup(path)
                                       : HostFs_FullPath(path);
  if (full == nullptr) {
    Warning("File_FullPath: Couldn't _fullpath\n");
  }
  return full;
}

bool File_IsFullPath(const char *path) {
  if (path == nullptr) return false;
  if (path[0] == '/' || path[0] == '\\') return true;
  return isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' && path[2] == '\\';
}

bool File_Exists(const char *path) { return HostFs_Exists(path); }

void File_SplitName(const char *path, char **volume, char **directory, char **base) {
  size_t len = strlen(path);
  size_t volEnd = 0;
  if (len > 2 && ((path[0] == '/' && path[1] == '/') || (path[0] == '\\' && path[1] == '\\'))) {
    // UNC: "\\server\share" up to the separator after the share name.
    size_t i = 2;
    while (i < len && !IsSep(path[i])) i++;  // server
    if (i < len) i++;
    while (i < len && !IsSep(path[i])) i++;  // share
    volEnd = i;
  } else if (len >= 2 && path[1] == ':') {
    volEnd = 2;
  }
  size_t baseBegin = 0;
  for (size_t i = len; i > 0; i--) {
    if (IsSep(path[i - 1])) {
      baseBegin = i;
      break;
    }
  }
  if (baseBegin < volEnd) baseBegin = len;
  if (volume != nullptr) *volume = Substring(path, volEnd);
  if (directory != nullptr) *directory = Substring(path + volEnd, baseBegin - volEnd);
  if (base != nullptr) *base = Substring(path + baseBegin, len - baseBegin);
}

void File_GetPathName(const char *path, char **directory, char **base) {
  char *volume = nullptr;
  char *dir = nullptr;
  File_SplitName(path, &volume, &dir, base);
  if (directory != nullptr) {
    char *whole = Concat(volume, dir);
    size_t n = strlen(whole);
    if (n > 0 && IsSep(whole[n - 1])) whole[n - 1] = '\0';
    *directory = whole;
  }
  free(volume);
  free(dir);
}

bool File_IsSameFile(const char *path1, const char *path2) {
  if (path1 == nullptr || path2 == nullptr) return false;
  if (strcmp(path1, path2) == 0) return true;
  bool dir1 = false;
  bool dir2 = false;
  if (!HostFs_Stat(path1, &dir1) || !HostFs_Stat(path2, &dir2) || dir1 != dir2) {
    return false;
  }
  // Each spelling of a name gets an inode of its own on some case-blind file
  // systems: the one their folders list names the file.
  char *listed1 = HostFs_ListedSpelling(path1);
  char *listed2 = HostFs_ListedSpelling(path2);
  HostFileId id1;
  HostFileId id2;
  bool known = HostFs_GetFileId(listed1 != nullptr ? listed1 : path1, &id1) &&
               HostFs_GetFileId(listed2 != nullptr ? listed2 : path2, &id2);
  free(listed1);
  free(listed2);
  if (!known) {
    return false;
  }
  return id1.volumeSerial == id2.volumeSerial && id1.indexHigh == id2.indexHigh &&
         id1.indexLow == id2.indexLow;
}

bool File_IsWritableDir(const char *directory) {
  return directory != nullptr && HostFs_IsWritableDir(directory);
}

bool File_FindFileInSearchPath(const char *fileName, const char *searchPath, const char *baseDir,
                               char **result, FolderCache *cache, HostFileId *id, bool *idKnown) {
  if (id != nullptr) *idKnown = false;
  auto exists = [cache, id, idKnown](const char *path) {
    return FolderCache_Exists(cache, path, id, idKnown);
  };
  if (fileName == nullptr || baseDir == nullptr) return false;
  char *candidate =
      File_IsFullPath(fileName) ? Util_SafeStrdup(fileName) : Concat(baseDir, "/", fileName);
  bool found = exists(candidate);
  if (!found && searchPath != nullptr) {
    char *base = nullptr;
    File_SplitName(fileName, nullptr, nullptr, &base);
    const char *p = searchPath;
    while (!found && *p != '\0') {
      const char *end = strchr(p, ';');
      size_t n = end == nullptr ? strlen(p) : static_cast<size_t>(end - p);
      if (n > 0) {
        char *element = Substring(p, n);
        free(candidate);
        if (File_IsFullPath(element)) {
          candidate = Concat(element, "/", base);
        } else if (strcmp(element, ".") == 0) {
          candidate = Concat(baseDir, "/", base);
        } else {
          candidate = Concat(baseDir, "/", element, "/", base);
        }
        free(element);
        found = exists(candidate);
      }
      p += n;
      if (*p == ';') p++;
    }
    free(base);
  }
  if (found && result != nullptr) {
    *result = File_FullPath(candidate);
    found = *result != nullptr;
    // The identity is of the name looked at; the full path may be spelt
    // otherwise and then name another file.
    if (id != nullptr && (!found || strcmp(*result, candidate) != 0)) *idKnown = false;
  }
  free(candidate);
  return found;
}
