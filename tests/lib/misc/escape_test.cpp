// Escape decoding, including malformed and unfinished escapes.
#include "misc/escape.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string Undo(const std::string &in, char esc = '|') {
  size_t n = 12345;
  char *out = Escape_Undo(esc, in.data(), in.size(), &n);
  EXPECT_NE(out, nullptr);
  std::string s(out, n);
  EXPECT_EQ(out[n], '\0');
  free(out);
  return s;
}

TEST(Escape, DecodesBothCases) {
  EXPECT_EQ(Undo("a|22b"), "a\"b");
  EXPECT_EQ(Undo("|7C|7c"), "||");
  EXPECT_EQ(Undo("|00x"), std::string("\0x", 2));
  EXPECT_EQ(Undo(""), "");
}

TEST(Escape, MalformedStaysLiteral) {
  EXPECT_EQ(Undo("|zz"), "|zz");
  EXPECT_EQ(Undo("|2z"), "|2z");
  EXPECT_EQ(Undo("a|"), "a|");
  EXPECT_EQ(Undo("a|4"), "a|4");
}

TEST(Escape, EscapeAfterEscapeDoesNotStartAnother) {
  EXPECT_EQ(Undo("||22"), "||22");
  EXPECT_EQ(Undo("|2|41"), "|2|41");
  EXPECT_EQ(Undo("|41|42"), "AB");
}

TEST(Escape, NullLengthOutIsAllowed) {
  char *out = Escape_Undo('%', "%41", 3, nullptr);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "A");
  free(out);
}

}  // namespace
