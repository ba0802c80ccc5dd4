// Large regions: anonymous mappings aligned to the large page size, marked
// for transparent large pages. Alignment matters: only whole aligned large
// pages inside a mapping can be backed by one, so a mapping is made one large
// page longer than asked and trimmed at both ends.
#include "host/memory.h"

#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14
#endif

namespace {

size_t RoundUp(size_t size) { return (size + HOSTMEM_LARGE_PAGE - 1) & ~(HOSTMEM_LARGE_PAGE - 1); }

constexpr unsigned kQueueLength = 64;

struct Job {
  char *start;
  size_t size;
};

void *PrefaultLoop(void *context);

}  // namespace

struct HostPrefaulter {
  pthread_t thread;
  pthread_mutex_t lock;
  pthread_cond_t wake;
  Job queue[kQueueLength];
  unsigned head;
  unsigned count;
  std::atomic<bool> stopping;
};

namespace {

void *PrefaultLoop(void *context) {
  auto *p = static_cast<HostPrefaulter *>(context);
  for (;;) {
    pthread_mutex_lock(&p->lock);
    while (p->count == 0 && !p->stopping.load(std::memory_order_relaxed)) {
      pthread_cond_wait(&p->wake, &p->lock);
    }
    if (p->stopping.load(std::memory_order_relaxed)) {
      pthread_mutex_unlock(&p->lock);
      return nullptr;
    }
    // Newest first: the caller is likely at work on the oldest already, and
    // the two of them are best apart.
    p->count--;
    Job job = p->queue[(p->head + p->count) % kQueueLength];
    pthread_mutex_unlock(&p->lock);
    // A large page at a time, so that a stop waits for one at most.
    while (job.size > 0 && !p->stopping.load(std::memory_order_relaxed)) {
      size_t piece = job.size < HOSTMEM_LARGE_PAGE ? job.size : HOSTMEM_LARGE_PAGE;
      (void)madvise(job.start, piece, MADV_POPULATE_WRITE);
      job.start += piece;
      job.size -= piece;
    }
  }
}

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

HostPrefaulter *HostMem_StartPrefaulter(void) {
  // Kernels without the advice refuse it whatever the range.
  if (madvise(nullptr, 0, MADV_POPULATE_WRITE) != 0) {
    return nullptr;
  }
  auto *p = static_cast<HostPrefaulter *>(calloc(1, sizeof(HostPrefaulter)));
  if (p == nullptr) {
    return nullptr;
  }
  pthread_mutex_init(&p->lock, nullptr);
  pthread_cond_init(&p->wake, nullptr);
  p->stopping.store(false);
  // Signals belong to the threads the program made itself.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  int rc = pthread_create(&p->thread, nullptr, PrefaultLoop, p);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (rc != 0) {
    pthread_cond_destroy(&p->wake);
    pthread_mutex_destroy(&p->lock);
    free(p);
    return nullptr;
  }
  return p;
}

void HostMem_Prefault(HostPrefaulter *p, void *start, size_t size) {
  if (p == nullptr || size == 0) {
    return;
  }
  // The advice takes whole pages; the pages that hold the range are ours.
  uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  uintptr_t from = reinterpret_cast<uintptr_t>(start) & ~(page - 1);
  uintptr_t to = (reinterpret_cast<uintptr_t>(start) + size + page - 1) & ~(page - 1);
  start = reinterpret_cast<void *>(from);
  size = to - from;
  pthread_mutex_lock(&p->lock);
  if (p->count < kQueueLength) {
    p->queue[(p->head + p->count) % kQueueLength] = Job{static_cast<char *>(start), size};
    p->count++;
    pthread_cond_signal(&p->wake);
  }
  pthread_mutex_unlock(&p->lock);
}

void HostMem_StopPrefaulter(HostPrefaulter *p) {
  if (p == nullptr) {
    return;
  }
  pthread_mutex_lock(&p->lock);
  p->stopping.store(true);
  p->count = 0;
  pthread_cond_signal(&p->wake);
  pthread_mutex_unlock(&p->lock);
  pthread_join(p->thread, nullptr);
  pthread_cond_destroy(&p->wake);
  pthread_mutex_destroy(&p->lock);
  free(p);
}

void HostMem_OnePool(void) { mallopt(M_ARENA_MAX, 1); }
