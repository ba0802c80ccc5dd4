// Warning and the preference reads. That Log writes nothing is seen with
// every post of a message (msg_test).
#include "user/log.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "user/commonState.h"
#include "user/preference.h"

namespace {

TEST(Warning, WritesExactlyItsTextToStderr) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  Warning("SNAPSHOT: Unable to load dict from '%s'.\n", "/vms/a.bxsd");
  Warning("no line feed %d", 5);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "SNAPSHOT: Unable to load dict from '/vms/a.bxsd'.\nno line feed 5");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

TEST(Warning, CutsAt4095Bytes) {
  std::string longText(5000, 'x');
  ::testing::internal::CaptureStderr();
  Warning("%s\n", longText.c_str());
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), std::string(4095, 'x'));
}

TEST(Preference, ReadsReturnDefaults) {
  for (bool withState : {false, true}) {
    if (withState) CommonState_Init();
    EXPECT_FALSE(Preference_GetBool(false, "msg.autoAnswer"));
    EXPECT_TRUE(Preference_GetBool(true, "msg.noOK"));
    EXPECT_EQ(Preference_GetString(NULL, "tmpDirectory"), nullptr);

    const char *fallback = "/var/tmp";
    char *value = Preference_GetString(fallback, "tmpDirectory");
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, fallback);
    EXPECT_NE(value, fallback);  // a copy the caller frees
    free(value);

    int number = 42;
    EXPECT_EQ(PreferenceGet(&number, 3, "msg.dictionary.errorX"), &number);
    if (withState) CommonState_Exit();
  }
}

}  // namespace
