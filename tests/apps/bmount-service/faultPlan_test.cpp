// The fault plan's line syntax and its re-reading when the file changes.
#include "faultPlan.h"

#include <cstdio>

#include <gtest/gtest.h>

#include "host/daemon.h"
#include "privatePrefix.h"
#include "testSupport.h"

namespace {

FaultPlanContent Parse(const std::string &text, std::vector<std::string> *problems = nullptr) {
  FaultPlanContent content;
  FaultPlan_Parse(text, &content, problems);
  return content;
}

TEST(FaultPlanParse, RulesNullListingsAndOverrides) {
  std::vector<std::string> problems;
  FaultPlanContent c = Parse(
      "# a comment\n"
      "   # an indented comment\n"
      "\n"
      "IMount.MountAs 0x80004005 Access denied by policy  \n"
      "IMountList.Count\t0x8004020b\n"
      "IMountManager.GetMounts 0x80004005 overridden\n"
      "IMountManager.GetMounts null\n"  // the later rule for a method wins
      "IDiskVolume.SectorCount -2147467259 negative decimal\n"
      "listing id=9 file=\"x\" driveLetter=\"q:\"  # kept  \n"
      "listing\n"
      "listing \n",
      &problems);
  EXPECT_TRUE(problems.empty());
  ASSERT_EQ(c.rules.size(), 4u);
  const FaultRule &mountAs = c.rules["IMount.MountAs"];
  EXPECT_FALSE(mountAs.null);
  EXPECT_EQ(mountAs.hr, COM_HRESULT(0x80004005u));
  EXPECT_TRUE(mountAs.hasDescription);
  EXPECT_EQ(mountAs.description, "Access denied by policy");
  EXPECT_EQ(c.rules["IMountList.Count"].hr, COM_HRESULT(0x8004020Bu));
  EXPECT_FALSE(c.rules["IMountList.Count"].hasDescription);
  EXPECT_TRUE(c.rules["IMountManager.GetMounts"].null);
  EXPECT_FALSE(c.rules["IMountManager.GetMounts"].hasDescription);
  EXPECT_EQ(c.rules["IDiskVolume.SectorCount"].hr, COM_HRESULT(0x80004005u));
  // Everything after the one blank, verbatim.
  EXPECT_EQ(c.listings,
            (std::vector<std::string>{"id=9 file=\"x\" driveLetter=\"q:\"  # kept  ", "", ""}));
}

TEST(FaultPlanParse, BadLinesAreReportedAndSkipped) {
  std::vector<std::string> problems;
  FaultPlanContent c = Parse(
      "IMount.Mount 0x80004005\n"      // no such method
      "IMount.MountAs\n"               // no result
      "IMount.MountAs 0x1234567890\n"  // too wide
      "IMount.MountAs 12abc\n"         // not a number
      "IMount.MountAs 0x-1\n"          // hex without a sign
      "IMount.MountAs +5\n"            // decimal without a plus
      "IMount.MountAs 4294967296\n"    // beyond 32 bits
      "IMount.MountAs -2147483649\n"
      "IMount.MountAs null extra\n"     // text after null
      "listings x\n"                    // not the listing keyword
      "IMount.Unmount 0x80004005\r\n",  // CR LF line end is fine
      &problems);
  EXPECT_EQ(problems.size(), 10u);
  EXPECT_NE(problems[0].find("line 1"), std::string::npos);
  EXPECT_NE(problems[0].find("IMount.Mount"), std::string::npos);
  ASSERT_EQ(c.rules.size(), 1u);
  EXPECT_EQ(c.rules.count("IMount.Unmount"), 1u);
  EXPECT_FALSE(c.rules["IMount.Unmount"].hasDescription);
  EXPECT_TRUE(c.listings.empty());
}

TEST(FaultPlanParse, CrashAndStopSteps) {
  std::vector<std::string> problems;
  FaultPlanContent c = Parse(
      "crash MountAs.linked\n"
      "crash   Unmount.saved  \n"
      "crash MountAs\n"         // a method is not a step
      "crash Unmount.linked\n"  // no such step
      "crash\n"
      "crashes MountAs.saved\n"
      "stop Unmount.flushed\n"
      "stop  MountAs.linked \n"
      "stop Unmount\n"
      "stops Unmount.saved\n",
      &problems);
  EXPECT_EQ(c.crashes, (std::set<std::string>{"MountAs.linked", "Unmount.saved"}));
  EXPECT_EQ(c.stops, (std::set<std::string>{"Unmount.flushed", "MountAs.linked"}));
  ASSERT_EQ(problems.size(), 6u);
  EXPECT_NE(problems[0].find("unknown step \"MountAs\""), std::string::npos);
  EXPECT_TRUE(c.rules.empty());
}

TEST(FaultPlan, FollowsTheFile) {
  HostLog_Open("test", true);
  testsupport::PrivatePrefix prefix;  // the plan's problems become event records
  std::string path = prefix.work("plan");
  FaultPlan plan(path);
  EXPECT_FALSE(plan.Find("IMount.MountAs"));  // missing file: no faults

  testsupport::WriteFile(path, "IMount.MountAs 0x80004005 one\nlisting a\n");
  std::optional<FaultRule> rule = plan.Find("IMount.MountAs");
  ASSERT_TRUE(rule);
  EXPECT_EQ(rule->description, "one");
  EXPECT_EQ(plan.Listings(), std::vector<std::string>{"a"});

  // Replaced by a file of another size.
  testsupport::WriteFile(path + ".new", "IMount.Unmount null\n");
  ASSERT_EQ(std::rename((path + ".new").c_str(), path.c_str()), 0);
  EXPECT_FALSE(plan.Find("IMount.MountAs"));
  EXPECT_TRUE(plan.Find("IMount.Unmount"));
  EXPECT_TRUE(plan.Listings().empty());

  std::remove(path.c_str());
  EXPECT_FALSE(plan.Find("IMount.Unmount"));
}

}  // namespace
