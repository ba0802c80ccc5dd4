// The growable buffer: growth policy, appends, size rules, trim and detach.
#include "misc/dynbuf.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(DynBuf, GrowthDoublesFrom1024OrTakesTheNeed) {
  DynBuf b;
  DynBuf_Init(&b);
  EXPECT_EQ(b.data, nullptr);
  ASSERT_TRUE(DynBuf_Append(&b, "x", 1));
  EXPECT_EQ(b.allocated, 1024u);
  std::string block(1024, 'y');
  ASSERT_TRUE(DynBuf_Append(&b, block.data(), block.size()));
  EXPECT_EQ(b.allocated, 2048u);
  std::string huge(10000, 'z');
  ASSERT_TRUE(DynBuf_Append(&b, huge.data(), huge.size()));
  EXPECT_EQ(b.allocated, 1025u + 10000u);
  EXPECT_EQ(b.size, 11025u);
  EXPECT_EQ(b.data[0], 'x');
  EXPECT_EQ(b.data[1024], 'y');
  EXPECT_EQ(b.data[11024], 'z');
  DynBuf_Destroy(&b);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.allocated, 0u);
}

TEST(DynBuf, ZeroAppendAndOverflowingAppend) {
  DynBuf b;
  DynBuf_Init(&b);
  EXPECT_TRUE(DynBuf_Append(&b, nullptr, 0));
  EXPECT_EQ(b.allocated, 0u);
  ASSERT_TRUE(DynBuf_Append(&b, "ab", 2));
  EXPECT_FALSE(DynBuf_Append(&b, "ab", static_cast<size_t>(-1)));
  EXPECT_EQ(b.size, 2u);
  DynBuf_Destroy(&b);
}

TEST(DynBuf, TrimAndDetach) {
  DynBuf b;
  DynBuf_Init(&b);
  ASSERT_TRUE(DynBuf_Append(&b, "hello", 6));
  ASSERT_TRUE(DynBuf_Trim(&b));
  EXPECT_EQ(b.allocated, 6u);
  DynBuf_SetSize(&b, 3);
  EXPECT_EQ(b.size, 3u);
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
