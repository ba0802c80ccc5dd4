// Large regions: aligned, zeroed, writable to the last byte, and refused
// when empty or absurd.
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

}  // namespace
