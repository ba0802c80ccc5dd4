// Message literals: lookup, formatting, accumulation, posting and the
// per-thread state behind them.
#include "user/msg.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "misc/panic.h"
#include "testSupport.h"
#include "user/commonState.h"

namespace {

struct Shown {
  int type;
  std::string text;
  std::string id;
};
std::vector<Shown> shown;

void Record(int type, const char *text, const char *id) { shown.push_back({type, text, id}); }

// Its own CommonState per test: no buffers leak between them.
class MsgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CommonState_Init();
    Msg_SetPostCallback(Record);
    Panic_SetHandler(testsupport::PanicToStderr);  // the default keeps the text off the console
    shown.clear();
  }
  void TearDown() override {
    Panic_SetHandler(NULL);
    Msg_Exit();
    CommonState_Exit();
  }
};

const char kAssert[] = "ASSERT lib/user/msg:";

std::string LiteralWithId(size_t idLength, const char *text) {
  return std::string(MSG_MAGIC "(").append(idLength, 'i').append(")").append(text);
}

TEST_F(MsgTest, LookupSplitsIdAndTextAndFormatFillsArguments) {
  char id[128];
  EXPECT_STREQ(MsgLookup(MSGID(test.paren) "a (b) c)", false, id), "a (b) c)");
  EXPECT_STREQ(id, "msg.test.paren");
  EXPECT_STREQ(MsgLookup(MSGID(test.noId) "text", false, NULL), "text");
  EXPECT_STREQ(MsgLookup(LiteralWithId(127, "ok").c_str(), true, id), "ok");
  EXPECT_EQ(std::string(id), std::string(127, 'i'));

  EXPECT_EQ(testsupport::Take(Msg_Format(MSGID(test.fmt) "File \"%s\" line %d.\n", "a.bxx", 7)),
            "File \"a.bxx\" line 7.\n");
  EXPECT_EQ(Msg_FormatToString(MSGID(test.empty) ""), "");
  EXPECT_EQ(Msg_FormatToString(MSGID(test.pos) "%2$s-%1$s", "a", "b"), "b-a");
}

TEST_F(MsgTest, BadLiteralsAndTypesStop) {
  const std::string tooLong = LiteralWithId(128, "too long");
  const char kNotImplemented[] = "NOT_IMPLEMENTED lib/user/msg:";
  const std::pair<std::function<void()>, const char *> stops[] = {
      {[&] { MsgLookup(tooLong.c_str(), true, std::string(128, ' ').data()); }, kNotImplemented},
      {[&] { Msg_Append(tooLong.c_str()); }, kNotImplemented},
      {[] { Msg_Format("plain text"); }, kAssert},
      {[] { Msg_Append(MSG_MAGIC "msg.x)text"); }, kAssert},
      {[] { Msg_Post(MSG_ERROR, MSG_MAGIC "(msg.x text"); }, kAssert},
      {[] { MsgLookup(NULL, false, NULL); }, kAssert},
      {[] { Msg_Format(MSGID(test.utf8) "bad \xff byte"); }, kNotImplemented},
      {[] { Msg_Format(MSGID(test.float) "%f", 1.0); }, "MEM_ALLOC lib/user/msg:"},
      {[] { Msg_Post(MSG_NUM_TYPES, MSGID(test.t) "x"); }, kAssert},
      {[] { Msg_Post(-1, MSGID(test.t) "x"); }, kAssert},
  };
  for (const auto &[stop, text] : stops) {
    EXPECT_EXIT(stop(), ::testing::ExitedWithCode(3), text);
  }
}

// Run as a child by PlainStringShowsUnexpectedError.
TEST(MsgChild, DISABLED_PlainString) { Msg_FormatToString("just a string"); }

TEST(MsgStop, PlainStringShowsUnexpectedError) {
  testsupport::ProcessResult r =
      testsupport::Run({"/proc/self/exe", "--gtest_also_run_disabled_tests",
                        "--gtest_filter=MsgChild.DISABLED_PlainString"});
  EXPECT_EQ(r.exitCode, 3);
  EXPECT_NE(r.out.find(kPanicUnexpectedText), std::string::npos) << r.out;
}

// Appended messages wait for the next post and are shown with it, in order;
// the log record of the post goes nowhere.
TEST_F(MsgTest, PostShowsEverythingAccumulatedThenEmpties) {
  Msg_Append(MSGID(test.one) "One %d.\n", 1);
  Msg_Append(MSGID(test.two) "Two.\n");
  EXPECT_STREQ(Msg_GetMessagesWithIds(), "[msg.test.one] One 1.\n[msg.test.two] Two.\n");
  EXPECT_TRUE(shown.empty());

  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  Msg_Post(MSG_ERROR, MSGID(test.three) "Three %s.\n", "x");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].type, MSG_ERROR);
  EXPECT_EQ(shown[0].text, "One 1.\nTwo.\nThree x.\n");
  EXPECT_EQ(shown[0].id, "msg.test.three");
  EXPECT_STREQ(Msg_GetMessages(), "");
  EXPECT_STREQ(Msg_GetMessagesWithIds(), "");

  Msg_Post(MSG_WARNING, MSGID(test.four) "Four.\n");
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[1].text, "Four.\n");
}

TEST_F(MsgTest, DefaultCallbackWritesMessageBox) {
  Msg_SetPostCallback(NULL);
  ::testing::internal::CaptureStderr();
  Msg_Append(MSGID(test.one) "First.\n");
  Msg_Post(MSG_ERROR, MSGID(test.two) "Disk %s is bad.", "d1");
  Msg_Post(MSG_WARNING, MSGID(test.three) "Careful.\n");
  Msg_Post(6, MSGID(test.four) "Reserved.\n");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Brenix Guest Ferry Error\nFirst.\nDisk d1 is bad.\n[OK]\n"
            "Brenix Guest Ferry Warning\nCareful.\n[OK]\n"
            "Brenix Guest Ferry\nReserved.\n[OK]\n");
}

TEST(MsgStateTest, SharedDefaultWithoutCommonState) {
  ASSERT_EQ(CommonState_Get(), nullptr);
  MsgState *shared = MsgState_Get();
  Msg_Append(MSGID(test.shared) "Shared.\n");
  CommonState_Init();
  EXPECT_NE(MsgState_Get(), shared);
  // The thread's state starts empty rather than sharing the default's buffers.
  EXPECT_STREQ(Msg_GetMessages(), "");
  Msg_Append(MSGID(test.own) "Own.\n");
  Msg_Exit();
  EXPECT_EQ(CommonState_Get()->msgState, nullptr);
  CommonState_Exit();
  EXPECT_STREQ(Msg_GetMessages(), "Shared.\n");
  Msg_Reset(false);
}

}  // namespace
