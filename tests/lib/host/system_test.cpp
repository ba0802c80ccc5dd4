// Version parsing and the joined command line (built from the argument
// vector or from /proc). The module path is seen end to end, as the path
// the service registers.
#include "host/system.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "testSupport.h"

namespace {

TEST(SystemTest, VersionParsing) {
  HostVersion v = {9, 9, 9};
  EXPECT_TRUE(HostSystem_ParseVersion("1.4.10", &v));
  EXPECT_EQ(std::tuple(v.platformId, v.major, v.minor), std::tuple(1u, 4u, 10u));
  EXPECT_TRUE(HostSystem_ParseVersion("2.4294967295.0", &v));
  EXPECT_EQ(v.major, 4294967295u);
  for (const char *bad :
       {"", "2", "2.4", "2.4.", "2.4.0.", "2.4.0.1", "2..0", ".2.4", "-1.4.0", "+1.4.0", " 2.4.0",
        "2.4.0 ", "2.4.x", "0x2.4.0", "2.4294967296.0", "99999999999999999999.0.0"}) {
    HostVersion w = {7, 7, 7};
    EXPECT_FALSE(HostSystem_ParseVersion(bad, &w)) << '"' << bad << '"';
    EXPECT_EQ(w.platformId, 7u);
  }
  // The version taken from the environment, or the default for a malformed
  // one, is seen end to end through the version gate.
}

TEST(SystemTest, JoinQuotesEmptyAndBlankArguments) {
  const char *argv[] = {"brenix-mount", "E:", "/vms/my disk.bxdk", "", "a\tb", "say\"x\""};
  EXPECT_EQ(testsupport::Take(HostSystem_JoinArgs(6, argv)),
            "brenix-mount E: \"/vms/my disk.bxdk\" \"\" \"a\tb\" say\"x\"");
}

TEST(SystemChild, PrintCommandLine) {
  const char *mode = getenv("HOSTCOM_SYSTEM_CHILD");
  if (mode == nullptr) {
    GTEST_SKIP() << "runs only as a child";
  }
  if (std::string(mode) == "args") {
    const char *argv[] = {"tool", "x y"};
    HostSystem_SetArgs(2, argv);
  }
  printf("<%s>\n", HostSystem_CommandLine());
  const char *argv[] = {"later"};
  HostSystem_SetArgs(1, argv);  // too late: the line handed out stays
  printf("<%s>\n", HostSystem_CommandLine());
}

TEST(SystemTest, CommandLineFromArgsOrProc) {
  std::string self = std::filesystem::read_symlink("/proc/self/exe");
  std::string filter = "--gtest_filter=SystemChild.PrintCommandLine";
  auto r = testsupport::Run({self, filter, "a b", ""}, {"HOSTCOM_SYSTEM_CHILD=proc"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::string expected = "<" + self + " " + filter + " \"a b\" \"\">\n";
  EXPECT_NE(r.out.find(expected + expected), std::string::npos) << r.out;

  r = testsupport::Run({self, filter}, {"HOSTCOM_SYSTEM_CHILD=args"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("<tool \"x y\">\n<tool \"x y\">\n"), std::string::npos) << r.out;
}

}  // namespace
