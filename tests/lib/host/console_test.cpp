// The console message box. Standard error captured to a file is no terminal,
// so it never waits for a key here. Captions and bodies, with or without a
// last line feed, are seen through every posted message (msg_test).
#include "host/console.h"

#include <gtest/gtest.h>

namespace {

TEST(Console, NoCaptionOrBodyStillShowsTheBox) {
  ::testing::internal::CaptureStderr();
  HostConsole_MessageBox(nullptr, nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "\n\n[OK]\n");
}

}  // namespace
