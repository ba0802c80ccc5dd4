// Dictionary entries and typed reads: defaults recorded on first read, the
// one-time conversion of untyped text with its messages, name folding and
// formatting, and the stops for type conflicts and a null dictionary.
#include "user/dictionary.h"

#include <climits>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "misc/panic.h"
#include "testSupport.h"
#include "user/msg.h"

namespace {

using namespace std::string_literals;

struct Post {
  int type;
  std::string text;
};
std::vector<Post> gPosts;

void CapturePost(int type, const char *text, const char *) { gPosts.push_back({type, text}); }

class DictionaryTest : public testing::Test {
 protected:
  void SetUp() override {
    Msg_SetPostCallback(CapturePost);
    Msg_Reset(false);
    gPosts.clear();
    Panic_SetHandler(testsupport::PanicToStderr);
  }
  void TearDown() override {
    Msg_SetPostCallback(nullptr);
    Panic_SetHandler(nullptr);
  }
  // Records name as untyped text, as a file line would.
  void SetText(const char *name, const char *text) {
    Dictionary_Get(dict_.get(), &text, DICT_ANY, name);
  }
  // Records text under a fresh name and reads it back as type.
  double ReadAs(int type, const char *text) {
    std::string name = "v";
    name += std::to_string(counter_++);
    SetText(name.c_str(), text);
    double defaultValue[2] = {};  // room and alignment for any type's zero
    void *value = Dictionary_Get(dict_.get(), defaultValue, type, name.c_str());
    if (type == DICT_BOOL) return *static_cast<bool *>(value);
    if (type == DICT_DOUBLE) return *static_cast<double *>(value);
    return *static_cast<int32_t *>(value);
  }
  std::unique_ptr<Dictionary, decltype(&Dictionary_Free)> dict_{Dictionary_Create(),
                                                                Dictionary_Free};
  int counter_ = 0;
};

// Each text converts once, to its value, posting the message kind given
// ("" for none).
TEST_F(DictionaryTest, Conversions) {
  const struct {
    int type;
    const char *message;
    std::vector<std::pair<const char *, double>> pairs;
  } groups[] = {
      // clang-format off
      {DICT_BOOL, "", {{"TRUE", 1}, {"t", 1}, {"Yes", 1}, {"Y", 1}, {"ON", 1}, {"1", 1}, {"", 1},
                       {"FALSE", 0}, {"f", 0}, {"no", 0}, {"N", 0}, {"Off", 0}, {"0", 0}}},
      {DICT_BOOL, "boolean", {{" 1", 0}, {"yess", 0}, {"01", 0}}},
      // Past the signed range the unsigned reading keeps the 32-bit pattern;
      // below it, it negates the magnitude modulo 2^32, as where long had 32 bits.
      {DICT_LONG, "", {{"010", 8}, {"0x10", 16}, {"0XfF", 255}, {" \t+42", 42}, {"-0", 0},
                       {"", 0}, {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN},
                       {"2147483648", INT32_MIN}, {"4294967295", -1}, {"0xFFFFFFFF", -1},
                       {"037777777777", -1}, {"-2147483649", INT32_MAX}, {"-4294967295", 1},
                       {"-3000000000", 1294967296}}},
      {DICT_LONG, "integer", {{"12abc", 12}, {"2147483648x", INT32_MIN}, {"abc", 0}, {"0x", 0},
                              {"08", 0}, {"1 ", 1}, {"-", 0}}},
      // Too large wins over trailing characters: one message.
      {DICT_LONG, "large", {{"4294967296", -1}, {"-4294967296", -1}, {"0x100000000", -1},
                            {"4294967296abc", -1}, {"123456789012345678901234567890", -1}}},
      {DICT_DOUBLE, "", {{"1.5", 1.5}}},
      {DICT_DOUBLE, "floating-point", {{"2.5x", 2.5}}},
      {DICT_TRISTATE, "", {{"yes", 1}, {"OFF", 0}, {"Auto", -1}, {"DEFAULT", -1}, {"dontcare", -1}}},
      {DICT_TRISTATE, "tristate", {{"maybe", 0}}},
      // clang-format on
  };
  for (const auto &g : groups) {
    for (const auto &[text, want] : g.pairs) {
      gPosts.clear();
      EXPECT_EQ(ReadAs(g.type, text), want) << text;
      if (*g.message == '\0') {
        EXPECT_TRUE(gPosts.empty()) << text;
        continue;
      }
      ASSERT_EQ(gPosts.size(), 1u) << text;
      EXPECT_EQ(gPosts[0].type, MSG_ERROR);
      EXPECT_NE(gPosts[0].text.find(g.message), std::string::npos) << gPosts[0].text;
    }
  }
  // The exact text, and converted once: a second read neither changes the
  // value nor posts again.
  gPosts.clear();
  SetText("n", "12abc");
  EXPECT_EQ(Dict_GetInt(dict_.get(), 5, "n"), 12);
  EXPECT_EQ(Dict_GetInt(dict_.get(), 5, "N"), 12);
  ASSERT_EQ(gPosts.size(), 1u);
  EXPECT_EQ(gPosts[0].text, "Value `12abc' for variable `n' is not a valid integer value.\n");
}

TEST_F(DictionaryTest, DefaultsAreRecordedOnFirstReadAndClearEmpties) {
  Dictionary *d = dict_.get();
  EXPECT_EQ(Dict_GetInt(d, 5, "missing"), 5);
  EXPECT_EQ(Dict_GetInt(d, 7, "MISSING"), 5);
  EXPECT_FALSE(Dict_GetBool(d, false, "flag"));
  EXPECT_FALSE(Dict_GetBool(d, true, "flag"));
  EXPECT_EQ(Dict_GetString(d, nullptr, "s1"), nullptr);
  EXPECT_EQ(Dict_GetString(d, "later", "s1"), nullptr);
  char *s = Dict_GetString(d, "first", "s2");
  ASSERT_STREQ(s, "first");
  s[0] = 'X';  // the caller's copy
  free(s);
  EXPECT_EQ(testsupport::Take(Dict_GetString(d, "second", "S2")), "first");
  // Entries in creation order, with origin 1 and no line.
  std::vector<std::string> names;
  for (DictEntry *e = d->firstEntry; e != nullptr; e = e->next) {
    names.push_back(e->name);
    EXPECT_EQ(e->flags, 1u);
    EXPECT_EQ(e->line, nullptr);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"missing", "flag", "s1", "s2"}));
  EXPECT_STREQ(d->lastEntry->name, "s2");
  EXPECT_TRUE(gPosts.empty());

  Dictionary_Clear(d);
  EXPECT_EQ(d->firstEntry, nullptr);
  EXPECT_EQ(d->lastEntry, nullptr);
  EXPECT_EQ(Dict_GetInt(d, 4, "missing"), 4);
  Dictionary_Free(nullptr);
}

// Only ASCII letters fold: the bytes just outside A-Z and a-z, and letters
// of other scripts, are names of their own.
TEST_F(DictionaryTest, NamesFoldOnlyAsciiLettersAndAreFormatted) {
  Dictionary *d = dict_.get();
  SetText("Foo.Bar", "3");
  EXPECT_EQ(Dict_GetInt(d, 0, "foo.%s", "bar"), 3);
  EXPECT_EQ(Dict_GetInt(d, 0, "FOO.BAR"), 3);
  EXPECT_STREQ(d->firstEntry->name, "Foo.Bar");
  SetText("ethernet3.present", "TRUE");
  EXPECT_TRUE(Dict_GetBool(d, false, "ethernet%d.present", 3));
  EXPECT_EQ(Dict_GetInt(d, 1, "%s", "Name@[Z]"), 1);
  EXPECT_EQ(Dict_GetInt(d, 2, "%s", "nAME@[z]"), 1);
  EXPECT_EQ(Dict_GetInt(d, 3, "%s", "name`{z}"), 3);  // @ [ ] against ` { }
  EXPECT_EQ(Dict_GetInt(d, 4, "%s", "\xC9t\xC9"), 4);
  EXPECT_EQ(Dict_GetInt(d, 5, "%s", "\xE9t\xE9"), 5);
  EXPECT_EQ(Dict_GetInt(d, 6, "%s", "\xC9T\xC9"), 4);
  EXPECT_EQ(Dict_GetInt(d, 7, "%s", "AbcdefghIJKLMNOPqrst.u"), 7);
  EXPECT_EQ(Dict_GetInt(d, 8, "%s", "aBCDEFGHijklmnopQRST.U"), 7);
  std::string longName(2000, 'n');
  EXPECT_EQ(Dict_GetInt(d, 11, "%s", longName.c_str()), 11);
  EXPECT_TRUE(Dictionary_IsDefined(d, longName.substr(0, 1023).c_str()));
  EXPECT_FALSE(Dictionary_IsDefined(d, longName.substr(0, 1024).c_str()));
  // Names with numbers, other conversions, and a cut one come out as printf's.
  Dict_GetInt(d, 0, "m%d.%s%d", -7, "x", INT_MIN);
  Dict_GetInt(d, 0, "u%u.%x%%%d", 5u, 255u, 0);
  Dict_GetInt(d, 0, "%d%s", 42, longName.c_str());
  for (const std::string &name :
       {"m-7.x-2147483648"s, "u5.ff%0"s, ("42"s + longName).substr(0, 1023)}) {
    EXPECT_TRUE(Dictionary_IsDefined(d, name.c_str())) << name;
  }
}

using DictionaryDeathTest = DictionaryTest;

TEST_F(DictionaryDeathTest, TypeConflictsAndANullDictionaryStop) {
  Dictionary *d = dict_.get();
  SetText("name", "yes");
  free(Dict_GetString(d, nullptr, "name"));
  EXPECT_EQ(Dict_GetInt(d, 1, "count"), 1);
  const std::pair<std::function<void()>, const char *> stops[] = {
      {[d] { Dict_GetBool(d, false, "name"); }, "ASSERT lib/user/dictionary:[0-9]+ bugNr=[0-9]+"},
      {[d] { Dict_GetString(d, nullptr, "count"); }, "bugNr="},
      // A typed entry cannot be read back as untyped text either.
      {[d] { Dictionary_Get(d, nullptr, DICT_ANY, "count"); }, "bugNr="},
      {[] { Dict_GetInt(nullptr, 0, "x"); }, "ASSERT lib/user/dictionary:"},
      {[] { Dict_GetString(nullptr, nullptr, "x"); }, "ASSERT "},
      {[] { Dict_GetBool(nullptr, false, "x"); }, "ASSERT "},
  };
  for (const auto &[stop, text] : stops) {
    EXPECT_EXIT(stop(), testing::ExitedWithCode(3), text);
  }
}

}  // namespace
