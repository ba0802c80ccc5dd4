// Snapshot and redo-log detection on folders built by the tests: old
// configurations read as text, version 8 configurations through the snapshot
// reader, stray redo chains, the choice and its question, and the host's
// case-sensitive names.
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "vdiskValidateTestUtil.h"

namespace {

namespace fs = std::filesystem;

TEST(ValidatePaths, PartsPatternsAndNames) {
  PathParts p("/Vms/A/../Win/Disk.Part.BXDK", false);
  EXPECT_EQ(p.fullPath, "/Vms/Win/Disk.Part.BXDK");
  EXPECT_EQ(p.folder, "/Vms/Win/");
  EXPECT_EQ(p.fileName, "Disk.Part.BXDK");
  EXPECT_EQ(p.baseName, "Disk.Part");
  EXPECT_EQ(p.extension, "BXDK");
  EXPECT_EQ(PathParts("/Vms/noext", true).fullPath, "/vms/noext");
  EXPECT_THROW(PathParts("/" + std::string(5000, 'a'), false), ApiException);

  for (const char *full : {"/a", "d:\\redo\\disk.redo", "\\\\server\\share"}) {
    EXPECT_TRUE(IsFullPath(full)) << full;
  }
  for (const char *relative : {"c:", "disk.redo", "\\a\\b"}) {
    EXPECT_FALSE(IsFullPath(relative)) << relative;
  }

  EXPECT_EQ(BaseDiskName("/vms/disk-000002.bxdk"), "/vms/disk.bxdk");
  EXPECT_EQ(BaseDiskName("/vms/a-b-123456.bxdk"), "/vms/a-b.bxdk");
  for (const char *same :
       {"disk-02.bxdk", "disk-0000001.bxdk", "DISK-000002.BXDK", "-000001.bxdk"}) {
    EXPECT_EQ(BaseDiskName(same), same);
  }

  EXPECT_EQ(EscapeSeparators("a/b\\c.d"), R"(a[/\\]b[/\\]c.d)");
  EXPECT_EQ(EscapeForPattern("/a (1)+.x"), R"([/\\]a \(1\)\+\.x)");
}

TEST(ValidatePaths, LowerCaseTouchesAsciiLettersOnly) {
  // Every byte value, at every offset within the eight-byte steps and the tail.
  std::string all;
  for (int c = 0; c < 256; c++) all += static_cast<char>(c);
  for (size_t shift = 0; shift < 9; shift++) {
    std::string text = std::string(shift, 'Q') + all;
    std::string lower = LowerCase(text);
    ASSERT_EQ(lower.size(), text.size());
    for (size_t i = 0; i < text.size(); i++) {
      char c = text[i];
      char want = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
      ASSERT_EQ(lower[i], want) << "byte " << static_cast<int>(static_cast<unsigned char>(c));
    }
  }
  EXPECT_EQ(LowerCase(""), "");
}

TEST(ValidatePaths, DerivedNamesAreFoundWithoutRegardToCase) {
  DiskFolder f("Disk.bxdk", "Sub");
  EXPECT_EQ(FindNoCase(f.disk()), f.disk());
  EXPECT_EQ(FindNoCase(f.file("DISK.BXDK")), f.disk());
  EXPECT_EQ(FindNoCase(f.file("disk.bxdk.redo")), "");
  // The folder is taken as written.
  EXPECT_EQ(FindNoCase(f.folder().substr(0, f.folder().size() - 3) + "sub/disk.bxdk"), "");
  // Relative and drive forms name nothing, whatever the working folder holds.
  EXPECT_EQ(FindNoCase("Disk.bxdk"), "");
  EXPECT_EQ(FindNoCase("c:\\vms\\disk.bxdk"), "");
}

TEST(ValidateScan, EmptyFolderUsesTheDiskWithoutAQuestion) {
  DiskFolder f;
  f.Write("notes.txt", "disk.bxdk");
  f.Write("other.bxdk.REDO");  // another disk's redo log
  Outcome r = f.Validate();
  EXPECT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.path, f.disk());
  EXPECT_EQ(r.out, "");
}

TEST(ValidateScan, OldConfigurationWithDefaultRedoLogAsksOnce) {
  DiskFolder f("Disk.bxdk");
  f.Write("win.bxx", OldConfig("scsi0:0", "Disk.bxdk"));
  std::string redo = f.Write("Disk.bxdk.REDO");

  VmList vms;
  ScanVmConfigs(f.disk(), vms);
  ASSERT_EQ(vms.size(), 2u);  // the configuration and the stray scan find one file
  EXPECT_EQ(vms[0].redoImagePath, redo);
  EXPECT_EQ(vms[1].configPath, "");
  EXPECT_EQ(vms[1].redoImagePath, redo);

  Outcome r = f.Validate(kSnapshotAsk, "y\n");
  EXPECT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.path, redo);
  EXPECT_EQ(r.out, kAskText);
}

TEST(ValidateScan, OldConfigurationDeviceRules) {
  struct Case {
    std::string config;
    bool uses;
    bool redo;
  };
  DiskFolder f;
  std::string log = f.Write("disk.redo");
  const Case cases[] = {
      {OldConfig("scsi0:0", "disk.bxdk", "true", "undoable", "disk.redo"), true, true},
      {OldConfig("ide1:0", f.disk(), "True", "undoable", "disk.redo"), true, true},
      {OldConfig("scsi0:0", "DISK.BXDK", "FALSE", "undoable", "disk.redo"), false, false},
      {OldConfig("scsi0:0", "disk.bxdk", "TRUE", "persistent", "disk.redo"), true, false},
      {OldConfig("scsi0:0", "disk.bxdk", "TRUE", "undoable", "missing.redo"), true, false},
      {OldConfig("scsi0:10", "disk.bxdk", "TRUE", "undoable", "disk.redo"), false, false},
      {OldConfig("scsi0:0", "other.bxdk", "TRUE", "undoable", "disk.redo"), false, false},
      // No version at all, or version 0: read as an old configuration.
      {OldConfig("scsi0:0", "disk.bxdk", "TRUE", "undoable", "disk.redo", "0"), true, true},
      {"ide0:0.present = \"TRUE\"\nide0:0.fileName = \"disk.bxdk\"\nide0:0.mode = \"undoable\"\n"
       "ide0:0.redo = \"disk.redo\"\n",
       true, true},
  };
  for (const Case &c : cases) {
    std::string config = f.Write("vm.bxx", c.config);
    VmUsage vm(config, f.disk());
    EXPECT_EQ(vm.usesDisk, c.uses) << c.config;
    EXPECT_EQ(vm.hasRedo, c.redo) << c.config;
    if (c.redo) {
      EXPECT_EQ(vm.redoImagePath, log);
    }
  }
  // A separator is a separator in either direction: a path written with "\"
  // names the same disk when its other characters agree.
  std::string back = f.disk();
  for (char &ch : back) {
    if (ch == '/') ch = '\\';
  }
  VmUsage vm(f.Write("vm.bxx", OldConfig("ide0:1", back)), f.disk());
  EXPECT_TRUE(vm.usesDisk);
}

TEST(ValidateScan, RedoValuesRelativeAbsoluteAndInAnotherCase) {
  DiskFolder f("disk.bxdk", "Machines/Win XP");
  fs::create_directories(f.file("Redo Logs"));
  std::string relative = f.Write("Redo Logs/Disk.REDO");
  VmUsage rel(f.Write("a.bxx", OldConfig("scsi0:0", "disk.bxdk", "TRUE", "undoable",
                                         "redo logs/../Redo Logs/disk.redo")),
              f.disk());
  // The folder part is taken as written; only the last name ignores case.
  EXPECT_TRUE(rel.hasRedo);
  EXPECT_EQ(rel.redoImagePath, relative);

  DiskFolder other;
  std::string absolute = other.Write("Abs.Redo");
  VmUsage abs(f.Write("b.bxx", OldConfig("scsi0:0", "disk.bxdk", "TRUE", "undoable",
                                         other.folder() + "/abs.redo")),
              f.disk());
  EXPECT_EQ(abs.redoImagePath, absolute);

  // A value written on the original platform names nothing here.
  VmUsage win(
      f.Write("c.bxx", OldConfig("scsi0:0", "disk.bxdk", "TRUE", "undoable", "d:\\redo\\x.redo")),
      f.disk());
  EXPECT_TRUE(win.usesDisk);
  EXPECT_FALSE(win.hasRedo);
}

TEST(ValidateScan, StrayRedoChainsAndLockFiles) {
  DiskFolder f("Data.bxdk");
  f.Write("win.bxx", OldConfig("scsi0:0", "Data.bxdk", "false"));
  f.Write("data.bxdk.redo");
  f.Write("DATA.BXDK.REDO.redo_a01234");
  f.Write("DATA.BXDK.REDO.redo_a01234.lck");
  fs::create_directories(f.file("Data.bxdk.REDO.redo_a01234.REDO"));  // folders are skipped
  VmList vms;
  ScanVmConfigs(f.disk(), vms);
  ASSERT_EQ(vms.size(), 1u);
  EXPECT_EQ(vms[0].configPath, "");
  EXPECT_TRUE(vms[0].usesDisk);
  EXPECT_EQ(vms[0].redoImagePath, f.file("DATA.BXDK.REDO.redo_a01234"));

  // A lock file alone is no redo log.
  DiskFolder g;
  g.Write("disk.bxdk.REDO.lck");
  ScanVmConfigs(g.disk(), vms);
  EXPECT_TRUE(vms.empty());
}

TEST(ValidateScan, TheChoiceAndItsAnswers) {
  DiskFolder f;
  std::string redo = f.Write("disk.bxdk.REDO");
  for (const char *yes : {"y", "Y", "yes", "  \n y", "Yo\n"}) {
    Outcome r = f.Validate(kSnapshotAsk, yes);
    EXPECT_TRUE(r.ok) << yes;
    EXPECT_EQ(r.path, redo) << yes;
    EXPECT_EQ(r.out, kAskText);
  }
  for (const char *no : {"n", "ok", "", " \n", "xy"}) {
    Outcome r = f.Validate(kSnapshotAsk, no);
    EXPECT_FALSE(r.ok) << no;
    EXPECT_EQ(r.error, kShortAbort) << no;
  }
  Outcome y = f.Validate(kSnapshotYes, "n");
  EXPECT_EQ(y.path, redo);
  EXPECT_EQ(y.out, "");
  Outcome n = f.Validate(kSnapshotNo, "y");
  EXPECT_EQ(n.error, kLongAbort);
  EXPECT_EQ(n.out, "");
}

TEST(ValidateScan, TwoMachinesWithDifferentRedoImagesAreRefused) {
  DiskFolder f;
  f.Write("a.redo");
  f.Write("b.redo");
  f.Write("a.bxx", OldConfig("scsi0:0", "disk.bxdk", "TRUE", "undoable", "a.redo"));
  f.Write("b.bxx", OldConfig("ide0:0", "disk.bxdk", "TRUE", "undoable", "b.redo"));
  for (int mode : {kSnapshotAsk, kSnapshotYes, kSnapshotNo}) {
    Outcome r = f.Validate(mode, "y");
    EXPECT_EQ(r.error, kMultiple);
    EXPECT_EQ(r.out, "");
  }
}

// Version 8: the current disks come from the configuration, the snapshots
// from the database beside it.
TEST(ValidateScan, Version8CurrentDiskAndSnapshotChildren) {
  DiskFolder f;
  const std::string header = "config.version = \"8\"\nscsi0.present = \"TRUE\"\n";
  f.Write("vm.bxx", header + "scsi0:0.present = \"TRUE\"\nscsi0:0.fileName = \"disk.bxdk\"\n");
  Outcome same = f.Validate();
  EXPECT_TRUE(same.ok) << same.error;
  EXPECT_EQ(same.path, f.disk());
  EXPECT_EQ(same.out, "");

  std::string child = f.Write("disk-000003.bxdk");
  f.Write("vm.bxx",
          header + "scsi0:0.present = \"TRUE\"\nscsi0:0.fileName = \"disk-000003.bxdk\"\n");
  f.Write("vm.bxsd",
          "snapshot.numSnapshots = \"1\"\nsnapshot.current = \"1\"\nsnapshot0.uid = \"1\"\n"
          "snapshot0.numDisks = \"1\"\nsnapshot0.disk0.fileName = \"disk.bxdk\"\n"
          "snapshot0.disk0.node = \"scsi0:0\"\n");
  Outcome asked = f.Validate(kSnapshotAsk, "y");
  EXPECT_EQ(asked.path, child);
  EXPECT_EQ(asked.out, kAskText);
  EXPECT_EQ(f.Validate(kSnapshotYes).path, child);
  EXPECT_EQ(f.Validate(kSnapshotNo).error, kLongAbort);

  // Two children of one base reduce to the same base name.
  std::string first = f.Write("disk-000001.bxdk");
  f.Write("vm.bxsd",
          "snapshot.numSnapshots = \"1\"\nsnapshot.current = \"1\"\nsnapshot0.uid = \"1\"\n"
          "snapshot0.numDisks = \"1\"\nsnapshot0.disk0.fileName = \"disk-000001.bxdk\"\n"
          "snapshot0.disk0.node = \"scsi0:0\"\n");
  Outcome sibling = DiskFolder::ValidatePath(first, kSnapshotYes);
  EXPECT_EQ(sibling.path, child);
}

TEST(ValidateScan, UnreadableSnapshotStateRefusesOnlyMachinesThatUseTheDisk) {
  DiskFolder f;
  std::string config =
      f.Write("vm.bxx",
              "config.version = \"8\"\nide0:0.present = \"TRUE\"\nide0:0.fileName = "
              "\"disk.bxdk\"\n");
  f.Write("vm.bxsd", "a = 1\nA = 2\n");
  for (int mode : {kSnapshotAsk, kSnapshotYes}) {
    Outcome r = f.Validate(mode, "y");
    EXPECT_EQ(r.error, "The snapshot state of the virtual machine configured in\n'" + config +
                           "' cannot be read: Dictionary problem.\nThe disk was not mounted.\n");
    EXPECT_EQ(r.out, "");
  }
  f.Write("vm.bxx",
          "config.version = \"8\"\nide0:0.present = \"TRUE\"\nide0:0.fileName = "
          "\"other.bxdk\"\n");
  EXPECT_TRUE(f.Validate().ok);
}

TEST(ValidateScan, MixedCaseNamesAndMetacharacters) {
  DiskFolder f("Disk+1 (copy).bxdk", "VMs/Win [A]");
  std::string redo = f.Write("disk+1 (COPY).bxdk.redo");
  f.Write("Win.BXX", OldConfig("ide0:0", "disk+1 (copy).BXDK"));
  VmList vms;
  ScanVmConfigs(f.disk(), vms);
  ASSERT_EQ(vms.size(), 2u);
  EXPECT_EQ(vms[0].configPath, f.file("Win.BXX"));
  EXPECT_EQ(vms[0].redoImagePath, redo);
  EXPECT_EQ(vms[1].redoImagePath, redo);
  EXPECT_EQ(f.Validate(kSnapshotYes).path, redo);

  // "." in the disk name is literal: diskx1 does not stand for disk.1.
  DiskFolder g("disk.1.bxdk");
  g.Write("vm.bxx", OldConfig("ide0:0", "diskx1.bxdk"));
  g.Write("disk.1.bxdk.REDO.x");
  ScanVmConfigs(g.disk(), vms);
  ASSERT_EQ(vms.size(), 1u);
  EXPECT_EQ(vms[0].configPath, "");
}

TEST(ValidateScan, ConfigurationsThatCannotBeReadStopTheScan) {
  DiskFolder f;
  std::string fifo = f.file("pipe.bxx");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Outcome r = f.Validate();  // must not wait for a writer
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error.rfind("api: ", 0), 0u) << r.error;
  EXPECT_NE(r.error.find("while reading " + fifo), std::string::npos) << r.error;

  DiskFolder g;
  fs::create_directories(g.file("folder.bxx"));
  EXPECT_NE(g.Validate().error.find("while reading " + g.file("folder.bxx")), std::string::npos);

  std::string text(100000, 'x');
  EXPECT_EQ(ReadWholeFile(0, g.Write("big.txt", text)), text);
  EXPECT_THROW(ReadWholeFile(0, g.file("missing")), ApiException);
}

}  // namespace
