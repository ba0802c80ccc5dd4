// The fatal stop: default ending, handler, nested stops, allocation helpers.
#include "misc/panic.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

namespace {

void WriteTextAndExit(const char *text) {
  fputs(text, stderr);
  std::_Exit(7);
}

void PanicAgain(const char *) { Panic("nested %d\n", 2); }

void ReturningHandler(const char *text) { fprintf(stderr, "seen: %s", text); }

TEST(PanicDeathTest, DefaultEndingExits3) {
  EXPECT_EXIT({ Panic("ASSERT %s:%d\n", "lib/misc/x", 12); }, testing::ExitedWithCode(3), "");
}

TEST(PanicDeathTest, HandlerReceivesFormattedText) {
  EXPECT_EXIT(
      {
        Panic_SetHandler(WriteTextAndExit);
        Panic("MEM_ALLOC %s:%d\n", "lib/user/msg", 42);
      },
      testing::ExitedWithCode(7), "MEM_ALLOC lib/user/msg:42");
}

TEST(PanicDeathTest, LongTextIsCutTo1023Bytes) {
  EXPECT_EXIT(
      {
        Panic_SetHandler([](const char *text) {
          fprintf(stderr, "len=%zu\n", strlen(text));
          std::_Exit(7);
        });
        std::string big(5000, 'x');
        Panic("%s", big.c_str());
      },
      testing::ExitedWithCode(7), "len=1023");
}

TEST(PanicDeathTest, PanicInsideHandlerEndsWithDefault) {
  EXPECT_EXIT(
      {
        Panic_SetHandler(PanicAgain);
        Panic("first\n");
      },
      testing::ExitedWithCode(3), "");
}

TEST(PanicDeathTest, HandlerThatReturnsStillEnds) {
  EXPECT_EXIT(
      {
        Panic_SetHandler(ReturningHandler);
        VERIFY(1 + 1 == 3);
      },
      testing::ExitedWithCode(3), "seen: ASSERT .*panic_test:[0-9]+");
}

TEST(PanicDeathTest, SafeMallocOfImpossibleSizeStops) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer stops huge allocations itself";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "the address sanitizer stops huge allocations itself";
#endif
#endif
  EXPECT_EXIT(
      {
        Panic_SetHandler(WriteTextAndExit);
        void *volatile p = Util_SafeMalloc(static_cast<size_t>(-1) / 2);
        (void)p;
      },
      testing::ExitedWithCode(7), "Unrecoverable memory allocation failure at .*panic_test:");
}

}  // namespace
