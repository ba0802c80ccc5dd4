// The snapshot reader's steps: version gate, paths, keys, the snapshot tree and
// its walk order, the current-state devices, expansion and the lock modes.
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "file/file.h"
#include "snapshotInfo.h"
#include "snapshotTestUtil.h"

namespace {

// Reads (or with load, also expands) a configuration, and owns the result.
struct Info {
  explicit Info(const std::string &config, bool load = false,
                SnapshotLockMode mode = SNAPSHOT_LOCK_NONE, FolderNoCase *names = nullptr)
      : err(load ? SnapshotConfigInfoLoad(config.c_str(), mode, &info, nullptr, SNAPSHOT_READ_ALL,
                                          names)
                 : SnapshotConfigInfoRead(config.c_str(), mode, &info, nullptr, SNAPSHOT_READ_ALL,
                                          names)) {}
  Info(const Info &) = delete;
  Info &operator=(const Info &) = delete;
  ~Info() { SnapshotConfigInfoFree(info); }
  bool ok() const { return err.type == SNAPSHOT_SUCCESS; }
  SnapshotConfigInfo *operator->() const { return info; }

  SnapshotConfigInfo *info = nullptr;
  SnapshotError err;
};

// "snapshotI.uid = U" and "snapshotI.parent = P" for each (uid, parent).
std::string Snapshots(const std::vector<std::pair<int, int>> &nodes) {
  std::string text = "snapshot.numSnapshots = \"" + std::to_string(nodes.size()) + "\"\n";
  for (size_t i = 0; i < nodes.size(); i++) {
    std::string key = "snapshot" + std::to_string(i);
    text += key + ".uid = \"" + std::to_string(nodes[i].first) + "\"\n";
    text += key + ".parent = \"" + std::to_string(nodes[i].second) + "\"\n";
  }
  return text;
}

// n snapshots below the root, then n of one repeated uid whose first lies
// below the last of them: finding it walks past all n each time.
std::string LongWalks(int n) {
  std::vector<std::pair<int, int>> nodes;
  for (int i = 1; i <= n; i++) nodes.emplace_back(i, 0);
  for (int i = 0; i < n; i++) nodes.emplace_back(-1, i == 0 ? n : -1);
  return Snapshots(nodes);
}

// What a read of a configuration (after its header) and a database gives.
TEST(SnapshotReadTest, ResultCodes) {
  const std::string v8 = "config.version = \"8\"\n";
  const std::string v9 = "config.version = \"9\"\n";
  const struct {
    std::string config;
    std::string database;
    SnapshotErrorCode want;
  } cases[] = {
      {v8, "", SNAPSHOT_SUCCESS},
      {v9, "", SNAPSHOT_VERSION},
      {v9 + "snapshot.version = \"2\"\n", "", SNAPSHOT_SUCCESS},
      {"config.version = \"8.0\"\nsnapshot.version = \"1\"\n", "", SNAPSHOT_VERSION},
      // Present but empty reads as the default "1".
      {"config.version = \"\"\n", "", SNAPSHOT_VERSION},
      {"", "", SNAPSHOT_VERSION},
      {v8 + "[section]\n", "", SNAPSHOT_DICTIONARY},
      {v8, "a = 1\nA = 2\n", SNAPSHOT_DICTIONARY},
      {v8 + "ide1:0.present = \"TRUE\"\nide1:0.fileName = \"u.bxdk\"\nide1:0.mode = \"undoable\"\n",
       "", SNAPSHOT_CONFIG},
      // Unknown parents: one that does not exist, a child before its parent,
      // a snapshot its own parent.
      {v8, Snapshots({{1, 0}, {2, 9}}), SNAPSHOT_INCONSISTENT},
      {v8, Snapshots({{2, 1}, {1, 0}}), SNAPSHOT_INCONSISTENT},
      {v8, Snapshots({{1, 1}}), SNAPSHOT_INCONSISTENT},
      // Counts beyond what the file holds fail instead of running away.
      {v8, "snapshot.numSnapshots = \"2000000000\"\n", SNAPSHOT_INCONSISTENT},
      {v8, Snapshots({{1, 0}}) + "snapshot0.numDisks = \"100000000\"\n", SNAPSHOT_INCONSISTENT},
      {v8, "snapshot.mru.maxNum = \"-5\"\nsnapshot.numSnapshots = \"-1\"\n", SNAPSHOT_SUCCESS},
      {v8 + "numCloneOf = \"99999999\"\n", "", SNAPSHOT_CONFIG},
      // Repeated uids are followed until their walks would take quadratic time.
      {v8, LongWalks(100), SNAPSHOT_SUCCESS},
      {v8, LongWalks(2000), SNAPSHOT_INCONSISTENT},
  };
  for (const auto &c : cases) {
    VmFolder vm;
    vm.WriteConfig(c.config, "");
    if (!c.database.empty()) vm.WriteDatabase(c.database);
    Info r(vm.config());
    EXPECT_EQ(r.err.type, c.want) << c.config << c.database;
    EXPECT_EQ(r.ok(), r.info != nullptr);
  }
  VmFolder vm;
  EXPECT_EQ(Info(vm.config()).err.type, SNAPSHOT_NOTFOUND);
  // A folder exists but is no dictionary; with lock mode write it is not writable.
  EXPECT_EQ(Info(vm.path()).err.type, SNAPSHOT_DICTIONARY);
  EXPECT_EQ(Info(vm.path(), false, SNAPSHOT_LOCK_WRITE).err.type, SNAPSHOT_NOPERM);
}

// The database's name keeps any extension but the configuration's own; it
// is found whatever its case, the exact name first, else the match that
// sorts first; read-only or locked alike, and through the names of its
// folder read once for many configurations.
TEST(SnapshotReadTest, TheDatabaseIsFoundBesideTheConfigurationInAnyCase) {
  const struct {
    std::string config;
    std::vector<std::string> present;
    std::string used;
  } cases[] = {{"Win.bxx", {}, "Win.bxsd"},
               {"Win.BXX", {}, "Win.BXX.bxsd"},
               {"vm.cfg", {}, "vm.bxsd"},
               {"a.bxx.old", {}, "a.bxx.old.bxsd"},
               {"noext", {}, "noext.bxsd"},
               {"vm.bxx", {"VM.BXSD"}, "VM.BXSD"},
               {"vm.bxx", {"vm.bxsd", "VM.BXSD"}, "vm.bxsd"},
               {"vm.bxx", {"Vm.bxsd", "VM.BXSD"}, "VM.BXSD"},
               {"vm.bxx", {}, "vm.bxsd"}};
  for (const auto &c : cases) {
    for (SnapshotLockMode mode : {SNAPSHOT_LOCK_NONE, SNAPSHOT_LOCK_READ}) {
      for (bool shared : {false, true}) {
        SCOPED_TRACE(c.config + " " + c.used + " " + std::to_string(mode) + " " +
                     std::to_string(shared));
        VmFolder vm(c.config);
        vm.WriteConfig("");
        for (const std::string &name : c.present) vm.Touch(name);
        std::unique_ptr<FolderNoCase, void (*)(FolderNoCase *)> names(
            shared ? FolderNoCase_Create(vm.path().c_str()) : nullptr, FolderNoCase_Free);
        Info r(vm.config(), false, mode, names.get());
        ASSERT_TRUE(r.ok());
        EXPECT_EQ(std::string(r->databasePath), vm.file(c.used));
        EXPECT_EQ(std::string(r->folder), vm.path());
        EXPECT_EQ(std::string(r->configPath), vm.config());
      }
    }
  }
}

TEST(SnapshotReadTest, SingleKeysAndTheEmptyValueRule) {
  VmFolder vm;
  vm.WriteConfig(
      "fileSearchPath = \"\"\nnvram = \"\"\ndisplayName = \"\"\ntemplateVM = \"TRUE\"\n"
      "numCloneOf = \"2\"\ncloneOf0 = \"x.bxx\"\ncloneOf1 = \"\"\n"
      "checkpoint.vmState = \"vm.bxss\"\n");
  vm.WriteDatabase(
      "snapshot.lastUID = \"7\"\nsnapshot.mru.maxNum = \"2\"\n"
      "snapshot.mru1.uid = \"5\"\nnumSentinels = \"1\"\nsentinel0 = \"s\"\n");
  Info r(vm.config(), true);
  ASSERT_TRUE(r.ok());
  EXPECT_STREQ(r->searchPath, ".");
  EXPECT_STREQ(r->nvram, "nvram");
  EXPECT_EQ(std::string(r->nvramPath), vm.file("nvram"));
  EXPECT_EQ(r->displayName, nullptr);
  EXPECT_TRUE(r->templateVM);
  ASSERT_EQ(r->cloneOf.count, 2);
  EXPECT_STREQ(r->cloneOf.items[0], "x.bxx");
  EXPECT_EQ(r->cloneOf.items[1], nullptr);
  ASSERT_EQ(r->sentinels.count, 1);
  EXPECT_STREQ(r->sentinels.items[0], "s");
  EXPECT_EQ(r->lastUid, 7);
  ASSERT_EQ(r->mruMax, 2);
  EXPECT_EQ(r->mruUids[0], 0);
  EXPECT_EQ(r->mruUids[1], 5);
  // A suspended-state file that cannot be found is dropped, not an error.
  EXPECT_EQ(r->vmState, nullptr);
  std::string vmss = vm.Touch("vm.bxss");
  Info found(vm.config(), true);
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(std::string(found->vmState), vmss);
}

TEST(SnapshotReadTest, WorkingFolderLeadsTheSearchPath) {
  VmFolder vm;
  vm.WriteConfig("workingDir = \"/w\"\nfileSearchPath = \"a;/w;b;/w\"\n");
  Info r(vm.config());
  ASSERT_TRUE(r.ok());
  EXPECT_STREQ(r->searchPath, "/w;a;b;/w");

  vm.WriteConfig("workingDir = \"/w\"\nfileSearchPath = \"/w/x;/w\"\nnvram = \"/w/nv\"\n");
  Info last(vm.config());
  ASSERT_TRUE(last.ok());
  EXPECT_STREQ(last->searchPath, "/w;/w/x");
  // A full NVRAM name is not joined to the configuration's folder.
  ASSERT_EQ(SnapshotConfigInfoExpand(last.info).type, SNAPSHOT_SUCCESS);
  EXPECT_STREQ(last->nvramPath, "/w/nv");
}

TEST(SnapshotReadTest, RelativeDisksAreFoundAlongTheSearchPath) {
  VmFolder vm;
  std::string elsewhere = vm.path() + "/sub";
  vm.WriteConfig(std::string("ide0:0.present = \"TRUE\"\nide0:0.fileName = \"../x/disk.bxdk\"\n") +
                 "fileSearchPath = \"none;sub\"\n");
  Info missing(vm.config(), true);
  EXPECT_EQ(missing.err.type, SNAPSHOT_NOTFOUND);
  EXPECT_EQ(missing.info, nullptr);
  // Allowed, a missing name stays as it is and is reported.
  Info allowed(vm.config());
  char *name = nullptr;
  EXPECT_EQ(SnapshotConfigInfoExpandDisks(allowed.info, true, &name).type, SNAPSHOT_SUCCESS);
  EXPECT_EQ(testsupport::Take(name), "../x/disk.bxdk");
  EXPECT_STREQ(allowed->currentState->disks[0].fileName, "../x/disk.bxdk");

  std::filesystem::create_directory(elsewhere);
  testsupport::WriteFile(elsewhere + "/disk.bxdk", "");
  Info found(vm.config(), true);
  ASSERT_TRUE(found.ok());
  ASSERT_EQ(found->currentState->numDisks, 1);
  EXPECT_EQ(std::string(found->currentState->disks[0].fileName), elsewhere + "/disk.bxdk");

  // The same disk named in a snapshot must be found too; a snapshot disk
  // without a file name cannot be.
  vm.WriteDatabase(
      "snapshot.numSnapshots = \"1\"\nsnapshot0.uid = \"1\"\n"
      "snapshot0.numDisks = \"1\"\nsnapshot0.disk0.node = \"ide0:0\"\n");
  EXPECT_EQ(Info(vm.config(), true).err.type, SNAPSHOT_NOTFOUND);
}

TEST(SnapshotReadTest, CurrentStateDevicesAndSnapshotFields) {
  VmFolder vm;
  vm.WriteConfig(
      "ide0:0.present = \"TRUE\"\nide0:0.fileName = \"plain.bxdk\"\n"
      "ide0:1.present = \"TRUE\"\nide0:1.deviceType = \"cdrom-image\"\n"
      "ide0:1.fileName = \"x.iso\"\n"
      "ide1:0.present = \"FALSE\"\nide1:0.fileName = \"off.bxdk\"\n"
      "ide1:1.present = \"TRUE\"\nide1:1.fileName = \"\"\n"
      "scsi0.present = \"FALSE\"\nscsi0:0.present = \"TRUE\"\nscsi0:0.fileName = \"s0.bxdk\"\n"
      "scsi0:0.mode = \"undoable\"\n"
      "scsi1.present = \"TRUE\"\nscsi1:15.present = \"TRUE\"\nscsi1:15.fileName = \"s1.bxdk\"\n"
      "scsi1:15.deviceType = \"SCSI-HARDDISK\"\nscsi1:15.mode = \"Independent-NonPersistent\"\n");
  vm.WriteDatabase(Snapshots({{3, 0}}) +
                   "snapshot0.filename = \"vm-Snapshot3.bxsn\"\nsnapshot0.displayName = \"one\"\n"
                   "snapshot0.createTimeHigh = \"1\"\nsnapshot0.createTimeLow = \"-1\"\n"
                   "snapshot0.type = \"2\"\nsnapshot0.numClones = \"1\"\n"
                   "snapshot0.clone0 = \"c.bxx\"\nsnapshot0.numDisks = \"1\"\n"
                   "snapshot0.disk0.fileName = \"d.bxdk\"\nsnapshot0.disk0.mode = \"1\"\n");
  Info r(vm.config());
  ASSERT_TRUE(r.ok());
  SnapshotNode *state = r->currentState;
  EXPECT_STREQ(state->fileName, "currentState");
  ASSERT_EQ(state->numDisks, 2);
  EXPECT_STREQ(state->disks[0].node, "ide0:0");
  EXPECT_STREQ(state->disks[0].fileName, "plain.bxdk");
  EXPECT_EQ(state->disks[0].mode, SNAPSHOT_DISK_PERSISTENT);
  EXPECT_STREQ(state->disks[1].node, "scsi1:15");
  EXPECT_EQ(state->disks[1].mode, SNAPSHOT_DISK_INDEPENDENT_NONPERSISTENT);

  SnapshotNode *node = r->root->child;
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->parent, r->root);
  EXPECT_STREQ(node->fileName, "vm-Snapshot3.bxsn");
  EXPECT_STREQ(node->displayName, "one");
  EXPECT_EQ(node->description, nullptr);
  EXPECT_EQ(node->createTime, 0x1FFFFFFFFull);
  EXPECT_EQ(node->type, 2);
  ASSERT_EQ(node->clones.count, 1);
  EXPECT_STREQ(node->clones.items[0], "c.bxx");
  ASSERT_EQ(node->numDisks, 1);
  EXPECT_STREQ(node->disks[0].fileName, "d.bxdk");
  EXPECT_EQ(node->disks[0].node, nullptr);
  EXPECT_EQ(node->disks[0].mode, 1);
  // snapshot.current is unset: uid 0 is the root.
  EXPECT_EQ(r->currentSnapshot, r->root);
}

// A tree as text: uid(children...).
std::string Shape(const SnapshotNode *n) {
  std::string text = std::to_string(n->uid) + "(";
  for (const SnapshotNode *c = n->child; c != nullptr; c = c->sibling) text += Shape(c);
  return text + ")";
}

TEST(SnapshotTreeTest, DuplicateUidsResolveToTheFirstInWalkOrder) {
  VmFolder vm;
  vm.WriteConfig("");
  // Siblings come before children in walk order. Uid 5 is read first below 1
  // (and then gets child 8), then below 2; the one below 2 comes first in
  // walk order from then on, so it is the parent of 6 and the current one.
  // A parent of 0 is always the root, even with a snapshot of uid 0 around.
  vm.WriteDatabase(Snapshots({{1, 0}, {2, 0}, {5, 1}, {8, 5}, {5, 2}, {6, 5}, {0, 6}, {7, 0}}) +
                   "snapshot.current = \"5\"\n");
  Info r(vm.config());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(Shape(r->root), "0(1(5(8()))2(5(6(0())))7())");
  std::vector<int> walk;
  SnapshotTreeWalk(
      r->root,
      [](SnapshotNode *node, void *ctx) {
        static_cast<std::vector<int> *>(ctx)->push_back(node->uid);
        return false;
      },
      &walk);
  EXPECT_EQ(walk, (std::vector<int>{0, 1, 2, 7, 5, 6, 0, 5, 8}));
  EXPECT_EQ(r->currentSnapshot, r->root->child->sibling->child);
  EXPECT_EQ(SnapshotTreeFind(r->root, 9), nullptr);
}

// The reference: every parent found by a full walk of the tree built so far.
struct RefNode {
  int uid;
  std::vector<RefNode *> children;
};

// The walk order written as its definition: a node, then the walk of its
// next sibling, then the walk of its first child.
RefNode *RefFind(const std::vector<RefNode *> &siblings, size_t k, int uid) {
  if (k == siblings.size()) return nullptr;
  RefNode *n = siblings[k];
  if (n->uid == uid) return n;
  RefNode *found = RefFind(siblings, k + 1, uid);
  return found != nullptr ? found : RefFind(n->children, 0, uid);
}

std::string RefShape(const RefNode *n) {
  std::string text = std::to_string(n->uid) + "(";
  for (const RefNode *c : n->children) text += RefShape(c);
  return text + ")";
}

TEST(SnapshotTreeTest, ParentsMatchAFullWalkOnRandomDatabases) {
  unsigned seed = 12345;
  auto next = [&seed](unsigned bound) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % bound;
  };
  for (int round = 0; round < 40; round++) {
    std::vector<std::unique_ptr<RefNode>> nodes;
    RefNode root{0, {}};
    std::vector<std::pair<int, int>> snapshots;
    int count = 5 + static_cast<int>(next(40));
    for (int i = 0; i < count; i++) {
      // Few distinct uids, so that many are duplicated; parents among them.
      int uid = 1 + static_cast<int>(next(8));
      unsigned pick = next(static_cast<unsigned>(nodes.size() + 1));
      int parentUid = pick == 0 ? 0 : nodes[pick - 1]->uid;
      RefNode *parent = RefFind({&root}, 0, parentUid);
      ASSERT_NE(parent, nullptr);
      nodes.push_back(std::make_unique<RefNode>(RefNode{uid, {}}));
      parent->children.push_back(nodes.back().get());
      snapshots.emplace_back(uid, parentUid);
    }
    VmFolder vm;
    vm.WriteConfig("");
    vm.WriteDatabase(Snapshots(snapshots));
    Info r(vm.config());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(Shape(r->root), RefShape(&root)) << "round " << round;
  }
}

TEST(SnapshotLockTest, LockModesUseTheDatabaseLockFile) {
  VmFolder vm;
  vm.WriteConfig("");
  std::string lock = vm.file("vm.bxsd.lck");
  {
    Info reader(vm.config(), false, SNAPSHOT_LOCK_READ);
    ASSERT_TRUE(reader.ok());
    EXPECT_TRUE(File_Exists(vm.file("vm.bxsd").c_str()));  // created when missing
    EXPECT_TRUE(File_Exists(lock.c_str()));
    Info writer(vm.config(), false, SNAPSHOT_LOCK_WRITE);
    EXPECT_EQ(writer.err.type, SNAPSHOT_FILEIO);
    EXPECT_EQ(writer.err.extra, 4u);  // lock failed
    EXPECT_EQ(writer.info, nullptr);
    EXPECT_TRUE(Info(vm.config()).ok());
  }
  EXPECT_FALSE(File_Exists(lock.c_str()));
  EXPECT_TRUE(Info(vm.config(), false, SNAPSHOT_LOCK_WRITE).ok());
}

}  // namespace
