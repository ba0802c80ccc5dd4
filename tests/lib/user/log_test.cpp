// Warning and the preference reads. That Log writes nothing is seen with
// every post of a message (msg_test).
#include "user/log.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "user/commonState.h"
#include "user/preference.h"

namespace {

TEST(Warning, WritesExactlyItsTextToStderrCutAt4095Bytes) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  Warning("SNAPSHOT: Unable to load dict from '%s'.\n", "/vms/a.bxsd");
  Warning("no line feed %d", 5);
  Warning("%s\n", std::string(5000, 'x').c_str());
  std::string want = "SNAPSHOT: Unable to load dict from '/vms/a.bxsd'.\nno line feed 5";
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), want.append(4095, 'x'));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST(Preference, ReadsReturnDefaultsWithAndWithoutCommonState) {
  for (bool withState : {false, true}) {
    if (withState) CommonState_Init();
    EXPECT_FALSE(Preference_GetBool(false, "msg.autoAnswer"));
    EXPECT_TRUE(Preference_GetBool(true, "msg.noOK"));
    EXPECT_EQ(Preference_GetString(NULL, "tmpDirectory"), nullptr);
    const char *fallback = "/var/tmp";
    char *value = Preference_GetString(fallback, "tmpDirectory");
    EXPECT_STREQ(value, fallback);
    EXPECT_NE(value, fallback);  // a copy the caller frees
    free(value);
    if (withState) CommonState_Exit();
  }
}

}  // namespace
