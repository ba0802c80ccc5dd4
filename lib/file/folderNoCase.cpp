// The names are kept sorted by their lower-cased form, then byte by byte:
// the names of one case-blind group are neighbours, and the one
// HostDir_FindNoCase takes when none is exact comes first among them. Two
// binary searches answer a look-up however the names were chosen, where a
// hash of names that someone else writes could be made to collide.
#include "file/folderNoCase.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "host/folderNames.h"
#include "host/lastError.h"
#include "host/lookup.h"
#include "host/text.h"

namespace {

// Below zero, zero or above as a sorts before, with or after b without
// regard to case.
int CompareNoCase(const char *a, const char *b) {
  for (;; a++, b++) {
    unsigned char ca = static_cast<unsigned char>(HostText_LowerAscii(*a));
    unsigned char cb = static_cast<unsigned char>(HostText_LowerAscii(*b));
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == '\0') return 0;
  }
}

bool Before(const char *a, const char *b) {
  int c = CompareNoCase(a, b);
  return c != 0 ? c < 0 : strcmp(a, b) < 0;
}

bool GroupBefore(const char *a, const char *b) { return CompareNoCase(a, b) < 0; }

std::string WithoutTrailingSlash(const char *folder) {
  size_t n = strlen(folder);
  if (n > 1 && folder[n - 1] == '/') n--;
  return std::string(folder, n);
}

}  // namespace

struct FolderNoCase {
  std::string folder;  // without a trailing "/"
  std::once_flag readOnce;
  bool usable = false;  // read whole, and sorted
  HostFolderNames list = {nullptr, 0, nullptr, 0};
  std::vector<const char *> sorted;
};

namespace {

void Read(FolderNoCase *names) {
  const char *path = names->folder.empty() ? "." : names->folder.c_str();
  if (!HostFs_ReadFolderNames(path, &names->list)) return;
  try {
    names->sorted.reserve(names->list.count);
    for (size_t i = 0; i < names->list.count; i++) {
      names->sorted.push_back(names->list.names[i].name);
    }
  } catch (const std::bad_alloc &) {
    return;
  }
  std::sort(names->sorted.begin(), names->sorted.end(), Before);
  names->usable = true;
}

}  // namespace

FolderNoCase *FolderNoCase_Create(const char *folder) {
  FolderNoCase *names = new FolderNoCase;
  names->folder = WithoutTrailingSlash(folder != nullptr ? folder : "");
  return names;
}

void FolderNoCase_Free(FolderNoCase *names) {
  if (names == nullptr) return;
  HostFs_FreeFolderNames(&names->list);
  delete names;
}

char *FolderNoCase_Find(FolderNoCase *names, const char *folder, const char *name) {
  // A listing has no "." or "..", and no name with a separator matches.
  bool listed = names != nullptr && folder != nullptr && name != nullptr && *name != '\0' &&
                strchr(name, '/') == nullptr && strcmp(name, ".") != 0 && strcmp(name, "..") != 0 &&
                names->folder == WithoutTrailingSlash(folder);
  if (listed) {
    std::call_once(names->readOnce, Read, names);
    listed = names->usable;
  }
  if (!listed) return HostDir_FindNoCase(folder, name);
  const std::vector<const char *> &sorted = names->sorted;
  auto exact = std::lower_bound(sorted.begin(), sorted.end(), name, Before);
  const char *found = exact != sorted.end() && strcmp(*exact, name) == 0 ? *exact : nullptr;
  if (found == nullptr) {
    auto first = std::lower_bound(sorted.begin(), sorted.end(), name, GroupBefore);
    if (first != sorted.end() && CompareNoCase(*first, name) == 0) found = *first;
  }
  if (found == nullptr) {
    Host_SetLastError(Host_ErrorCode(HOST_ERROR_NOT_FOUND));
    return nullptr;
  }
  char *copy = strdup(found);
  if (copy == nullptr) Host_SetLastError(Host_ErrorCode(HOST_ERROR_NO_MEMORY));
  return copy;
}
