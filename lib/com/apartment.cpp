// Per-thread initialisation counts of the component runtime.
#include "com/apartment.h"

#include <atomic>

namespace {
thread_local int t_initCount = 0;
std::atomic<ComThreadCleanup> g_cleanup{nullptr};  // set by any thread's first channel
}  // namespace

HRESULT CoInitialize(void *) { return t_initCount++ == 0 ? S_OK : S_FALSE; }

void CoUninitialize(void) {
  if (t_initCount == 0) return;
  ComThreadCleanup cleanup = g_cleanup.load();
  if (--t_initCount == 0 && cleanup != nullptr) cleanup();
}

bool Com_IsInitialized(void) { return t_initCount > 0; }

void Com_SetThreadCleanup(ComThreadCleanup cleanup) { g_cleanup = cleanup; }
