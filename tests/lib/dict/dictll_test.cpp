// The dictionary line format: the assignment grammar byte for byte, the
// splitting of a buffer into lines, and the line reader (any length, NUL
// bytes, CR LF, a last line without LF, errors).
#include "dict/dictll.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "dict/dictllScan.h"
#include "host/lastError.h"
#include "testSupport.h"

namespace {

using namespace std::string_literals;

struct Split {
  bool assignment;
  std::string line;
  std::string name;
  std::string value;
  size_t consumed;
};

Split Unmarshal(const std::string &buf) {
  char *line, *name, *value;
  const char *rest = DictLL_UnmarshalLine(buf.data(), buf.size(), &line, &name, &value);
  Split s{name != nullptr, line != nullptr ? line : "", name != nullptr ? name : "",
          value != nullptr ? value : "", static_cast<size_t>(rest - buf.data())};
  EXPECT_EQ(name == nullptr, value == nullptr);
  free(line);
  free(name);
  free(value);
  return s;
}

void ExpectAssignment(const std::string &text, const std::string &name, const std::string &value) {
  Split s = Unmarshal(text);
  EXPECT_TRUE(s.assignment) << "»" << text << "«";
  EXPECT_EQ(s.name, name) << "»" << text << "«";
  EXPECT_EQ(s.value, value) << "»" << text << "«";
}

void ExpectNotAssignment(const std::string &text) {
  EXPECT_FALSE(Unmarshal(text).assignment) << "»" << text << "«";
}

TEST(DictLLGrammarTest, ValuesQuotedAndBare) {
  ExpectAssignment("config.version = \"8\"", "config.version", "8");
  ExpectAssignment("displayName = \"My VM\"  # main", "displayName", "My VM");
  ExpectAssignment("name = \"v\" # c", "name", "v");
  ExpectAssignment("name=v#c", "name", "v");
  ExpectAssignment("name = \"\"", "name", "");
  ExpectAssignment("name =", "name", "");
  ExpectAssignment("x =   ", "x", "");
  ExpectAssignment("x = # only a comment", "x", "");
  ExpectAssignment("\t x\t=\t1\t", "x", "1");
  // Inside quotes a hash and blanks are data; the quotes are not.
  ExpectAssignment("x = \" a # b \"", "x", " a # b ");
  // A bare value may hold "=" and a double quote, and so may a name.
  ExpectAssignment("x ==1", "x", "=1");
  ExpectAssignment("x = a\"b", "x", "a\"b");
  ExpectAssignment("\"q\":0 = 1", "\"q\":0", "1");
  ExpectAssignment("scsi0:0.fileName = \"disk.bxdk\"", "scsi0:0.fileName", "disk.bxdk");
  // CR and bytes above 127 are ordinary name and value bytes.
  ExpectAssignment("a\r = b\r", "a\r", "b\r");
  ExpectAssignment("\xE9t\xE9 = \xFF", "\xE9t\xE9", "\xFF");
}

TEST(DictLLGrammarTest, EscapesAreUndoneInBothKindsOfValue) {
  ExpectAssignment("name = \"a|22b|7Cc\"", "name", "a\"b|c");
  ExpectAssignment("name = a|zzb", "name", "a|zzb");
  ExpectAssignment("name = a|20b|23c|09", "name", "a b#c\t");
  ExpectAssignment("name = \"|4a|4A|\"", "name", "JJ|");
  // The name is taken as written.
  ExpectAssignment("a|41 = 1", "a|41", "1");
  // A decoded NUL ends the value as a C string.
  ExpectAssignment("nul = a|00b", "nul", "a");
}

TEST(DictLLGrammarTest, SyntaxErrorsAreNotAssignments) {
  for (const char *text : {"x = a b", "x = \"a\" b", "x = \"a", "= 1", "foo", "[section]",
                           "x y = 1", "x = \"a\"\"b\"", "x = \"a\"b", "  =", "x \"= 1"}) {
    ExpectNotAssignment(text);
    EXPECT_FALSE(DictLL_IsBlankOrComment(text)) << text;
  }
  for (const char *text : {"", "   ", "\t \t", "#", "  # comment = \"x\"", "#x = 1"}) {
    ExpectNotAssignment(text);
    EXPECT_TRUE(DictLL_IsBlankOrComment(text)) << "»" << text << "«";
  }
}

TEST(DictLLGrammarTest, ScanningStopsAtTheFirstNul) {
  std::string text = "x = 1\0 garbage \""s;
  Split s = Unmarshal(text);
  EXPECT_TRUE(s.assignment);
  EXPECT_EQ(s.value, "1");
  // The line keeps every byte.
  EXPECT_EQ(s.line, "x = 1");
  char *line, *name, *value;
  DictLL_UnmarshalLine(text.data(), text.size(), &line, &name, &value);
  EXPECT_EQ(memcmp(line, text.data(), text.size()), 0);
  EXPECT_EQ(line[text.size()], '\0');
  free(line);
  free(name);
  free(value);
  // A NUL inside the quotes ends the line before the closing quote.
  ExpectNotAssignment("x = \"a\0\""s);
  EXPECT_TRUE(DictLL_IsBlankOrComment("  \0x = 1"s.c_str()));
}

TEST(DictLLGrammarTest, UnmarshalSplitsTheFirstLine) {
  std::string buf = "a = 1\nb = \"2\"\n\nlast";
  Split first = Unmarshal(buf);
  EXPECT_EQ(first.line, "a = 1");
  EXPECT_EQ(first.consumed, 6u);
  Split second = Unmarshal(buf.substr(6));
  EXPECT_EQ(second.value, "2");
  EXPECT_EQ(second.consumed, 8u);
  Split empty = Unmarshal(buf.substr(14));
  EXPECT_FALSE(empty.assignment);
  EXPECT_EQ(empty.line, "");
  EXPECT_EQ(empty.consumed, 1u);
  Split last = Unmarshal(buf.substr(15));
  EXPECT_EQ(last.line, "last");
  EXPECT_EQ(last.consumed, 4u);
  // Only the given length counts.
  EXPECT_EQ(Unmarshal("x = 12"s.substr(0, 5)).value, "1");

  char *line = reinterpret_cast<char *>(1), *name = line, *value = line;
  EXPECT_EQ(DictLL_UnmarshalLine("x = 1", 0, &line, &name, &value), nullptr);
  EXPECT_EQ(line, nullptr);
  EXPECT_EQ(name, nullptr);
  EXPECT_EQ(value, nullptr);
}

class DictLLReadTest : public testing::Test {
 protected:
  FILE *Open(const std::string &bytes) {
    testsupport::WriteFile(dir_.file("in"), bytes);
    stream_ = fopen(dir_.file("in").c_str(), "r");
    EXPECT_NE(stream_, nullptr);
    return stream_;
  }
  // Returns the next line, or "<eof>" / "<error>".
  std::string Next(size_t maxLength = 0) {
    char *buf = nullptr;
    size_t length = 0;
    int r = ReadNextLine(stream_, &buf, maxLength, &length);
    if (r != 2) return r == 1 ? "<eof>" : "<error>";
    EXPECT_EQ(buf[length], '\0');
    std::string s(buf, length);
    free(buf);
    return s;
  }
  void TearDown() override {
    if (stream_ != nullptr) fclose(stream_);
  }
  testsupport::TempDir dir_;
  FILE *stream_ = nullptr;
};

TEST_F(DictLLReadTest, LinesEndsAndContents) {
  Open("a\nb\r\n\n\0x\0\nc\rd\ne\r\r\nlast\r"s);
  EXPECT_EQ(Next(), "a");
  EXPECT_EQ(Next(), "b");
  EXPECT_EQ(Next(), "");
  EXPECT_EQ(Next(), "\0x\0"s);
  EXPECT_EQ(Next(), "c\rd");
  EXPECT_EQ(Next(), "e\r");
  // A CR at the very end has no LF to pair with.
  EXPECT_EQ(Next(), "last\r");
  EXPECT_EQ(Next(), "<eof>");
  EXPECT_EQ(Next(), "<eof>");
}

TEST_F(DictLLReadTest, LongLinesAreReadWhole) {
  std::string longLine(100000, 'v');
  longLine[5000] = '\0';
  Open("x\n" + longLine + "\n" + longLine);
  EXPECT_EQ(Next(), "x");
  EXPECT_EQ(Next(), longLine);
  EXPECT_EQ(Next(), longLine);
  EXPECT_EQ(Next(), "<eof>");
}

TEST_F(DictLLReadTest, MaximumLength) {
  Open("12345\n123456\n");
  EXPECT_EQ(Next(5), "12345");
  EXPECT_EQ(Next(5), "<error>");
  EXPECT_EQ(Host_GetLastError(), 7);
}

TEST_F(DictLLReadTest, ReadFailureIsAnError) {
  stream_ = fopen(dir_.file("out").c_str(), "w");
  ASSERT_NE(stream_, nullptr);
  EXPECT_EQ(Next(), "<error>");
  EXPECT_NE(Host_GetLastError(), 0);
  char *line = nullptr, *name = nullptr, *value = nullptr;
  EXPECT_EQ(DictLL_ReadLine(stream_, &line, &name, &value), 0);
  EXPECT_EQ(line, nullptr);
}

TEST_F(DictLLReadTest, ReadLineSplitsEveryLine) {
  Open("x = \"a|7cb\"\r\n\n  # note\nfoo\ny=2");
  struct Want {
    const char *line;
    const char *name;
    const char *value;
  };
  for (const Want &want :
       {Want{"x = \"a|7cb\"", "x", "a|b"}, Want{"", nullptr, nullptr},
        Want{"  # note", nullptr, nullptr}, Want{"foo", nullptr, nullptr}, Want{"y=2", "y", "2"}}) {
    char *line, *name, *value;
    ASSERT_EQ(DictLL_ReadLine(stream_, &line, &name, &value), 2);
    EXPECT_STREQ(line, want.line);
    if (want.name == nullptr) {
      EXPECT_EQ(name, nullptr);
      EXPECT_EQ(value, nullptr);
    } else {
      EXPECT_STREQ(name, want.name);
      EXPECT_STREQ(value, want.value);
    }
    free(line);
    free(name);
    free(value);
  }
  char *line, *name, *value;
  EXPECT_EQ(DictLL_ReadLine(stream_, &line, &name, &value), 1);
}

}  // namespace
