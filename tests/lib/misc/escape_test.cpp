// Escape decoding, including malformed and unfinished escapes.
#include "misc/escape.h"

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "testSupport.h"

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

// Escapes decode in both cases; malformed and unfinished ones stay literal,
// and the bytes of one escape never start another.
TEST(Escape, DecodesWellFormedEscapesOnly) {
  const std::pair<std::string, std::string> cases[] = {
      {"a|22b", "a\"b"},  {"|7C|7c", "||"}, {"|00x", std::string("\0x", 2)},
      {"", ""},           {"|zz", "|zz"},   {"|2z", "|2z"},
      {"a|", "a|"},       {"a|4", "a|4"},   {"||22", "||22"},
      {"|2|41", "|2|41"}, {"|41|42", "AB"},
  };
  for (const auto &[in, out] : cases) EXPECT_EQ(Undo(in), out) << in;
  EXPECT_EQ(testsupport::Take(Escape_Undo('%', "%41", 3, nullptr)), "A");  // no length wanted
}

}  // namespace
