// The snapshot database reader: reads a virtual machine's configuration file
// and its snapshot database (<folder>/<base name>.bxsd) into a tree of
// snapshots plus the disks of the machine's current state, resolves every
// disk file name to a full path, and answers whether a disk file is in use and
// which disk files the current state runs on.
//
// The queries read both files afresh on each call, without locks, and release
// everything before they return; nothing is cached between calls.
#pragma once

#include <cstddef>
#include <cstdint>

struct FolderNoCase;
struct HostFileId;

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
// is not read again (likewise below); with diskId, the identity of an
// existing diskPath, the disk is not looked at again; with folderNames, those
// of the configuration's folder (file/folderNoCase.h), a database that is
// missing under its own name is looked for there in another case (likewise
// below).
SnapshotError Snapshot_QueryDiskUse(const char *configPath, const char *diskPath, bool *used,
                                    bool *inCurrentState, int *nodeCount,
                                    const SnapshotConfigText *text = nullptr,
                                    const HostFileId *diskId = nullptr,
                                    FolderNoCase *folderNames = nullptr);
// The full paths of the current state's disks, in device order (ide0:0 ...
// ide1:1, then scsi0:0 ... scsi3:15). On SUCCESS *disks is a malloc'd array
// of *count malloc'd strings (allocated even when *count is 0), all the
// caller's; on failure the outputs are untouched. INVAL for a NULL argument.
SnapshotError Snapshot_GetCurrentDisks(const char *configPath, char ***disks, int *count,
                                       const SnapshotConfigText *text = nullptr,
                                       FolderNoCase *folderNames = nullptr);
