// Dictionary entries and typed reads: defaults recorded on first read, the
// one-time conversion of untyped text with its posted messages, the 32-bit
// integer rules, and the fatal stops for type conflicts and a null dictionary.
#include "user/dictionary.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "falseWarnings.h"
#include "misc/panic.h"
#include "user/msg.h"

namespace {

struct Post {
  int type;
  std::string text;
};
std::vector<Post> gPosts;

void CapturePost(int type, const char *text, const char *) { gPosts.push_back({type, text}); }

void PanicToStderr(const char *text) {
  fputs(text, stderr);
  fflush(stderr);
  std::_Exit(3);
}

struct DictDeleter {
  void operator()(Dictionary *d) const { Dictionary_Free(d); }
};

class DictionaryTest : public testing::Test {
 protected:
  void SetUp() override {
    Msg_SetPostCallback(CapturePost);
    Msg_Reset(false);
    gPosts.clear();
    Panic_SetHandler(PanicToStderr);
  }
  void TearDown() override {
    Msg_SetPostCallback(nullptr);
    Panic_SetHandler(nullptr);
  }
  // Records name as untyped text, as a file line would.
  void SetText(const char *name, const char *text) {
    Dictionary_Get(dict_.get(), &text, DICT_ANY, name);
  }
  GCC_FALSE_RESTRICT_BEGIN
  int32_t IntOf(const char *text) {
    std::string name = "v" + std::to_string(counter_++);
    SetText(name.c_str(), text);
    return Dict_GetInt(dict_.get(), 99, "%s", name.c_str());
  }
  bool BoolOf(const char *text) {
    std::string name = "v" + std::to_string(counter_++);
    SetText(name.c_str(), text);
    return Dict_GetBool(dict_.get(), true, "%s", name.c_str());
  }
  GCC_FALSE_RESTRICT_END
  std::unique_ptr<Dictionary, DictDeleter> dict_{Dictionary_Create()};
  int counter_ = 0;
};

TEST_F(DictionaryTest, BooleanTexts) {
  for (const char *t : {"TRUE", "true", "t", "Yes", "Y", "ON", "1", ""}) {
    EXPECT_TRUE(BoolOf(t)) << t;
  }
  for (const char *t : {"FALSE", "f", "no", "N", "Off", "0"}) {
    EXPECT_FALSE(BoolOf(t)) << t;
  }
  EXPECT_TRUE(gPosts.empty());
  for (const char *t : {" 1", "2", "yess", "01", "0 "}) {
    EXPECT_FALSE(BoolOf(t)) << t;
  }
  ASSERT_EQ(gPosts.size(), 5u);
  EXPECT_EQ(gPosts[0].type, MSG_ERROR);
  EXPECT_EQ(gPosts[0].text, "Value ` 1' for variable `v14' is not a valid boolean value.\n");
}

TEST_F(DictionaryTest, IntegerTextsWithoutMessages) {
  EXPECT_EQ(IntOf("010"), 8);
  EXPECT_EQ(IntOf("0x10"), 16);
  EXPECT_EQ(IntOf("0XfF"), 255);
  EXPECT_EQ(IntOf(" \t+42"), 42);
  EXPECT_EQ(IntOf("-0"), 0);
  EXPECT_EQ(IntOf(""), 0);
  EXPECT_EQ(IntOf("2147483647"), INT32_MAX);
  EXPECT_EQ(IntOf("-2147483648"), INT32_MIN);
  // Past the signed range, the unsigned reading keeps the 32-bit pattern.
  EXPECT_EQ(IntOf("2147483648"), INT32_MIN);
  EXPECT_EQ(IntOf("4294967295"), -1);
  EXPECT_EQ(IntOf("0xFFFFFFFF"), -1);
  EXPECT_EQ(IntOf("037777777777"), -1);
  // Below the signed range the unsigned reading negates the magnitude
  // modulo 2^32, as it did where long had 32 bits.
  EXPECT_EQ(IntOf("-2147483649"), INT32_MAX);
  EXPECT_EQ(IntOf("-4294967295"), 1);
  EXPECT_EQ(IntOf("-3000000000"), 1294967296);
  EXPECT_TRUE(gPosts.empty()) << gPosts[0].text;
}

TEST_F(DictionaryTest, IntegerTextsWithMessages) {
  EXPECT_EQ(IntOf("12abc"), 12);
  ASSERT_EQ(gPosts.size(), 1u);
  EXPECT_EQ(gPosts[0].type, MSG_ERROR);
  EXPECT_EQ(gPosts[0].text, "Value `12abc' for variable `v0' is not a valid integer value.\n");
  // Converted once: a second read neither changes the value nor posts again.
  EXPECT_EQ(Dict_GetInt(dict_.get(), 5, "V0"), 12);
  EXPECT_EQ(gPosts.size(), 1u);

  gPosts.clear();
  EXPECT_EQ(IntOf("4294967296"), -1);
  EXPECT_EQ(IntOf("-4294967296"), -1);
  EXPECT_EQ(IntOf("0x100000000"), -1);
  EXPECT_EQ(IntOf("123456789012345678901234567890"), -1);
  // Too large wins over trailing characters: one message.
  EXPECT_EQ(IntOf("4294967296abc"), -1);
  ASSERT_EQ(gPosts.size(), 5u);
  EXPECT_EQ(gPosts[0].text, "Value `4294967296' for variable `v1' is too large.\n");
  EXPECT_EQ(gPosts[4].text, "Value `4294967296abc' for variable `v5' is too large.\n");

  gPosts.clear();
  EXPECT_EQ(IntOf("2147483648x"), INT32_MIN);
  EXPECT_EQ(IntOf("abc"), 0);
  EXPECT_EQ(IntOf("0x"), 0);
  EXPECT_EQ(IntOf("08"), 0);
  EXPECT_EQ(IntOf("1 "), 1);
  EXPECT_EQ(IntOf("   "), 0);
  EXPECT_EQ(IntOf("-"), 0);
  EXPECT_EQ(gPosts.size(), 7u);
}

GCC_FALSE_RESTRICT_BEGIN
TEST_F(DictionaryTest, FloatAndTristate) {
  SetText("f1", "1.5");
  SetText("f2", "2.5x");
  SetText("t1", "yes");
  SetText("t2", "OFF");
  SetText("t3", "Auto");
  SetText("t4", "DEFAULT");
  SetText("t5", "dontcare");
  SetText("t6", "maybe");
  double d = 0;
  EXPECT_EQ(*static_cast<double *>(Dictionary_Get(dict_.get(), &d, DICT_DOUBLE, "f1")), 1.5);
  EXPECT_TRUE(gPosts.empty());
  EXPECT_EQ(*static_cast<double *>(Dictionary_Get(dict_.get(), &d, DICT_DOUBLE, "f2")), 2.5);
  ASSERT_EQ(gPosts.size(), 1u);
  EXPECT_EQ(gPosts[0].text,
            "Value `2.5x' for variable `f2' is not a valid floating-point value.\n");
  gPosts.clear();
  int32_t def = 7;
  const int32_t want[] = {1, 0, -1, -1, -1, 0};
  for (int i = 0; i < 6; i++) {
    std::string name = "t" + std::to_string(i + 1);
    EXPECT_EQ(
        *static_cast<int32_t *>(Dictionary_Get(dict_.get(), &def, DICT_TRISTATE, name.c_str())),
        want[i])
        << name;
  }
  ASSERT_EQ(gPosts.size(), 1u);
  EXPECT_EQ(gPosts[0].text, "Value `maybe' for variable `t6' is not a valid tristate value.\n");
}
GCC_FALSE_RESTRICT_END

TEST_F(DictionaryTest, DefaultsAreRecordedOnFirstRead) {
  Dictionary *d = dict_.get();
  EXPECT_FALSE(Dictionary_IsDefined(d, "missing"));
  EXPECT_EQ(Dict_GetInt(d, 5, "missing"), 5);
  EXPECT_EQ(Dict_GetInt(d, 7, "MISSING"), 5);
  EXPECT_TRUE(Dictionary_IsDefined(d, "Missing"));
  EXPECT_FALSE(Dict_GetBool(d, false, "flag"));
  EXPECT_FALSE(Dict_GetBool(d, true, "flag"));

  EXPECT_EQ(Dict_GetString(d, nullptr, "s1"), nullptr);
  EXPECT_EQ(Dict_GetString(d, "later", "s1"), nullptr);
  char *s = Dict_GetString(d, "first", "s2");
  ASSERT_STREQ(s, "first");
  s[0] = 'X';  // the caller's copy
  free(s);
  s = Dict_GetString(d, "second", "S2");
  EXPECT_STREQ(s, "first");
  free(s);

  // Entries in creation order, with origin 1 and no line.
  std::vector<std::string> names;
  for (DictEntry *e = d->firstEntry; e != nullptr; e = e->next) {
    names.push_back(e->name);
    EXPECT_EQ(e->flags, 1u);
    EXPECT_EQ(e->line, nullptr);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"missing", "flag", "s1", "s2"}));
  EXPECT_EQ(d->lastEntry->name, std::string("s2"));
  EXPECT_TRUE(gPosts.empty());
}

TEST_F(DictionaryTest, NamesIgnoreCaseAndAreFormatted) {
  Dictionary *d = dict_.get();
  SetText("Foo.Bar", "3");
  EXPECT_EQ(Dict_GetInt(d, 0, "foo.%s", "bar"), 3);
  EXPECT_EQ(Dict_GetInt(d, 0, "FOO.BAR"), 3);
  EXPECT_STREQ(d->firstEntry->name, "Foo.Bar");
  SetText("ethernet3.present", "TRUE");
  EXPECT_TRUE(Dict_GetBool(d, false, "ethernet%d.present", 3));

  std::string longName(2000, 'n');
  EXPECT_EQ(Dict_GetInt(d, 11, "%s", longName.c_str()), 11);
  EXPECT_TRUE(Dictionary_IsDefined(d, longName.substr(0, 1023).c_str()));
  EXPECT_FALSE(Dictionary_IsDefined(d, longName.substr(0, 1024).c_str()));
}

TEST_F(DictionaryTest, ClearEmptiesAndFreeAcceptsNull) {
  Dictionary *d = dict_.get();
  SetText("a", "1");
  Dictionary_Clear(d);
  EXPECT_FALSE(Dictionary_IsDefined(d, "a"));
  EXPECT_EQ(d->firstEntry, nullptr);
  EXPECT_EQ(d->lastEntry, nullptr);
  EXPECT_EQ(Dict_GetInt(d, 4, "a"), 4);
  Dictionary_Free(nullptr);
}

using DictionaryDeathTest = DictionaryTest;

TEST_F(DictionaryDeathTest, TypeConflictStops) {
  SetText("name", "yes");
  char *s = Dict_GetString(dict_.get(), nullptr, "name");
  free(s);
  EXPECT_EXIT(Dict_GetBool(dict_.get(), false, "name"), testing::ExitedWithCode(3),
              "ASSERT lib/user/dictionary:[0-9]+ bugNr=[0-9]+");
  EXPECT_EQ(Dict_GetInt(dict_.get(), 1, "count"), 1);
  EXPECT_EXIT(Dict_GetString(dict_.get(), nullptr, "count"), testing::ExitedWithCode(3), "bugNr=");
  // A typed entry cannot be read back as untyped text either.
  EXPECT_EXIT(Dictionary_Get(dict_.get(), nullptr, DICT_ANY, "count"), testing::ExitedWithCode(3),
              "bugNr=");
}

TEST_F(DictionaryDeathTest, NullDictionaryStops) {
  EXPECT_EXIT(Dict_GetInt(nullptr, 0, "x"), testing::ExitedWithCode(3),
              "ASSERT lib/user/dictionary:");
  EXPECT_EXIT(Dict_GetString(nullptr, nullptr, "x"), testing::ExitedWithCode(3), "ASSERT ");
  EXPECT_EXIT(Dict_GetBool(nullptr, false, "x"), testing::ExitedWithCode(3), "ASSERT ");
}

// Only ASCII letters fold: the bytes just outside A-Z and a-z, and letters
// of other scripts, are names of their own.
TEST_F(DictionaryTest, OnlyAsciiLettersFold) {
  Dictionary *d = dict_.get();
  EXPECT_EQ(Dict_GetInt(d, 1, "%s", "Name@[Z]"), 1);
  EXPECT_EQ(Dict_GetInt(d, 2, "%s", "nAME@[z]"), 1);
  EXPECT_EQ(Dict_GetInt(d, 3, "%s", "name`{z}"), 3);  // @ [ ] against ` { }
  EXPECT_EQ(Dict_GetInt(d, 4, "%s", "\xC9t\xC9"), 4);
  EXPECT_EQ(Dict_GetInt(d, 5, "%s", "\xE9t\xE9"), 5);
  EXPECT_EQ(Dict_GetInt(d, 6, "%s", "\xC9T\xC9"), 4);
  EXPECT_EQ(Dict_GetInt(d, 7, "%s", "AbcdefghIJKLMNOPqrst.u"), 7);
  EXPECT_EQ(Dict_GetInt(d, 8, "%s", "aBCDEFGHijklmnopQRST.U"), 7);
}

}  // namespace
