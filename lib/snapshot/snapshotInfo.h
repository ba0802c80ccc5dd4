// The snapshot reader's records and steps, inside the module (and its tests):
// a SnapshotConfigInfo owns everything it points to (dictionaries, nodes,
// disks, lists, strings) and is released with SnapshotConfigInfoFree. Every
// string field may be NULL ("none").
#pragma once

#include "file/fileIO.h"
#include "file/folderNoCase.h"
#include "host/fs.h"
#include "snapshot/snapshot.h"
#include "user/dictionary.h"

enum SnapshotLockMode {
  SNAPSHOT_LOCK_NONE = 0,
  SNAPSHOT_LOCK_READ = 1,
  SNAPSHOT_LOCK_WRITE = 2,
};

enum SnapshotDiskMode {
  SNAPSHOT_DISK_PERSISTENT = 0,
  SNAPSHOT_DISK_INDEPENDENT_PERSISTENT = 1,
  SNAPSHOT_DISK_INDEPENDENT_NONPERSISTENT = 2,
};

// A list of strings read as a count key and numbered item keys; items that
// read as none are NULL.
struct SnapshotStringList {
  int count;
  char **items;
};

struct SnapshotDisk {
  char *node;      // device node, e.g. "scsi0:0"
  char *fileName;  // a full path after expansion
  int mode;        // SnapshotDiskMode
  bool idKnown;    // id holds fileName's identity, as the expansion found it
  HostFileId id;
};

struct SnapshotNode {
  SnapshotNode *parent;
  SnapshotNode *sibling;  // next sibling
  SnapshotNode *child;    // first child
  int32_t uid;
  char *fileName;  // "currentState" for the current-state node
  char *displayName;
  char *description;
  int32_t type;
  int numDisks;
  SnapshotDisk *disks;
  uint64_t createTime;  // high half << 32 | low half
  SnapshotStringList clones;
  SnapshotNode *lastChild;  // the end of the children, for appending
};

// How much a read fills in. The disk questions need the tree, the disks'
// file names and the search path: a read for them leaves the other strings
// (names, descriptions, list items, device nodes, the suspended-state and
// NVRAM files) NULL and the lists empty, and still reads every key that can
// fail the read or draw a message, in the same order.
enum SnapshotReadScope {
  SNAPSHOT_READ_ALL = 0,
  SNAPSHOT_READ_DISKS = 1,
};

struct SnapshotConfigInfo {
  SnapshotReadScope scope;
  char *configPath;    // full path of the configuration file
  char *databasePath;  // <folder>/<base name>.bxsd
  Dictionary *configDict;
  Dictionary *snapshotDict;  // empty when the database does not exist
  SnapshotLockMode lockMode;
  FileIODescriptor configFd;    // write-access test (lock mode write)
  FileIODescriptor databaseFd;  // database lock (lock modes read and write)
  char *baseName;
  char *folder;  // no trailing separator
  // The caller's, shared by the reads of many configurations of folder; may
  // be NULL.
  FolderNoCase *folderNames;
  SnapshotNode *root;
  SnapshotNode *currentState;
  SnapshotNode *currentSnapshot;  // NULL when snapshot.current names no node
  int32_t lastUid;
  int32_t mruMax;
  int32_t *mruUids;  // mruMax entries (none when mruMax <= 0)
  char *workingDir;
  char *searchPath;
  char *vmState;  // suspended-state file
  bool vmStateReadOnly;
  char *nvram;
  char *nvramPath;
  bool templateVM;
  char *displayName;
  SnapshotStringList cloneOf;
  SnapshotStringList sentinels;
};

// Reads both files and builds the tree. On SUCCESS *info is the caller's; on
// failure *info is NULL. With text, the configuration's bytes as the caller
// read them from configPath are used instead of reading it again; with
// folderNames, the database's name in another case is looked up there.
SnapshotError SnapshotConfigInfoRead(const char *configPath, SnapshotLockMode lockMode,
                                     SnapshotConfigInfo **info,
                                     const SnapshotConfigText *text = nullptr,
                                     SnapshotReadScope scope = SNAPSHOT_READ_ALL,
                                     FolderNoCase *folderNames = nullptr);
// Resolves the suspended-state file, the NVRAM path and every disk file name.
SnapshotError SnapshotConfigInfoExpand(SnapshotConfigInfo *info);
// Resolves every disk file name: the current state first, then the tree in
// walk order. With allowMissing a name that cannot be found stays as it is;
// without it the first such name fails with NOTFOUND. When missing is given,
// it receives a malloc'd copy of the first name not found (else NULL).
SnapshotError SnapshotConfigInfoExpandDisks(SnapshotConfigInfo *info, bool allowMissing,
                                            char **missing);
// Read, then expand. On failure the partial info is released and *info is NULL.
SnapshotError SnapshotConfigInfoLoad(const char *configPath, SnapshotLockMode lockMode,
                                     SnapshotConfigInfo **info,
                                     const SnapshotConfigText *text = nullptr,
                                     SnapshotReadScope scope = SNAPSHOT_READ_ALL,
                                     FolderNoCase *folderNames = nullptr);
// Accepts NULL.
void SnapshotConfigInfoFree(SnapshotConfigInfo *info);

// Visits the tree below and including root in walk order: a node, then its
// next sibling by the same rule (with everything below it), then its first
// child by the same rule. Stops at, and returns, the first node for which
// visit returns true; NULL when none does.
SnapshotNode *SnapshotTreeWalk(SnapshotNode *root, bool (*visit)(SnapshotNode *node, void *ctx),
                               void *ctx);
// Returns the first node in walk order from root whose uid is uid, or NULL.
SnapshotNode *SnapshotTreeFind(SnapshotNode *root, int32_t uid);
