// The disk file checks and their order: read-only, already mounted (through
// any name of the same file), compressed (disk and redo image), suspended
// machines, and the file identity behind the same-file rule.
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "vdiskValidateTestUtil.h"

namespace {

const std::string kReadOnly = "Brenix-mount cannot mount a read-only virtual disk.\n";
const std::string kCompressed =
    "Brenix-mount cannot mount compressed virtual disks.  To mount this virtual\n"
    "disk, right-click the file's icon and clear the compression checkbox on\n"
    "the file's advanced properties page.\n";
const std::string kSuspended =
    "The disk cannot be mounted because it is attached to a suspended\n"
    "virtual machine.\n";

std::string AlreadyMounted(const std::string &letter) {
  return "Brenix-mount cannot mount two volumes from the same virtual disk.\n"
         "This disk is already mounted as drive " +
         letter + ":.\n";
}

// Sets user.DOSATTRIB; false when the file system keeps no user attributes.
bool SetDosAttributes(const std::string &path, const std::string &value) {
  return setxattr(path.c_str(), "user.DOSATTRIB", value.data(), value.size(), 0) == 0;
}

TEST(ValidateChecks, ReadOnlyIsRefusedBeforeTheServiceIsAsked) {
  DiskFolder f;
  f.Write("disk.bxdk.REDO");  // the redo image would have been taken
  ASSERT_EQ(chmod(f.disk().c_str(), 0444), 0);
  Outcome r = f.Validate(kSnapshotYes);
  EXPECT_EQ(r.error, kReadOnly);
  EXPECT_EQ(r.mountReads, 0);

  DiskFolder g;
  if (!SetDosAttributes(g.disk(), "0x21")) GTEST_SKIP() << "no user attributes here";
  EXPECT_EQ(g.Validate().error, kReadOnly);
  SetDosAttributes(g.disk(), "0x20");
  EXPECT_TRUE(g.Validate().ok);
}

TEST(ValidateChecks, VanishedDiskIsAHostError) {
  DiskFolder f;
  ASSERT_EQ(unlink(f.disk().c_str()), 0);
  Outcome r = f.Validate();
  EXPECT_EQ(r.error.rfind("api: ", 0), 0u) << r.error;
}

TEST(ValidateChecks, CompressedDiskOrRedoImage) {
  DiskFolder f;
  std::string redo = f.Write("disk.bxdk.REDO");
  if (!SetDosAttributes(redo, "0x800")) GTEST_SKIP() << "no user attributes here";
  // Only the file that would be used matters when the user declines.
  EXPECT_EQ(f.Validate(kSnapshotYes).error, kCompressed);
  EXPECT_EQ(f.Validate(kSnapshotAsk, "y").error, kCompressed);
  EXPECT_EQ(f.Validate(kSnapshotNo).error,
            "The virtual disk was not mounted because a virtual machine using this disk\n"
            "is maintaining an active snapshot.\n");

  DiskFolder g;
  SetDosAttributes(g.disk(), "0x800");
  Outcome r = g.Validate();
  EXPECT_EQ(r.error, kCompressed);
  EXPECT_EQ(r.mountReads, 1);  // after the mounted check
}

TEST(ValidateChecks, AlreadyMountedUnderAnyNameOfTheFile) {
  DiskFolder f;
  std::string link = f.file("link.bxdk");
  std::string hard = f.file("hard.bxdk");
  ASSERT_EQ(symlink(f.disk().c_str(), link.c_str()), 0);
  ASSERT_EQ(::link(f.disk().c_str(), hard.c_str()), 0);
  DiskFolder other;  // a disk of the same name elsewhere

  std::vector<MountedVolume> mounts = {{"E", other.disk()}, {"G", link}};
  EXPECT_EQ(f.Validate(kSnapshotAsk, "", mounts).error, AlreadyMounted("G"));
  mounts = {{"H", hard}, {"G", link}};
  EXPECT_EQ(f.Validate(kSnapshotAsk, "", mounts).error, AlreadyMounted("H"));
  EXPECT_TRUE(f.Validate(kSnapshotAsk, "", {{"E", other.disk()}}).ok);

  // The command line's form reads the mounts through the replaceable default.
  DefaultValidationIo().readMounts = [&] { return std::vector<MountedVolume>{{"J", hard}}; };
  std::string path = f.disk();
  EXPECT_THROW(ValidateDisk(path, kSnapshotAsk), UserError);
  DefaultValidationIo() = ValidationIo{};

  // The same path string matches even when the file cannot be looked up.
  std::string missing = f.file("gone.bxdk");
  EXPECT_THROW(CheckOneVolumePerDisk(missing, {{"K", missing}}), UserError);
  EXPECT_NO_THROW(CheckOneVolumePerDisk(missing, {{"K", f.file("gone2.bxdk")}}));
}

TEST(ValidateChecks, ChosenRedoImageAlreadyMounted) {
  DiskFolder f;
  std::string redo = f.Write("disk.bxdk.REDO");
  Outcome r = f.Validate(kSnapshotYes, "", {{"K", redo}});
  EXPECT_EQ(r.error, AlreadyMounted("K"));
  EXPECT_EQ(r.mountReads, 1);
  EXPECT_EQ(f.Validate(kSnapshotAsk, "y", {{"K", redo}}).error, AlreadyMounted("K"));
  // Mounted elsewhere: the redo image is free to use.
  DiskFolder other;
  EXPECT_TRUE(f.Validate(kSnapshotYes, "", {{"K", other.Write("disk.bxdk.REDO")}}).ok);
}

TEST(ValidateChecks, FailedIdentitiesMatchOnlyByPath) {
  FileIdentity a("/nonexistent/a");
  EXPECT_TRUE(a.incomplete());
  EXPECT_FALSE(a == FileIdentity("/nonexistent/b"));
  EXPECT_TRUE(a == FileIdentity("/nonexistent/a"));
  DiskFolder f;
  EXPECT_TRUE(FileIdentity(f.disk()) == FileIdentity(f.folder() + "/./disk.bxdk"));
}

TEST(ValidateChecks, SuspendedMachineIsRefusedAfterTheQuestion) {
  DiskFolder f;
  f.Write("Win.bxx", OldConfig("scsi0:0", "disk.bxdk"));
  f.Write("disk.bxdk.REDO");
  f.Write("WIN.BXSS");
  Outcome r = f.Validate(kSnapshotAsk, "y");
  EXPECT_EQ(r.error, kSuspended);
  EXPECT_NE(r.out, "");  // the question came first

  // A suspended machine that does not use the disk changes nothing.
  DiskFolder g;
  g.Write("other.bxx", OldConfig("scsi0:0", "other.bxdk"));
  g.Write("other.bxss");
  EXPECT_TRUE(g.Validate().ok);

  // The stray redo record has no configuration and is never suspended.
  VmUsage stray("", g.disk());
  EXPECT_NO_THROW(CheckSuspended(stray));
}

TEST(ValidateChecks, ScanFailureComesAfterTheMountCheck) {
  DiskFolder f;
  std::string config = f.file("vm.bxx");
  ASSERT_EQ(mkdir(config.c_str(), 0700), 0);  // cannot be read as a file
  Outcome r = f.Validate(kSnapshotAsk, "", {{"E", f.disk()}});
  EXPECT_EQ(r.error, AlreadyMounted("E"));
  r = f.Validate();
  EXPECT_NE(r.error.find("while reading " + config), std::string::npos) << r.error;
}

}  // namespace
