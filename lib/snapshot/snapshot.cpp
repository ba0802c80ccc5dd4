// The two questions the disk validation asks of a virtual machine: does it use
// a given disk file (now or in a snapshot), and which disk files make up its
// current state. Each call loads the configuration and database afresh,
// without locks, and releases everything before it returns.
#include <cstdlib>

#include <cstring>

#include "host/fs.h"
#include "misc/panic.h"
#include "snapshot/snapshot.h"
#include "snapshotInfo.h"

namespace {

SnapshotError MakeError(SnapshotErrorCode code) {
  SnapshotError err;
  err.type = code;
  err.extra = 0;
  return err;
}

// The same-file test of the file layer (identical text, or the same device
// and inode), with the queried disk looked at once instead of once per disk
// of the database: a large database names tens of thousands of disks.
// Identical inodes are of one kind, so the folder-or-file check is implied.
// Only whether some node of the tree names the disk matters (the current
// state is visited last), so a first pass compares the texts alone and the
// system is asked about each disk only when none of them matches.
struct DiskUseQuery {
  const char *diskPath;
  bool diskExists;
  bool compareIds;  // false: texts only
  HostFileId diskId;
  int visited;
  SnapshotNode *finding;  // the first node naming the disk, in visiting order
  // The names last looked at by identity, and the answers: nodes next to
  // each other in the tree mostly name the same disks.
  static constexpr int kRecent = 4;
  const char *recentNames[kRecent];
  bool recentAnswers[kRecent];
  int nextRecent;
};

bool IsQueriedDisk(DiskUseQuery *query, const SnapshotDisk *disk) {
  const char *fileName = disk->fileName;
  if (strcmp(query->diskPath, fileName) == 0) {
    return true;
  }
  if (!query->compareIds || !query->diskExists) {
    return false;
  }
  for (int i = 0; i < DiskUseQuery::kRecent; i++) {
    if (query->recentNames[i] != nullptr && strcmp(query->recentNames[i], fileName) == 0) {
      return query->recentAnswers[i];
    }
  }
  // The expansion mostly looked at the disk already.
  HostFileId id;
  if (disk->idKnown) id = disk->id;
  bool same = (disk->idKnown || HostFs_GetFileId(fileName, &id)) &&
              id.volumeSerial == query->diskId.volumeSerial &&
              id.indexHigh == query->diskId.indexHigh && id.indexLow == query->diskId.indexLow;
  query->recentNames[query->nextRecent] = fileName;
  query->recentAnswers[query->nextRecent] = same;
  query->nextRecent = (query->nextRecent + 1) % DiskUseQuery::kRecent;
  return same;
}

void VisitForDiskUse(SnapshotNode *node, DiskUseQuery *query) {
  query->visited++;
  if (query->finding != nullptr) {
    return;
  }
  for (int i = 0; i < node->numDisks; i++) {
    if (node->disks[i].fileName != nullptr && IsQueriedDisk(query, &node->disks[i])) {
      query->finding = node;
      return;
    }
  }
}

void WalkForDiskUse(SnapshotNode *root, DiskUseQuery *query) {
  SnapshotTreeWalk(
      root,
      [](SnapshotNode *node, void *ctx) {
        VisitForDiskUse(node, static_cast<DiskUseQuery *>(ctx));
        return false;
      },
      query);
}

// The machine of configPath with the disks of every state, unlocked; INVAL
// when the path or an argument the caller checked (argsValid) is missing.
SnapshotError LoadDisks(const char *configPath, bool argsValid, const SnapshotConfigText *text,
                        FolderNoCase *folderNames, SnapshotConfigInfo **info) {
  if (configPath == nullptr || !argsValid) {
    return MakeError(SNAPSHOT_INVAL);
  }
  return SnapshotConfigInfoLoad(configPath, SNAPSHOT_LOCK_NONE, info, text, SNAPSHOT_READ_DISKS,
                                folderNames);
}

}  // namespace

SnapshotError Snapshot_QueryDiskUse(const char *configPath, const char *diskPath, bool *used,
                                    bool *inCurrentState, int *nodeCount,
                                    const SnapshotConfigText *text, const HostFileId *diskId,
                                    FolderNoCase *folderNames) {
  SnapshotConfigInfo *info = nullptr;
  SnapshotError err = LoadDisks(configPath, diskPath != nullptr, text, folderNames, &info);
  if (err.type != SNAPSHOT_SUCCESS) {
    return err;
  }
  DiskUseQuery query = {diskPath, false, false, {}, 0, nullptr, {}, {}, 0};
  WalkForDiskUse(info->root, &query);
  if (query.finding == nullptr) {
    query.visited = 0;
    query.compareIds = true;
    if (diskId != nullptr) {
      query.diskExists = true;
      query.diskId = *diskId;
    } else {
      query.diskExists = HostFs_GetFileId(diskPath, &query.diskId);
    }
    WalkForDiskUse(info->root, &query);
  }
  VisitForDiskUse(info->currentState, &query);

  if (used != nullptr) {
    *used = query.finding != nullptr;
  }
  if (inCurrentState != nullptr) {
    *inCurrentState = query.finding != nullptr && query.finding == info->currentState;
  }
  if (nodeCount != nullptr) {
    *nodeCount = query.visited - 1;
  }
  SnapshotConfigInfoFree(info);
  return err;
}

SnapshotError Snapshot_GetCurrentDisks(const char *configPath, char ***disks, int *count,
                                       const SnapshotConfigText *text, FolderNoCase *folderNames) {
  SnapshotConfigInfo *info = nullptr;
  SnapshotError err =
      LoadDisks(configPath, disks != nullptr && count != nullptr, text, folderNames, &info);
  if (err.type != SNAPSHOT_SUCCESS) {
    return err;
  }
  const SnapshotNode *state = info->currentState;
  char **array = static_cast<char **>(Util_SafeMalloc(sizeof(char *) * state->numDisks));
  for (int i = 0; i < state->numDisks; i++) {
    array[i] = Util_SafeStrdup(state->disks[i].fileName);
  }
  *disks = array;
  *count = state->numDisks;
  SnapshotConfigInfoFree(info);
  return err;
}
