// The growable buffer: contents kept across growth, size rules, trim and detach.
#include "misc/dynbuf.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(DynBuf, GrowthKeepsEveryByte) {
  DynBuf b;
  DynBuf_Init(&b);
  EXPECT_TRUE(DynBuf_Append(&b, nullptr, 0));
  std::string want;
  for (size_t n : {1, 1024, 10000, 3}) {
    std::string piece(n, static_cast<char>('a' + want.size() % 26));
    ASSERT_TRUE(DynBuf_Append(&b, piece.data(), piece.size()));
    want += piece;
    ASSERT_GE(b.allocated, b.size);
  }
  ASSERT_EQ(b.size, want.size());
  EXPECT_EQ(std::string(b.data, b.size), want);
  // An append whose size wraps around is refused and changes nothing.
  EXPECT_FALSE(DynBuf_Append(&b, "ab", static_cast<size_t>(-1)));
  EXPECT_EQ(b.size, want.size());
  DynBuf_Destroy(&b);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.allocated, 0u);
}

TEST(DynBuf, TrimAndDetach) {
  DynBuf b;
  DynBuf_Init(&b);
  ASSERT_TRUE(DynBuf_Append(&b, "hello", 6));
  ASSERT_TRUE(DynBuf_Trim(&b));
  EXPECT_EQ(b.allocated, 6u);
  DynBuf_SetSize(&b, 3);
  char *data = DynBuf_Detach(&b);
  EXPECT_STREQ(data, "hello");
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.size, 0u);
  free(data);
  DynBuf_Destroy(&b);
}

TEST(DynBufDeathTest, SetSizeBeyondAllocationStops) {
  DynBuf b;
  DynBuf_Init(&b);
  EXPECT_EXIT(DynBuf_SetSize(&b, 1), testing::ExitedWithCode(3), "");
}

}  // namespace
