// Reading a virtual machine's configuration file and snapshot database into a
// SnapshotConfigInfo: the version gate, the paths, the single keys, the
// snapshot tree, the disks of the current state, and the expansion of every
// file name to a full path. Diagnostics go to Log (which writes nothing here)
// except the dictionary load failures, which are shown with Warning.
#include "snapshotInfo.h"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <unordered_map>

#include "file/file.h"
#include "file/folderCache.h"
#include "file/folderNoCase.h"
#include "host/text.h"
#include "misc/panic.h"
#include "string/str.h"
#include "user/log.h"

namespace {

const int kDictLoadFlags = 18 | DICT_LOAD_READ_ONLY | DICT_LOAD_BOUNDED;

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

// A copy of s, or NULL for NULL.
char *CopyOrNull(const char *s) { return s != nullptr ? Strdup(s) : nullptr; }

// The parts joined, as Str_Asprintf("%s%s...") would give them: a CR LF
// comes back as LF alone.
char *Concat(std::initializer_list<const char *> parts) {
  size_t size = 1;
  for (const char *part : parts) size += strlen(part);
  char *joined = static_cast<char *>(Util_SafeMalloc(size));
  char *end = joined;
  for (const char *part : parts) end = stpcpy(end, part);
  char *w = joined;
  for (const char *r = joined; r < end; r++) {
    if (!(r[0] == '\r' && r[1] == '\n')) *w++ = *r;
  }
  *w = '\0';
  return joined;
}

// Typed reads of one name. A read the file may well leave out (not usual)
// asks first whether the name is defined, and an absent name reads as the
// default without being recorded in the dictionary, which would cost more
// than the question; nothing reads an absent name twice. A usual name is
// read at once. A defined name is read, and converted, either way.
const DictValue *Value(Dictionary *dict, int type, const void *defaultValue, const char *name,
                       bool usual) {
  if (!usual && !Dictionary_IsDefined(dict, name)) return nullptr;
  return static_cast<const DictValue *>(Dictionary_Get(dict, defaultValue, type, name));
}

int32_t GetInt(Dictionary *dict, int32_t defaultValue, const char *name, bool usual = false) {
  const DictValue *value = Value(dict, DICT_LONG, &defaultValue, name, usual);
  return value != nullptr ? value->longValue : defaultValue;
}

bool GetBool(Dictionary *dict, bool defaultValue, const char *name) {
  const DictValue *value = Value(dict, DICT_BOOL, &defaultValue, name, false);
  return value != nullptr ? value->boolValue : defaultValue;
}

// The string-read rule on a string value (NULL: none read): a value that is
// present but empty reads as the default; an empty default reads as none.
// Returns the dictionary's text or the default, not a copy.
const char *TextOf(const DictValue *found, const char *defaultValue) {
  const char *value = found != nullptr ? found->stringValue : defaultValue;
  if (value != nullptr && value[0] == '\0') {
    value = (defaultValue != nullptr && defaultValue[0] != '\0') ? defaultValue : nullptr;
  }
  return value;
}

const char *GetText(Dictionary *dict, const char *defaultValue, const char *name,
                    bool usual = false) {
  return TextOf(Value(dict, DICT_STRING, &defaultValue, name, usual), defaultValue);
}

// GetText as a copy of the caller's.
char *GetString(Dictionary *dict, const char *defaultValue, const char *name, bool usual = false) {
  return CopyOrNull(GetText(dict, defaultValue, name, usual));
}

// The keys of one snapshot (or disk) share their start: it is made once and
// each key's last part copied after it. A database of thousands of
// snapshots is read through hundreds of thousands of keys, and formatting
// each from scratch was a good part of the read.
struct SnapshotKey {
  char text[96];
  size_t start;  // length of the shared start
};

// "snapshot<i>.", or "snapshot<i>.disk<j>." when j is given.
void KeyStart(SnapshotKey *key, int32_t i, int32_t j = -1) {
  char *end = key->text + sizeof key->text;
  char *p = stpcpy(key->text, "snapshot");
  p = std::to_chars(p, end, i).ptr;
  *p++ = '.';
  if (j >= 0) {
    p = stpcpy(p, "disk");
    p = std::to_chars(p, end, j).ptr;
    *p++ = '.';
  }
  *p = '\0';
  key->start = static_cast<size_t>(p - key->text);
}

// The start followed by last; valid until the next call. The parts are
// short and fixed, so the whole key always fits.
const char *KeyWith(SnapshotKey *key, const char *last) {
  size_t n = strlen(last);
  VERIFY(key->start + n < sizeof key->text);
  memcpy(key->text + key->start, last, n + 1);
  return key->text;
}

// The start followed by last, index and tail.
const char *KeyWith(SnapshotKey *key, const char *last, int32_t index, const char *tail = "") {
  KeyWith(key, last);
  char *end = key->text + sizeof key->text;
  char *p = std::to_chars(key->text + key->start + strlen(last), end, index).ptr;
  VERIFY(p + strlen(tail) < end);
  strcpy(p, tail);
  return key->text;
}

// Bounds the sum of the counts read from one file (see kCountAllowance).
struct CountBudget {
  int64_t remaining;
  const char *path;
};

// Taken right after the load, while the entries are the file's.
void BudgetInit(CountBudget *budget, const Dictionary *dict, const char *path) {
  budget->remaining = int64_t{dict->entryCount} + kCountAllowance;
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

// Reads a list: the count key and the items item0, item1, ... after the
// start of key. Without items only the count is read and checked.
bool ReadList(Dictionary *dict, CountBudget *budget, SnapshotKey *key, const char *count,
              const char *item, bool items, SnapshotStringList *list) {
  const char *countKey = KeyWith(key, count);
  int32_t n = GetInt(dict, 0, countKey);
  if (!BudgetTake(budget, n, countKey)) {
    return false;
  }
  if (n <= 0 || !items) {
    return true;
  }
  list->items = static_cast<char **>(Util_SafeMalloc(sizeof(char *) * n));
  list->count = n;
  for (int32_t i = 0; i < n; i++) {
    list->items[i] = GetString(dict, nullptr, KeyWith(key, item, i));
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
  disk->idKnown = false;
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
//
// Real uids are unique. A file that repeats them so that every snapshot
// needs a long walk would take time quadratic in its size: the walks of a
// read get a budget of visits per entry of the file, and a small file's
// worth besides, and the read fails when it runs out.
struct UidEntry {
  SnapshotNode *node;  // the answer when settled
  bool settled;        // false: a node of this uid arrived since node was found
};
struct UidIndex {
  std::unordered_map<int32_t, UidEntry> uids;
  int64_t walkBudget;  // visits the walks may still make; < 0: ran out
};
const int64_t kWalkVisitsPerEntry = 256;
const int64_t kWalkAllowance = int64_t{1} << 16;

void IndexNode(UidIndex *index, SnapshotNode *node) {
  auto [it, added] = index->uids.try_emplace(node->uid, UidEntry{node, true});
  if (!added) it->second.settled = false;
}

struct UidWalk {
  int32_t uid;
  int64_t *budget;
};

// NULL when no node has the uid, or when the walks' budget ran out.
SnapshotNode *FindByUid(UidIndex *index, SnapshotNode *root, int32_t uid) {
  if (uid == root->uid) return root;
  auto it = index->uids.find(uid);
  if (it == index->uids.end()) return nullptr;
  if (!it->second.settled) {
    UidWalk walk = {uid, &index->walkBudget};
    SnapshotNode *found = SnapshotTreeWalk(
        root,
        [](SnapshotNode *node, void *ctx) {
          UidWalk *w = static_cast<UidWalk *>(ctx);
          return node->uid == w->uid || --*w->budget < 0;
        },
        &walk);
    if (index->walkBudget < 0) return nullptr;
    it->second = UidEntry{found, true};
  }
  return it->second.node;
}

// The working folder goes in front of the search path, and its first
// later occurrence (an element equal to it byte for byte) is dropped.
char *PrependWorkingDir(const char *workingDir, const char *searchPath) {
  char *joined = Concat({workingDir, ";", searchPath});
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

// The keys of a device that a read asks for; bit i of a device's set
// stands for field i.
const char *const kDeviceFields[] = {"present", "deviceType", "fileName", "mode"};
enum { kPresentField, kTypeField, kFileField, kModeField };

// Devices by number: ide<c>:<u> is 2c + u, scsi<n>:<m> comes after them
// as kIdeDevices + 16n + m, and the controller scsi<n> after those.
enum {
  kIdeDevices = 4,
  kScsiControllers = 4,
  kScsiUnits = 16,
  kControllers = kIdeDevices + kScsiControllers * kScsiUnits,
  kDeviceNumbers = kControllers + kScsiControllers,
};

// Whether name starts with lower (lower-case) in any case; sets *rest past it.
bool StartsNoCase(const char *name, const char *lower, const char **rest) {
  for (; *lower != '\0'; name++, lower++) {
    if (HostText_LowerAscii(*name) != *lower) return false;
  }
  *rest = name;
  return true;
}

// The number of the device (or controller) of the key name, or -1; sets
// *field past the device and its dot.
int DeviceNumber(const char *name, const char **field) {
  const char *p;
  if (StartsNoCase(name, "ide", &p)) {
    if ((p[0] != '0' && p[0] != '1') || p[1] != ':' || (p[2] != '0' && p[2] != '1') ||
        p[3] != '.') {
      return -1;
    }
    *field = p + 4;
    return (p[0] - '0') * 2 + (p[2] - '0');
  }
  if (!StartsNoCase(name, "scsi", &p) || p[0] < '0' || p[0] > '3') return -1;
  int controller = p[0] - '0';
  if (p[1] == '.') {
    *field = p + 2;
    return kControllers + controller;
  }
  if (p[1] != ':' || p[2] < '0' || p[2] > '9') return -1;
  int unit = p[2] - '0';
  p += 3;
  if (unit == 1 && *p >= '0' && *p <= '5') unit = 10 + (*p++ - '0');
  if (*p != '.') return -1;
  *field = p + 1;
  return kIdeDevices + controller * kScsiUnits + unit;
}

// The fields each device defines, by device number. One pass over the
// names costs less than asking the dictionary about every key of the twenty
// possible devices, and a key no name defines needs no question.
void FindDeviceKeys(const Dictionary *cfg, uint8_t (&defined)[kDeviceNumbers]) {
  memset(defined, 0, sizeof defined);
  for (const DictEntry *e = cfg->firstEntry; e != nullptr; e = e->next) {
    char first = HostText_LowerAscii(e->name[0]);
    const char *field;
    int number = first == 'i' || first == 's' ? DeviceNumber(e->name, &field) : -1;
    for (int f = 0; number >= 0 && f < 4; f++) {
      if (HostText_EqualNoCase(field, kDeviceFields[f])) defined[number] |= 1 << f;
    }
  }
}

// A field of a device, read when the configuration defines it; NULL otherwise.
const DictValue *DeviceValue(Dictionary *cfg, uint8_t defined, int field, const char *device,
                             int type, const void *defaultValue) {
  if ((defined & (1 << field)) == 0) return nullptr;
  char key[48];
  return Value(cfg, type, defaultValue, DeviceKey(key, device, kDeviceFields[field]), true);
}

bool DevicePresent(Dictionary *cfg, uint8_t defined, const char *device) {
  bool off = false;
  const DictValue *value = DeviceValue(cfg, defined, kPresentField, device, DICT_BOOL, &off);
  return value != nullptr && value->boolValue;
}

const char *DeviceText(Dictionary *cfg, uint8_t defined, int field, const char *device,
                       const char *defaultValue) {
  return TextOf(DeviceValue(cfg, defined, field, device, DICT_STRING, &defaultValue), defaultValue);
}

// One device of the configuration: a disk of the current state when it is a
// present hard disk with a file.
SnapshotError ReadDevice(SnapshotConfigInfo *info, const char *device, uint8_t defined) {
  Dictionary *cfg = info->configDict;
  if (!DevicePresent(cfg, defined, device)) {
    return MakeError(SNAPSHOT_SUCCESS);
  }
  const char *deviceType = DeviceText(cfg, defined, kTypeField, device, "disk");
  bool isDisk = false;
  for (const char *t : kDiskDeviceTypes) {
    if (HostText_EqualNoCase(deviceType, t)) {
      isDisk = true;
    }
  }
  if (!isDisk) {
    return MakeError(SNAPSHOT_SUCCESS);
  }
  const char *fileName = DeviceText(cfg, defined, kFileField, device, nullptr);
  if (fileName == nullptr) {
    return MakeError(SNAPSHOT_SUCCESS);
  }
  const char *modeText = DeviceText(cfg, defined, kModeField, device, "persistent");
  int mode = -1;
  for (int m = 0; m < 3; m++) {
    if (HostText_EqualNoCase(modeText, kDiskModes[m])) {
      mode = m;
    }
  }
  if (mode < 0) {
    Log("SNAPSHOT: Illegal mode for '%s': %s.\n", fileName, modeText);
    return MakeError(SNAPSHOT_CONFIG);
  }
  char *node = info->scope == SNAPSHOT_READ_ALL ? Strdup(device) : nullptr;
  AppendDisk(info->currentState, node, Strdup(fileName), mode);
  return MakeError(SNAPSHOT_SUCCESS);
}

SnapshotError ReadCurrentStateDisks(SnapshotConfigInfo *info) {
  uint8_t defined[kDeviceNumbers];
  FindDeviceKeys(info->configDict, defined);
  static const char *const kIdeNames[] = {"ide0:0", "ide0:1", "ide1:0", "ide1:1"};
  for (int d = 0; d < kIdeDevices; d++) {
    if (defined[d] == 0) continue;
    SnapshotError err = ReadDevice(info, kIdeNames[d], defined[d]);
    if (IsError(err)) {
      return err;
    }
  }
  for (int n = 0; n < kScsiControllers; n++) {
    char device[16] = {'s', 'c', 's', 'i', static_cast<char>('0' + n)};
    if (!DevicePresent(info->configDict, defined[kControllers + n], device)) {
      continue;
    }
    for (int m = 0; m < kScsiUnits; m++) {
      uint8_t unit = defined[kIdeDevices + n * kScsiUnits + m];
      if (unit == 0) continue;
      // "scsi<n>:<m>"
      device[5] = ':';
      device[6] = static_cast<char>(m < 10 ? '0' + m : '1');
      device[7] = static_cast<char>(m < 10 ? '\0' : '0' + m - 10);
      device[8] = '\0';
      SnapshotError err = ReadDevice(info, device, unit);
      if (IsError(err)) {
        return err;
      }
    }
  }
  return MakeError(SNAPSHOT_SUCCESS);
}

// Snapshot i, attached as the last child of its parent.
SnapshotError ReadSnapshot(SnapshotConfigInfo *info, CountBudget *budget, UidIndex *index,
                           int32_t i) {
  Dictionary *db = info->snapshotDict;
  bool all = info->scope == SNAPSHOT_READ_ALL;
  SnapshotKey key;
  KeyStart(&key, i);
  int32_t parentUid = GetInt(db, 0, KeyWith(&key, "parent"));
  SnapshotNode *parent = FindByUid(index, info->root, parentUid);
  if (parent == nullptr) {
    // A child listed before its parent, a parent that does not exist, or
    // too many repeated uids.
    Log("SNAPSHOT: Parent %d of snapshot %d not found.\n", parentUid, i);
    return MakeError(SNAPSHOT_INCONSISTENT);
  }
  SnapshotNode *node = NewNode();
  AppendChild(parent, node);

  node->uid = GetInt(db, 0, KeyWith(&key, "uid"), true);
  if (all) {
    node->fileName = GetString(db, nullptr, KeyWith(&key, "filename"));
    node->displayName = GetString(db, nullptr, KeyWith(&key, "displayName"));
    node->description = GetString(db, nullptr, KeyWith(&key, "description"));
  }
  uint32_t high = static_cast<uint32_t>(GetInt(db, 0, KeyWith(&key, "createTimeHigh")));
  uint32_t low = static_cast<uint32_t>(GetInt(db, 0, KeyWith(&key, "createTimeLow")));
  node->createTime = (static_cast<uint64_t>(high) << 32) | low;
  node->type = GetInt(db, 0, KeyWith(&key, "type"));
  IndexNode(index, node);

  if (!ReadList(db, budget, &key, "numClones", "clone", all, &node->clones)) {
    return MakeError(SNAPSHOT_INCONSISTENT);
  }

  const char *numDisksKey = KeyWith(&key, "numDisks");
  int32_t numDisks = GetInt(db, 0, numDisksKey, true);
  if (!BudgetTake(budget, numDisks, numDisksKey)) {
    return MakeError(SNAPSHOT_INCONSISTENT);
  }
  if (numDisks > 0) {
    node->disks = static_cast<SnapshotDisk *>(Util_SafeMalloc(sizeof(SnapshotDisk) * numDisks));
    for (int32_t j = 0; j < numDisks; j++) {
      SnapshotKey diskKey;
      KeyStart(&diskKey, i, j);
      SnapshotDisk *disk = &node->disks[j];
      disk->fileName = GetString(db, nullptr, KeyWith(&diskKey, "fileName"), true);
      disk->node = all ? GetString(db, nullptr, KeyWith(&diskKey, "node")) : nullptr;
      disk->mode = GetInt(db, 0, KeyWith(&diskKey, "mode"));
      disk->idKnown = false;
      node->numDisks = j + 1;
    }
  }
  return MakeError(SNAPSHOT_SUCCESS);
}

SnapshotError ReadTree(SnapshotConfigInfo *info, CountBudget *budget) {
  int32_t numSnapshots = GetInt(info->snapshotDict, 0, "snapshot.numSnapshots", true);
  if (!BudgetTake(budget, numSnapshots, "snapshot.numSnapshots")) {
    return MakeError(SNAPSHOT_INCONSISTENT);
  }
  UidIndex index;
  index.uids.reserve(static_cast<size_t>(numSnapshots > 0 ? numSnapshots : 0));
  index.walkBudget = kWalkVisitsPerEntry * info->snapshotDict->entryCount + kWalkAllowance;
  for (int32_t i = 0; i < numSnapshots; i++) {
    SnapshotError err = ReadSnapshot(info, budget, &index, i);
    if (IsError(err)) {
      return err;
    }
  }
  int32_t current = GetInt(info->snapshotDict, 0, "snapshot.current", true);
  info->currentSnapshot = FindByUid(&index, info->root, current);
  if (index.walkBudget < 0) {
    return MakeError(SNAPSHOT_INCONSISTENT);
  }
  return MakeError(SNAPSHOT_SUCCESS);
}

SnapshotConfigInfo *NewInfo(SnapshotLockMode lockMode, SnapshotReadScope scope) {
  SnapshotConfigInfo *info =
      static_cast<SnapshotConfigInfo *>(Util_SafeMalloc(sizeof(SnapshotConfigInfo)));
  memset(info, 0, sizeof *info);
  info->lockMode = lockMode;
  info->scope = scope;
  FileIO_Invalidate(&info->configFd);
  FileIO_Invalidate(&info->databaseFd);
  return info;
}

// The configuration: it must exist (a text in hand was read from the file),
// be writable for lock mode write, load, and pass the version gate. The
// budget counts the entries of the file as loaded.
SnapshotError LoadConfig(SnapshotConfigInfo *info, const char *configPath,
                         const SnapshotConfigText *text, CountBudget *budget) {
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
    Warning("SNAPSHOT: Unable to load dict from '%s'.\n",
            Str_Printable(configPath, STR_SHOWN_NAME).c_str());
    return MakeError(SNAPSHOT_DICTIONARY);
  }
  BudgetInit(budget, info->configDict, configPath);
  const char *version = GetText(info->configDict, "1", "config.version", true);
  bool allowed = strcmp(version, "8") == 0 || GetInt(info->configDict, 1, "snapshot.version") >= 2;
  if (!allowed) {
    Log("Snapshot failed due to version error: %s\n", version);
  }
  return MakeError(allowed ? SNAPSHOT_SUCCESS : SNAPSHOT_VERSION);
}

// The configuration's full path, its folder and base name, and the database
// path made of them.
SnapshotError SetPaths(SnapshotConfigInfo *info, const char *configPath) {
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
  info->databasePath = Concat({info->folder, "/", info->baseName, ".bxsd"});
  return MakeError(SNAPSHOT_SUCCESS);
}

// Takes the database's name as its folder has it, when the derived name
// differs from that only in case; true when it did.
bool TakeNameInFolder(SnapshotConfigInfo *info) {
  char *derived = Concat({info->baseName, ".bxsd"});
  char *found = FolderNoCase_Find(info->folderNames, info->folder, derived);
  bool other = found != nullptr && strcmp(derived, found) != 0;
  if (other) {
    free(info->databasePath);
    info->databasePath = Concat({info->folder, "/", found});
  }
  free(found);
  free(derived);
  return other;
}

// The database, locked for lock modes read and write; a missing database
// reads as an empty one.
SnapshotError LoadDatabase(SnapshotConfigInfo *info) {
  info->snapshotDict = Dictionary_Create();
  if (info->lockMode != SNAPSHOT_LOCK_NONE) {
    TakeNameInFolder(info);  // not a second database beside it
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
  // A database the system cannot find reads as an empty one; asking first
  // would cost every configuration a call. Only then is its folder searched
  // for the name in another case.
  bool present = true;
  if (!Dictionary_LoadIfPresent(info->snapshotDict, info->databasePath, kDictLoadFlags, &present) ||
      (!present && TakeNameInFolder(info) &&
       !Dictionary_LoadIfPresent(info->snapshotDict, info->databasePath, kDictLoadFlags,
                                 nullptr))) {
    Warning("SNAPSHOT: Unable to load dict from '%s'.\n",
            Str_Printable(info->databasePath, STR_SHOWN_NAME).c_str());
    return MakeError(SNAPSHOT_DICTIONARY);
  }
  return MakeError(SNAPSHOT_SUCCESS);
}

// The keys read once per machine, from both files.
SnapshotError ReadSingleKeys(SnapshotConfigInfo *info, CountBudget *configBudget,
                             CountBudget *dbBudget) {
  Dictionary *cfg = info->configDict;
  Dictionary *db = info->snapshotDict;
  bool all = info->scope == SNAPSHOT_READ_ALL;
  info->lastUid = GetInt(db, 0, "snapshot.lastUID", true);
  info->workingDir = GetString(cfg, nullptr, "workingDir");
  info->vmStateReadOnly = GetBool(cfg, false, "checkpoint.vmState.readOnly");
  info->searchPath = GetString(cfg, ".", "fileSearchPath");
  if (all) info->nvram = GetString(cfg, "nvram", "nvram");
  info->templateVM = GetBool(cfg, false, "templateVM");
  SnapshotKey key = {};
  if (!ReadList(cfg, configBudget, &key, "numCloneOf", "cloneOf", all, &info->cloneOf)) {
    return MakeError(SNAPSHOT_CONFIG);
  }
  if (!ReadList(db, dbBudget, &key, "numSentinels", "sentinel", all, &info->sentinels)) {
    return MakeError(SNAPSHOT_INCONSISTENT);
  }
  if (all) info->displayName = GetString(cfg, nullptr, "displayName");
  info->mruMax = GetInt(db, 4, "snapshot.mru.maxNum");
  if (!BudgetTake(dbBudget, info->mruMax, "snapshot.mru.maxNum")) {
    return MakeError(SNAPSHOT_INCONSISTENT);
  }
  if (info->mruMax > 0) {
    info->mruUids = static_cast<int32_t *>(Util_SafeMalloc(sizeof(int32_t) * info->mruMax));
    SnapshotKey mru = {"snapshot.mru", strlen("snapshot.mru")};
    for (int32_t i = 0; i < info->mruMax; i++) {
      info->mruUids[i] = GetInt(db, 0, KeyWith(&mru, "", i, ".uid"));
    }
  }
  if (info->workingDir != nullptr) {
    char *joined = PrependWorkingDir(info->workingDir, info->searchPath);
    free(info->searchPath);
    info->searchPath = joined;
  }
  if (all) info->vmState = GetString(cfg, nullptr, "checkpoint.vmState");
  return MakeError(SNAPSHOT_SUCCESS);
}

// Everything of a read but its cleanup: the caller logs a failure and frees the info.
SnapshotError ReadInfo(SnapshotConfigInfo *info, const char *configPath,
                       const SnapshotConfigText *text) {
  CountBudget configBudget;
  SnapshotError err = LoadConfig(info, configPath, text, &configBudget);
  if (IsError(err)) return err;
  err = SetPaths(info, configPath);
  if (IsError(err)) return err;
  err = LoadDatabase(info);
  if (IsError(err)) return err;
  CountBudget dbBudget;
  BudgetInit(&dbBudget, info->snapshotDict, info->databasePath);
  err = ReadSingleKeys(info, &configBudget, &dbBudget);
  if (IsError(err)) return err;
  info->root = NewNode();
  info->currentState = NewNode();
  info->currentState->fileName = Strdup("currentState");
  err = ReadTree(info, &dbBudget);
  if (IsError(err)) return err;
  return ReadCurrentStateDisks(info);
}

// Each disk may be looked for in every element of the search path, so a
// long path and a large database together would take time that grows with
// their product. Every disk is charged the whole path, and the expansion may
// spend this much per entry of both files (and a small file's worth besides)
// before it fails.
const int64_t kSearchesPerEntry = 256;
const int64_t kSearchAllowance = int64_t{1} << 16;

struct ExpandState {
  bool allowMissing;
  char **missing;
  bool failed;
  FolderCache *folders;
  int64_t searchBudget;
  int64_t searchCost;  // of one disk: its own folder and the path's elements
  bool pathTooLong;    // the budget ran out
};

// The places a disk may be looked for: its own folder, and every element of
// the search path.
int64_t SearchCost(const char *searchPath) {
  int64_t cost = 1;
  for (const char *p = searchPath; p != nullptr && *p != '\0'; p++) {
    if (*p != ';' && (p[1] == ';' || p[1] == '\0')) cost++;
  }
  return cost;
}

// Returns false when the disk could not be found and the expansion must stop.
bool ExpandDisk(const SnapshotConfigInfo *info, SnapshotDisk *disk, ExpandState *state) {
  state->searchBudget -= state->searchCost;
  if (state->searchBudget < 0) {
    Log("SNAPSHOT: The search path of '%s' is too long for its disks.\n", info->configPath);
    state->pathTooLong = true;
    state->failed = true;
    return false;
  }
  char *found = nullptr;
  // A disk entry without a file name cannot name any file: it counts as a
  // file that cannot be found.
  if (disk->fileName != nullptr &&
      File_FindFileInSearchPath(disk->fileName, info->searchPath, info->folder, &found,
                                state->folders, &disk->id, &disk->idKnown)) {
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
  // everything below it, come first. Most trees fit the first stack, which
  // costs no allocation.
  SnapshotNode *first[64];
  size_t capacity = 64;
  size_t depth = 0;
  SnapshotNode **stack = first;
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
      SnapshotNode **grown =
          static_cast<SnapshotNode **>(Util_SafeMalloc(sizeof(SnapshotNode *) * capacity * 2));
      memcpy(grown, stack, sizeof(SnapshotNode *) * depth);
      if (stack != first) free(stack);
      stack = grown;
      capacity *= 2;
    }
    if (child != nullptr) {
      stack[depth++] = child;
    }
    if (sibling != nullptr) {
      stack[depth++] = sibling;
    }
  }
  if (stack != first) free(stack);
  return found;
}

SnapshotNode *SnapshotTreeFind(SnapshotNode *root, int32_t uid) {
  return SnapshotTreeWalk(
      root, [](SnapshotNode *node, void *ctx) { return node->uid == *static_cast<int32_t *>(ctx); },
      &uid);
}

SnapshotError SnapshotConfigInfoRead(const char *configPath, SnapshotLockMode lockMode,
                                     SnapshotConfigInfo **info, const SnapshotConfigText *text,
                                     SnapshotReadScope scope, FolderNoCase *folderNames) {
  if (info == nullptr) {
    return MakeError(SNAPSHOT_INVAL);
  }
  *info = nullptr;
  if (configPath == nullptr) {
    return MakeError(SNAPSHOT_INVAL);
  }
  SnapshotConfigInfo *result = NewInfo(lockMode, scope);
  result->folderNames = folderNames;
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
  int64_t entries = int64_t{info->configDict != nullptr ? info->configDict->entryCount : 0} +
                    (info->snapshotDict != nullptr ? info->snapshotDict->entryCount : 0);
  ExpandState state = {allowMissing,
                       missing,
                       false,
                       FolderCache_Create(),
                       kSearchesPerEntry * entries + kSearchAllowance,
                       SearchCost(info->searchPath),
                       false};
  if (ExpandNodeDisks(info, info->currentState, &state)) {
    ExpandWalk walk = {info, &state};
    SnapshotTreeWalk(info->root, ExpandVisit, &walk);
  }
  FolderCache_Free(state.folders);
  if (state.pathTooLong) {
    return MakeError(SNAPSHOT_CONFIG);
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
    info->nvramPath = File_IsFullPath(info->nvram) ? Strdup(info->nvram)
                                                   : Concat({info->folder, "/", info->nvram});
  }
  SnapshotError err = SnapshotConfigInfoExpandDisks(info, false, nullptr);
  if (IsError(err)) {
    Log("SNAPSHOT:SnapshotConfigInfoExpand: Error %d\n", err.type);
  }
  return err;
}

SnapshotError SnapshotConfigInfoLoad(const char *configPath, SnapshotLockMode lockMode,
                                     SnapshotConfigInfo **info, const SnapshotConfigText *text,
                                     SnapshotReadScope scope, FolderNoCase *folderNames) {
  SnapshotError err = SnapshotConfigInfoRead(configPath, lockMode, info, text, scope, folderNames);
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
  for (char *text :
       {info->configPath, info->databasePath, info->baseName, info->folder, info->workingDir,
        info->searchPath, info->vmState, info->nvram, info->nvramPath, info->displayName}) {
    free(text);
  }
  free(info->mruUids);
  FreeList(&info->cloneOf);
  FreeList(&info->sentinels);
  free(info);
}
