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

// A helper thread that fills in the pages of large regions ahead of their
// first use. A fresh page costs a fault on first touch, on a virtual machine
// that gives memory back to its host a costly one; the helper takes those
// faults on another processor while the caller works. It never writes: what
// the caller stored stays as it is.
struct HostPrefaulter;
// Returns NULL when no helper can be had (no thread, or the system cannot
// fill pages in without writing them): callers then go on without one.
HostPrefaulter *HostMem_StartPrefaulter(void);
// Queues [start, start + size), memory of this process that must stay
// allocated until HostMem_StopPrefaulter returns. Only advice: a full queue
// drops the request.
void HostMem_Prefault(HostPrefaulter *prefaulter, void *start, size_t size);
// Drops what is queued, waits for the piece being filled in and ends the
// thread. Accepts NULL.
void HostMem_StopPrefaulter(HostPrefaulter *prefaulter);

// Keeps the allocator to one pool for the process's life. Called before a
// second thread starts: a service whose calls run on several threads in
// turn would otherwise keep a pool, and its slack, for each.
void HostMem_OnePool(void);
