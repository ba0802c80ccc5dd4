// Folder listings from the entry types the file system keeps in the folder
// itself, so that a listing costs a handful of system calls however many
// entries it has. The names are packed into one large region, the array of
// them is put behind the names at the end: a listing of tens of thousands of
// names is then a few large pages rather than a heap block of as many small
// pages, each of which costs a page fault on first touch.
#include "host/folderNames.h"

#include <dirent.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "host/memory.h"

namespace {

struct Packing {
  char *base;
  size_t used;
  size_t size;
};

// Makes room for more bytes, moving the packing to a larger region.
bool Reserve(Packing *p, size_t more) {
  if (p->size - p->used >= more) {
    return true;
  }
  size_t size = p->size == 0 ? HOSTMEM_LARGE_PAGE : p->size;
  while (size - p->used < more) {
    if (size > SIZE_MAX / 4) {
      errno = ENOMEM;
      return false;
    }
    size *= 2;
  }
  char *base = static_cast<char *>(HostMem_MapLarge(size));
  if (base == nullptr) {
    return false;
  }
  if (p->used > 0) {
    memcpy(base, p->base, p->used);
  }
  HostMem_UnmapLarge(p->base, p->size);
  p->base = base;
  p->size = size;
  return true;
}

}  // namespace

bool HostFs_ReadFolderNames(const char *path, HostFolderNames *out) {
  *out = HostFolderNames{nullptr, 0, nullptr, 0};
  DIR *dir = path != nullptr ? opendir(path) : nullptr;
  if (dir == nullptr) {
    if (path == nullptr) errno = EINVAL;
    return false;
  }
  Packing p = {nullptr, 0, 0};
  size_t count = 0;
  bool ok = true;
  for (;;) {
    errno = 0;
    struct dirent *e = readdir(dir);
    if (e == nullptr) {
      ok = errno == 0;
      break;
    }
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) {
      continue;
    }
    size_t length = strlen(e->d_name);
    if (!Reserve(&p, length + 2)) {
      ok = false;
      break;
    }
    // A kind byte, then the name.
    p.base[p.used++] = e->d_type != DT_LNK && e->d_type != DT_UNKNOWN ? 'p' : 'l';
    memcpy(p.base + p.used, e->d_name, length + 1);
    p.used += length + 1;
    count++;
  }
  int error = errno;
  closedir(dir);
  size_t arrayAt = (p.used + alignof(HostFolderName) - 1) & ~(alignof(HostFolderName) - 1);
  if (ok && !Reserve(&p, arrayAt - p.used + (count + 1) * sizeof(HostFolderName))) {
    error = errno;
    ok = false;
  }
  if (!ok) {
    HostMem_UnmapLarge(p.base, p.size);
    errno = error;
    return false;
  }
  HostFolderName *names = reinterpret_cast<HostFolderName *>(p.base + arrayAt);
  for (size_t i = 0, at = 0; i < count; i++) {
    names[i].plain = p.base[at] == 'p';
    names[i].name = p.base + at + 1;
    at += 1 + strlen(p.base + at + 1) + 1;
  }
  *out = HostFolderNames{names, count, p.base, p.size};
  return true;
}

void HostFs_FreeFolderNames(HostFolderNames *list) {
  HostMem_UnmapLarge(list->region, list->regionSize);
  *list = HostFolderNames{nullptr, 0, nullptr, 0};
}
