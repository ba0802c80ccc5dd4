// The fatal stop: default ending, handler, nested stops, allocation helpers.
#include "misc/panic.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "testSupport.h"

namespace {

void WriteTextAndExit(const char *text) {
  fputs(text, stderr);
  std::_Exit(7);
}

void PanicAgain(const char *) { Panic("nested %d\n", 2); }

void ReturningHandler(const char *text) { fprintf(stderr, "seen: %s", text); }

void PrintLengthAndExit(const char *text) {
  fprintf(stderr, "len=%zu\n", strlen(text));
  std::_Exit(7);
}

// The default ending, a handler's formatted text (cut to 1023 bytes), a stop
// inside the handler, and a handler that returns.
TEST(PanicDeathTest, EndingsAndHandlers) {
  const struct {
    std::function<void()> stop;
    int code;
    const char *text;
  } cases[] = {
      {[] { Panic("ASSERT %s:%d\n", "lib/misc/x", 12); }, 3, ""},
      {[] {
         Panic_SetHandler(WriteTextAndExit);
         Panic("MEM_ALLOC %s:%d\n", "lib/user/msg", 42);
       },
       7, "MEM_ALLOC lib/user/msg:42"},
      {[] {
         Panic_SetHandler(PrintLengthAndExit);
         Panic("%s", std::string(5000, 'x').c_str());
       },
       7, "len=1023"},
      {[] {
         Panic_SetHandler(PanicAgain);
         Panic("first\n");
       },
       3, ""},
      {[] {
         Panic_SetHandler(ReturningHandler);
         VERIFY(1 + 1 == 3);
       },
       3, "seen: ASSERT .*panic_test:[0-9]+"},
  };
  for (const auto &c : cases) {
    EXPECT_EXIT(c.stop(), testing::ExitedWithCode(c.code), c.text);
  }
}

TEST(PanicDeathTest, SafeMallocOfImpossibleSizeStops) {
  if (BRENIX_TEST_ASAN) GTEST_SKIP() << "the address sanitizer stops huge allocations itself";
  EXPECT_EXIT(
      {
        Panic_SetHandler(WriteTextAndExit);
        void *volatile p = Util_SafeMalloc(static_cast<size_t>(-1) / 2);
        (void)p;
      },
      testing::ExitedWithCode(7), "Unrecoverable memory allocation failure at .*panic_test:");
}

}  // namespace
