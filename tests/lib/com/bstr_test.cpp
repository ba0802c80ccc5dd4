// BSTRs: allocation with the length prefix, null versus empty, UTF-16
// conversions that refuse malformed text, and the BStr holder.
#include "com/bstr.h"

#include <gtest/gtest.h>

#include "fakeService.h"

namespace {

TEST(BstrTest, AllocationAndLengths) {
  BSTR empty = SysAllocString(u"");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);
  const char16_t withZero[] = {u'a', 0, u'b'};
  BSTR b = SysAllocStringLen(withZero, 3);
  EXPECT_EQ(SysStringLen(b), 3u);
  EXPECT_EQ(SysStringByteLen(b), 6u);
  EXPECT_EQ(b[2], u'b');
  EXPECT_EQ(b[3], 0);
  BSTR z = SysAllocStringLen(nullptr, 2);
  EXPECT_EQ(z[0], 0);
  for (BSTR s : {b, z, empty}) SysFreeString(s);
}

// Round trips and malformed UTF-8 are the comText fuzzer's; what it cannot
// tell from the host's own check is here.
TEST(BstrTest, Conversions) {
  std::string back;
  const char16_t lone[] = {u'a', 0xD800, u'b'};
  EXPECT_FALSE(Com_Utf16ToUtf8(lone, 3, &back));
  const char16_t trailing[] = {0xDC00};
  EXPECT_FALSE(Com_Utf16ToUtf8(trailing, 1, &back));
  std::u16string wide = u"kept";
  EXPECT_FALSE(Com_Utf8ToUtf16("\xED\xA0\x80", 3, &wide));  // an encoded surrogate
  EXPECT_EQ(wide, u"kept");

  // Narrow text of the current code page (UTF-8 under the test's locale).
  BSTR bstr = nullptr;
  ASSERT_TRUE(Com_StringToBstr("/vms/disk.bxdk", &bstr));
  EXPECT_EQ(std::u16string(bstr), u"/vms/disk.bxdk");
  ASSERT_TRUE(Com_BstrToString(bstr, &back));
  EXPECT_EQ(back, "/vms/disk.bxdk");
  SysFreeString(bstr);
  ASSERT_TRUE(Com_StringToBstr(nullptr, &bstr));
  EXPECT_EQ(bstr, nullptr);
  ASSERT_TRUE(Com_BstrToString(nullptr, &back));
  EXPECT_EQ(back, "");
}

TEST(BstrTest, HolderOwnsAndDistinguishesNull) {
  BStr null;
  EXPECT_TRUE(null.IsNull());
  EXPECT_EQ(null.Copy(), nullptr);
  BStr empty("");
  EXPECT_FALSE(empty.IsNull());
  EXPECT_EQ(empty.Length(), 0u);

  BStr a(u"owned");
  BSTR copy = a.Copy();
  EXPECT_NE(copy, a.Get());
  EXPECT_EQ(std::u16string(copy), u"owned");
  SysFreeString(copy);
  a = BStr("other");  // the first string is freed (the sanitizer build checks)
  std::string text;
  ASSERT_TRUE(a.ToString(&text));
  EXPECT_EQ(text, "other");

  BStr attached = BStr::Attach(SysAllocString(u"mine"));
  EXPECT_EQ(attached.Length(), 4u);
  BStr moved = std::move(attached);
  EXPECT_EQ(moved.Length(), 4u);
  EXPECT_TRUE(attached.IsNull());

  EXPECT_EQ(fake::Thrown([] { BStr bad("\xFF not text"); }).Error(), E_INVALIDARG);
}

}  // namespace
