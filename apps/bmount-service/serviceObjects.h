// The objects a client of the mount service reaches: the locator that an
// activation creates, and behind it the manager, disks, volume lists,
// volumes, mounts and mount lists. Each holds a reference count of its own
// and works on one MountService, which must outlive them.
#pragma once

#include "com/mountService.h"
#include "mountService.h"

// Returns a new locator (one reference, for the caller).
IMountLocator *MountLocator_Create(MountService *service);
