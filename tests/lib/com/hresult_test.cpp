// HRESULT texts: the runtime's own codes, codes made from system errors, and
// the codes that must have none so that callers fall back to their wording.
#include "com/hresult.h"

#include <cerrno>

#include <gtest/gtest.h>

#include "com/guid.h"

namespace {

TEST(HResultTest, TextsOfOwnAndSystemCodes) {
  std::string text;
  EXPECT_TRUE(Com_HResultText(E_OUTOFMEMORY, &text));  // not the system error's text
  EXPECT_EQ(text, "Not enough memory resources are available to complete this operation.");
  EXPECT_TRUE(Com_HResultText(REGDB_E_CLASSNOTREG, &text));
  EXPECT_EQ(text, "Class not registered");

  EXPECT_EQ(HRESULT_FROM_ERRNO(ENOENT), COM_HRESULT(0x80070002u));
  EXPECT_EQ(HRESULT_FROM_ERRNO(0), S_OK);
  EXPECT_TRUE(Com_HResultText(HRESULT_FROM_ERRNO(ENOENT), &text));
  EXPECT_EQ(text, "No such file or directory");
  EXPECT_TRUE(Com_HResultText(HRESULT_FROM_ERRNO(EACCES), &text));
  EXPECT_EQ(text, "Permission denied");
}

TEST(HResultTest, NoTextForOtherCodes) {
  std::string text = "stale";
  EXPECT_FALSE(Com_HResultText(COM_HRESULT(0x8004020Bu), &text));
  EXPECT_EQ(text, "");
  for (uint32_t code : {0x80040200u, 0x8004FFFFu, 0x80070000u + 4000u, 0x00000000u, 0x00000001u,
                        0x8000FFFFu, 0xC0000005u, 0x80030002u}) {
    EXPECT_FALSE(Com_HResultText(COM_HRESULT(code), &text)) << std::hex << code;
  }
  EXPECT_TRUE(FAILED(COM_HRESULT(0x8004020Bu)));
  EXPECT_TRUE(SUCCEEDED(S_FALSE));
}

TEST(GuidTest, ParseAndPrint) {
  const char *text = "{F91031A3-644F-46F1-8ED5-B91F0E160879}";
  GUID g;
  ASSERT_TRUE(Com_GuidFromString("{f91031a3-644f-46f1-8ed5-b91f0e160879}", &g));
  EXPECT_EQ(g.Data1, 0xF91031A3u);
  EXPECT_EQ(g.Data2, 0x644F);
  EXPECT_EQ(g.Data3, 0x46F1);
  EXPECT_EQ(g.Data4[0], 0x8E);
  EXPECT_EQ(g.Data4[7], 0x79);
  EXPECT_EQ(Com_GuidToString(g), text);
  GUID h;
  ASSERT_TRUE(Com_GuidFromString(text, &h));
  EXPECT_EQ(g, h);
  EXPECT_NE(g, GUID_NULL);
  // Malformed text: the comText fuzzer checks every accepted text prints back.
  EXPECT_FALSE(Com_GuidFromString("{G91031A3-644F-46F1-8ED5-B91F0E160879}", &h));
}

}  // namespace
