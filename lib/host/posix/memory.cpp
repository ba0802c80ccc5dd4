// Large regions: anonymous mappings aligned to the large page size, marked
// for transparent large pages. Alignment matters: only whole aligned large
// pages inside a mapping can be backed by one, so a mapping is made one large
// page longer than asked and trimmed at both ends.
#include "host/memory.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdint>

namespace {

size_t RoundUp(size_t size) { return (size + HOSTMEM_LARGE_PAGE - 1) & ~(HOSTMEM_LARGE_PAGE - 1); }

}  // namespace

void *HostMem_MapLarge(size_t size) {
  if (size == 0 || size > SIZE_MAX - 2 * HOSTMEM_LARGE_PAGE) {
    errno = ENOMEM;
    return nullptr;
  }
  size_t length = RoundUp(size);
  size_t mapped = length + HOSTMEM_LARGE_PAGE;
  void *p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    return nullptr;
  }
  uintptr_t start = reinterpret_cast<uintptr_t>(p);
  uintptr_t aligned = (start + HOSTMEM_LARGE_PAGE - 1) & ~uintptr_t{HOSTMEM_LARGE_PAGE - 1};
  size_t head = aligned - start;
  if (head > 0) {
    munmap(p, head);
  }
  size_t tail = mapped - head - length;
  if (tail > 0) {
    munmap(reinterpret_cast<void *>(aligned + length), tail);
  }
  // Only advice: without large pages the region still works.
  (void)madvise(reinterpret_cast<void *>(aligned), length, MADV_HUGEPAGE);
  return reinterpret_cast<void *>(aligned);
}

void HostMem_UnmapLarge(void *region, size_t size) {
  if (region != nullptr && size != 0) {
    munmap(region, RoundUp(size));
  }
}
