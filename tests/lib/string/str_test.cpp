// String formatting: truncation reports, strict stops, positional arguments
// and the validation of allocating formats.
#include "string/str.h"

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "misc/panic.h"
#include "testSupport.h"

namespace {

// Formats go through a pointer, which the compiler's own format check does
// not follow: the deliberately bad ones must reach the library.
char *(*const gAsprintf)(size_t *, const char *, ...) = Str_Asprintf;

template <typename... Args>
std::string FormatOrNull(const char *format, Args... args) {
  return testsupport::Take(gAsprintf(nullptr, format, args...));
}

bool Valid(const char *format) {
  char *t = StrTranslateFormat(format);
  free(t);
  return t != nullptr;
}

TEST(StrVsnprintf, TruncationGivesMinusOneAndTerminates) {
  const std::pair<const char *, int> cases[] = {
      {"01234567890123456789", -1}, {"abcdefgh", -1}, {"abcdefg", 7}};
  char buf[8];
  for (const auto &[text, rc] : cases) {
    memset(buf, 'Q', sizeof buf);
    EXPECT_EQ(Str_Snprintf(buf, sizeof buf, "%s", text), rc) << text;
    EXPECT_EQ(std::string(buf), std::string(text, 7)) << text;
  }
  EXPECT_EQ(Str_Snprintf(buf, 0, "%s", "x"), -1);
}

TEST(StrStrict, FittingCallsWork) {
  char buf[8];
  EXPECT_EQ(Str_Sprintf(buf, sizeof buf, "%d-%s", 42, "ab"), 5);
  EXPECT_STREQ(buf, "42-ab");
  EXPECT_EQ(Str_Strcpy(buf, "abc", sizeof buf), buf);
  Str_Strcat(buf, "defg", sizeof buf);
  EXPECT_STREQ(buf, "abcdefg");
}

TEST(StrStrictDeathTest, OverflowStops) {
  char buf[8];
  const std::pair<std::function<void()>, const char *> stops[] = {
      {[&] {
         Panic_SetHandler(testsupport::PanicToStderr);
         Str_Sprintf(buf, sizeof buf, "%s", "abcdefgh");
       },
       "^lib/string/str:[0-9]+ Buffer too small 0x[0-9a-f]+\n$"},
      {[&] { Str_Strcpy(buf, "abcdefgh", sizeof buf); }, ""},
      {[&] { Str_Strcat(Str_Strcpy(buf, "abcd", sizeof buf), "efgh", sizeof buf); }, ""},
      // Not terminated within its size.
      {[&] { Str_Strcat(static_cast<char *>(memset(buf, 'x', sizeof buf)), "", sizeof buf); }, ""},
  };
  for (const auto &[stop, text] : stops) EXPECT_EXIT(stop(), testing::ExitedWithCode(3), text);
}

TEST(StrAsprintf, PositionalAndPlain) {
  EXPECT_EQ(FormatOrNull("%2$s-%1$s", "a", "b"), "b-a");
  EXPECT_EQ(FormatOrNull("%d%%", 5), "5%");
  EXPECT_EQ(FormatOrNull("%1$s %1$s", "x"), "x x");
  EXPECT_EQ(FormatOrNull("%s\\%s.%s", "dir", "vm", "bxsd"), "dir\\vm.bxsd");
  EXPECT_EQ(FormatOrNull("%-4s|%05d|%.2s|%x", "a", 42, "xyz", 255u), "a   |00042|xy|ff");
  EXPECT_EQ(FormatOrNull("%*d", 4, 7), "   7");
  EXPECT_EQ(FormatOrNull("%1$-5d|", 3), "3    |");
  EXPECT_EQ(FormatOrNull(""), "");
  EXPECT_EQ(FormatOrNull("0x%0lX", 0x8004020BUL), "0x8004020B");
}

TEST(StrAsprintf, LMeans64BitCrLfBecomesLfAndLengthIsReported) {
  size_t n = 0;
  EXPECT_EQ(testsupport::Take(gAsprintf(&n, "%Ld %Lu", static_cast<long long>(-5000000000LL),
                                        static_cast<unsigned long long>(UINT64_MAX))),
            "-5000000000 18446744073709551615");
  EXPECT_EQ(n, 32u);
  EXPECT_EQ(testsupport::Take(gAsprintf(&n, "a\r\nb%s\r", "\r\n")), "a\nb\n\r");
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(FormatOrNull("line\n"), "line\n");
}

TEST(StrAsprintf, InvalidFormatsGiveNull) {
  // Mixed positional and plain, digits without "$", a format ending in a
  // conversion, refused conversions and no conversion at all.
  for (const char *format :
       {"%1$s %s", "%s %1$s", "%5d", "abc %", "abc %-08l", "%f", "%e", "%E", "%g", "%y"}) {
    EXPECT_EQ(FormatOrNull(format, "a", "b", 1.0), "<null>") << format;
  }
}

TEST(StrTranslate, RulesBeyondTheCLibrary) {
  // Writes through an argument, leaves argument 1 out, gives one argument two
  // types, "*" without a number of its own, beyond the argument table, and a
  // width that only exhausts memory.
  for (const char *bad : {"%n", "%2$s", "%1$s %1$d", "%1$*d", "%65$s", "%hs", "%.65536s"}) {
    EXPECT_FALSE(Valid(bad)) << bad;
  }
  for (const char *good : {"%-65535s", "%2$d %1$s %2$d", "%F %G %a %A %C %S %p %c %i %o"}) {
    EXPECT_TRUE(Valid(good)) << good;
  }
  EXPECT_EQ(testsupport::Take(StrTranslateFormat("%Lx 100%% %Ld")), "%llx 100%% %lld");
  EXPECT_EQ(testsupport::Take(StrTranslateFormat("%2$Ld %1$s")), "%2$lld %1$s");
}

TEST(StrSplitLines, LastLineWithOrWithoutLineFeed) {
  using Lines = std::vector<std::string_view>;
  struct {
    const char *text;
    Lines lines;
  } cases[] = {
      {"", {}},
      {"\n", {""}},
      {"a", {"a"}},
      {"a\n", {"a"}},
      {"a\n\nb", {"a", "", "b"}},
      {"a\r\nb\n", {"a\r", "b"}},  // CR stays: the caller decides
  };
  for (const auto &c : cases) {
    EXPECT_EQ(Str_SplitLines(c.text), c.lines) << c.text;
  }
}

// The tests run in a UTF-8 locale (or a plain ASCII one, which counts as it).
TEST(StrPrintable, WhatATerminalActsOnOrTakesForALineBecomesQuestionMarks) {
  const struct {
    std::string text, shown;
    StrShown as = STR_SHOWN_TEXT;
  } cases[] = {
      {"plain \xc3\xa9 text\twith\nlines\n", "plain \xc3\xa9 text\twith\nlines\n"},
      {"plain \xc3\xa9 \xe2\x82\xac\xf0\x9f\x98\x80 name",
       "plain \xc3\xa9 \xe2\x82\xac\xf0\x9f\x98\x80 name", STR_SHOWN_NAME},
      {"\x1b]0;title\x07\x1b[31mred\x7f", "?]0;title??[31mred?"},
      {std::string("nul\0bell", 8), "nul?bell"},
      // A carriage return would let what follows overwrite the line.
      {"x\rVolume 1 : 20 Mb\r\n", "x?Volume 1 : 20 Mb?\n"},
      // In a name, a line feed would start a line that looks like ours.
      {"x\nVolume 1 : 20 Mb\n", "x?Volume 1 : 20 Mb?", STR_SHOWN_NAME},
      {"tab\tkept", "tab\tkept", STR_SHOWN_NAME},
      // C1 as UTF-8, and bytes that are no UTF-8: a lone CSI, a cut or
      // overlong sequence, a surrogate, a byte that never occurs.
      {"csi \xc2\x9b"
       "2J, \xc2\x80\xc2\x9f, nbsp \xc2\xa0",
       "csi ?2J, ??, nbsp \xc2\xa0"},
      {"lone \x9b"
       "2J \xff \xc0\x80 \xed\xa0\x80 cut \xc2",
       "lone ?2J ? ?? ??? cut ?", STR_SHOWN_NAME},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(Str_Printable(c.text, c.as), c.shown) << c.text;
  }
}

}  // namespace
