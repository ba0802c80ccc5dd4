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
#include <unordered_map>

#include "file/file.h"
#include "host/folderNames.h"

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
  // Name (in the listing's region) to whether it is plain.
  std::unordered_map<std::string_view, bool> names;
};

}  // namespace

struct FolderCache {
  Folder folders[kMaxFolders];
  int numFolders = 0;
  std::string recentPaths[kRecent];
  bool recentAnswers[kRecent] = {};
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
    folder->state = kUnusable;
    if (HostFs_ReadFolderNames(folder->path.c_str(), &folder->list)) {
      folder->names.reserve(folder->list.count);
      for (size_t i = 0; i < folder->list.count; i++) {
        folder->names.emplace(folder->list.names[i].name, folder->list.names[i].plain);
      }
      folder->state = kListed;
    }
  }
  return folder;
}

bool Look(FolderCache *cache, const char *path) {
  const char *slash = strrchr(path, '/');
  if (slash == nullptr || slash == path || strlen(path) >= kPathMax) return File_Exists(path);
  const char *leaf = slash + 1;
  if (*leaf == '\0' || strcmp(leaf, ".") == 0 || strcmp(leaf, "..") == 0 ||
      strlen(leaf) > kNameMax) {
    return File_Exists(path);
  }
  Folder *folder = LookupFolder(cache, std::string_view(path, static_cast<size_t>(slash - path)));
  if (folder == nullptr || folder->state == kUnlisted || folder->state == kUnusable) {
    return File_Exists(path);
  }
  auto it = folder->names.find(leaf);
  if (it == folder->names.end() || !it->second) return File_Exists(path);
  if (folder->state == kListed) {
    bool exists = File_Exists(path);
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
  }
  delete cache;
}

bool FolderCache_Exists(FolderCache *cache, const char *path) {
  for (int i = 0; i < kRecent; i++) {
    if (cache->recentPaths[i] == path) return cache->recentAnswers[i];
  }
  bool exists = Look(cache, path);
  cache->recentPaths[cache->nextRecent] = path;
  cache->recentAnswers[cache->nextRecent] = exists;
  cache->nextRecent = (cache->nextRecent + 1) % kRecent;
  return exists;
}
