// The two queries of the snapshot reader and its result texts, on small
// configurations and databases written by the tests.
#include "snapshot/snapshot.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host/fs.h"
#include "snapshotTestUtil.h"
#include "user/msg.h"

namespace {

using Strings = std::vector<std::string>;

// A query's answer: "unused", "snapshot" (first named by a snapshot) or
// "current", then the node count; on failure Error(code), with a note when
// the outputs were not left alone.
std::string Use(const std::string &config, const std::string &disk,
                const HostFileId *diskId = nullptr, const SnapshotConfigText *given = nullptr) {
  bool used = true, inCurrentState = true;
  int nodeCount = -1;
  SnapshotError err = Snapshot_QueryDiskUse(config.c_str(), disk.c_str(), &used, &inCurrentState,
                                            &nodeCount, given, diskId);
  std::string answer;
  if (err.type != SNAPSHOT_SUCCESS) {
    answer.append("error ").append(std::to_string(err.type));
    return answer.append(used && inCurrentState && nodeCount == -1 ? "" : ", outputs changed");
  }
  answer = !used ? (inCurrentState ? "unused but current " : "unused ")
                 : (inCurrentState ? "current " : "snapshot ");
  return answer.append(std::to_string(nodeCount));
}

std::string Error(SnapshotErrorCode code) {
  return std::string("error ").append(std::to_string(code));
}

// The current disks; on failure the outputs must be left alone.
Strings CurrentDisks(const std::string &config, SnapshotErrorCode want = SNAPSHOT_SUCCESS,
                     const SnapshotConfigText *given = nullptr) {
  char *sentinel[1] = {nullptr};
  char **disks = sentinel;
  int count = -7;
  SnapshotError err = Snapshot_GetCurrentDisks(config.c_str(), &disks, &count, given);
  EXPECT_EQ(err.type, want);
  if (err.type != SNAPSHOT_SUCCESS) {
    EXPECT_TRUE(disks == sentinel && count == -7) << "outputs changed";
    return {};
  }
  EXPECT_NE(disks, nullptr);  // an array even when empty
  Strings result(disks, disks + count);
  for (int i = 0; i < count; i++) free(disks[i]);
  free(disks);
  return result;
}

const char kIdeDisk[] = "ide0:0.present = \"TRUE\"\nide0:0.fileName = \"disk.bxdk\"\n";

TEST(SnapshotQueryTest, AConfigurationTextInHandIsNotReadAgain) {
  VmFolder vm;
  std::string disk = vm.Touch("disk.bxdk");
  std::string other = vm.Touch("other.bxdk");
  vm.WriteConfig(kIdeDisk);
  std::string text =
      "config.version = \"8\"\nide0:0.present = \"TRUE\"\nide0:0.fileName = \"other.bxdk\"\n";
  SnapshotConfigText given = {text.data(), text.size()};
  EXPECT_EQ(Use(vm.config(), disk, nullptr, &given), "unused 1");
  EXPECT_EQ(Use(vm.config(), other, nullptr, &given), "current 1");
  EXPECT_EQ(CurrentDisks(vm.config(), SNAPSHOT_SUCCESS, &given), Strings{other});
}

// Which node names a disk: the snapshots come before the current state, and
// another name of the same file is the same disk.
TEST(SnapshotQueryTest, DiskUseAndCurrentDisks) {
  const std::string scsiChild =
      "scsi0.present = \"TRUE\"\nscsi0:0.present = \"TRUE\"\n"
      "scsi0:0.fileName = \"base-000001.bxdk\"\n";
  const std::string oneSnapshot =
      "snapshot.numSnapshots = \"1\"\nsnapshot.current = \"1\"\nsnapshot0.uid = \"1\"\n"
      "snapshot0.numDisks = \"1\"\nsnapshot0.disk0.node = \"scsi0:0\"\n"
      "snapshot0.disk0.fileName = ";
  const struct {
    std::string config, database, disk, use, currentDisk;
    std::string databaseName = "vm.bxsd";
  } cases[] = {
      {kIdeDisk, "", "disk.bxdk", "current 1", "disk.bxdk"},
      {kIdeDisk, "", "base.bxdk", "unused 1", "disk.bxdk"},
      {scsiChild, oneSnapshot + "\"base.bxdk\"\n", "base.bxdk", "snapshot 2", "base-000001.bxdk"},
      {scsiChild, oneSnapshot + "\"base.bxdk\"\n", "base-000001.bxdk", "current 2",
       "base-000001.bxdk"},
      {scsiChild, oneSnapshot + "\"base.bxdk\"\n", "./base.bxdk", "snapshot 2", "base-000001.bxdk"},
      {kIdeDisk, oneSnapshot + "\"disk.bxdk\"\n", "disk.bxdk", "snapshot 2", "disk.bxdk"},
      // The database's name in another case is the database.
      {kIdeDisk, oneSnapshot + "\"disk.bxdk\"\n", "disk.bxdk", "snapshot 2", "disk.bxdk",
       "VM.Bxsd"},
  };
  for (const auto &c : cases) {
    VmFolder vm;
    for (const char *name : {"disk.bxdk", "base.bxdk", "base-000001.bxdk"}) vm.Touch(name);
    vm.WriteConfig(c.config);
    if (!c.database.empty()) testsupport::WriteFile(vm.file(c.databaseName), c.database);
    EXPECT_EQ(Use(vm.config(), vm.file(c.disk)), c.use) << c.disk;
    EXPECT_EQ(CurrentDisks(vm.config()), Strings{vm.file(c.currentDisk)});
  }
}

TEST(SnapshotQueryTest, FailuresLeaveTheOutputsAlone) {
  VmFolder vm;
  vm.WriteConfig(kIdeDisk);  // disk.bxdk does not exist
  EXPECT_EQ(Use(vm.config(), vm.file("disk.bxdk")), Error(SNAPSHOT_NOTFOUND));
  CurrentDisks(vm.config(), SNAPSHOT_NOTFOUND);
  EXPECT_EQ(Use(vm.file("missing.bxx"), vm.file("x")), Error(SNAPSHOT_NOTFOUND));
  EXPECT_EQ(Snapshot_QueryDiskUse(nullptr, "x", nullptr, nullptr, nullptr).type, SNAPSHOT_INVAL);
  EXPECT_EQ(Snapshot_QueryDiskUse(vm.config().c_str(), nullptr, nullptr, nullptr, nullptr).type,
            SNAPSHOT_INVAL);
}

TEST(SnapshotQueryTest, CurrentDisksFollowDeviceOrderAndAnEmptyStateGivesAnArray) {
  VmFolder vm;
  Strings want = {vm.Touch("a.bxdk"), vm.Touch("b.bxdk"), vm.Touch("d.bxdk"), vm.Touch("c.bxdk")};
  vm.WriteConfig(
      "scsi3.present = \"TRUE\"\nscsi3:15.present = \"TRUE\"\nscsi3:15.fileName = \"c.bxdk\"\n"
      "ide1:1.present = \"TRUE\"\nide1:1.fileName = \"b.bxdk\"\n"
      "ide0:1.present = \"TRUE\"\nide0:1.fileName = \"a.bxdk\"\n"
      // Names in any case, and names of no device (a disk that is not there).
      "SCSI0.Present = \"TRUE\"\nScsi0:1.PRESENT = \"TRUE\"\nscsi0:1.FILENAME = \"d.bxdk\"\n"
      "scsi0:01.present = \"TRUE\"\nscsi0:16.present = \"TRUE\"\nide2:0.present = \"TRUE\"\n"
      "scsi0:01.fileName = \"x.bxdk\"\nscsi0:16.fileName = \"x\"\nide2:0.fileName = \"x\"\n");
  EXPECT_EQ(CurrentDisks(vm.config()), want);
  VmFolder empty;
  empty.WriteConfig("");
  EXPECT_EQ(CurrentDisks(empty.config()), Strings{});
}

std::vector<std::string> gPosts;

// A query reads what a full read does: a value it does not need still draws
// its message, in the same order.
TEST(SnapshotQueryTest, ValuesThatDoNotConvertAreReported) {
  VmFolder vm;
  vm.Touch("disk.bxdk");
  vm.WriteConfig("ide0:0.present = \"maybe\"\ntemplateVM = \"maybe\"\n");
  vm.WriteDatabase(
      "snapshot.numSnapshots = \"1\"\nsnapshot0.uid = \"1\"\nsnapshot0.type = \"q\"\n"
      "snapshot.mru1.uid = \"x\"\n");
  Msg_SetPostCallback([](int, const char *text, const char *) { gPosts.push_back(text); });
  EXPECT_EQ(Use(vm.config(), vm.file("disk.bxdk")), "unused 2");  // "maybe" is not present
  Msg_SetPostCallback(nullptr);
  Strings names;
  for (const std::string &text : gPosts) names.push_back(text.substr(text.find("variable")));
  EXPECT_EQ(names, (Strings{"variable `templateVM' is not a valid boolean value.\n",
                            "variable `snapshot.mru1.uid' is not a valid integer value.\n",
                            "variable `snapshot0.type' is not a valid integer value.\n",
                            "variable `ide0:0.present' is not a valid boolean value.\n"}));
}

TEST(SnapshotErrorTest, TextsAndSuccess) {
  EXPECT_STREQ(SnapshotError_Text(SNAPSHOT_INCONSISTENT),
               "The snapshot files are in an inconsistent state");
  EXPECT_EQ(SnapshotError_Text(SNAPSHOT_NUM_ERRORS), nullptr);
  EXPECT_EQ(SnapshotError_Literal(static_cast<SnapshotErrorCode>(-1)), nullptr);

  EXPECT_TRUE(SnapshotError_IsSuccess({SNAPSHOT_SUCCESS, 0}));
  EXPECT_TRUE(SnapshotError_IsSuccess({SNAPSHOT_DISKLIB, 0x1200}));
  EXPECT_FALSE(SnapshotError_IsSuccess({SNAPSHOT_DISKLIB, 0x1201}));
  EXPECT_FALSE(SnapshotError_IsSuccess({SNAPSHOT_FILEIO, 0}));
}

// A chain of snapshots with one disk each, d000.bxdk and up, all in the
// machine's folder unless a test moves one: enough disks that their folder
// is read in one sweep rather than asked about disk by disk.
class ManyDisksTest : public testing::Test {
 protected:
  static constexpr int kDisks = 60;
  static std::string Disk(int i) {
    char name[16];
    snprintf(name, sizeof name, "d%03d.bxdk", i);
    return name;
  }
  void SetUp() override {
    std::string db = "snapshot.numSnapshots = \"" + std::to_string(kDisks) + "\"\n";
    for (int i = 0; i < kDisks; i++) {
      std::string s = "snapshot" + std::to_string(i);
      db += s + ".uid = \"" + std::to_string(i + 1) + "\"\n" + s + ".parent = \"" +
            std::to_string(i) + "\"\n" + s + ".numDisks = \"1\"\n" + s + ".disk0.fileName = \"" +
            Disk(i) + "\"\n";
      vm_.Touch(Disk(i));
    }
    vm_.WriteDatabase(db);
    vm_.WriteConfig(kIdeDisk);
    vm_.Touch("disk.bxdk");
  }
  VmFolder vm_;
};

// 61 nodes: the root and the snapshots.
TEST_F(ManyDisksTest, AnotherNameOfADiskIsFoundThroughItsIdentity) {
  std::filesystem::create_hard_link(vm_.file(Disk(45)), vm_.file("alias.bxdk"));
  EXPECT_EQ(Use(vm_.config(), vm_.file("alias.bxdk")), "snapshot 61");
  EXPECT_EQ(Use(vm_.config(), vm_.file("disk.bxdk")), "current 61");
  EXPECT_EQ(Use(vm_.config(), vm_.Touch("unused.bxdk")), "unused 61");
  // The identity the caller looked at is the disk's: the path is not asked.
  HostFileId id;
  ASSERT_TRUE(HostFs_GetFileId(vm_.file(Disk(45)).c_str(), &id));
  EXPECT_EQ(Use(vm_.config(), vm_.file("gone.bxdk"), &id), "snapshot 61");
  ASSERT_TRUE(HostFs_GetFileId(vm_.file("unused.bxdk").c_str(), &id));
  EXPECT_EQ(Use(vm_.config(), vm_.file("alias.bxdk"), &id), "unused 61");
}

TEST_F(ManyDisksTest, MissingAndDanglingDisksFailTheLoad) {
  std::filesystem::remove(vm_.file(Disk(50)));
  EXPECT_EQ(Use(vm_.config(), vm_.file("disk.bxdk")), Error(SNAPSHOT_NOTFOUND));
  std::filesystem::remove(vm_.file(Disk(50)));
  std::filesystem::create_symlink("nowhere.bxdk", vm_.file(Disk(50)));
  EXPECT_EQ(Use(vm_.config(), vm_.file("disk.bxdk")), Error(SNAPSHOT_NOTFOUND));
  vm_.Touch("nowhere.bxdk");
  // Through the link the database names.
  EXPECT_EQ(Use(vm_.config(), vm_.file("nowhere.bxdk")), "snapshot 61");
}

TEST_F(ManyDisksTest, TheSearchPathIsTriedInOrderAfterTheFolder) {
  std::filesystem::create_directories(vm_.file("first"));
  std::filesystem::create_directories(vm_.file("second"));
  vm_.WriteConfig(std::string(kIdeDisk) + "fileSearchPath = \"first;second\"\n");
  // Disk 40 only in the second folder of the search path, disk 41 in both.
  std::filesystem::rename(vm_.file(Disk(40)), vm_.file("second/" + Disk(40)));
  testsupport::WriteFile(vm_.file("first/" + Disk(41)), "");
  testsupport::WriteFile(vm_.file("second/" + Disk(41)), "");
  std::filesystem::rename(vm_.file(Disk(41)), vm_.file("away.bxdk"));
  // A name in the folder itself comes before the search path.
  testsupport::WriteFile(vm_.file("first/" + Disk(42)), "");
  const std::pair<std::string, const char *> cases[] = {{"second/" + Disk(40), "snapshot 61"},
                                                        {"first/" + Disk(41), "snapshot 61"},
                                                        {"second/" + Disk(41), "unused 61"},
                                                        {"first/" + Disk(42), "unused 61"}};
  for (const auto &[disk, use] : cases) EXPECT_EQ(Use(vm_.config(), vm_.file(disk)), use) << disk;
  // A path so long that following it for every disk could take hours is
  // refused, however soon the disks are found.
  std::string path;
  for (int i = 0; i < 5000; i++) path.append("n").append(std::to_string(i)).append(";");
  vm_.WriteConfig(std::string(kIdeDisk) + "fileSearchPath = \"" + path + "first;second\"\n");
  EXPECT_EQ(Use(vm_.config(), vm_.file("first/" + Disk(41))), Error(SNAPSHOT_CONFIG));
}

}  // namespace
