// Frames and the stub's handling of requests that break the protocol:
// encoding round trips, truncation, oversized lengths, garbage.
#include "com/frame.h"

#include <random>

#include <gtest/gtest.h>

#include "com/mountService.h"
#include "com/stub.h"
#include "fakeService.h"

namespace {

TEST(FrameTest, ValuesRoundTrip) {
  BSTR text = SysAllocStringLen(u"x\0\u20ac", 3);
  BSTR empty = SysAllocString(u"");
  ComFrameWriter w;
  w.PutU8(0xAB);
  w.PutU16(0xBEEF);
  w.PutI32(-5);
  w.PutI64(-(1LL << 40));
  w.PutGuid(IID_IMountManager);
  w.PutBstr(text);
  w.PutBstr(empty);
  w.PutBstr(nullptr);
  ASSERT_TRUE(w.Finish());
  size_t size = 0;
  ASSERT_EQ(ComFrame_Check(w.Bytes().data(), w.Bytes().size(), &size), COM_FRAME_COMPLETE);
  EXPECT_EQ(size, w.Bytes().size());

  ComFrameReader r(w.Bytes().data() + COM_FRAME_HEADER, size - COM_FRAME_HEADER);
  EXPECT_EQ(r.GetU8(), 0xAB);
  EXPECT_EQ(r.GetU16(), 0xBEEF);
  EXPECT_EQ(r.GetI32(), -5);
  EXPECT_EQ(r.GetI64(), -(1LL << 40));
  EXPECT_EQ(r.GetGuid(), IID_IMountManager);
  BSTR got[3];
  bool noMemory;
  for (BSTR &g : got) {
    EXPECT_TRUE(r.GetBstr(&g, &noMemory));
  }
  EXPECT_TRUE(r.Done());
  EXPECT_EQ(std::u16string(got[0], SysStringLen(got[0])), std::u16string(u"x\0\u20ac", 3));
  ASSERT_NE(got[1], nullptr);  // empty and null stay apart
  EXPECT_EQ(SysStringLen(got[1]), 0u);
  EXPECT_EQ(got[2], nullptr);
  for (BSTR g : got) SysFreeString(g);
  SysFreeString(text);
  SysFreeString(empty);
}

TEST(FrameTest, TruncationTurnsTheReaderBad) {
  const uint8_t claimsTooMuch[] = {0x10, 0, 0, 0, 'a', 0};  // 16 chars, 1 present
  ComFrameReader r(claimsTooMuch, sizeof claimsTooMuch);
  BSTR s = nullptr;
  bool noMemory = false;
  EXPECT_FALSE(r.GetBstr(&s, &noMemory));
  EXPECT_FALSE(noMemory);
  EXPECT_EQ(s, nullptr);
  EXPECT_FALSE(r.Ok());
  EXPECT_EQ(r.GetU32(), 0u);  // stays bad
  EXPECT_FALSE(r.Done());

  const uint8_t huge[] = {0xFE, 0xFF, 0xFF, 0xFF};  // a count near 2^32
  ComFrameReader h(huge, sizeof huge);
  EXPECT_FALSE(h.GetBstr(&s, &noMemory));
  EXPECT_FALSE(noMemory);

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

// Builds a CALL payload (no length) for object 1.
std::vector<uint8_t> Call(const IID &iid, uint16_t slot, const std::vector<uint8_t> &args) {
  ComFrameWriter w;
  w.PutU8(COM_MSG_CALL);
  w.PutU32(1);
  w.PutGuid(iid);
  w.PutU16(slot);
  std::vector<uint8_t> p(w.Bytes().begin() + COM_FRAME_HEADER, w.Bytes().end());
  p.insert(p.end(), args.begin(), args.end());
  return p;
}

class StubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::Ctl().Reset();
    ComFrameWriter w;
    w.PutU8(COM_MSG_ACTIVATE);
    w.PutGuid(CLSID_MountLocator);
    w.PutGuid(IID_IMountList);
    ComFrameWriter reply;
    // Activation of a list is refused (the locator is no list)...
    ASSERT_EQ(Handle(w, &reply), COM_STUB_REPLY);
    EXPECT_EQ(table_.Size(), 0u);
    // ...of the locator works and makes object 1.
    ComFrameWriter a;
    a.PutU8(COM_MSG_ACTIVATE);
    a.PutGuid(CLSID_MountLocator);
    a.PutGuid(IID_IMountLocator);
    ComFrameWriter reply2;
    ASSERT_EQ(Handle(a, &reply2), COM_STUB_REPLY);
    ASSERT_EQ(table_.Size(), 1u);
  }
  ComStubResult Handle(const ComFrameWriter &w, ComFrameWriter *reply) {
    return ComStub_Handle(fake::Class(), &table_, w.Bytes().data() + COM_FRAME_HEADER,
                          w.Bytes().size() - COM_FRAME_HEADER, reply);
  }
  ComStubResult Handle(const std::vector<uint8_t> &payload) {
    ComFrameWriter reply;
    return ComStub_Handle(fake::Class(), &table_, payload.data(), payload.size(), &reply);
  }
  ComObjectTable table_;
};

TEST_F(StubTest, ArgumentsMustMatchTheMethodExactly) {
  // Connect(BSTR, BSTR, long): short, long and well-formed argument lists.
  std::vector<uint8_t> nullBstr = {0xFF, 0xFF, 0xFF, 0xFF};
  std::vector<uint8_t> args = nullBstr;
  args.insert(args.end(), nullBstr.begin(), nullBstr.end());
  EXPECT_EQ(Handle(Call(IID_IMountLocator, 7, args)), COM_STUB_MALFORMED);
  args.insert(args.end(), {0, 0, 0, 0});
  EXPECT_EQ(Handle(Call(IID_IMountLocator, 7, args)), COM_STUB_REPLY);
  EXPECT_EQ(table_.Size(), 2u);  // the manager it handed out
  args.push_back(0);
  EXPECT_EQ(Handle(Call(IID_IMountLocator, 7, args)), COM_STUB_MALFORMED);
  EXPECT_EQ(table_.Size(), 2u);
  // Unknown kinds and bare kinds.
  EXPECT_EQ(Handle(std::vector<uint8_t>{}), COM_STUB_MALFORMED);
  EXPECT_EQ(Handle(std::vector<uint8_t>{9}), COM_STUB_MALFORMED);
  EXPECT_EQ(Handle(std::vector<uint8_t>{COM_MSG_CALL, 1, 0}), COM_STUB_MALFORMED);
  EXPECT_EQ(Handle(std::vector<uint8_t>{COM_MSG_REPLY}), COM_STUB_MALFORMED);
}

TEST_F(StubTest, CallsOnWrongObjectsAreAnsweredNotObeyed) {
  // A method of another interface on the locator: E_NOINTERFACE.
  std::vector<uint8_t> p = Call(IID_IMountList, 9, {});
  ComFrameWriter r1;
  ASSERT_EQ(ComStub_Handle(fake::Class(), &table_, p.data(), p.size(), &r1), COM_STUB_REPLY);
  ComFrameReader in(r1.Bytes().data() + COM_FRAME_HEADER, r1.Bytes().size() - COM_FRAME_HEADER);
  EXPECT_EQ(in.GetU8(), COM_MSG_REPLY);
  EXPECT_EQ(in.GetI32(), E_NOINTERFACE);
  // A release of something never handed out changes nothing.
  EXPECT_EQ(Handle(std::vector<uint8_t>{COM_MSG_RELEASE, 9, 0, 0, 0}), COM_STUB_NO_REPLY);
  EXPECT_EQ(table_.Size(), 1u);
  EXPECT_EQ(Handle(std::vector<uint8_t>{COM_MSG_RELEASE, 1, 0, 0, 0}), COM_STUB_NO_REPLY);
  EXPECT_EQ(table_.Size(), 0u);
  EXPECT_EQ(fake::Ctl().live, 0);
}

TEST_F(StubTest, GarbageNeverCrashes) {
  std::mt19937 random(7);
  for (int round = 0; round < 20000; round++) {
    std::vector<uint8_t> p(random() % 40);
    for (uint8_t &b : p) b = static_cast<uint8_t>(random());
    if (!p.empty() && round % 2 == 0) p[0] = COM_MSG_CALL;
    if (p.size() >= 5 && round % 4 == 0) {
      p[1] = 1;
      p[2] = p[3] = p[4] = 0;
    }
    Handle(p);
  }
  table_.Clear();
  EXPECT_EQ(fake::Ctl().live, 0);
}

}  // namespace
