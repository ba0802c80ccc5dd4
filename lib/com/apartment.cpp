// Per-thread initialisation counts of the component runtime.
#include "com/apartment.h"

namespace {
thread_local int t_initCount = 0;
ComThreadCleanup g_cleanup = nullptr;
}  // namespace

HRESULT CoInitialize(void *) { return t_initCount++ == 0 ? S_OK : S_FALSE; }

void CoUninitialize(void) {
  if (t_initCount == 0) return;
  if (--t_initCount == 0 && g_cleanup != nullptr) g_cleanup();
}

bool Com_IsInitialized(void) { return t_initCount > 0; }

void Com_SetThreadCleanup(ComThreadCleanup cleanup) { g_cleanup = cleanup; }
