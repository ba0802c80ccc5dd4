// The folder cache. A name the listing lacks may still be found (a file
// system that ignores case), a link may lead nowhere, and the first listed
// name is checked with the system as well, which shows whether the folder
// can be passed through at all: only the listing's "yes, a plain entry" is
// taken on trust. The disks of neighbouring snapshots are mostly the same
// files, so the last few answers are kept too.
#include "file/folderCache.h"

#include <cstring>
#include <string>
#include <string_view>

#include "file/file.h"
#include "host/folderNames.h"
#include "misc/hashTable.h"

namespace {

constexpr size_t kPathMax = 4096;
constexpr size_t kNameMax = 255;
constexpr int kMaxFolders = 8;
// Fewer lookups than this in a folder go to the system one by one.
constexpr int kListAfter = 32;
constexpr int kRecent = 4;

enum FolderState { kUnlisted, kListed, kVerified, kUnusable };

struct Folder {
  std::string path;
  int lookups = 0;
  FolderState state = kUnlisted;
  HostFolderNames list = {nullptr, 0, nullptr, 0};
  HashIndex names = {nullptr, 0, false};  // listing number + 1 by name
};

// Indexes a listing; false when memory ran out.
bool IndexNames(Folder *folder) {
  const HostFolderNames &list = folder->list;
  if (list.count >= HASHINDEX_MAX_SIZE / 2 || !HashIndex_Init(&folder->names, 16) ||
      !HashIndex_Reserve(&folder->names, list.count)) {
    return false;
  }
  for (size_t i = 0; i < list.count; i++) {
    const char *name = list.names[i].name;
    HashIndex_Place(&folder->names, HashTable_HashName(name, strlen(name)),
                    static_cast<uint32_t>(i + 1));
  }
  return true;
}

// The listed entry of that exact name, or NULL.
const HostFolderName *FindName(const Folder *folder, const char *leaf) {
  uint32_t hash = HashTable_HashName(leaf, strlen(leaf));
  uint32_t slot = HashIndex_Home(&folder->names, hash);
  for (uint32_t n; (n = HashIndex_Next(&folder->names, hash, &slot)) != 0;) {
    const HostFolderName *entry = &folder->list.names[n - 1];
    if (strcmp(entry->name, leaf) == 0) return entry;
  }
  return nullptr;
}

}  // namespace

struct FolderCache {
  Folder folders[kMaxFolders];
  int numFolders = 0;
  std::string recentPaths[kRecent];
  bool recentAnswers[kRecent] = {};
  bool recentIdKnown[kRecent] = {};
  HostFileId recentIds[kRecent] = {};
  int nextRecent = 0;
};

namespace {

// Returns the folder, listed once it is asked about often; NULL when no more
// folders are kept.
Folder *LookupFolder(FolderCache *cache, std::string_view path) {
  Folder *folder = nullptr;
  for (int i = 0; i < cache->numFolders && folder == nullptr; i++) {
    if (cache->folders[i].path == path) folder = &cache->folders[i];
  }
  if (folder == nullptr) {
    if (cache->numFolders == kMaxFolders) return nullptr;
    folder = &cache->folders[cache->numFolders++];
    folder->path = path;
  }
  if (folder->state == kUnlisted && ++folder->lookups > kListAfter) {
    bool listed = HostFs_ReadFolderNames(folder->path.c_str(), &folder->list);
    folder->state = listed && IndexNames(folder) ? kListed : kUnusable;
  }
  return folder;
}

// File_Exists, through a stat when the caller wants the identity as well: both
// fail alike.
bool Ask(const char *path, HostFileId *id, bool *idKnown) {
  if (id == nullptr) return File_Exists(path);
  *idKnown = HostFs_GetFileId(path, id);
  return *idKnown;
}

bool Look(FolderCache *cache, const char *path, HostFileId *id, bool *idKnown) {
  const char *slash = strrchr(path, '/');
  if (slash == nullptr || slash == path || strlen(path) >= kPathMax) return Ask(path, id, idKnown);
  const char *leaf = slash + 1;
  if (*leaf == '\0' || strcmp(leaf, ".") == 0 || strcmp(leaf, "..") == 0 ||
      strlen(leaf) > kNameMax) {
    return Ask(path, id, idKnown);
  }
  Folder *folder = LookupFolder(cache, std::string_view(path, static_cast<size_t>(slash - path)));
  if (folder == nullptr || folder->state == kUnlisted || folder->state == kUnusable) {
    return Ask(path, id, idKnown);
  }
  const HostFolderName *entry = FindName(folder, leaf);
  if (entry == nullptr || !entry->plain) return Ask(path, id, idKnown);
  if (folder->state == kListed) {
    bool exists = Ask(path, id, idKnown);
    folder->state = exists ? kVerified : kUnusable;
    return exists;
  }
  return true;
}

}  // namespace

FolderCache *FolderCache_Create(void) { return new FolderCache; }

void FolderCache_Free(FolderCache *cache) {
  if (cache == nullptr) return;
  for (int i = 0; i < cache->numFolders; i++) {
    HostFs_FreeFolderNames(&cache->folders[i].list);
    if (cache->folders[i].names.slots != nullptr) HashIndex_Destroy(&cache->folders[i].names);
  }
  delete cache;
}

bool FolderCache_Exists(FolderCache *cache, const char *path, HostFileId *id, bool *idKnown) {
  if (id != nullptr) *idKnown = false;
  if (cache == nullptr) return Ask(path, id, idKnown);
  for (int i = 0; i < kRecent; i++) {
    if (cache->recentPaths[i] == path) {
      if (id != nullptr && cache->recentIdKnown[i]) {
        *id = cache->recentIds[i];
        *idKnown = true;
      }
      return cache->recentAnswers[i];
    }
  }
  bool exists = Look(cache, path, id, idKnown);
  int n = cache->nextRecent;
  cache->recentPaths[n] = path;
  cache->recentAnswers[n] = exists;
  cache->recentIdKnown[n] = id != nullptr && *idKnown;
  if (cache->recentIdKnown[n]) cache->recentIds[n] = *id;
  cache->nextRecent = (n + 1) % kRecent;
  return exists;
}
