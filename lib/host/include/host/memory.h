// Large memory regions straight from the system, for stores that grow to
// many megabytes. Regions are aligned to and sized in multiples of
// HOSTMEM_LARGE_PAGE and asked to be backed by large pages: a process that
// touches hundreds of megabytes then takes a few hundred page faults instead
// of tens of thousands. A fresh region reads as zeros.
#pragma once

#include <cstddef>

enum : size_t { HOSTMEM_LARGE_PAGE = size_t{2} * 1024 * 1024 };

// Returns a region of size bytes rounded up to HOSTMEM_LARGE_PAGE, or NULL
// (last error set) when the system refuses it.
void *HostMem_MapLarge(size_t size);
// Gives back a region of HostMem_MapLarge; size is the size it was asked
// with. Accepts NULL.
void HostMem_UnmapLarge(void *region, size_t size);
