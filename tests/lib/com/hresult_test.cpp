// HRESULT texts: the runtime's own codes, codes made from system errors, and
// the codes that must have none so that callers fall back to their wording.
#include "com/hresult.h"

#include <cerrno>

#include <gtest/gtest.h>

#include "com/mountService.h"

namespace {

// The runtime's own texts win over a system error's; codes without a text
// leave the caller's wording.
TEST(HResultTest, Texts) {
  const struct {
    uint32_t code;
    const char *text;
  } kTexts[] = {
      {0x8007000Eu, "Not enough memory resources are available to complete this operation."},
      {0x80040154u, "Class not registered"},
      {0x80070002u, "No such file or directory"},
      {0x8007000Du, "Permission denied"},
  };
  for (const auto &c : kTexts) {
    std::string text = "stale";
    EXPECT_TRUE(Com_HResultText(COM_HRESULT(c.code), &text)) << std::hex << c.code;
    EXPECT_EQ(text, c.text);
  }
  for (uint32_t code : {0x8004020Bu, 0x80040200u, 0x8004FFFFu, 0x80070000u + 4000u, 0x00000000u,
                        0x00000001u, 0x8000FFFFu, 0xC0000005u, 0x80030002u}) {
    std::string text = "stale";
    EXPECT_FALSE(Com_HResultText(COM_HRESULT(code), &text)) << std::hex << code;
    EXPECT_EQ(text, "") << std::hex << code;
  }
  EXPECT_EQ(HRESULT_FROM_ERRNO(ENOENT), COM_HRESULT(0x80070002u));
  EXPECT_EQ(HRESULT_FROM_ERRNO(0), S_OK);
  EXPECT_TRUE(FAILED(COM_HRESULT(0x8004020Bu)) && SUCCEEDED(S_FALSE));
}

TEST(GuidTest, ParseAndPrint) {
  GUID g;
  ASSERT_TRUE(Com_GuidFromString("{f91031a3-644f-46f1-8ed5-b91f0e160879}", &g));
  EXPECT_EQ(g, CLSID_MountLocator);
  EXPECT_EQ(Com_GuidToString(g), "{F91031A3-644F-46F1-8ED5-B91F0E160879}");
  // Malformed text: the comText fuzzer checks every accepted text prints back.
  EXPECT_FALSE(Com_GuidFromString("{G91031A3-644F-46F1-8ED5-B91F0E160879}", &g));
}

}  // namespace
