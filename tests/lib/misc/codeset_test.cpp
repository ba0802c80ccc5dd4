// Conversion to the current code page (the conversion and the UTF-8 check
// themselves are tested with the host layer's text functions).
#include "misc/codeset.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(CodeSetDeathTest, AsciiLocaleCountsAsUtf8) {
  EXPECT_EXIT(
      {
        setenv("LC_ALL", "C", 1);
        char *out = nullptr;
        size_t n = 0;
        bool ok = CodeSet_Utf8ToCurrent("caf\xC3\xA9", 5, &out, &n);
        std::_Exit(CodeSet_CurrentIsUtf8() && ok && n == 5 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(CodeSet, InvalidUtf8IsRefusedInUtf8Locale) {
  if (!CodeSet_CurrentIsUtf8()) GTEST_SKIP();
  char *out = reinterpret_cast<char *>(1);
  EXPECT_FALSE(CodeSet_Utf8ToCurrent("\xC0\xAF", 2, &out, nullptr));
  EXPECT_EQ(out, nullptr);
  ASSERT_TRUE(CodeSet_Utf8ToCurrent("a\0b", 3, &out, nullptr));
  EXPECT_EQ(std::string(out, 3), std::string("a\0b", 3));
  free(out);
}

}  // namespace
