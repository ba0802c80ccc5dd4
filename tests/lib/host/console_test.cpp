// The console message box. Standard error captured to a file is no terminal,
// so it never waits for a key here.
#include "host/console.h"

#include <gtest/gtest.h>

namespace {

TEST(Console, MessageBoxOnStderr) {
  struct {
    const char *caption, *body, *shown;
  } const cases[] = {
      {"Brenix Guest Ferry Error", "Line one.\nLine two.\n",
       "Brenix Guest Ferry Error\nLine one.\nLine two.\n[OK]\n"},
      // The OK line stands on a line of its own even when the body has no end.
      {"Caption", "No line feed", "Caption\nNo line feed\n[OK]\n"},
      {nullptr, nullptr, "\n\n[OK]\n"},
  };
  for (const auto &c : cases) {
    ::testing::internal::CaptureStderr();
    HostConsole_MessageBox(c.caption, c.body);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.shown);
  }
}

}  // namespace
