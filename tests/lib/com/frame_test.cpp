// Frames, and the stub's answers to requests at the edge of the protocol:
// encoding round trips, truncation, oversized lengths, argument lists that
// do not match the method, slots without a method. Random garbage is the
// comStub fuzzer's.
#include "com/frame.h"

#include <gtest/gtest.h>

#include "com/mountService.h"
#include "com/stub.h"
#include "fakeService.h"

namespace {

// Integers and GUIDs travel in every call of rpc_test; here what they do not
// show.
TEST(FrameTest, ValuesRoundTrip) {
  const std::u16string kText(u"x\0\u20ac", 3);  // embedded zero, beyond Latin-1
  BSTR in[3] = {SysAllocStringLen(kText.data(), 3), SysAllocString(u""), nullptr};
  VARIANT number;
  VariantInit(&number);
  number.vt = VT_I8;
  number.llVal = -(1LL << 40);
  ComFrameWriter w;
  for (BSTR s : in) w.PutBstr(s);
  w.PutVariant(number, 0);
  ASSERT_TRUE(w.Finish());
  size_t size = 0;
  ASSERT_EQ(ComFrame_Check(w.Bytes().data(), w.Bytes().size(), &size), COM_FRAME_COMPLETE);
  EXPECT_EQ(size, w.Bytes().size());

  ComFrameReader r(w.Bytes().data() + COM_FRAME_HEADER, size - COM_FRAME_HEADER);
  BSTR got[3];
  bool noMemory;
  for (BSTR &g : got) EXPECT_TRUE(r.GetBstr(&g, &noMemory));
  VARIANT v;
  uint32_t id = 1;
  r.GetVariant(&v, &id, &noMemory);
  EXPECT_TRUE(r.Done());
  EXPECT_EQ(std::u16string(got[0], SysStringLen(got[0])), kText);
  ASSERT_NE(got[1], nullptr);  // empty and null stay apart
  EXPECT_EQ(SysStringLen(got[1]), 0u);
  EXPECT_EQ(got[2], nullptr);
  EXPECT_EQ(v.vt, VT_I8);
  EXPECT_EQ(v.llVal, -(1LL << 40));
  for (BSTR s : got) SysFreeString(s);
  for (BSTR s : in) SysFreeString(s);
}

TEST(FrameTest, TruncationTurnsTheReaderBad) {
  const uint8_t claimsTooMuch[] = {0x10, 0, 0, 0, 'a', 0};  // 16 chars, 1 present
  const uint8_t huge[] = {0xFE, 0xFF, 0xFF, 0xFF};          // a count near 2^32
  for (const auto &bytes : {std::basic_string<uint8_t>(claimsTooMuch, sizeof claimsTooMuch),
                            std::basic_string<uint8_t>(huge, sizeof huge)}) {
    ComFrameReader r(bytes.data(), bytes.size());
    BSTR s = nullptr;
    bool noMemory = false;
    EXPECT_FALSE(r.GetBstr(&s, &noMemory));
    EXPECT_FALSE(noMemory);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(r.GetU32(), 0u);  // stays bad
    EXPECT_FALSE(r.Ok());
  }
  const uint8_t three[] = {1, 2, 3};
  ComFrameReader t(three, sizeof three);
  t.GetU16();
  EXPECT_TRUE(t.Ok());
  EXPECT_FALSE(t.Done());
  t.GetU16();
  EXPECT_FALSE(t.Ok());
}

TEST(FrameTest, LengthCheck) {
  size_t size = 0;
  const uint8_t partial[] = {5, 0, 0, 0, 1, 2};
  EXPECT_EQ(ComFrame_Check(partial, 3, &size), COM_FRAME_INCOMPLETE);
  EXPECT_EQ(ComFrame_Check(partial, sizeof partial, &size), COM_FRAME_INCOMPLETE);
  const uint8_t atMax[] = {0, 0, 0x10, 0};  // exactly the bound: allowed, incomplete
  EXPECT_EQ(ComFrame_Check(atMax, sizeof atMax, &size), COM_FRAME_INCOMPLETE);
  const uint8_t over[] = {1, 0, 0x10, 0};
  EXPECT_EQ(ComFrame_Check(over, sizeof over, &size), COM_FRAME_OVERSIZED);

  ComFrameWriter big;
  for (uint32_t i = 0; i <= COM_FRAME_MAX / 4; i++) big.PutU32(i);
  EXPECT_FALSE(big.Finish());
}

// A connection whose table holds the locator as object 1.
class StubTest : public ::testing::Test {
 protected:
  static constexpr HRESULT kMalformed = 0x7F000001, kNoReply = 0x7F000002;

  void SetUp() override {
    fake::Ctl().Reset();
    // Activation of a list is refused (the locator is no list), of the
    // locator works and makes object 1.
    for (const IID *iid : {&IID_IMountList, &IID_IMountLocator}) {
      ComFrameWriter w;
      w.PutU8(COM_MSG_ACTIVATE);
      w.PutGuid(CLSID_MountLocator);
      w.PutGuid(*iid);
      EXPECT_EQ(Handle(Payload(w)), *iid == IID_IMountList ? E_NOINTERFACE : S_OK);
    }
    ASSERT_EQ(table_.Size(), 1u);
  }
  static std::vector<uint8_t> Payload(const ComFrameWriter &w) {
    return std::vector<uint8_t>(w.Bytes().begin() + COM_FRAME_HEADER, w.Bytes().end());
  }
  // A CALL for object id (the locator's 1) with args appended.
  static std::vector<uint8_t> Call(const IID &iid, uint16_t slot, std::vector<uint8_t> args = {},
                                   uint32_t id = 1) {
    ComFrameWriter w;
    w.PutU8(COM_MSG_CALL);
    w.PutU32(id);
    w.PutGuid(iid);
    w.PutU16(slot);
    std::vector<uint8_t> p = Payload(w);
    p.insert(p.end(), args.begin(), args.end());
    return p;
  }
  // Returns the reply's HRESULT, kMalformed or kNoReply; the reply is left
  // in reply_.
  HRESULT Handle(const std::vector<uint8_t> &payload) {
    ComFrameWriter reply;
    ComStubResult result =
        ComStub_Handle(fake::Class(), &table_, payload.data(), payload.size(), &reply);
    if (result != COM_STUB_REPLY) return result == COM_STUB_MALFORMED ? kMalformed : kNoReply;
    reply_ = Payload(reply);
    ComFrameReader in(reply_.data(), reply_.size());
    uint8_t kind = in.GetU8();
    return kind == COM_MSG_REPLY || kind == COM_MSG_REPLY_FIXED ? in.GetI32() : kMalformed;
  }
  ComObjectTable table_;
  std::vector<uint8_t> reply_;
};

TEST_F(StubTest, ArgumentsMustMatchTheMethodExactly) {
  // Connect(BSTR, BSTR, long): short, well-formed and long argument lists.
  const uint16_t connect = ComSlot<&IMountLocator::Connect>();
  std::vector<uint8_t> args = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};  // two NULLs
  EXPECT_EQ(Handle(Call(IID_IMountLocator, connect, args)), kMalformed);
  args.insert(args.end(), {0, 0, 0, 0});
  EXPECT_EQ(Handle(Call(IID_IMountLocator, connect, args)), S_OK);
  EXPECT_EQ(table_.Size(), 2u);  // the manager it handed out
  args.push_back(0);
  EXPECT_EQ(Handle(Call(IID_IMountLocator, connect, args)), kMalformed);
  EXPECT_EQ(table_.Size(), 2u);
  // Unknown kinds and bare kinds.
  for (const std::vector<uint8_t> &bare :
       std::vector<std::vector<uint8_t>>{{}, {9}, {COM_MSG_CALL, 1, 0}, {COM_MSG_REPLY}}) {
    EXPECT_EQ(Handle(bare), kMalformed);
  }
}

// A client from before fixed answers takes only plain replies, laid out as
// it knows them: the answers go only to clients that ask for them.
TEST_F(StubTest, FixedAnswersGoOnlyToClientsThatAskForThem) {
  const std::vector<uint8_t> nulls = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
  for (bool asks : {false, true}) {
    EXPECT_EQ(asks ? Handle({COM_MSG_RELEASE, COM_READS_FIXED, 0, 0, 0}) : kNoReply, kNoReply);
    ASSERT_EQ(Handle(Call(IID_IMountLocator, ComSlot<&IMountLocator::Connect>(), nulls)), S_OK);
    uint32_t manager = ComFrameReader(reply_.data() + 5, 4).GetU32();
    ASSERT_EQ(Handle(Call(IID_IMountManager, ComSlot<&IMountManager::GetMounts>(), {}, manager)),
              S_OK);
    ComFrameReader in(reply_.data(), reply_.size());
    EXPECT_EQ(in.GetU8(), asks ? COM_MSG_REPLY_FIXED : COM_MSG_REPLY);
    EXPECT_EQ(in.GetI32(), S_OK);
    EXPECT_NE(in.GetU32(), 0u);
    for (int32_t answer : {S_OK, 3}) {  // Count's
      EXPECT_EQ(asks ? in.GetI32() : answer, answer);
    }
    EXPECT_EQ(in.GetU8(), 0);  // no error information
    EXPECT_TRUE(in.Done()) << asks;
  }
}

TEST_F(StubTest, CallsThatNoMethodTakesAreAnsweredNotObeyed) {
  const struct {
    std::vector<uint8_t> payload;
    HRESULT hr;
  } kCases[] = {
      {Call(IID_IMountList, ComSlot<&IMountList::Count>()), E_NOINTERFACE},
      {Call(IID_IMountLocator, 4), E_NOTIMPL},       // IDispatch's
      {Call(IID_IMountLocator, 8, {0}), E_NOTIMPL},  // past the last, args unread
      {{COM_MSG_RELEASE, 9, 0, 0, 0}, kNoReply},     // never handed out
      {{COM_MSG_RELEASE, 1, 0, 0, 0}, kNoReply},
      {Call(IID_IMountLocator, 0), RPC_E_DISCONNECTED},
  };
  for (const auto &c : kCases) {
    EXPECT_EQ(Handle(c.payload), c.hr);
  }
  EXPECT_EQ(table_.Size(), 0u);
  EXPECT_EQ(fake::Ctl().live, 0);
}

}  // namespace
