// What sysfs tells of block devices, shared by the disk and loop code.
#pragma once

#include <sys/types.h>

namespace blockdevice {

// Whether another block device (device-mapper, RAID, a loop device's
// partitions) is built on device. False when sysfs cannot say.
bool HasHolders(dev_t device);

}  // namespace blockdevice
