// The console message box, run in a child whose standard streams are pipes so
// that it never waits for a key.
#include "host/console.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "testSupport.h"

namespace {

// Run as a child by MessageBoxOnStderr with the caption and body in the
// environment.
TEST(ConsoleChild, DISABLED_Show) {
  HostConsole_MessageBox(getenv("BOX_CAPTION"), getenv("BOX_BODY"));
}

std::string ShowInChild(const std::string &caption, const std::string &body) {
  testsupport::ProcessResult r =
      testsupport::Run({"/proc/self/exe", "--gtest_also_run_disabled_tests",
                        "--gtest_filter=ConsoleChild.DISABLED_Show"},
                       {"BOX_CAPTION=" + caption, "BOX_BODY=" + body});
  EXPECT_EQ(r.exitCode, 0);
  return r.err;
}

TEST(Console, MessageBoxOnStderr) {
  EXPECT_EQ(ShowInChild("Brenix Guest Ferry Error", "Line one.\nLine two.\n"),
            "Brenix Guest Ferry Error\nLine one.\nLine two.\n[OK]\n");
  // The OK line stands on a line of its own even when the body has no end.
  EXPECT_EQ(ShowInChild("Caption", "No line feed"), "Caption\nNo line feed\n[OK]\n");
}

TEST(Console, EmptyAndMissingTexts) {
  ::testing::internal::CaptureStderr();
  HostConsole_MessageBox(NULL, NULL);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "\n\n[OK]\n");
}

}  // namespace
