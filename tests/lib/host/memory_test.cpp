// Large regions: aligned, zeroed, writable to the last byte, and refused
// when empty or absurd. The prefaulter: what it fills in reads as before,
// even while the caller writes there, and stopping never waits for a queue.
#include "host/memory.h"

#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "host/lastError.h"

namespace {

TEST(HostMemTest, RegionsAreAlignedZeroedAndWhole) {
  for (size_t size : {size_t{1}, size_t{HOSTMEM_LARGE_PAGE}, size_t{HOSTMEM_LARGE_PAGE} * 3 + 5}) {
    char *p = static_cast<char *>(HostMem_MapLarge(size));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % HOSTMEM_LARGE_PAGE, 0u);
    size_t rounded = (size + HOSTMEM_LARGE_PAGE - 1) / HOSTMEM_LARGE_PAGE * HOSTMEM_LARGE_PAGE;
    EXPECT_EQ(p[0], 0);
    EXPECT_EQ(p[rounded - 1], 0);
    memset(p, 0x5a, rounded);
    HostMem_UnmapLarge(p, size);
  }
  HostMem_UnmapLarge(nullptr, 0);
}

TEST(HostMemTest, EmptyAndAbsurdSizesAreRefused) {
  EXPECT_EQ(HostMem_MapLarge(0), nullptr);
  EXPECT_EQ(HostMem_MapLarge(SIZE_MAX - 10), nullptr);
  EXPECT_EQ(Host_ErrorKind(Host_GetLastError()), HOST_ERROR_NO_MEMORY);
}

TEST(HostMemTest, Prefaulter) {
  HostPrefaulter *p = HostMem_StartPrefaulter();
  if (p == nullptr) GTEST_SKIP() << "this kernel cannot fill pages in without writing them";
  // What is filled in never changes what is stored: unaligned pieces, and
  // the caller writing into the range being filled in.
  const size_t size = HOSTMEM_LARGE_PAGE * 6;
  char *region = static_cast<char *>(HostMem_MapLarge(size));
  ASSERT_NE(region, nullptr);
  memset(region + HOSTMEM_LARGE_PAGE, 0x11, HOSTMEM_LARGE_PAGE);  // written before
  HostMem_Prefault(p, region + 3, size - 7);
  for (size_t i = 0; i < size; i += 4096) region[i + 5] = 0x22;
  HostMem_Prefault(p, region + HOSTMEM_LARGE_PAGE, 1);
  HostMem_StopPrefaulter(p);
  for (size_t i = 0; i < size; i++) {
    char want = i % 4096 == 5                                           ? 0x22
                : i >= HOSTMEM_LARGE_PAGE && i < 2 * HOSTMEM_LARGE_PAGE ? 0x11
                                                                        : 0;
    ASSERT_EQ(region[i], want) << i;
  }
  HostMem_UnmapLarge(region, size);

  // Stopping drops the queue: more requests than it holds, over much more
  // memory than a stop may wait for; the region is unmapped only after.
  p = HostMem_StartPrefaulter();
  ASSERT_NE(p, nullptr);
  const size_t big = HOSTMEM_LARGE_PAGE * 512;
  region = static_cast<char *>(HostMem_MapLarge(big));
  ASSERT_NE(region, nullptr);
  for (int round = 0; round < 200; round++) HostMem_Prefault(p, region, big);
  HostMem_Prefault(p, region, 0);
  HostMem_Prefault(nullptr, region, big);
  HostMem_StopPrefaulter(p);
  HostMem_UnmapLarge(region, big);
  HostMem_StopPrefaulter(nullptr);
  // Helpers come and go without leaving threads behind to trip over.
  for (int i = 0; i < 50; i++) HostMem_StopPrefaulter(HostMem_StartPrefaulter());
}

}  // namespace
