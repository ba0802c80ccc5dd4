// The dictionary line format: the assignment grammar byte for byte (line
// splitting is fuzzed), and the line reader of a stream the caller keeps.
#include "dict/dictll.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "dict/dictllScan.h"
#include "host/lastError.h"
#include "testSupport.h"

namespace {

using namespace std::string_literals;
using testsupport::Take;

// The name and value of the first line; "<null>" for a line that is no assignment.
struct Split {
  std::string name, value;
};

Split Unmarshal(const std::string &buf) {
  char *line, *name, *value;
  DictLL_UnmarshalLine(buf.data(), buf.size(), &line, &name, &value);
  EXPECT_EQ(name == nullptr, value == nullptr);
  free(line);
  return {Take(name), Take(value)};
}

TEST(DictLLGrammarTest, AssignmentsEscapesAndSyntaxErrors) {
  struct Case {
    std::string text, name, value;
  };
  const Case cases[] = {
      {"config.version = \"8\"", "config.version", "8"},
      {"displayName = \"My VM\"  # main", "displayName", "My VM"},
      {"name=v#c", "name", "v"},
      {"name = \"\"", "name", ""},
      {"x =   ", "x", ""},
      {"x = # only a comment", "x", ""},
      {"\t x\t=\t1\t", "x", "1"},
      // Inside quotes a hash and blanks are data; the quotes are not.
      {"x = \" a # b \"", "x", " a # b "},
      // A bare value may hold "=" and a double quote, and so may a name.
      {"x ==1", "x", "=1"},
      {"x = a\"b", "x", "a\"b"},
      {"\"q\":0 = 1", "\"q\":0", "1"},
      // CR and bytes above 127 are ordinary name and value bytes.
      {"a\r = b\r", "a\r", "b\r"},
      {"\xE9t\xE9 = \xFF", "\xE9t\xE9", "\xFF"},
      // Escapes are undone in both kinds of value, never in the name; a
      // decoded NUL ends the value as a C string.
      {"name = \"a|22b|7Cc\"", "name", "a\"b|c"},
      {"name = a|zzb", "name", "a|zzb"},
      {"name = a|20b|23c|09", "name", "a b#c\t"},
      {"a|41 = 1", "a|41", "1"},
      {"nul = a|00b", "nul", "a"},
      // Scanning stops at the first NUL.
      {"x = 1\0 garbage \""s, "x", "1"},
      {"x = \"a\0\""s, "<null>", "<null>"},
  };
  for (const Case &c : cases) {
    Split s = Unmarshal(c.text);
    EXPECT_EQ(s.name, c.name) << "»" << c.text << "«";
    EXPECT_EQ(s.value, c.value) << "»" << c.text << "«";
  }
  for (const char *text : {"x = a b", "x = \"a\" b", "x = \"a", "= 1", "foo", "[section]",
                           "x y = 1", "x = \"a\"\"b\"", "x = \"a\"b", "  =", "x \"= 1"}) {
    EXPECT_EQ(Unmarshal(text).name, "<null>") << text;
    EXPECT_FALSE(DictLL_IsBlankOrComment(text)) << text;
  }
  for (const char *text : {"", "   ", "\t \t", "#", "  # comment = \"x\"", "#x = 1", "  \0x = 1"}) {
    EXPECT_EQ(Unmarshal(text).name, "<null>") << text;
    EXPECT_TRUE(DictLL_IsBlankOrComment(text)) << "»" << text << "«";
  }
  // Where each line ends is the fuzzer's to check; it never passes an empty buffer.
  char *line, *name, *value;
  EXPECT_EQ(DictLL_UnmarshalLine("x = 1", 0, &line, &name, &value), nullptr);
  EXPECT_EQ(line, nullptr);
}

class DictLLReadTest : public testing::Test {
 protected:
  void Open(const std::string &bytes) {
    testsupport::WriteFile(dir_.file("in"), bytes);
    stream_ = fopen(dir_.file("in").c_str(), "r");
    ASSERT_NE(stream_, nullptr);
  }
  // Returns the next line, or "<eof>" / "<error>".
  std::string Next(size_t maxLength = 0) {
    char *buf = nullptr;
    size_t length = 0;
    int r = ReadNextLine(stream_, &buf, maxLength, &length);
    if (r != 2) return r == 1 ? "<eof>" : "<error>";
    std::string s(buf, length);
    EXPECT_EQ(buf[length], '\0');
    free(buf);
    return s;
  }
  void TearDown() override {
    if (stream_ != nullptr) fclose(stream_);
  }
  testsupport::TempDir dir_;
  FILE *stream_ = nullptr;
};

TEST_F(DictLLReadTest, LinesEndsContentsAndLength) {
  std::string longLine(100000, 'v');
  longLine[5000] = '\0';
  Open("a\nb\r\n\n\0x\0\nc\rd\ne\r\r\n"s + longLine + "\n12345\n123456\nlast\r");
  for (const std::string &want : {"a"s, "b"s, ""s, "\0x\0"s, "c\rd"s, "e\r"s, longLine}) {
    EXPECT_EQ(Next(), want);
  }
  EXPECT_EQ(Next(5), "12345");
  EXPECT_EQ(Next(5), "<error>");
  EXPECT_EQ(Host_GetLastError(), 7);
  // A CR at the very end has no LF to pair with.
  EXPECT_EQ(Next(), "last\r");
  EXPECT_EQ(Next(), "<eof>");
  EXPECT_EQ(Next(), "<eof>");
}

TEST_F(DictLLReadTest, ReadLineSplitsEveryLineAndFailsOnAReadError) {
  Open("x = \"a|7cb\"\r\n\n  # note\nfoo\ny=2");
  const char *const want[][3] = {{"x = \"a|7cb\"", "x", "a|b"},
                                 {"", "<null>", "<null>"},
                                 {"  # note", "<null>", "<null>"},
                                 {"foo", "<null>", "<null>"},
                                 {"y=2", "y", "2"}};
  for (const auto &w : want) {
    char *line, *name, *value;
    ASSERT_EQ(DictLL_ReadLine(stream_, &line, &name, &value), 2);
    EXPECT_EQ(Take(line), w[0]);
    EXPECT_EQ(Take(name), w[1]);
    EXPECT_EQ(Take(value), w[2]);
  }
  char *line = nullptr, *name, *value;
  EXPECT_EQ(DictLL_ReadLine(stream_, &line, &name, &value), 1);
  fclose(stream_);
  stream_ = fopen(dir_.file("out").c_str(), "w");
  ASSERT_NE(stream_, nullptr);
  EXPECT_EQ(Next(), "<error>");
  EXPECT_NE(Host_GetLastError(), 0);
  EXPECT_EQ(DictLL_ReadLine(stream_, &line, &name, &value), 0);
  EXPECT_EQ(line, nullptr);
}

}  // namespace
