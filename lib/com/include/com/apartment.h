// Per-thread initialisation of the component runtime. A thread initialises
// once per use; the last CoUninitialize releases what the thread still holds
// of the runtime (connections to servers).
#pragma once

#include "com/hresult.h"

// S_OK the first time on a thread, S_FALSE when already initialised.
// reserved is ignored (NULL).
HRESULT CoInitialize(void *reserved);
// Balances one CoInitialize; nothing happens on an uninitialised thread.
void CoUninitialize(void);
// True while the calling thread is initialised.
bool Com_IsInitialized(void);

// Called by the runtime's transports on the last CoUninitialize of a thread.
typedef void (*ComThreadCleanup)(void);
void Com_SetThreadCleanup(ComThreadCleanup cleanup);
