// The command-line scanner and validation table, including the host's rule
// that separates switches from absolute paths.
#include "args.h"

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brenixMount.h"
#include "testSupport.h"
#include "vdiskValidate.h"

namespace {

// Validation asks the mount service what is mounted; these tests run without one.
const bool kNoService = [] {
  DefaultValidationIo().readMounts = [] { return std::vector<MountedVolume>{}; };
  return true;
}();

// Builds Args from a command line (program name added) and parses it once.
struct Parsed {
  std::vector<std::string> storage;
  std::vector<char *> argv;
  std::unique_ptr<Args> args;
  bool ok = false;

  explicit Parsed(std::vector<std::string> words) : storage(std::move(words)) {
    storage.insert(storage.begin(), "brenix-mount");
    for (auto &s : storage) argv.push_back(s.data());
    args = std::make_unique<Args>(static_cast<int>(argv.size()), argv.data());
    ok = args->Parse();
  }
};

TEST(IsSwitch, DashAlwaysSlashOnlyWithoutSecondSlash) {
  EXPECT_TRUE(IsSwitch("-v:2"));
  EXPECT_TRUE(IsSwitch("-a/b"));
  EXPECT_TRUE(IsSwitch("/d"));
  EXPECT_TRUE(IsSwitch("/df"));
  EXPECT_TRUE(IsSwitch("/v:2"));
  EXPECT_TRUE(IsSwitch("/?"));
  EXPECT_TRUE(IsSwitch("/"));
  EXPECT_FALSE(IsSwitch("/vms/disk.bxdk"));
  EXPECT_FALSE(IsSwitch("/./disk.bxdk"));
  EXPECT_FALSE(IsSwitch("//"));
  EXPECT_FALSE(IsSwitch("disk.bxdk"));
  EXPECT_FALSE(IsSwitch("Z:"));
}

TEST(IsDriveLetter, OneLetterAndColonOnly) {
  EXPECT_TRUE(IsDriveLetter("z:"));
  EXPECT_TRUE(IsDriveLetter("Z:"));
  EXPECT_FALSE(IsDriveLetter("Z:\\"));
  EXPECT_FALSE(IsDriveLetter("ZZ:"));
  EXPECT_FALSE(IsDriveLetter("1:"));
  EXPECT_FALSE(IsDriveLetter(":"));
  EXPECT_FALSE(IsDriveLetter(""));
}

TEST(ArgsParse, SwitchMayStandAnywhere) {
  for (auto words : {std::vector<std::string>{"Z:", "disk.bxdk", "/v:2"},
                     std::vector<std::string>{"/v:2", "Z:", "disk.bxdk"},
                     std::vector<std::string>{"-v:2", "Z:", "disk.bxdk"},
                     std::vector<std::string>{"/v", "2", "Z:", "disk.bxdk"},
                     std::vector<std::string>{"Z:", "/v2", "disk.bxdk"}}) {
    Parsed p(words);
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.args->volumeNumber, 2);
    EXPECT_EQ(p.args->positionalArgs, (std::vector<std::string>{"Z:", "disk.bxdk"}));
    EXPECT_EQ(p.args->optionLetters, "v");
  }
}

TEST(ArgsParse, AbsolutePathIsNotASwitch) {
  Parsed p({"E:", "/vms/disk.bxdk", "/v:2"});
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.args->volumeNumber, 2);
  EXPECT_EQ(p.args->positionalArgs, (std::vector<std::string>{"E:", "/vms/disk.bxdk"}));
  EXPECT_FALSE(p.args->helpFlag);
}

TEST(ArgsParse, SeparateValueIsTheFirstNonSwitchArgument) {
  Parsed p({"Z:", "disk.bxdk", "/v", "2"});
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.args->volumeNumber, 0);  // "Z:" was taken as the value
  EXPECT_EQ(p.args->positionalArgs, (std::vector<std::string>{"disk.bxdk", "2"}));
}

TEST(ArgsParse, ValueTextIsReadLikeAtoi) {
  EXPECT_EQ(Parsed({"/v:-3"}).args->volumeNumber, -3);
  EXPECT_EQ(Parsed({"/vabc"}).args->volumeNumber, 0);
  EXPECT_EQ(Parsed({"/v::5"}).args->volumeNumber, 0);  // only one ":" is skipped
  EXPECT_EQ(Parsed({"/v12x"}).args->volumeNumber, 12);
  // Saturated, never wrapped round into another volume's number.
  EXPECT_EQ(Parsed({"/v:4294967298"}).args->volumeNumber, 2147483647);
  EXPECT_EQ(Parsed({"/v:99999999999999999999"}).args->volumeNumber, 2147483647);
  EXPECT_EQ(Parsed({"/v:-4294967298"}).args->volumeNumber, -2147483647 - 1);
}

TEST(ArgsParse, HelpForUnknownAndUpperCaseLetters) {
  for (const char *sw : {"/?", "/D", "/x", "-?", "/:"}) {
    Parsed p({sw, "a", "b", "c"});
    EXPECT_TRUE(p.args->helpFlag) << sw;
  }
  Parsed missingValue({"/v"});
  EXPECT_TRUE(missingValue.args->helpFlag);
  EXPECT_EQ(missingValue.args->optionLetters, "");
}

TEST(ArgsParse, GroupedLettersAndColon) {
  Parsed p({"/df", "Z:"});
  ASSERT_TRUE(p.ok);
  EXPECT_TRUE(p.args->deleteFlag);
  EXPECT_TRUE(p.args->forceFlag);
  EXPECT_EQ(p.args->optionLetters, "df");

  Parsed colon({"/d:f"});  // ":" gives '?', then the scan goes on with f
  EXPECT_TRUE(colon.args->helpFlag);
  EXPECT_EQ(colon.args->optionLetters, "df");

  Parsed dropped({"/xd"});  // letters behind an unknown one are dropped
  EXPECT_TRUE(dropped.args->helpFlag);
  EXPECT_EQ(dropped.args->optionLetters, "");
}

TEST(ArgsParse, LaterSnapshotChoiceWins) {
  EXPECT_EQ(Parsed({"/y", "/n"}).args->snapshotMode, kSnapshotNo);
  EXPECT_EQ(Parsed({"/n", "/y"}).args->snapshotMode, kSnapshotYes);
  EXPECT_EQ(Parsed({"/yn"}).args->optionLetters, "yn");
}

TEST(ArgsParse, LoneSlashStopsTheScan) {
  Parsed lone({"/"});
  EXPECT_FALSE(lone.ok);
  EXPECT_FALSE(lone.args->helpFlag);

  Parsed helpFirst({"/?", "/"});
  EXPECT_FALSE(helpFirst.ok);
  EXPECT_TRUE(helpFirst.args->helpFlag);

  Parsed slashFirst({"/", "/?"});
  EXPECT_FALSE(slashFirst.ok);
  EXPECT_FALSE(slashFirst.args->helpFlag);
  EXPECT_TRUE(slashFirst.args->positionalArgs.empty());
}

TEST(ArgsParse, DashesEndTheSwitchesAndVanish) {
  for (const char *end : {"-", "--"}) {
    Parsed p({end, "/d", "Z:"});
    ASSERT_TRUE(p.ok);
    EXPECT_FALSE(p.args->deleteFlag);
    EXPECT_EQ(p.args->positionalArgs, (std::vector<std::string>{"/d", "Z:"}));
  }
}

TEST(ArgsParse, MoreThanTwoNonSwitchArguments) {
  EXPECT_FALSE(Parsed({"a", "b", "c"}).ok);
  EXPECT_TRUE(Parsed({"a", "b"}).ok);
}

TEST(ArgsCheckOptions, RequiredAndAllowed) {
  Parsed p({"/d", "/f", "Z:"});
  EXPECT_TRUE(p.args->CheckOptions("d", "f"));
  EXPECT_TRUE(p.args->CheckOptions("f", "d"));
  EXPECT_FALSE(p.args->CheckOptions("d", ""));
  EXPECT_FALSE(p.args->CheckOptions("p", "df"));
  EXPECT_TRUE(Parsed({}).args->CheckOptions("", ""));
}

class ArgsValidate : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(getcwd(oldCwd_, sizeof oldCwd_), oldCwd_);
    ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    testsupport::WriteFile(dir_.file("disk.bxdk"), "x");
  }
  void TearDown() override { ASSERT_EQ(chdir(oldCwd_), 0); }

  // Runs Validate; returns its result and the error text.
  std::pair<bool, std::string> Validate(Parsed &p) {
    std::string error;
    bool ok = p.args->Validate(error);
    return {ok, error};
  }

  testsupport::TempDir dir_;
  char oldCwd_[4096];
};

TEST_F(ArgsValidate, ChoosesTheCommand) {
  Parsed none({});
  EXPECT_TRUE(Validate(none).first);
  EXPECT_EQ(none.args->command, kCommandListMounted);

  Parsed dismount({"z:", "/d"});
  EXPECT_TRUE(Validate(dismount).first);
  EXPECT_EQ(dismount.args->command, kCommandDismount);
  EXPECT_EQ(dismount.args->driveLetter, "z:");

  Parsed list({"disk.bxdk", "/p"});
  EXPECT_TRUE(Validate(list).first);
  EXPECT_EQ(list.args->command, kCommandListDiskVolumes);
  EXPECT_EQ(list.args->diskPath, dir_.file("disk.bxdk"));  // made absolute

  Parsed mount({"E:", dir_.file("disk.bxdk"), "/v:2", "/y"});
  EXPECT_TRUE(Validate(mount).first);
  EXPECT_EQ(mount.args->command, kCommandMount);
  EXPECT_EQ(mount.args->diskPath, dir_.file("disk.bxdk"));
}

TEST_F(ArgsValidate, RefusalTexts) {
  const std::string badArg = "Invalid or missing parameter on command line.\n";
  Parsed noSwitch({"Z:"});
  EXPECT_EQ(Validate(noSwitch), std::make_pair(false, badArg));

  Parsed lonePath({"disk.bxdk"});  // exists, but /p is missing
  EXPECT_EQ(Validate(lonePath), std::make_pair(false, badArg));

  Parsed missing({"nothere.bxdk"});
  EXPECT_EQ(Validate(missing), std::make_pair(false, "Unable to find the virtual disk '" +
                                                         dir_.file("nothere.bxdk") + "'.\n"));

  Parsed stray({"/d"});  // a switch with no drive letter: the listing refuses it
  EXPECT_EQ(Validate(stray), std::make_pair(false, badArg));

  Parsed trailingBackslash({"Z:\\", "/d"});  // takes the path branch, /p missing
  EXPECT_FALSE(Validate(trailingBackslash).first);
  EXPECT_EQ(trailingBackslash.args->command, kCommandListDiskVolumes);

  Parsed wrongSwitch({"Z:", "disk.bxdk", "/d"});
  EXPECT_EQ(Validate(wrongSwitch), std::make_pair(false, badArg));
}

TEST_F(ArgsValidate, ValueTakenFromTheDriveLetter) {
  // "Z: disk.bxdk /v 2": the drive letter becomes the value, so "disk.bxdk" is
  // the drive and "2" the path: badPath while no file "2" exists, else badArg.
  Parsed p({"Z:", "disk.bxdk", "/v", "2"});
  auto [ok, error] = Validate(p);
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, "Unable to find the virtual disk '" + dir_.file("2") + "'.\n");

  testsupport::WriteFile(dir_.file("2"), "x");
  Parsed q({"Z:", "disk.bxdk", "/v", "2"});
  EXPECT_EQ(Validate(q),
            std::make_pair(false, std::string("Invalid or missing parameter on command line.\n")));
}

}  // namespace
