// Reading a virtual machine's configuration file and snapshot database into a
// SnapshotConfigInfo: the version gate, the paths, the single keys, the
// snapshot tree, the disks of the current state, and the expansion of every
// file name to a full path. Diagnostics go to Log (which writes nothing here)
// except the dictionary load failures, which are shown with Warning.
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "file/file.h"
#include "file/fileIO.h"
#include "host/folderNames.h"
#include "host/text.h"
#include "misc/panic.h"
#include "snapshot/snapshot.h"
#include "string/str.h"
#include "user/dictionary.h"
#include "user/log.h"

namespace {

const int kDictLoadFlags = 18;

// Counts (snapshots, disks, list items) are trusted only while their sum stays
// within the entries a file defines plus this allowance: a real item always
// has at least one key of its own, and the allowance covers items that may
// legitimately be absent (the most-recently-used uids). A file that claims
// more cannot be describing real items and would otherwise make the reader
// allocate and read without bound.
const int64_t kCountAllowance = 64;

const char *const kDiskDeviceTypes[] = {"disk", "scsi-hardDisk", "ata-hardDisk", "plaindisk",
                                        "rawdisk"};
const char *const kDiskModes[] = {"persistent", "independent-persistent",
                                  "independent-nonpersistent"};

SnapshotError MakeError(SnapshotErrorCode code, uint32_t extra = 0) {
  SnapshotError err;
  err.type = code;
  err.extra = extra;
  return err;
}

bool IsError(SnapshotError err) { return err.type != SNAPSHOT_SUCCESS; }

char *Strdup(const char *s) { return Util_SafeStrdup(s); }

// The string-read rule on top of Dict_GetString: a value that is present but
// empty reads as the default (a fresh copy); an empty default reads as none.
char *EmptyAsDefault(char *value, const char *defaultValue) {
  if (value != nullptr && value[0] == '\0') {
    free(value);
    value = (defaultValue != nullptr && defaultValue[0] != '\0') ? Strdup(defaultValue) : nullptr;
  }
  return value;
}

// A macro rather than a function so that the name is formatted only once.
#define READ_STRING(dict, defaultValue, ...) \
  EmptyAsDefault(Dict_GetString((dict), (defaultValue), __VA_ARGS__), (defaultValue))

// Bounds the sum of the counts read from one file (see kCountAllowance).
struct CountBudget {
  int64_t remaining;
  const char *path;
};

void BudgetInit(CountBudget *budget, const Dictionary *dict, const char *path) {
  int64_t entries = 0;
  for (const DictEntry *e = dict->firstEntry; e != nullptr; e = e->next) {
    entries++;
  }
  budget->remaining = entries + kCountAllowance;
  budget->path = path;
}

// Returns false (after logging) when count exceeds what is left.
bool BudgetTake(CountBudget *budget, int32_t count, const char *key) {
  if (count <= 0) {
    return true;
  }
  if (count > budget->remaining) {
    Log("SNAPSHOT: Count %d of '%s' exceeds the entries of '%s'.\n", count, key, budget->path);
    return false;
  }
  budget->remaining -= count;
  return true;
}

// Reads a list: the count key and the items itemKey0, itemKey1, ...
// itemKey is a prefix that already holds any snapshot index.
bool ReadList(Dictionary *dict, CountBudget *budget, const char *countKey, const char *itemKey,
              SnapshotStringList *list) {
  int32_t count = Dict_GetInt(dict, 0, "%s", countKey);
  if (!BudgetTake(budget, count, countKey)) {
    return false;
  }
  if (count <= 0) {
    return true;
  }
  list->items = static_cast<char **>(Util_SafeMalloc(sizeof(char *) * count));
  list->count = count;
  for (int32_t i = 0; i < count; i++) {
    list->items[i] = READ_STRING(dict, nullptr, "%s%d", itemKey, i);
  }
  return true;
}

void FreeList(SnapshotStringList *list) {
  for (int i = 0; i < list->count; i++) {
    free(list->items[i]);
  }
  free(list->items);
  list->items = nullptr;
  list->count = 0;
}

SnapshotNode *NewNode(void) {
  SnapshotNode *node = static_cast<SnapshotNode *>(Util_SafeMalloc(sizeof(SnapshotNode)));
  memset(node, 0, sizeof *node);
  return node;
}

void AppendDisk(SnapshotNode *node, char *nodeName, char *fileName, int mode) {
  node->disks = static_cast<SnapshotDisk *>(
      Util_SafeRealloc(node->disks, sizeof(SnapshotDisk) * (node->numDisks + 1)));
  SnapshotDisk *disk = &node->disks[node->numDisks++];
  disk->node = nodeName;
  disk->fileName = fileName;
  disk->mode = mode;
}

void FreeNode(SnapshotNode *node) {
  free(node->fileName);
  free(node->displayName);
  free(node->description);
  for (int i = 0; i < node->numDisks; i++) {
    free(node->disks[i].node);
    free(node->disks[i].fileName);
  }
  free(node->disks);
  FreeList(&node->clones);
  free(node);
}

// Children keep the order they were read in. The parent remembers its last
// child: a machine with thousands of snapshots of one parent must not walk
// the sibling chain for each.
void AppendChild(SnapshotNode *parent, SnapshotNode *node) {
  node->parent = parent;
  if (parent->child == nullptr) {
    parent->child = node;
  } else {
    parent->lastChild->sibling = node;
  }
  parent->lastChild = node;
}

// Finds a parent by uid without walking the tree for each snapshot. A uid
// held by one node only answers from the table; the root's uid always means
// the root (it comes first in walk order); a uid held by several nodes falls
// back to the walk, because which of them comes first in walk order depends
// on where each was attached, not on the order they were read in. A new node
// is a leaf and never reorders the nodes already there, so the walk's answer
// for a uid stays valid until another node of that uid arrives.
class UidIndex {
 public:
  explicit UidIndex(int32_t expected) {
    size_t want = 16;
    while (want < 2 * static_cast<size_t>(expected > 0 ? expected : 0) + 2) {
      want *= 2;
    }
    mask_ = want - 1;
    slots_ = static_cast<Slot *>(Util_SafeMalloc(sizeof(Slot) * want));
    memset(slots_, 0, sizeof(Slot) * want);
  }
  ~UidIndex() { free(slots_); }
  UidIndex(const UidIndex &) = delete;
  UidIndex &operator=(const UidIndex &) = delete;

  void Add(SnapshotNode *node) {
    if (count_ + 1 > (mask_ + 1) / 2) {
      Grow();
    }
    Slot *slot = Probe(node->uid);
    if (slot->node != nullptr) {
      slot->settled = false;
      return;
    }
    slot->uid = node->uid;
    slot->node = node;
    slot->settled = true;
    count_++;
  }

  SnapshotNode *Find(SnapshotNode *root, int32_t uid) {
    if (uid == root->uid) {
      return root;
    }
    Slot *slot = Probe(uid);
    if (slot->node != nullptr && !slot->settled) {
      slot->node = SnapshotTreeFind(root, uid);
      slot->settled = true;
    }
    return slot->node;
  }

 private:
  struct Slot {
    SnapshotNode *node;  // NULL: free; else the answer when settled
    int32_t uid;
    bool settled;  // false: a node of this uid arrived since node was found
  };

  static size_t Hash(int32_t uid) {
    uint32_t h = static_cast<uint32_t>(uid) * 2654435761u;
    return h ^ (h >> 15);
  }

  Slot *Probe(int32_t uid) const {
    size_t i = Hash(uid) & mask_;
    while (slots_[i].node != nullptr && slots_[i].uid != uid) {
      i = (i + 1) & mask_;
    }
    return &slots_[i];
  }

  void Grow() {
    Slot *old = slots_;
    size_t oldSize = mask_ + 1;
    mask_ = oldSize * 2 - 1;
    slots_ = static_cast<Slot *>(Util_SafeMalloc(sizeof(Slot) * (mask_ + 1)));
    memset(slots_, 0, sizeof(Slot) * (mask_ + 1));
    for (size_t i = 0; i < oldSize; i++) {
      if (old[i].node != nullptr) {
        *Probe(old[i].uid) = old[i];
      }
    }
    free(old);
  }

  Slot *slots_ = nullptr;
  size_t mask_ = 0;
  size_t count_ = 0;
};

// The working folder goes in front of the search path, and its first
// later occurrence (an element equal to it byte for byte) is dropped.
char *PrependWorkingDir(const char *workingDir, const char *searchPath) {
  char *joined = Str_Asprintf(nullptr, "%s;%s", workingDir, searchPath);
  if (joined == nullptr) {
    PANIC_MEM_ALLOC();
  }
  size_t wdLen = strlen(workingDir);
  char *element = joined + wdLen + 1;
  for (;;) {
    char *end = strchr(element, ';');
    size_t len = end != nullptr ? static_cast<size_t>(end - element) : strlen(element);
    if (len == wdLen && memcmp(element, workingDir, wdLen) == 0) {
      // Remove the element together with the ";" before it.
      memmove(element - 1, element + len, strlen(element + len) + 1);
      break;
    }
    if (end == nullptr) {
      break;
    }
    element = end + 1;
  }
  return joined;
}

// The database is named after the configuration file, whose ".bxx"
// or ".cfg" extension (exactly, case-sensitively) is dropped.
char *BaseNameOf(const char *fileName) {
  char *base = Strdup(fileName);
  char *dot = strrchr(base, '.');
  if (dot != nullptr && (strcmp(dot, ".bxx") == 0 || strcmp(dot, ".cfg") == 0)) {
    *dot = '\0';
  }
  return base;
}

// "<device>.<field>" in key; every configuration asks for dozens of these,
// and formatting each was a good part of its read.
const char *DeviceKey(char (&key)[48], const char *device, const char *field) {
  size_t d = strlen(device);
  size_t f = strlen(field);
  VERIFY(d + 1 + f < sizeof key);
  memcpy(key, device, d);
  key[d] = '.';
  memcpy(key + d + 1, field, f + 1);
  return key;
}

// One device of the configuration: a disk of the current state when it is a
// present hard disk with a file.
SnapshotError ReadDevice(SnapshotConfigInfo *info, const char *device) {
  Dictionary *cfg = info->configDict;
  char key[48];
  if (!Dict_GetBool(cfg, false, "%s", DeviceKey(key, device, "present"))) {
    return MakeError(SNAPSHOT_SUCCESS);
  }
  char *deviceType = READ_STRING(cfg, "disk", "%s", DeviceKey(key, device, "deviceType"));
  bool isDisk = false;
  for (const char *t : kDiskDeviceTypes) {
    if (HostText_EqualNoCase(deviceType, t)) {
      isDisk = true;
    }
  }
  free(deviceType);
  if (!isDisk) {
    return MakeError(SNAPSHOT_SUCCESS);
  }
  char *fileName = READ_STRING(cfg, nullptr, "%s", DeviceKey(key, device, "fileName"));
  if (fileName == nullptr) {
    return MakeError(SNAPSHOT_SUCCESS);
  }
  char *modeText = READ_STRING(cfg, "persistent", "%s", DeviceKey(key, device, "mode"));
  int mode = -1;
  for (int m = 0; m < 3; m++) {
    if (HostText_EqualNoCase(modeText, kDiskModes[m])) {
      mode = m;
    }
  }
  if (mode < 0) {
    Log("SNAPSHOT: Illegal mode for '%s': %s.\n", fileName, modeText);
    free(fileName);
    free(modeText);
    return MakeError(SNAPSHOT_CONFIG);
  }
  free(modeText);
  AppendDisk(info->currentState, Strdup(device), fileName, mode);
  return MakeError(SNAPSHOT_SUCCESS);
}

SnapshotError ReadCurrentStateDisks(SnapshotConfigInfo *info) {
  static const char *const kIdeDevices[] = {"ide0:0", "ide0:1", "ide1:0", "ide1:1"};
  for (const char *device : kIdeDevices) {
    SnapshotError err = ReadDevice(info, device);
    if (IsError(err)) {
      return err;
    }
  }
  for (int n = 0; n < 4; n++) {
    char device[16] = {'s', 'c', 's', 'i', static_cast<char>('0' + n)};
    char key[48];
    if (!Dict_GetBool(info->configDict, false, "%s", DeviceKey(key, device, "present"))) {
      continue;
    }
    for (int m = 0; m < 16; m++) {
      // "scsi<n>:<m>"
      device[5] = ':';
      device[6] = static_cast<char>(m < 10 ? '0' + m : '1');
      device[7] = static_cast<char>(m < 10 ? '\0' : '0' + m - 10);
      device[8] = '\0';
      SnapshotError err = ReadDevice(info, device);
      if (IsError(err)) {
        return err;
      }
    }
  }
  return MakeError(SNAPSHOT_SUCCESS);
}

// The keys of one snapshot (or disk) share their start: it is formatted once
// and each key's last part copied after it. A database of thousands of
// snapshots is read through hundreds of thousands of keys, and formatting
// each from scratch was a good part of the read.
struct SnapshotKey {
  char text[96];
  size_t start;  // length of the shared start
};

__attribute__((format(printf, 2, 3))) void KeyStart(SnapshotKey *key, const char *fmt, ...) {
  va_list args;
  va_start(args, fmt);
  int n = Str_Vsnprintf(key->text, sizeof key->text, fmt, args);
  va_end(args);
  key->start = n > 0 ? strlen(key->text) : 0;
}

// The start followed by last; valid until the next call. The parts are
// short and fixed, so the whole key always fits.
const char *KeyWith(SnapshotKey *key, const char *last) {
  size_t n = strlen(last);
  VERIFY(key->start + n < sizeof key->text);
  memcpy(key->text + key->start, last, n + 1);
  return key->text;
}

// Snapshot i, attached as the last child of its parent.
SnapshotError ReadSnapshot(SnapshotConfigInfo *info, CountBudget *budget, UidIndex *index,
                           int32_t i) {
  Dictionary *db = info->snapshotDict;
  SnapshotKey key;
  KeyStart(&key, "snapshot%d.", i);
  int32_t parentUid = Dict_GetInt(db, 0, "%s", KeyWith(&key, "parent"));
  SnapshotNode *parent = index->Find(info->root, parentUid);
  if (parent == nullptr) {
    // A child listed before its parent, or a parent that does not exist.
    Log("SNAPSHOT: Parent %d of snapshot %d not found.\n", parentUid, i);
    return MakeError(SNAPSHOT_INCONSISTENT);
  }
  SnapshotNode *node = NewNode();
  AppendChild(parent, node);

  node->uid = Dict_GetInt(db, 0, "%s", KeyWith(&key, "uid"));
  node->fileName = READ_STRING(db, nullptr, "%s", KeyWith(&key, "filename"));
  node->displayName = READ_STRING(db, nullptr, "%s", KeyWith(&key, "displayName"));
  node->description = READ_STRING(db, nullptr, "%s", KeyWith(&key, "description"));
  uint32_t high = static_cast<uint32_t>(Dict_GetInt(db, 0, "%s", KeyWith(&key, "createTimeHigh")));
  uint32_t low = static_cast<uint32_t>(Dict_GetInt(db, 0, "%s", KeyWith(&key, "createTimeLow")));
  node->createTime = (static_cast<uint64_t>(high) << 32) | low;
  node->type = Dict_GetInt(db, 0, "%s", KeyWith(&key, "type"));
  index->Add(node);

  char countKey[64];
  char itemKey[64];
  Str_Snprintf(countKey, sizeof countKey, "snapshot%d.numClones", i);
  Str_Snprintf(itemKey, sizeof itemKey, "snapshot%d.clone", i);
  if (!ReadList(db, budget, countKey, itemKey, &node->clones)) {
    return MakeError(SNAPSHOT_INCONSISTENT);
  }

  const char *numDisksKey = KeyWith(&key, "numDisks");
  int32_t numDisks = Dict_GetInt(db, 0, "%s", numDisksKey);
  if (!BudgetTake(budget, numDisks, numDisksKey)) {
    return MakeError(SNAPSHOT_INCONSISTENT);
  }
  if (numDisks > 0) {
    node->disks = static_cast<SnapshotDisk *>(Util_SafeMalloc(sizeof(SnapshotDisk) * numDisks));
    for (int32_t j = 0; j < numDisks; j++) {
      SnapshotKey diskKey;
      KeyStart(&diskKey, "snapshot%d.disk%d.", i, j);
      SnapshotDisk *disk = &node->disks[j];
      disk->fileName = READ_STRING(db, nullptr, "%s", KeyWith(&diskKey, "fileName"));
      disk->node = READ_STRING(db, nullptr, "%s", KeyWith(&diskKey, "node"));
      disk->mode = Dict_GetInt(db, 0, "%s", KeyWith(&diskKey, "mode"));
      node->numDisks = j + 1;
    }
  }
  return MakeError(SNAPSHOT_SUCCESS);
}

SnapshotError ReadTree(SnapshotConfigInfo *info, CountBudget *budget) {
  int32_t numSnapshots = Dict_GetInt(info->snapshotDict, 0, "snapshot.numSnapshots");
  if (!BudgetTake(budget, numSnapshots, "snapshot.numSnapshots")) {
    return MakeError(SNAPSHOT_INCONSISTENT);
  }
  UidIndex index(numSnapshots);
  for (int32_t i = 0; i < numSnapshots; i++) {
    SnapshotError err = ReadSnapshot(info, budget, &index, i);
    if (IsError(err)) {
      return err;
    }
  }
  int32_t current = Dict_GetInt(info->snapshotDict, 0, "snapshot.current");
  info->currentSnapshot = index.Find(info->root, current);
  return MakeError(SNAPSHOT_SUCCESS);
}

SnapshotConfigInfo *NewInfo(SnapshotLockMode lockMode) {
  SnapshotConfigInfo *info =
      static_cast<SnapshotConfigInfo *>(Util_SafeMalloc(sizeof(SnapshotConfigInfo)));
  memset(info, 0, sizeof *info);
  info->lockMode = lockMode;
  FileIO_Invalidate(&info->configFd);
  FileIO_Invalidate(&info->databaseFd);
  return info;
}

// Everything of a read but its cleanup: the caller logs a failure and frees the info.
SnapshotError ReadInfo(SnapshotConfigInfo *info, const char *configPath,
                       const SnapshotConfigText *text) {
  // A text in hand was read from the file: it exists.
  if (text == nullptr && !File_Exists(configPath)) {
    Log("SNAPSHOT:ConfigInfoRead: File %s doesn't exist.\n", configPath);
    return MakeError(SNAPSHOT_NOTFOUND);
  }
  if (info->lockMode == SNAPSHOT_LOCK_WRITE &&
      FileIO_Open(&info->configFd, configPath, FILEIO_OPEN_ACCESS_WRITE, FILEIO_OPEN) !=
          FILEIO_SUCCESS) {
    Log("SNAPSHOT:ConfigInfoRead: No write access to `%s'.\n", configPath);
    return MakeError(SNAPSHOT_NOPERM);
  }

  info->configDict = Dictionary_Create();
  bool loaded = text != nullptr ? Dictionary_LoadText(info->configDict, configPath, text->text,
                                                      text->size, kDictLoadFlags)
                                : Dictionary_Load(info->configDict, configPath, kDictLoadFlags);
  if (!loaded) {
    Warning("SNAPSHOT: Unable to load dict from '%s'.\n", configPath);
    return MakeError(SNAPSHOT_DICTIONARY);
  }
  CountBudget configBudget;
  BudgetInit(&configBudget, info->configDict, configPath);

  char *version = READ_STRING(info->configDict, "1", "config.version");
  if (strcmp(version, "8") != 0 && Dict_GetInt(info->configDict, 1, "snapshot.version") < 2) {
    Log("Snapshot failed due to version error: %s\n", version);
    free(version);
    return MakeError(SNAPSHOT_VERSION);
  }
  free(version);

  info->configPath = File_FullPath(configPath);
  if (info->configPath == nullptr) {
    return MakeError(SNAPSHOT_NOTPATH);
  }
  char *fileName = nullptr;
  File_GetPathName(info->configPath, &info->folder, &fileName);
  if (info->folder == nullptr || fileName == nullptr) {
    free(fileName);
    return MakeError(SNAPSHOT_NOTPATH);
  }
  info->baseName = BaseNameOf(fileName);
  free(fileName);
  info->databasePath = Str_Asprintf(nullptr, "%s/%s.%s", info->folder, info->baseName, "bxsd");
  if (info->databasePath == nullptr) {
    PANIC_MEM_ALLOC();
  }

  info->snapshotDict = Dictionary_Create();
  if (info->lockMode != SNAPSHOT_LOCK_NONE) {
    uint32_t access = FILEIO_OPEN_LOCKED | FILEIO_OPEN_ACCESS_READ;
    if (info->lockMode == SNAPSHOT_LOCK_WRITE) {
      access |= FILEIO_OPEN_ACCESS_WRITE;
    }
    FileIOResult res =
        FileIO_Open(&info->databaseFd, info->databasePath, access, FILEIO_OPEN_CREATE);
    if (res != FILEIO_SUCCESS) {
      Log("SNAPSHOT: Unable to open and lock file '%s'.\n", info->databasePath);
      return res == FILEIO_ERROR ? MakeError(SNAPSHOT_NOPERM)
                                 : MakeError(SNAPSHOT_FILEIO, static_cast<uint32_t>(res));
    }
  }
  if (File_Exists(info->databasePath) &&
      !Dictionary_Load(info->snapshotDict, info->databasePath, kDictLoadFlags)) {
    Warning("SNAPSHOT: Unable to load dict from '%s'.\n", info->databasePath);
    return MakeError(SNAPSHOT_DICTIONARY);
  }
  CountBudget dbBudget;
  BudgetInit(&dbBudget, info->snapshotDict, info->databasePath);

  Dictionary *cfg = info->configDict;
  Dictionary *db = info->snapshotDict;
  info->lastUid = Dict_GetInt(db, 0, "snapshot.lastUID");
  info->workingDir = READ_STRING(cfg, nullptr, "workingDir");
  info->vmStateReadOnly = Dict_GetBool(cfg, false, "checkpoint.vmState.readOnly");
  info->searchPath = READ_STRING(cfg, ".", "fileSearchPath");
  info->nvram = READ_STRING(cfg, "nvram", "nvram");
  info->templateVM = Dict_GetBool(cfg, false, "templateVM");
  if (!ReadList(cfg, &configBudget, "numCloneOf", "cloneOf", &info->cloneOf)) {
    return MakeError(SNAPSHOT_CONFIG);
  }
  if (!ReadList(db, &dbBudget, "numSentinels", "sentinel", &info->sentinels)) {
    return MakeError(SNAPSHOT_INCONSISTENT);
  }
  info->displayName = READ_STRING(cfg, nullptr, "displayName");
  info->mruMax = Dict_GetInt(db, 4, "snapshot.mru.maxNum");
  if (!BudgetTake(&dbBudget, info->mruMax, "snapshot.mru.maxNum")) {
    return MakeError(SNAPSHOT_INCONSISTENT);
  }
  if (info->mruMax > 0) {
    info->mruUids = static_cast<int32_t *>(Util_SafeMalloc(sizeof(int32_t) * info->mruMax));
    for (int32_t i = 0; i < info->mruMax; i++) {
      info->mruUids[i] = Dict_GetInt(db, 0, "snapshot.mru%d.uid", i);
    }
  }

  if (info->workingDir != nullptr) {
    char *joined = PrependWorkingDir(info->workingDir, info->searchPath);
    free(info->searchPath);
    info->searchPath = joined;
  }

  info->vmState = READ_STRING(cfg, nullptr, "checkpoint.vmState");

  info->root = NewNode();
  info->currentState = NewNode();
  info->currentState->fileName = Strdup("currentState");

  SnapshotError err = ReadTree(info, &dbBudget);
  if (IsError(err)) {
    return err;
  }
  return ReadCurrentStateDisks(info);
}

// Answers "does this path exist" for the many disk paths of one expansion.
// A database of thousands of snapshots names its disks in one or two
// folders, and asking the system about each path costs far more than reading
// the folder once. So once a folder has been asked about often enough, its
// names are read in one sweep, and a name listed there under exactly that
// spelling, as no symbolic link, exists without asking further. Every other
// answer stays the system's: a name the listing lacks may still be found
// (a file system that ignores case), a link may lead nowhere, and the first
// listed name is checked as well, which shows whether the folder can be
// passed through at all.
class FolderCache {
 public:
  FolderCache() = default;
  ~FolderCache() {
    for (int i = 0; i < numFolders_; i++) {
      free(folders_[i].path);
      HostFs_FreeFolderNames(&folders_[i].list);
      free(folders_[i].slots);
    }
    for (char *path : recentPaths_) {
      free(path);
    }
  }
  FolderCache(const FolderCache &) = delete;
  FolderCache &operator=(const FolderCache &) = delete;

  // The disks of neighbouring snapshots are mostly the same files, so the
  // last few answers are kept.
  bool Exists(const char *path) {
    for (int i = 0; i < kRecent; i++) {
      if (recentPaths_[i] != nullptr && strcmp(recentPaths_[i], path) == 0) {
        return recentAnswers_[i];
      }
    }
    bool exists = Look(path);
    free(recentPaths_[nextRecent_]);
    recentPaths_[nextRecent_] = Util_SafeStrdup(path);
    recentAnswers_[nextRecent_] = exists;
    nextRecent_ = (nextRecent_ + 1) % kRecent;
    return exists;
  }

 private:
  bool Look(const char *path) {
    const char *slash = strrchr(path, '/');
    size_t length = strlen(path);
    if (slash == nullptr || slash == path || length >= kPathMax) {
      return File_Exists(path);
    }
    const char *leaf = slash + 1;
    if (*leaf == '\0' || strcmp(leaf, ".") == 0 || strcmp(leaf, "..") == 0 ||
        strlen(leaf) > kNameMax) {
      return File_Exists(path);
    }
    Folder *folder = Lookup(path, static_cast<size_t>(slash - path));
    if (folder == nullptr || folder->state == kUnlisted || folder->state == kUnusable) {
      return File_Exists(path);
    }
    bool plain;
    if (!Find(folder, leaf, &plain) || !plain) {
      return File_Exists(path);
    }
    if (folder->state == kListed) {
      bool exists = File_Exists(path);
      folder->state = exists ? kVerified : kUnusable;
      return exists;
    }
    return true;
  }

  static constexpr size_t kPathMax = 4096;
  static constexpr size_t kNameMax = 255;
  static constexpr int kMaxFolders = 8;
  // Fewer lookups than this in a folder go to the system one by one.
  static constexpr int kListAfter = 32;

  enum State { kUnlisted, kListed, kVerified, kUnusable };

  struct Folder {
    char *path;
    size_t length;
    int lookups;
    State state;
    HostFolderNames list;
    // By hash: the name's hash (31 bits) and whether it is plain (top bit)
    // above the name's offset in the listing + 1; 0 marks a free slot. A
    // lookup reads the slot and, when the hashes agree, the name itself.
    uint64_t *slots;
    size_t mask;
  };

  static size_t HashName(const char *name) {
    uint32_t h = 2166136261u;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p != '\0'; p++) {
      h = (h ^ *p) * 16777619u;
    }
    return h ^ (h >> 16);
  }

  // False when the listing is too large for the slots' offsets.
  static bool BuildSlots(Folder *folder) {
    size_t count = folder->list.count;
    if (folder->list.regionSize >= UINT32_MAX || count >= SIZE_MAX / 16) {
      return false;
    }
    size_t size = 16;
    while (size < 2 * count) {
      size *= 2;
    }
    folder->slots = static_cast<uint64_t *>(Util_SafeMalloc(size * sizeof(uint64_t)));
    memset(folder->slots, 0, size * sizeof(uint64_t));
    folder->mask = size - 1;
    const char *base = static_cast<const char *>(folder->list.region);
    for (size_t i = 0; i < count; i++) {
      const HostFolderName &n = folder->list.names[i];
      size_t hash = HashName(n.name);
      uint64_t tag = (hash & 0x7fffffffu) | (n.plain ? 0x80000000u : 0);
      uint64_t offset = static_cast<uint64_t>(n.name - base) + 1;
      size_t b = hash & folder->mask;
      while (folder->slots[b] != 0) {
        b = (b + 1) & folder->mask;
      }
      folder->slots[b] = tag << 32 | offset;
    }
    return true;
  }

  // Returns whether the folder lists leaf, and whether it is plain.
  static bool Find(const Folder *folder, const char *leaf, bool *plain) {
    size_t hash = HashName(leaf);
    const char *base = static_cast<const char *>(folder->list.region);
    for (size_t b = hash & folder->mask;; b = (b + 1) & folder->mask) {
      uint64_t slot = folder->slots[b];
      if (slot == 0) {
        return false;
      }
      if ((slot >> 32 & 0x7fffffffu) == (hash & 0x7fffffffu) &&
          strcmp(base + (slot & 0xffffffffu) - 1, leaf) == 0) {
        *plain = (slot >> 63) != 0;
        return true;
      }
    }
  }

  // Returns the folder, listed once it is asked about often; NULL when no
  // more folders are kept.
  Folder *Lookup(const char *path, size_t length) {
    Folder *folder = nullptr;
    for (int i = 0; i < numFolders_; i++) {
      if (folders_[i].length == length && memcmp(folders_[i].path, path, length) == 0) {
        folder = &folders_[i];
        break;
      }
    }
    if (folder == nullptr) {
      if (numFolders_ == kMaxFolders) {
        return nullptr;
      }
      folder = &folders_[numFolders_++];
      folder->path = static_cast<char *>(Util_SafeMalloc(length + 1));
      memcpy(folder->path, path, length);
      folder->path[length] = '\0';
      folder->length = length;
      folder->lookups = 0;
      folder->state = kUnlisted;
      folder->list = HostFolderNames{nullptr, 0, nullptr, 0};
      folder->slots = nullptr;
      folder->mask = 0;
    }
    if (folder->state == kUnlisted && ++folder->lookups > kListAfter) {
      if (!HostFs_ReadFolderNames(folder->path, &folder->list) || !BuildSlots(folder)) {
        folder->state = kUnusable;
      } else {
        folder->state = kListed;
      }
    }
    return folder;
  }

  Folder folders_[kMaxFolders] = {};
  int numFolders_ = 0;
  static constexpr int kRecent = 4;
  char *recentPaths_[kRecent] = {};
  bool recentAnswers_[kRecent] = {};
  int nextRecent_ = 0;
};

// a + "/" + b, and + "/" + c when given.
char *JoinPath(const char *a, const char *b, const char *c = nullptr) {
  size_t la = strlen(a);
  size_t lb = strlen(b);
  size_t lc = c != nullptr ? strlen(c) : 0;
  char *joined = static_cast<char *>(Util_SafeMalloc(la + lb + lc + 3));
  char *p = joined;
  memcpy(p, a, la);
  p += la;
  *p++ = '/';
  memcpy(p, b, lb);
  p += lb;
  if (c != nullptr) {
    *p++ = '/';
    memcpy(p, c, lc);
    p += lc;
  }
  *p = '\0';
  return joined;
}

// File_FindFileInSearchPath, candidate for candidate, with existence asked
// of the cache.
bool FindInSearchPath(FolderCache *cache, const char *fileName, const char *searchPath,
                      const char *baseDir, char **result) {
  if (fileName == nullptr || baseDir == nullptr) {
    return false;
  }
  char *candidate = File_IsFullPath(fileName) ? Strdup(fileName) : JoinPath(baseDir, fileName);
  bool found = cache->Exists(candidate);
  if (!found && searchPath != nullptr) {
    char *base = nullptr;
    File_SplitName(fileName, nullptr, nullptr, &base);
    const char *p = searchPath;
    while (!found && *p != '\0') {
      const char *end = strchr(p, ';');
      size_t n = end == nullptr ? strlen(p) : static_cast<size_t>(end - p);
      if (n > 0) {
        char *element = static_cast<char *>(Util_SafeMalloc(n + 1));
        memcpy(element, p, n);
        element[n] = '\0';
        free(candidate);
        if (File_IsFullPath(element)) {
          candidate = JoinPath(element, base);
        } else if (strcmp(element, ".") == 0) {
          candidate = JoinPath(baseDir, base);
        } else {
          candidate = JoinPath(baseDir, element, base);
        }
        free(element);
        found = cache->Exists(candidate);
      }
      p += n;
      if (*p == ';') {
        p++;
      }
    }
    free(base);
  }
  if (found && result != nullptr) {
    *result = File_FullPath(candidate);
    found = *result != nullptr;
  }
  free(candidate);
  return found;
}

struct ExpandState {
  bool allowMissing;
  char **missing;
  bool failed;
  FolderCache *folders;
};

// Returns false when the disk could not be found and the expansion must stop.
bool ExpandDisk(const SnapshotConfigInfo *info, SnapshotDisk *disk, ExpandState *state) {
  char *found = nullptr;
  // A disk entry without a file name cannot name any file: it counts as a
  // file that cannot be found.
  if (disk->fileName != nullptr &&
      FindInSearchPath(state->folders, disk->fileName, info->searchPath, info->folder, &found)) {
    free(disk->fileName);
    disk->fileName = found;
    return true;
  }
  const char *name = disk->fileName != nullptr ? disk->fileName : "";
  Log("SNAPSHOT:Unable to find file %s\n", name);
  if (state->missing != nullptr && *state->missing == nullptr) {
    *state->missing = Strdup(name);
  }
  if (state->allowMissing) {
    return true;
  }
  state->failed = true;
  return false;
}

bool ExpandNodeDisks(const SnapshotConfigInfo *info, SnapshotNode *node, ExpandState *state) {
  for (int i = 0; i < node->numDisks; i++) {
    if (!ExpandDisk(info, &node->disks[i], state)) {
      return false;
    }
  }
  return true;
}

struct ExpandWalk {
  const SnapshotConfigInfo *info;
  ExpandState *state;
};

bool ExpandVisit(SnapshotNode *node, void *ctx) {
  ExpandWalk *walk = static_cast<ExpandWalk *>(ctx);
  return !ExpandNodeDisks(walk->info, node, walk->state);
}

}  // namespace

SnapshotNode *SnapshotTreeWalk(SnapshotNode *root, bool (*visit)(SnapshotNode *node, void *ctx),
                               void *ctx) {
  if (root == nullptr) {
    return nullptr;
  }
  // An explicit stack: a long chain of snapshots must not exhaust the call
  // stack. Pushing the child before the sibling makes the sibling, and
  // everything below it, come first.
  size_t capacity = 64;
  size_t depth = 0;
  SnapshotNode **stack =
      static_cast<SnapshotNode **>(Util_SafeMalloc(sizeof(SnapshotNode *) * capacity));
  stack[depth++] = root;
  SnapshotNode *found = nullptr;
  while (depth > 0) {
    SnapshotNode *node = stack[--depth];
    SnapshotNode *child = node->child;
    SnapshotNode *sibling = node->sibling;
    if (visit(node, ctx)) {
      found = node;
      break;
    }
    if (depth + 2 > capacity) {
      capacity *= 2;
      stack =
          static_cast<SnapshotNode **>(Util_SafeRealloc(stack, sizeof(SnapshotNode *) * capacity));
    }
    if (child != nullptr) {
      stack[depth++] = child;
    }
    if (sibling != nullptr) {
      stack[depth++] = sibling;
    }
  }
  free(stack);
  return found;
}

SnapshotNode *SnapshotTreeFind(SnapshotNode *root, int32_t uid) {
  return SnapshotTreeWalk(
      root, [](SnapshotNode *node, void *ctx) { return node->uid == *static_cast<int32_t *>(ctx); },
      &uid);
}

SnapshotError SnapshotConfigInfoRead(const char *configPath, SnapshotLockMode lockMode,
                                     SnapshotConfigInfo **info, const SnapshotConfigText *text) {
  if (info == nullptr) {
    return MakeError(SNAPSHOT_INVAL);
  }
  *info = nullptr;
  if (configPath == nullptr) {
    return MakeError(SNAPSHOT_INVAL);
  }
  SnapshotConfigInfo *result = NewInfo(lockMode);
  SnapshotError err = ReadInfo(result, configPath, text);
  if (IsError(err)) {
    Log("SNAPSHOT:SnapshotConfigInfoRead: Error %d\n", err.type);
    SnapshotConfigInfoFree(result);
    return err;
  }
  *info = result;
  return err;
}

SnapshotError SnapshotConfigInfoExpandDisks(SnapshotConfigInfo *info, bool allowMissing,
                                            char **missing) {
  if (missing != nullptr) {
    *missing = nullptr;
  }
  if (info == nullptr) {
    return MakeError(SNAPSHOT_INVAL);
  }
  FolderCache folders;
  ExpandState state = {allowMissing, missing, false, &folders};
  if (ExpandNodeDisks(info, info->currentState, &state)) {
    ExpandWalk walk = {info, &state};
    SnapshotTreeWalk(info->root, ExpandVisit, &walk);
  }
  if (state.failed) {
    Log("SNAPSHOT:SnapshotConfigInfoExpandDisks: Error %d\n", SNAPSHOT_NOTFOUND);
    return MakeError(SNAPSHOT_NOTFOUND);
  }
  return MakeError(SNAPSHOT_SUCCESS);
}

SnapshotError SnapshotConfigInfoExpand(SnapshotConfigInfo *info) {
  if (info == nullptr) {
    return MakeError(SNAPSHOT_INVAL);
  }
  if (info->vmState != nullptr) {
    char *found = nullptr;
    if (File_FindFileInSearchPath(info->vmState, info->searchPath, info->folder, &found)) {
      free(info->vmState);
      info->vmState = found;
    } else {
      Log("Unable to find %s.  Setting vmState to NULL.\n", info->vmState);
      free(info->vmState);
      info->vmState = nullptr;
    }
  }
  if (info->nvram != nullptr) {
    free(info->nvramPath);
    // A full name is kept: joining it to the folder would name no file.
    info->nvramPath = File_IsFullPath(info->nvram)
                          ? Strdup(info->nvram)
                          : Str_Asprintf(nullptr, "%s/%s", info->folder, info->nvram);
    if (info->nvramPath == nullptr) {
      PANIC_MEM_ALLOC();
    }
  }
  SnapshotError err = SnapshotConfigInfoExpandDisks(info, false, nullptr);
  if (IsError(err)) {
    Log("SNAPSHOT:SnapshotConfigInfoExpand: Error %d\n", err.type);
  }
  return err;
}

SnapshotError SnapshotConfigInfoLoad(const char *configPath, SnapshotLockMode lockMode,
                                     SnapshotConfigInfo **info, const SnapshotConfigText *text) {
  SnapshotError err = SnapshotConfigInfoRead(configPath, lockMode, info, text);
  if (IsError(err)) {
    return err;
  }
  err = SnapshotConfigInfoExpand(*info);
  if (IsError(err)) {
    SnapshotConfigInfoFree(*info);
    *info = nullptr;
  }
  return err;
}

void SnapshotConfigInfoFree(SnapshotConfigInfo *info) {
  if (info == nullptr) {
    return;
  }
  // Closing the database descriptor releases its lock file.
  if (FileIO_IsValid(&info->databaseFd)) {
    FileIO_Close(&info->databaseFd);
  }
  if (FileIO_IsValid(&info->configFd)) {
    FileIO_Close(&info->configFd);
  }
  Dictionary_Free(info->configDict);
  Dictionary_Free(info->snapshotDict);
  if (info->root != nullptr) {
    // The walk reads a node's links before visiting it, so a visit may free it.
    SnapshotTreeWalk(
        info->root,
        [](SnapshotNode *node, void *) {
          FreeNode(node);
          return false;
        },
        nullptr);
  }
  if (info->currentState != nullptr) {
    FreeNode(info->currentState);
  }
  free(info->configPath);
  free(info->databasePath);
  free(info->baseName);
  free(info->folder);
  free(info->mruUids);
  free(info->workingDir);
  free(info->searchPath);
  free(info->vmState);
  free(info->nvram);
  free(info->nvramPath);
  free(info->displayName);
  FreeList(&info->cloneOf);
  FreeList(&info->sentinels);
  free(info);
}
