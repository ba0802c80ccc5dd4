// The snapshot database reader: reads a virtual machine's configuration file
// and its snapshot database (<folder>/<base name>.bxsd) into a tree of
// snapshots plus the disks of the machine's current state, resolves every
// disk file name to a full path, and answers whether a disk file is in use and
// which disk files the current state runs on.
//
// Ownership: a SnapshotConfigInfo owns everything it points to (dictionaries,
// nodes, disks, lists, strings) and is released with SnapshotConfigInfoFree.
// Every string field may be NULL ("none"). The queries build an info per call
// and release it before they return; nothing is cached between calls.
#pragma once

#include <cstddef>
#include <cstdint>

#include "file/fileIO.h"
#include "user/dictionary.h"

enum SnapshotErrorCode {
  SNAPSHOT_SUCCESS = 0,
  SNAPSHOT_INVAL = 1,
  SNAPSHOT_MEM = 2,
  SNAPSHOT_FILEIO = 3,
  SNAPSHOT_DUMPER = 4,
  SNAPSHOT_DISKLIB = 5,
  SNAPSHOT_DICTIONARY = 6,
  SNAPSHOT_NOTFOUND = 7,
  SNAPSHOT_EXISTS = 8,
  SNAPSHOT_VERSION = 9,
  SNAPSHOT_NOPERM = 10,
  SNAPSHOT_CONFIG = 11,
  SNAPSHOT_NOCHANGE = 12,
  SNAPSHOT_CHECKPOINT = 13,
  SNAPSHOT_LOCKED = 14,
  SNAPSHOT_INCONSISTENT = 15,
  SNAPSHOT_NAMETOOLONG = 16,
  SNAPSHOT_NOTPATH = 17,
  SNAPSHOT_TINDRALFILE = 18,
  SNAPSHOT_TEMPLATE = 19,
  SNAPSHOT_DISKLOCKED = 20,
  SNAPSHOT_DUPLICATEDISK = 21,
  SNAPSHOT_NUM_ERRORS = 22,
};

// The reader's result. extra carries the file layer's result for FILEIO and
// the disk library's error for DISKLIB; it is 0 for every other code.
struct SnapshotError {
  SnapshotErrorCode type;
  uint32_t extra;
};

// True for SUCCESS, and for a DISKLIB error whose detail has 0 in its low byte.
bool SnapshotError_IsSuccess(SnapshotError err);
// Returns the message literal of a code ("@&!*@*@(msg.snapshot.\"NAME\")..."),
// or NULL for a value outside the table.
const char *SnapshotError_Literal(SnapshotErrorCode code);
// Returns the default text of a code (its literal without the id), or NULL for
// a value outside the table.
const char *SnapshotError_Text(SnapshotErrorCode code);

// A configuration's bytes that the caller has read already.
struct SnapshotConfigText {
  const char *text;
  size_t size;
};

// Whether the disk file diskPath is named by the virtual machine of
// configPath, in its current state or in any snapshot. On SUCCESS sets *used,
// *inCurrentState (the first node naming it, in the order snapshots then
// current state, is the current state) and *nodeCount (the snapshots, root
// included); on failure leaves them untouched. Both paths are required
// (INVAL otherwise); the outputs may be NULL. With text, the configuration
// is not read again (likewise below).
SnapshotError Snapshot_QueryDiskUse(const char *configPath, const char *diskPath, bool *used,
                                    bool *inCurrentState, int *nodeCount,
                                    const SnapshotConfigText *text = nullptr);
// The full paths of the current state's disks, in device order (ide0:0 ...
// ide1:1, then scsi0:0 ... scsi3:15). On SUCCESS *disks is a malloc'd array
// of *count malloc'd strings (allocated even when *count is 0), all the
// caller's; on failure the outputs are untouched. INVAL for a NULL argument.
SnapshotError Snapshot_GetCurrentDisks(const char *configPath, char ***disks, int *count,
                                       const SnapshotConfigText *text = nullptr);

// ---------------------------------------------------------------------------
// The reader's records and steps, exposed for tests.

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

struct SnapshotConfigInfo {
  char *configPath;    // full path of the configuration file
  char *databasePath;  // <folder>/<base name>.bxsd
  Dictionary *configDict;
  Dictionary *snapshotDict;  // empty when the database does not exist
  SnapshotLockMode lockMode;
  FileIODescriptor configFd;    // write-access test (lock mode write)
  FileIODescriptor databaseFd;  // database lock (lock modes read and write)
  char *baseName;
  char *folder;  // no trailing separator
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
// read them from configPath are used instead of reading it again.
SnapshotError SnapshotConfigInfoRead(const char *configPath, SnapshotLockMode lockMode,
                                     SnapshotConfigInfo **info,
                                     const SnapshotConfigText *text = nullptr);
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
                                     const SnapshotConfigText *text = nullptr);
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
