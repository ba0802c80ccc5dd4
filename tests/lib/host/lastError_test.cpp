// Error texts and the sorting of errno values into kinds; err_test reads the
// last error back.
#include "host/lastError.h"

#include <cerrno>

#include <gtest/gtest.h>

#include "host/text.h"

namespace {

TEST(HostLastError, TextAndKinds) {
  char buf[64];
  EXPECT_TRUE(Host_ErrorText(ENOENT, buf, sizeof buf));
  EXPECT_STREQ(buf, "No such file or directory");
  EXPECT_FALSE(Host_ErrorText(99999, buf, sizeof buf));
  EXPECT_STREQ(buf, "");
  char tiny[4];
  EXPECT_TRUE(Host_ErrorText(ENOENT, tiny, sizeof tiny));
  EXPECT_STREQ(tiny, "No ");
  for (int k = HOST_ERROR_NONE; k <= HOST_ERROR_OTHER; k++) {
    HostErrorKind kind = static_cast<HostErrorKind>(k);
    EXPECT_EQ(Host_ErrorKind(Host_ErrorCode(kind)), kind) << k;
  }
  EXPECT_EQ(Host_ErrorKind(EROFS), HOST_ERROR_ACCESS);
  EXPECT_EQ(Host_ErrorKind(EWOULDBLOCK), HOST_ERROR_BUSY);
}

TEST(HostText, ValidationAndConversion) {
  EXPECT_TRUE(HostText_IsValidUtf8("a\xC3\xA9\xF0\x9F\x98\x80", 7));
  EXPECT_FALSE(HostText_IsValidUtf8("\xC0\x80", 2));          // overlong
  EXPECT_FALSE(HostText_IsValidUtf8("\xF4\x90\x80\x80", 4));  // above U+10FFFF
  EXPECT_FALSE(HostText_IsValidUtf8("\xE2\x82", 2));          // cut short
  EXPECT_FALSE(HostText_IsValidUtf8("\xED\xA0\x80", 3));      // a surrogate
  char *out = nullptr;
  size_t n = 0;
  ASSERT_TRUE(HostText_Convert("UTF-8", "ISO-8859-1", "caf\xC3\xA9", 5, &out, &n));
  EXPECT_EQ(n, 4u);
  EXPECT_STREQ(out, "caf\xE9");
  free(out);
  EXPECT_FALSE(HostText_Convert("UTF-8", "ISO-8859-1", "\xE2\x82\xAC", 3, &out, &n));
  EXPECT_EQ(out, nullptr);
  EXPECT_FALSE(HostText_Convert("UTF-8", "ISO-8859-1", "\xC3", 1, &out, &n));
  std::string big(100000, 'a');
  ASSERT_TRUE(HostText_Convert("UTF-8", "UTF-16LE", big.data(), big.size(), &out, &n));
  EXPECT_EQ(n, 200000u);
  free(out);
}

// Eight bytes at once fold as each byte alone does, for every byte value in
// every place of the word.
TEST(HostText, WordFoldsAsItsBytes) {
  for (int b = 0; b < 256; b++) {
    for (int place = 0; place < 8; place++) {
      // The neighbours are the letters' edges: @ A Z [ ` a z {.
      uint64_t word = (0x5a41605b40617a7bu & ~(uint64_t{0xff} << (8 * place))) | uint64_t(b)
                                                                                     << (8 * place);
      uint64_t folded = HostText_LowerAsciiWord(word);
      for (int i = 0; i < 8; i++) {
        char c = static_cast<char>(word >> (8 * i));
        ASSERT_EQ(static_cast<char>(folded >> (8 * i)), HostText_LowerAscii(c)) << b << " " << i;
      }
    }
  }
}

}  // namespace
