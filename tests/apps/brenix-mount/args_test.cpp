// The command-line scanner and validation table, including the host's rule
// that separates switches from absolute paths, as tables of command lines
// and what they come to.
#include "args.h"

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "brenixMount.h"
#include "testSupport.h"
#include "vdiskValidate.h"

namespace {

// Builds Args from a command line of words separated by blanks (program name
// added) and parses it once.
struct Parsed {
  std::vector<std::string> storage{"brenix-mount"};
  std::vector<char *> argv;
  std::unique_ptr<Args> args;
  bool ok = false;

  explicit Parsed(const std::string &line) {
    std::istringstream words(line);
    for (std::string w; words >> w;) storage.push_back(w);
    for (auto &s : storage) argv.push_back(s.data());
    args = std::make_unique<Args>(static_cast<int>(argv.size()), argv.data());
    ok = args->Parse();
  }

  // "ok" or "stop", the flags set, the volume, the option letters and the
  // remaining words.
  std::string Describe() const {
    const Args &a = *args;
    std::string r = ok ? "ok" : "stop";
    if (a.helpFlag) r += " help";
    if (a.deleteFlag) r += " d";
    if (a.forceFlag) r += " f";
    r += a.snapshotMode == kSnapshotYes ? " y" : a.snapshotMode == kSnapshotNo ? " n" : "";
    r += " v" + std::to_string(a.volumeNumber) + " [" + a.optionLetters + "]";
    for (const std::string &w : a.positionalArgs) r += " " + w;
    return r;
  }
};

TEST(Args, SwitchesAndDriveLetters) {
  for (auto s : {"-v:2", "-a/b", "/d", "/df", "/v:2", "/?", "/"}) EXPECT_TRUE(IsSwitch(s)) << s;
  for (auto s : {"/vms/d", "/./d", "//", "disk.bxdk", "Z:"}) EXPECT_FALSE(IsSwitch(s)) << s;
  for (const char *s : {"z:", "Z:"}) EXPECT_TRUE(IsDriveLetter(s)) << s;
  for (const char *s : {"Z:\\", "ZZ:", "1:", ":", ""}) EXPECT_FALSE(IsDriveLetter(s)) << s;
}

TEST(Args, Parse) {
  const std::pair<const char *, const char *> cases[] = {
      // A switch may stand anywhere; an absolute path is no switch.
      {"Z: disk.bxdk /v:2", "ok v2 [v] Z: disk.bxdk"},
      {"/v:2 Z: disk.bxdk", "ok v2 [v] Z: disk.bxdk"},
      {"/v 2 Z: disk.bxdk", "ok v2 [v] Z: disk.bxdk"},
      {"Z: /v2 disk.bxdk", "ok v2 [v] Z: disk.bxdk"},
      {"E: /vms/disk.bxdk /v:2", "ok v2 [v] E: /vms/disk.bxdk"},
      // A separate value is the first non-switch word.
      {"Z: disk.bxdk /v 2", "ok v0 [v] disk.bxdk 2"},
      // The value is read like atoi, saturated rather than wrapped round
      // into another volume's number; only one ":" is skipped.
      {"/v:-3", "ok v-3 [v]"},
      {"/vabc", "ok v0 [v]"},
      {"/v::5", "ok v0 [v]"},
      {"/v12x", "ok v12 [v]"},
      {"/v:4294967298", "ok v2147483647 [v]"},
      {"/v:99999999999999999999", "ok v2147483647 [v]"},
      {"/v:-4294967298", "ok v-2147483648 [v]"},
      // Help for unknown and upper-case letters and a missing value.
      {"/? a b c", "stop help v1 [] a b c"},
      {"/D a b c", "stop help v1 [] a b c"},
      {"/x a b c", "stop help v1 [] a b c"},
      {"-? a b c", "stop help v1 [] a b c"},
      {"/: a b c", "stop help v1 [] a b c"},
      {"/v", "ok help v1 []"},
      // Grouped letters; ":" gives help and the scan goes on; letters behind
      // an unknown one are dropped.
      {"/df Z:", "ok d f v1 [df] Z:"},
      {"/d:f", "ok help d f v1 [df]"},
      {"/xd", "ok help v1 []"},
      // The later snapshot choice wins.
      {"/y /n", "ok n v1 [yn]"},
      {"/n /y", "ok y v1 [ny]"},
      {"/yn", "ok n v1 [yn]"},
      // A lone "/" stops the scan.
      {"/", "stop v1 []"},
      {"/? /", "stop help v1 []"},
      {"/ /?", "stop v1 []"},
      // Dashes end the switches and vanish.
      {"- /d Z:", "ok v1 [] /d Z:"},
      {"-- /d Z:", "ok v1 [] /d Z:"},
      // At most two non-switch words.
      {"a b c", "stop v1 [] a b c"},
      {"a b", "ok v1 [] a b"},
  };
  for (const auto &[line, want] : cases) EXPECT_EQ(Parsed(line).Describe(), want) << line;
}

TEST(Args, Validate) {
  // Validation asks the mount service what is mounted; these run without one.
  DefaultValidationIo().readMounts = [] { return std::vector<MountedVolume>{}; };
  const std::string badArg = "Invalid or missing parameter on command line.\n";
  auto badPath = [](const std::string &name) {
    return "Unable to find the virtual disk '@/" + name + "'.\n";
  };
  const std::string longName(3000, 'x');
  const std::pair<std::string, std::string> cases[] = {
      // The command chosen, then "ok", the disk and the drive letter, or the refusal.
      {"", "4 ok |"},
      {"z: /d", "2 ok |z:"},
      {"Z: /f", "2 ok |Z:"},
      {"Z: /f /d", "2 ok |Z:"},
      {"disk.bxdk /p", "3 ok @/disk.bxdk|"},  // made absolute
      {"E: @/disk.bxdk /v:2 /y", "1 ok @/disk.bxdk|E:"},
      {"Z:", "2 " + badArg},
      {"disk.bxdk", "3 " + badArg},  // exists, but /p is missing
      {"nothere.bxdk", "3 " + badPath("nothere.bxdk")},
      {longName, "3 " + badPath(longName)},  // made absolute whatever its length
      {"/d", "4 " + badArg},                 // no drive letter: the listing refuses it
      {"Z:\\ /d", "3 " + badPath("Z:\\")},   // takes the path branch
      {"Z: disk.bxdk /d", "1 " + badArg},
      {"/p /d Z:", "2 " + badArg},
      // The drive letter became the value: "disk.bxdk" is the drive and the
      // value word the path, badPath while no such file exists, else badArg.
      {"Z: disk.bxdk /v 2", "1 " + badPath("2")},
      {"Z: disk.bxdk /v disk.bxdk", "1 " + badArg},
  };
  for (const auto &[line, want] : cases) {
    testsupport::TempDir dir;
    testsupport::ScopedCwd in(dir.path());
    testsupport::WriteFile(dir.file("disk.bxdk"), "x");
    auto expand = [&](std::string text) {
      for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, dir.path());
      return text;
    };
    Parsed p(expand(line));
    std::string error;
    const Args &a = *p.args;
    std::string got = p.args->Validate(error) ? "ok " + a.diskPath + "|" + a.driveLetter : error;
    EXPECT_EQ(std::to_string(a.command) + " " + got, expand(want)) << line;
  }
  DefaultValidationIo() = ValidationIo{};
}

}  // namespace
