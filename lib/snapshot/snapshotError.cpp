// The snapshot reader's result codes and their message literals, for callers
// that show a reader failure to the user.
#include <cstring>

#include "snapshot/snapshot.h"
#include "user/msg.h"

namespace {

// Indexed by SnapshotErrorCode.
const char *const kLiterals[SNAPSHOT_NUM_ERRORS] = {
    MSGID(snapshot."SUCCESS") "The operation completed successfully",
    MSGID(snapshot."INVAL") "One of the parameters supplied is invalid",
    MSGID(snapshot."MEM") "Out of memory",
    MSGID(snapshot."FILEIO") "File IO problem",
    MSGID(snapshot."DUMPER") "Unable to open snapshot file",
    MSGID(snapshot."DISKLIB") "Disk problem",
    MSGID(snapshot."DICTIONARY") "Dictionary problem",
    MSGID(snapshot."NOTFOUND") "A needed file was not found",
    MSGID(snapshot."EXISTS") "A file by that name already exists",
    MSGID(snapshot."VERSION") "Snapshots are not allowed on this virtual machine",
    MSGID(snapshot."NOPERM") "Insufficient permissions",
    MSGID(snapshot."CONFIG") "Something is wrong with the configuration file",
    MSGID(snapshot."NOCHANGE") "The state of the virtual machine has not changed since the "
                               "last snapshot operation",
    MSGID(snapshot."CHECKPOINT") "Unable to save snapshot file",
    MSGID(snapshot."LOCKED") "A snapshot operation is already in progress",
    MSGID(snapshot."INCONSISTENT") "The snapshot files are in an inconsistent state",
    MSGID(snapshot."NAMETOOLONG") "The filename is too long",
    MSGID(snapshot."NOTPATH") "The filename provided is incorrect",
    MSGID(snapshot."TINDRALFILE") "Cannot snapshot all metadata files",
    MSGID(snapshot."TEMPLATE") "The virtual machine is a template",
    MSGID(snapshot."DISKLOCKED") "One or more of the disks are busy",
    MSGID(snapshot."DUPLICATEDISK") "One of the disks in this virtual machine is already in use "
                                    "by a virtual machine or by a snapshot",
};

}  // namespace

bool SnapshotError_IsSuccess(SnapshotError err) {
  // The disk library reports success with any detail whose low byte is 0.
  return err.type == SNAPSHOT_SUCCESS || (err.type == SNAPSHOT_DISKLIB && (err.extra & 0xFF) == 0);
}

const char *SnapshotError_Literal(SnapshotErrorCode code) {
  if (code < 0 || code >= SNAPSHOT_NUM_ERRORS) {
    return nullptr;
  }
  return kLiterals[code];
}

const char *SnapshotError_Text(SnapshotErrorCode code) {
  const char *literal = SnapshotError_Literal(code);
  if (literal == nullptr) {
    return nullptr;
  }
  return strchr(literal, ')') + 1;
}
